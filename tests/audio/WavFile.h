#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

// A 16-bit PCM WAV file as the recorders write it, read whole. A recorder stopped by a signal
// may leave the data size unset: then the data runs to the end of the file.
struct WavFile
{
    int sampleRate = 0;
    int channels = 0;
    QVector<qint16> samples; // interleaved

    // False with *error when the file is not 16-bit PCM WAV.
    bool load(const QString &path, QString *error);
    qint64 frames() const { return channels > 0 ? samples.size() / channels : 0; }
    QVector<double> channel(int index) const;
};

// What a stretch of one channel holds.
struct ToneMeasure
{
    double frequencyHz = 0; // from rising zero crossings, interpolated
    double rmsDbfs = -200;
    double peak = 0; // largest magnitude, full scale 32768
};

// The measure of `seconds` of `signal` from `startSeconds` on.
ToneMeasure measureTone(const QVector<double> &signal, int sampleRate, double startSeconds,
                        double seconds);
// A tone's pitch from the periods between its rising zero crossings, and how many periods were
// broken: a cut (audio dropped) or a dropout bends only the periods across it, so those further
// than kSteadyBand from the median period are counted as breaks and left out, while a tone
// played at the wrong rate moves every period.
struct PitchMeasure
{
    double frequencyHz = 0;
    int breaks = 0;
};
constexpr double kSteadyBand = 0.02;
PitchMeasure steadyPitch(const QVector<double> &signal, int sampleRate, double startSeconds,
                         double seconds);
// The runs of near-silent samples (magnitude at most `threshold`) longer than a millisecond in
// that stretch, as their lengths in milliseconds: dropouts in a tone, whose zero crossings
// never come near.
QVector<double> dropoutsMs(const QVector<double> &signal, int sampleRate, double startSeconds,
                           double seconds, double threshold);
// The first sample whose magnitude exceeds `threshold`; -1 when none does.
qint64 firstLoudSample(const QVector<double> &signal, double threshold);
