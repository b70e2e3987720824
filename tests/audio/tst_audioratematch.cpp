#include "output/AudioRateMatch.h"
#include "output/AudioRing.h"

#include <QtTest>

#include <cmath>
#include <vector>

// The microphone's rate matching against a consumer in virtual time: the producer hands over a
// 1 kHz tone in 1024-frame writes at 48 kHz (an AAC frame's worth); the consumer takes a
// 512-frame quantum. What is checked is what a listener hears: no dropout, no cut, and a rate
// change too small to hear, and that the queue goes back to its level.
namespace {

constexpr int kRate = 48000;
constexpr int kWrite = 1024;
constexpr int kQuantum = 512;

struct Run
{
    double extraMs = 0;     // handed over at once at 2 s, as the delivery does when sound's
                            // delay comes down
    double consumerPpm = 0; // how much faster the sound card's clock runs (negative: slower)
    double seconds = 20;
};

struct Heard
{
    qint64 underruns = 0;
    qint64 trimmed = 0;
    qint64 adjusted = 0;
    double largestRatio = 0;
    double settledMs = -1;   // when the queue was back within 5 ms of its level after the extra
    double finalErrorMs = 0; // the queue's average at the end against its level
    double worstJumpPerMille = 0; // the largest sample-to-sample step of the tone, of full scale
    int peak = 0;                 // the largest sample heard
};

Heard play(const Run &run)
{
    AudioRing ring(kRate, 1);
    AudioRateMatch match;
    if (!match.configure(kRate, 1))
        return {};
    Heard heard;
    // The decoder's planar float in, the node's signed 16-bit out.
    std::vector<float> chunk(size_t(kWrite * 8));
    const float *const planes[1] = {chunk.data()};
    std::vector<qint16> out(kQuantum);
    qint64 produced = 0;
    auto tone = [&produced](int frames, float *to) {
        for (int i = 0; i < frames; ++i, ++produced)
            to[i] = float(8000.0 / 32768.0 * std::sin(2 * M_PI * 1000.0 * produced / kRate));
    };
    const double writeMs = kWrite * 1000.0 / kRate;
    const double readMs = kQuantum * 1000.0 / kRate / (1.0 + run.consumerPpm * 1e-6);
    double nextWrite = 0;
    double nextRead = 60; // the recorder starts a little later
    bool extraDone = false;
    qint16 previous = 0;
    bool playing = false;
    double averageMs = 0;
    double levelSum = 0;
    int levelReads = 0;
    for (double now = 0; now < run.seconds * 1000;) {
        if (nextWrite <= nextRead) {
            now = nextWrite;
            int frames = kWrite;
            if (!extraDone && now >= 2000 && run.extraMs > 0) {
                frames += int(run.extraMs * kRate / 1000);
                extraDone = true;
            }
            tone(frames, chunk.data());
            match.write(ring, planes, frames);
            heard.largestRatio = qMax(heard.largestRatio, std::abs(match.ratio()));
            nextWrite += writeMs;
        } else {
            now = nextRead;
            ring.read(out.data(), kQuantum);
            for (int i = 0; i < kQuantum; ++i) {
                // From a second on: the start skips to the queue's level, which is no cut.
                if (out[size_t(i)] != 0 && now > 1000)
                    playing = true;
                if (playing)
                    heard.worstJumpPerMille =
                        qMax(heard.worstJumpPerMille, std::abs(out[size_t(i)] - previous) / 32.768);
                previous = out[size_t(i)];
                heard.peak = qMax(heard.peak, std::abs(int(out[size_t(i)])));
            }
            // The queue before this read against the level it keeps.
            // Its level: where it stood on average over the second after it started.
            const double fillMs = ring.fillBeforeRead() * 1000.0 / kRate;
            if (now >= 500 && now < 1500) {
                levelSum += fillMs;
                ++levelReads;
            }
            const double level = levelReads > 0 ? levelSum / levelReads : fillMs;
            averageMs += 0.01 * (fillMs - level - averageMs);
            if (extraDone && heard.settledMs < 0 &&
                std::abs(averageMs) < AudioRateMatch::kDeadbandMs + 2 && now > 2500)
                heard.settledMs = now - 2000;
            nextRead += readMs;
        }
    }
    heard.underruns = ring.underruns();
    heard.trimmed = ring.framesTrimmed();
    heard.adjusted = match.framesAdjusted();
    heard.finalErrorMs = averageMs;
    return heard;
}

} // namespace

Q_DECLARE_METATYPE(Run)

class AudioRateMatchTest : public QObject
{
    Q_OBJECT

private slots:
    void ratio_data();
    void ratio();
    void playsWithoutGaps_data();
    void playsWithoutGaps();
};

void AudioRateMatchTest::ratio_data()
{
    QTest::addColumn<double>("errorMs");
    QTest::addColumn<double>("ratio");
    QTest::newRow("on its level") << 0.0 << 0.0;
    QTest::newRow("within the dead band") << 3.0 << 0.0;
    QTest::newRow("21 ms too much: a quarter per cent faster") << 21.0 << 0.0025;
    QTest::newRow("within the band below") << -15.0 << 0.0;
    QTest::newRow("27 ms too little: a fifth per cent slower") << -27.0 << -0.002;
    QTest::newRow("far too much: never above 1 %") << 150.0 << 0.01;
    QTest::newRow("far too little: never below -1 %") << -150.0 << -0.01;
}

void AudioRateMatchTest::ratio()
{
    QFETCH(double, errorMs);
    QFETCH(double, ratio);
    QCOMPARE(AudioRateMatch::ratioFor(errorMs), ratio);
}

void AudioRateMatchTest::playsWithoutGaps_data()
{
    QTest::addColumn<Run>("run");
    // Frames played fewer (negative) or more than handed over, beyond what a steady run of the
    // same length adjusts while the queue settles after it starts: the extra, or the clocks'
    // difference over the run.
    QTest::addColumn<int>("adjusted");
    Run steady;
    QTest::newRow("steady") << steady << 0;
    Run extra;
    extra.extraMs = 60;
    extra.seconds = 40;
    // 60 ms at 48 kHz: played out at most 1 % faster, the last ms ever more slowly (20 s).
    QTest::newRow("60 ms more at once") << extra << -2880;
    Run slowCard;
    slowCard.consumerPpm = -200;
    slowCard.seconds = 60;
    // 200 ppm of 60 s at 48 kHz: 576 frames more than the card takes.
    QTest::newRow("a sound card 200 ppm slower") << slowCard << -576;
    Run fastCard;
    fastCard.consumerPpm = 200;
    fastCard.seconds = 120;
    // 200 ppm of 120 s: 1152 frames more than handed over, less the 15 ms (720 frames) let be.
    QTest::newRow("a sound card 200 ppm faster") << fastCard << 432;
}

void AudioRateMatchTest::playsWithoutGaps()
{
    QFETCH(Run, run);
    QFETCH(int, adjusted);
    Run steady;
    steady.seconds = run.seconds;
    const qint64 settling = play(steady).adjusted;
    const Heard heard = play(run);
    qInfo() << "adjusted" << heard.adjusted << "frames, largest rate change"
            << heard.largestRatio * 100 << "%, settled after" << heard.settledMs
            << "ms, queue at the end" << heard.finalErrorMs << "ms off its level, largest step"
            << heard.worstJumpPerMille << "per mille";
    QCOMPARE(heard.underruns, qint64(0));
    QCOMPARE(heard.trimmed, qint64(0));
    QVERIFY(heard.largestRatio <= AudioRateMatch::kMaxRatio + 1e-9);
    // Within the dead band's worth (6 ms, 288 frames) and a little.
    QVERIFY2(std::abs(heard.adjusted - settling - adjusted) <= 400,
             qPrintable(QStringLiteral("%1 beyond the %2 of a steady run")
                            .arg(heard.adjusted - settling)
                            .arg(settling)));
    QVERIFY2(heard.finalErrorMs <= AudioRateMatch::kDeadbandMs + 2 &&
                 heard.finalErrorMs >= -AudioRateMatch::kDeficitBandMs - 2,
             qPrintable(QString::number(heard.finalErrorMs)));
    if (run.extraMs > 0)
        QVERIFY2(heard.settledMs > 0 && heard.settledMs < 30000,
                 qPrintable(QString::number(heard.settledMs)));
    // A 1 kHz tone at amplitude 8000 steps at most 8000 * 2 pi / 48 per sample (32 per mille
    // of full scale); a cut or a dropout steps further.
    QVERIFY2(heard.worstJumpPerMille < 40, qPrintable(QString::number(heard.worstJumpPerMille)));
    // The float tone at 8000 / 32768 of full scale comes out at 8000 (the one conversion keeps
    // the level; resampling overshoots a little at most).
    QVERIFY2(heard.peak >= 7900 && heard.peak <= 8200, qPrintable(QString::number(heard.peak)));
}

QTEST_GUILESS_MAIN(AudioRateMatchTest)
#include "tst_audioratematch.moc"
