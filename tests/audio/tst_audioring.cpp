#include "output/AudioRing.h"

#include <QDeadlineTimer>
#include <QtTest>

#include <thread>
#include <vector>

// Frames are numbered from 1 in the order they are offered to write(); frame n carries n on
// the first channel and -n on the second, so a read shows exactly which frames came out.
namespace {

qint16 channelValue(qint64 frame, int channel)
{
    return static_cast<qint16>(channel == 0 ? frame : -frame);
}

// Runs a script of steps on a 1000 Hz ring (reserve 40 frames, max fill 100, storage 400):
// "wN" writes the next N frames, "rN" reads N frames, "f" flushes. Returns what was read as
// segments: "S<count>" for silence, "<first>-<last>" for consecutive frames.
QStringList runScript(AudioRing &ring, const QString &script, QList<int> *accepted)
{
    QStringList segments;
    qint64 next = 1;
    auto addFrame = [&segments](qint64 frame) {
        QString &last = segments.isEmpty() ? segments.append(QString()),
                segments.last()            : segments.last();
        if (frame == 0) {
            if (last.startsWith('S')) {
                last = QStringLiteral("S%1").arg(last.mid(1).toInt() + 1);
                return;
            }
        } else if (!last.isEmpty() && !last.startsWith('S')) {
            const qint64 end = last.section('-', 1).toLongLong();
            if (frame == end + 1) {
                last = QStringLiteral("%1-%2").arg(last.section('-', 0, 0)).arg(frame);
                return;
            }
        }
        const QString segment =
            frame == 0 ? QStringLiteral("S1") : QStringLiteral("%1-%1").arg(frame);
        if (last.isEmpty())
            last = segment;
        else
            segments << segment;
    };
    const int channels = ring.channels();
    for (const QString &step : script.split(' ', Qt::SkipEmptyParts)) {
        const int count = step.mid(1).toInt();
        if (step.startsWith('w')) {
            std::vector<qint16> samples(static_cast<size_t>(count) * channels);
            for (int i = 0; i < count; ++i)
                for (int c = 0; c < channels; ++c)
                    samples[static_cast<size_t>(i) * channels + c] = channelValue(next + i, c);
            next += count;
            *accepted << ring.write(samples.data(), count);
        } else if (step.startsWith('r')) {
            std::vector<qint16> out(static_cast<size_t>(count) * channels, 12345);
            ring.read(out.data(), count);
            for (int i = 0; i < count; ++i) {
                const qint64 frame = out[static_cast<size_t>(i) * channels];
                for (int c = 0; c < channels; ++c) {
                    if (out[static_cast<size_t>(i) * channels + c] != channelValue(frame, c))
                        return {QStringLiteral("corrupt frame at %1 in %2").arg(i).arg(step)};
                }
                addFrame(frame);
            }
        } else if (step == QLatin1String("f")) {
            ring.flush();
        }
    }
    return segments;
}

} // namespace

class AudioRingTest : public QObject
{
    Q_OBJECT

private slots:
    void levels_data();
    void levels();
    void scripts_data();
    void scripts();
    void twoThreadsPassASequenceIntact();
};

void AudioRingTest::levels_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("reserve");
    QTest::addColumn<int>("maxFill");
    QTest::newRow("48 kHz") << 48000 << 1920 << 4800;
    QTest::newRow("44.1 kHz") << 44100 << 1764 << 4410;
}

// The levels are times: the same milliseconds whatever the rate.
void AudioRingTest::levels()
{
    QFETCH(int, rate);
    QFETCH(int, reserve);
    QFETCH(int, maxFill);
    AudioRing ring(rate, 2);
    QCOMPARE(ring.reserveFrames(), reserve);
    QCOMPARE(ring.maxFillFrames(), maxFill);
    QVERIFY(ring.capacityFrames() > maxFill + rate / 30 * 2);
}

void AudioRingTest::scripts_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QList<int>>("accepted");
    QTest::addColumn<int>("underruns");
    QTest::addColumn<int>("trimmed");
    QTest::addColumn<int>("flushed");

    for (int channels : {1, 2}) {
        auto row = [channels](const char *name) -> QTestData & {
            return QTest::addRow("%s, %d ch", name, channels) << channels;
        };
        row("silence until the reserve is primed")
            << "r10 w30 r10 w10 r20" << QStringList{"S20", "1-20"} << QList<int>{30, 10} << 0 << 0
            << 0;
        row("running dry plays silence and primes again")
            << "w40 r30 r20 w30 r10 w10 r40" << QStringList{"1-40", "S20", "41-80"}
            << QList<int>{40, 30, 10} << 1 << 0 << 0;
        row("every partial read after priming counts")
            << "w40 r50 w40 r50" << QStringList{"1-40", "S10", "41-80", "S10"} << QList<int>{40, 40}
            << 2 << 0 << 0;
        row("running ahead drops the oldest down to the reserve")
            << "w150 r10 w20 r50" << QStringList{"111-170"} << QList<int>{150, 20} << 0 << 110 << 0;
        row("at the max fill nothing is dropped")
            << "w100 r100" << QStringList{"1-100"} << QList<int>{100} << 0 << 0 << 0;
        row("flush discards what was queued, new audio primes again")
            << "w60 r10 f w20 r10 w30 r40" << QStringList{"1-10", "S10", "61-100"}
            << QList<int>{60, 20, 30} << 0 << 0 << 50;
        row("flush before any read") << "w50 f r10 w40 r40" << QStringList{"S10", "51-90"}
                                     << QList<int>{50, 40} << 0 << 0 << 50;
        // 400 frames of storage: the 410th does not fit while the consumer stands still.
        row("full storage drops the stale queue and the new audio")
            << "w400 w10 r10 w40 r40" << QStringList{"S10", "411-450"} << QList<int>{400, 0, 40}
            << 0 << 410 << 0;
        row("more than the storage at once keeps the newest")
            << "w450 r100" << QStringList{"411-450", "S60"} << QList<int>{400} << 1 << 410 << 0;
        row("wrap-around keeps order and values")
            << "w90 r90 w90 r90 w90 r90 w90 r90 w90 r90 w90 r90" << QStringList{"1-540"}
            << QList<int>{90, 90, 90, 90, 90, 90} << 0 << 0 << 0;
    }
}

void AudioRingTest::scripts()
{
    QFETCH(int, channels);
    QFETCH(QString, script);
    QFETCH(QStringList, expected);
    QFETCH(QList<int>, accepted);
    QFETCH(int, underruns);
    QFETCH(int, trimmed);
    QFETCH(int, flushed);

    AudioRing ring(1000, channels);
    QCOMPARE(ring.reserveFrames(), 40);
    QCOMPARE(ring.maxFillFrames(), 100);
    QCOMPARE(ring.capacityFrames(), 400);
    QList<int> gotAccepted;
    QCOMPARE(runScript(ring, script, &gotAccepted), expected);
    QCOMPARE(gotAccepted, accepted);
    QCOMPARE(ring.underruns(), qint64(underruns));
    QCOMPARE(ring.framesTrimmed(), qint64(trimmed));
    QCOMPARE(ring.framesFlushed(), qint64(flushed));
}

// A producer and a consumer on two threads, in uneven chunk sizes, across many wrap-arounds.
// The producer keeps below the max fill so nothing may be trimmed: every frame must come out
// once, in order, with both channels intact. A tail shorter than the reserve waits for more
// audio by design, so the producer ends with a reserve of silence behind the last frame.
void AudioRingTest::twoThreadsPassASequenceIntact()
{
    constexpr int kRate = 48000;
    constexpr qint64 kFrames = 2000000;
    AudioRing ring(kRate, 2);
    const int bound = ring.maxFillFrames();
    const qint64 padding = ring.reserveFrames();
    // Frame n carries n in two 15-bit halves; 0/0 is silence.
    auto encode = [](qint64 n, qint16 *frame) {
        frame[0] = static_cast<qint16>(n & 0x7fff);
        frame[1] = static_cast<qint16>((n >> 15) & 0x7fff);
    };
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<qint16> chunk(2 * 2000);
        qint64 next = 1;
        int size = 7;
        while (next <= kFrames + padding && !stop.load()) {
            size = size * 7 % 1999 + 1;
            const int frames =
                static_cast<int>(std::min<qint64>(size, kFrames + padding - next + 1));
            if (ring.queuedFrames() + frames > bound) {
                std::this_thread::yield();
                continue;
            }
            for (int i = 0; i < frames; ++i) {
                if (next + i <= kFrames)
                    encode(next + i, chunk.data() + 2 * i);
                else
                    chunk[2 * i] = chunk[2 * i + 1] = 0;
            }
            if (ring.write(chunk.data(), frames) != frames)
                break;
            next += frames;
        }
    });

    std::vector<qint16> out(2 * 1500);
    qint64 expected = 1;
    qint64 corrupt = 0;
    int size = 3;
    QDeadlineTimer deadline(60000);
    while (expected <= kFrames && corrupt == 0 && !deadline.hasExpired()) {
        size = size * 5 % 1499 + 1;
        ring.read(out.data(), size);
        for (int i = 0; i < size; ++i) {
            const qint64 n = qint64(out[2 * i]) | (qint64(out[2 * i + 1]) << 15);
            if (n == 0)
                continue;
            if (n != expected || out[2 * i] < 0 || out[2 * i + 1] < 0) {
                corrupt = n;
                break;
            }
            ++expected;
        }
    }
    stop = true;
    producer.join();
    QCOMPARE(corrupt, qint64(0));
    QCOMPARE(expected, kFrames + 1);
    QCOMPARE(ring.framesTrimmed(), qint64(0));
    QVERIFY(ring.framesPlayed() >= kFrames);
}

QTEST_GUILESS_MAIN(AudioRingTest)
#include "tst_audioring.moc"
