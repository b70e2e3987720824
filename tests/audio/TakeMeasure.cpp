#include "TakeMeasure.h"

#include <QFileInfo>

#include <algorithm>

namespace {
// A recorder stopped by a signal may end on a partly written period.
constexpr double kTailSeconds = 0.05;
} // namespace

bool TakeMeasure::load(const QString &path, double skipSeconds, double minSeconds, QString *error)
{
    name = QFileInfo(path).fileName();
    channels.clear();
    WavFile wav;
    if (!wav.load(path, error)) {
        *error = name + QStringLiteral(": ") + *error;
        return false;
    }
    sampleRate = wav.sampleRate;
    if (wav.channels < 1 || sampleRate <= 0) {
        *error = name + QStringLiteral(": no audio");
        return false;
    }
    const qint64 onset = firstLoudSample(wav.channel(0), kGapThreshold);
    if (onset < 0) {
        *error = name + QStringLiteral(": no tone recorded");
        return false;
    }
    onsetSeconds = double(onset) / sampleRate;
    const double start = onsetSeconds + skipSeconds;
    seconds = double(wav.frames()) / sampleRate - kTailSeconds - start;
    if (seconds < minSeconds) {
        *error = QStringLiteral("%1: %2 s of sound after %3 s, not %4")
                     .arg(name)
                     .arg(seconds, 0, 'f', 2)
                     .arg(start, 0, 'f', 2)
                     .arg(minSeconds);
        return false;
    }
    for (int c = 0; c < wav.channels; ++c) {
        const QVector<double> signal = wav.channel(c);
        Channel channel;
        channel.tone = measureTone(signal, sampleRate, start, seconds);
        const PitchMeasure pitch = steadyPitch(signal, sampleRate, start, seconds);
        channel.tone.frequencyHz = pitch.frequencyHz;
        channel.breaks = pitch.breaks;
        channel.gapsMs = dropoutsMs(signal, sampleRate, start, seconds, kGapThreshold);
        channels << channel;
    }
    return true;
}

int TakeMeasure::interruptions() const
{
    int most = 0;
    for (const Channel &channel : channels)
        most = std::max(most, channel.breaks + int(channel.gapsMs.size()));
    return most;
}

QString TakeMeasure::describe() const
{
    QString text = QStringLiteral("%1 (sound from %2 s, %3 s measured):")
                       .arg(name)
                       .arg(onsetSeconds, 0, 'f', 3)
                       .arg(seconds, 0, 'f', 2);
    for (int c = 0; c < channels.size(); ++c) {
        const Channel &channel = channels.at(c);
        text += QStringLiteral(" [ch%1 %2 Hz, %3 dBFS, broken periods %4, gaps %5")
                    .arg(c)
                    .arg(channel.tone.frequencyHz, 0, 'f', 2)
                    .arg(channel.tone.rmsDbfs, 0, 'f', 2)
                    .arg(channel.breaks)
                    .arg(channel.gapsMs.size());
        for (double ms : channel.gapsMs)
            text += QStringLiteral(" %1 ms").arg(ms, 0, 'f', 1);
        text += QLatin1Char(']');
    }
    return text;
}
