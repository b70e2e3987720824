#include "output/AudioRing.h"
#include "output/MicrophoneAccounting.h"

#include <QtTest>

#include <vector>

namespace {

// Plays `ring` as the server would, 10 ms a read, from a queue of two 100 ms bursts until it
// runs dry once; `cut` frames are counted as cut by the producer.
void playUntilDry(AudioRing &ring, int cut)
{
    const int burst = ring.sampleRate() / 10;
    const int quantum = ring.sampleRate() / 100;
    std::vector<qint16> audio(static_cast<size_t>(burst) * ring.channels(), 100);
    std::vector<qint16> out(static_cast<size_t>(quantum) * ring.channels());
    ring.write(audio.data(), burst);
    ring.write(audio.data(), burst);
    ring.countCut(cut);
    qint64 now = 0;
    for (int i = 0; i < 100 && ring.underruns() == 0; ++i, now += 10)
        ring.read(out.data(), quantum, now);
}

} // namespace

// What the microphone's statistics show: the gaps heard stay counted when a format change
// replaces the ring, and the cut is in ms of the latest format.
class MicrophoneAccountingTest : public QObject
{
    Q_OBJECT

private slots:
    void countsSurviveTheRingsAFormatChangeReplaces_data();
    void countsSurviveTheRingsAFormatChangeReplaces();
};

void MicrophoneAccountingTest::countsSurviveTheRingsAFormatChangeReplaces_data()
{
    QTest::addColumn<QVector<int>>("rates");
    QTest::addColumn<int>("cutPerRing");
    QTest::newRow("one ring") << QVector<int>{48000} << 4800;
    QTest::newRow("48 then 44.1 kHz") << QVector<int>{48000, 44100} << 4410;
    QTest::newRow("three formats, no cut") << QVector<int>{44100, 48000, 32000} << 0;
}

void MicrophoneAccountingTest::countsSurviveTheRingsAFormatChangeReplaces()
{
    QFETCH(QVector<int>, rates);
    QFETCH(int, cutPerRing);
    MicrophoneAccounting accounting;
    qint64 played = 0;
    qint64 skipped = 0;
    std::unique_ptr<AudioRing> ring;
    for (const int rate : rates) {
        if (ring)
            accounting.retire(*ring);
        ring = std::make_unique<AudioRing>(rate, 2);
        playUntilDry(*ring, cutPerRing);
        QCOMPARE(ring->underruns(), qint64(1));
        played += ring->framesPlayed();
        skipped += ring->framesSkipped();
    }
    const MicrophoneAccounting::Totals totals = accounting.totals(*ring, 7);
    QCOMPARE(totals.underruns, qint64(rates.size()));
    QCOMPARE(totals.trimmed, qint64(cutPerRing) * rates.size());
    QCOMPARE(totals.played, played);
    QCOMPARE(totals.skipped, skipped);
    QCOMPARE(totals.adjusted, qint64(7));
    QCOMPARE(totals.rate, rates.last());

    const MicrophoneOutput::SoundGaps gaps = MicrophoneAccounting::soundGaps(totals);
    QCOMPARE(gaps.ranDry, qint64(rates.size()));
    QCOMPARE(gaps.cutMs, qint64(cutPerRing) * rates.size() * 1000 / rates.last());
}

QTEST_GUILESS_MAIN(MicrophoneAccountingTest)
#include "tst_microphoneaccounting.moc"
