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

// Runs a script of steps on a 1000 Hz ring (reserve 40 frames, jitter 10, room for a 20-frame
// quantum, 250 ahead of the prime level before a cut, storage 1000):
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
    void primeLevelGrowsAfterRunningDryAndShrinksBack();
    void twoThreadsPassASequenceIntact();
    void longerQuantumFindsItsAudio();
    void pausedConsumerStartsAfresh();
};

void AudioRingTest::levels_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("reserve");
    QTest::addColumn<int>("maxFill");
    QTest::newRow("48 kHz") << 48000 << 1920 << 13920;
    QTest::newRow("44.1 kHz") << 44100 << 1764 << 12789;
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
    QTest::addColumn<int>("skipped");

    // Most steps write and read 10 frames, so that the prime level is the 40-frame reserve
    // (10 + 20 + 10 is no more).
    auto times = [](const char *step, int n) {
        return QString(QStringLiteral("%1 ").arg(QLatin1String(step))).repeated(n).trimmed();
    };
    auto tens = [](int n) {
        QList<int> list;
        for (int i = 0; i < n; ++i)
            list << 10;
        return list;
    };
    for (int channels : {1, 2}) {
        auto row = [channels](const char *name) -> QTestData & {
            return QTest::addRow("%s, %d ch", name, channels) << channels;
        };
        row("silence until the reserve is primed")
            << "r10 w10 r10 w10 w10 w10 r20" << QStringList{"S20", "1-20"} << tens(4) << 0 << 0 << 0
            << 0;
        // 30 + 20 + 10: a 30-frame burst must not empty the queue between two reads, nor a
        // quantum that grows to the node's 20.
        row("a burst above the reserve primes to the burst, the quantum and the jitter")
            << "w30 r10 w10 r10 w10 w10 r10" << QStringList{"S20", "1-10"}
            << QList<int>{30, 10, 10, 10} << 0 << 0 << 0 << 0;
        // Then the prime level is 10 + 20 + 10 + 20 grown: 60.
        row("running dry plays silence and primes again, deeper")
            << times("w10", 4) + " " + times("r10", 5) + " " + times("w10", 4) +
                   " r10 w10 w10 r10 w10 r10"
            << QStringList{"1-40", "S20", "41-60"} << tens(11) << 1 << 0 << 0 << 0;
        row("every partial read after priming counts")
            << times("w10", 4) + " r10 r10 r10 r15 " + times("w10", 6) + " " + times("r10", 4) +
                   " r25"
            << QStringList{"1-40", "S5", "41-100", "S5"} << tens(10) << 2 << 0 << 0 << 0;
        // Nothing was heard yet: the oldest go without a cut.
        row("starting with more than the prime level skips the oldest")
            << times("w10", 15) + " r10 w10 w10 r50" << QStringList{"111-170"} << tens(17) << 0 << 0
            << 0 << 110;
        row("running far ahead while playing cuts down to the prime level")
            << times("w10", 4) + " r10 " + times("w10", 27) + " r10"
            << QStringList{"1-10", "271-280"} << tens(31) << 0 << 260 << 0 << 0;
        row("at the max fill nothing is dropped")
            << times("w10", 4) + " r10 " + times("w10", 26) + " " + times("r10", 29)
            << QStringList{"1-300"} << tens(30) << 0 << 0 << 0 << 0;
        row("flush discards what was queued, new audio primes again")
            << times("w10", 4) + " r10 w10 w10 f w10 w10 r10 w10 w10 " + times("r10", 4)
            << QStringList{"1-10", "S10", "61-100"} << tens(10) << 0 << 0 << 50 << 0;
        row("flush before any read")
            << times("w10", 5) + " f r10 " + times("w10", 4) + " " + times("r10", 4)
            << QStringList{"S10", "51-90"} << tens(9) << 0 << 0 << 50 << 0;
        // 1000 frames of storage: the 1010th does not fit while the consumer stands still
        // (nobody records): nobody heard any of it.
        row("full storage drops the stale queue and the new audio")
            << times("w10", 101) + " r10 " + times("w10", 4) + " " + times("r10", 4)
            << QStringList{"S10", "1011-1050"} << tens(100) + QList<int>{0} + tens(4) << 0 << 0 << 0
            << 1010;
        // The prime level is then at its top, the storage less the max fill's margin.
        row("more than the storage at once keeps the newest storage's worth")
            << "w1050 r100" << QStringList{"301-400"} << QList<int>{1000} << 0 << 50 << 0 << 250;
        row("wrap-around keeps order and values")
            << times("w10", 4) + " " + times("r10 w10", 110) + " " + times("r10", 4)
            << QStringList{"1-1140"} << tens(114) << 0 << 0 << 0 << 0;
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
    QFETCH(int, skipped);

    AudioRing ring(1000, channels);
    QCOMPARE(ring.reserveFrames(), 40);
    QCOMPARE(ring.jitterFrames(), 10);
    QCOMPARE(ring.aheadFrames(), 250);
    QCOMPARE(ring.capacityFrames(), 1000);
    QList<int> gotAccepted;
    QCOMPARE(runScript(ring, script, &gotAccepted), expected);
    QCOMPARE(gotAccepted, accepted);
    QCOMPARE(ring.underruns(), qint64(underruns));
    QCOMPARE(ring.framesTrimmed(), qint64(trimmed));
    QCOMPARE(ring.framesFlushed(), qint64(flushed));
    QCOMPARE(ring.framesSkipped(), qint64(skipped));
}

// Uneven audio: each running dry deepens the queue by 20 ms (up to 200 ms); 20 s played
// without running dry take 20 ms back; a new session starts from the bursts alone.
void AudioRingTest::primeLevelGrowsAfterRunningDryAndShrinksBack()
{
    AudioRing ring(1000, 1);
    std::vector<qint16> chunk(100, 1);
    std::vector<qint16> out(100);
    // Bursts of 30, reads of 10 (room for 20): 30 + 20 + 10.
    ring.write(chunk.data(), 30);
    ring.read(out.data(), 10);
    QCOMPARE(ring.primeFrames(), 60);
    auto runDry = [&]() {
        // Prime, then read past the end.
        while (ring.queuedFrames() < ring.primeFrames())
            ring.write(chunk.data(), 30);
        while (ring.queuedFrames() >= 10)
            ring.read(out.data(), 10);
        ring.read(out.data(), 10);
    };
    for (int expected : {80, 100, 120, 140, 160, 180, 200, 220, 240, 260, 260, 260}) {
        const qint64 before = ring.underruns();
        runDry();
        QCOMPARE(ring.underruns(), before + 1);
        ring.read(out.data(), 10);
        QCOMPARE(ring.primeFrames(), expected);
    }
    // 20 s of clean play, in steps of 30 written and 30 read (prime level 260 shrinks by 20).
    while (ring.queuedFrames() < ring.primeFrames())
        ring.write(chunk.data(), 30);
    // (The level a read reports is the one it started with: one read more.)
    for (int i = 0; i < 20000 / 30 + 2; ++i) {
        ring.write(chunk.data(), 30);
        ring.read(out.data(), 30);
    }
    QCOMPARE(ring.underruns(), qint64(12));
    QCOMPARE(ring.primeFrames(), 30 + 30 + 10 + 180);
    ring.flush();
    ring.read(out.data(), 30);
    QCOMPARE(ring.primeFrames(), 30 + 30 + 10);
}

// A producer and a consumer on two threads, in uneven chunk sizes, across many wrap-arounds.
// The producer keeps below the max fill so nothing may be cut: after what the consumer skips
// when it starts, every frame must come out once, in order, with both channels intact. A tail
// shorter than the reserve waits for more audio by design, so the producer ends with a reserve of
// silence behind the last frame.
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
    std::atomic<bool> producerDone{false};
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
        producerDone = true;
    });

    std::vector<qint16> out(2 * 1500);
    qint64 expected = -1; // the first frame played sets it
    qint64 corrupt = 0;
    int size = 3;
    QDeadlineTimer deadline(60000);
    while ((expected < 0 || expected <= kFrames) && corrupt == 0 && !deadline.hasExpired()) {
        size = size * 5 % 1499 + 1;
        // As a server's quantum comes no sooner than its audio: a consumer that ran dry at
        // every turn would only deepen the queue.
        while (ring.queuedFrames() < size && !producerDone.load() && !deadline.hasExpired())
            std::this_thread::yield();
        ring.read(out.data(), size);
        for (int i = 0; i < size; ++i) {
            const qint64 n = qint64(out[2 * i]) | (qint64(out[2 * i + 1]) << 15);
            if (n == 0)
                continue;
            if (expected < 0)
                expected = n;
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
    // Only what was queued before the first read beyond the prime level was skipped.
    QVERIFY(ring.framesSkipped() < ring.maxFillFrames());
    QCOMPARE(ring.framesPlayed() + ring.framesSkipped() + ring.queuedFrames(),
             ring.framesWritten());
}

// A server that lengthens its quantum while the camera streams (a program starts recording with
// a longer latency): the reserve already holds a quantum as long as the node asks for at most,
// so the longer reads find their audio. Virtual time in ms on a 1000 Hz ring: the producer
// hands over 21 ms every 21 ms (an AAC frame); the consumer reads 5 every 5 ms, then 20
// every 20 ms.
void AudioRingTest::longerQuantumFindsItsAudio()
{
    // Every phase of the two clocks against each other.
    for (int phase = 0; phase < 21; ++phase) {
        AudioRing ring(1000, 1);
        std::vector<qint16> chunk(21, 1);
        std::vector<qint16> out(20);
        int quantum = 5;
        for (int now = 0; now < 4000; ++now) {
            if (now % 21 == 0)
                QCOMPARE(ring.write(chunk.data(), 21), 21);
            if (now == 2000 + phase)
                quantum = 20;
            if ((now + phase) % quantum == 0 && now >= 60)
                ring.read(out.data(), quantum);
        }
        QVERIFY2(ring.underruns() == 0, qPrintable(QString::number(phase)));
        QCOMPARE(ring.framesTrimmed(), qint64(0));
        // 21 + the node's 20 + 10.
        QCOMPARE(ring.primeFrames(), 51);
    }
}

// A recorder that stops and starts again while the camera streams: what came meanwhile was not
// heard, and the consumer starts again at the prime level (skipped, no cut) instead of playing
// a backlog the rate matching would take many seconds to work off.
void AudioRingTest::pausedConsumerStartsAfresh()
{
    AudioRing ring(1000, 1);
    std::vector<qint16> chunk(10);
    std::vector<qint16> out(10);
    qint16 next = 1;
    auto write = [&] {
        for (qint16 &value : chunk)
            value = next++;
        ring.write(chunk.data(), 10);
    };
    qint64 now = 0;
    for (; now < 1000; now += 10) {
        write();
        ring.read(out.data(), 10, now);
    }
    const qint64 skippedBefore = ring.framesSkipped();
    // Half a second without reads (less than the storage: nothing is stale yet).
    for (int i = 0; i < 50; ++i, now += 10)
        write();
    ring.read(out.data(), 10, now);
    QCOMPARE(ring.framesTrimmed(), qint64(0));
    QCOMPARE(ring.underruns(), qint64(0));
    QCOMPARE(ring.queuedFrames(), qint64(ring.primeFrames() - 10));
    // The 30 it kept while playing and the 500 that came, but for the prime level it kept.
    QCOMPARE(ring.framesSkipped() - skippedBefore, qint64(30 + 500) - (ring.queuedFrames() + 10));
    // It plays the newest audio: the frame read last is the one written prime-level ago.
    QCOMPARE(qint64(out[9]), qint64(next - 1 - ring.queuedFrames()));
}

QTEST_GUILESS_MAIN(AudioRingTest)
#include "tst_audioring.moc"
