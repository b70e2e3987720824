#include "WavFile.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <vector>
#include <cstring>

namespace {

quint32 le32(const char *p)
{
    return quint32(quint8(p[0])) | quint32(quint8(p[1])) << 8 | quint32(quint8(p[2])) << 16 |
           quint32(quint8(p[3])) << 24;
}

quint16 le16(const char *p)
{
    return quint16(quint8(p[0]) | quint8(p[1]) << 8);
}

} // namespace

bool WavFile::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE") {
        *error = QStringLiteral("not a RIFF/WAVE file (%1 bytes)").arg(bytes.size());
        return false;
    }
    int pos = 12;
    bool haveFormat = false;
    while (pos + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(pos, 4);
        quint32 size = le32(bytes.constData() + pos + 4);
        const int body = pos + 8;
        if (id == "fmt ") {
            if (size < 16 || body + 16 > bytes.size()) {
                *error = QStringLiteral("short fmt chunk");
                return false;
            }
            const quint16 tag = le16(bytes.constData() + body);
            channels = le16(bytes.constData() + body + 2);
            sampleRate = static_cast<int>(le32(bytes.constData() + body + 4));
            const quint16 bits = le16(bytes.constData() + body + 14);
            // 0xfffe: WAVE_FORMAT_EXTENSIBLE, which the recorders use for PCM too.
            if ((tag != 1 && tag != 0xfffe) || bits != 16 || channels < 1) {
                *error = QStringLiteral("not 16-bit PCM: tag %1, %2 bits, %3 channels")
                             .arg(tag)
                             .arg(bits)
                             .arg(channels);
                return false;
            }
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) {
                *error = QStringLiteral("data before fmt");
                return false;
            }
            const quint32 available = static_cast<quint32>(bytes.size() - body);
            if (size == 0 || size > available)
                size = available;
            samples.resize(static_cast<int>(size / 2));
            std::memcpy(samples.data(), bytes.constData() + body, samples.size() * 2);
            return true;
        }
        pos = body + static_cast<int>(size) + static_cast<int>(size & 1);
    }
    *error = QStringLiteral("no data chunk");
    return false;
}

QVector<double> WavFile::channel(int index) const
{
    QVector<double> out;
    if (index < 0 || index >= channels)
        return out;
    out.reserve(static_cast<int>(frames()));
    for (qint64 i = 0; i < frames(); ++i)
        out << samples.at(static_cast<int>(i * channels + index));
    return out;
}

ToneMeasure measureTone(const QVector<double> &signal, int sampleRate, double startSeconds,
                        double seconds)
{
    ToneMeasure measure;
    const qint64 first = static_cast<qint64>(startSeconds * sampleRate);
    const qint64 last = std::min<qint64>(signal.size(), first + qint64(seconds * sampleRate));
    if (first < 0 || last - first < 2)
        return measure;
    double sum = 0;
    double firstCrossing = -1;
    double lastCrossing = -1;
    int crossings = 0;
    for (qint64 i = first; i < last; ++i) {
        const double v = signal.at(static_cast<int>(i));
        sum += v * v;
        measure.peak = std::max(measure.peak, std::abs(v));
        if (i > first) {
            const double previous = signal.at(static_cast<int>(i - 1));
            if (previous < 0 && v >= 0) {
                const double t = static_cast<double>(i - 1) + (-previous) / (v - previous);
                if (firstCrossing < 0)
                    firstCrossing = t;
                lastCrossing = t;
                ++crossings;
            }
        }
    }
    const double rms = std::sqrt(sum / static_cast<double>(last - first));
    measure.rmsDbfs = rms > 0 ? 20 * std::log10(rms / 32768.0) : -200;
    if (crossings > 1 && lastCrossing > firstCrossing)
        measure.frequencyHz = (crossings - 1) * sampleRate / (lastCrossing - firstCrossing);
    return measure;
}

qint64 firstLoudSample(const QVector<double> &signal, double threshold)
{
    for (int i = 0; i < signal.size(); ++i) {
        if (std::abs(signal.at(i)) > threshold)
            return i;
    }
    return -1;
}

QVector<double> dropoutsMs(const QVector<double> &signal, int sampleRate, double startSeconds,
                           double seconds, double threshold)
{
    QVector<double> dropouts;
    if (sampleRate <= 0)
        return dropouts;
    const qint64 from = std::max<qint64>(0, qint64(startSeconds * sampleRate));
    const qint64 to =
        std::min<qint64>(signal.size(), qint64((startSeconds + seconds) * sampleRate));
    qint64 run = 0;
    for (qint64 i = from; i <= to; ++i) {
        if (i < to && std::abs(signal.at(int(i))) <= threshold) {
            ++run;
            continue;
        }
        if (run * 1000 > sampleRate)
            dropouts << run * 1000.0 / sampleRate;
        run = 0;
    }
    return dropouts;
}

PitchMeasure steadyPitch(const QVector<double> &signal, int sampleRate, double startSeconds,
                         double seconds)
{
    PitchMeasure pitch;
    // From the second sample on: each crossing looks at the sample before it.
    const qint64 first = std::max<qint64>(1, qint64(startSeconds * sampleRate));
    const qint64 last = std::min<qint64>(signal.size(), first + qint64(seconds * sampleRate));
    if (sampleRate <= 0 || last - first < 2)
        return pitch;
    std::vector<double> periods;
    double previous = -1;
    for (qint64 i = first; i < last; ++i) {
        const double before = signal.at(static_cast<int>(i - 1));
        const double v = signal.at(static_cast<int>(i));
        if (before < 0 && v >= 0) {
            const double t = static_cast<double>(i - 1) + (-before) / (v - before);
            if (previous >= 0)
                periods.push_back(t - previous);
            previous = t;
        }
    }
    if (periods.empty())
        return pitch;
    std::vector<double> sorted = periods;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2];
    double sum = 0;
    int steady = 0;
    for (double period : periods) {
        if (std::abs(period - median) <= kSteadyBand * median) {
            sum += period;
            ++steady;
        } else {
            ++pitch.breaks;
        }
    }
    if (steady > 0 && sum > 0)
        pitch.frequencyHz = steady * double(sampleRate) / sum;
    return pitch;
}
