#include "output/MicrophoneAccounting.h"

#include "output/AudioRing.h"
#include "output/MicrophoneLog.h"

#include <algorithm>

qint64 MicrophoneAccounting::samplesDropped() const
{
    qint64 total = 0;
    for (const auto &counter : m_dropped)
        total += counter.load(std::memory_order_relaxed);
    return total;
}

void MicrophoneAccounting::retire(const AudioRing &ring)
{
    m_past.underruns += ring.underruns();
    m_past.trimmed += ring.framesTrimmed();
    m_past.skipped += ring.framesSkipped();
    m_past.played += ring.framesPlayed();
}

MicrophoneAccounting::Totals MicrophoneAccounting::totals(const AudioRing &current,
                                                          qint64 adjusted) const
{
    Totals totals;
    totals.underruns = m_past.underruns + current.underruns();
    totals.trimmed = m_past.trimmed + current.framesTrimmed();
    totals.skipped = m_past.skipped + current.framesSkipped();
    totals.played = m_past.played + current.framesPlayed();
    totals.adjusted = adjusted;
    totals.rate = current.sampleRate();
    return totals;
}

MicrophoneOutput::SoundGaps MicrophoneAccounting::soundGaps(const Totals &totals)
{
    MicrophoneOutput::SoundGaps gaps;
    gaps.ranDry = totals.underruns;
    gaps.cutMs = totals.trimmed * 1000 / std::max(1, totals.rate);
    return gaps;
}

void MicrophoneAccounting::report(const Totals &totals)
{
    // Each cause apart: running dry (the sound came too late or stopped: a busy computer, a
    // camera's uneven sending) and cuts (more came than could be played) are heard.
    if (totals.underruns != m_reported.underruns || totals.trimmed != m_reported.trimmed)
        qCInfo(lcMicrophone) << "MIC: ran dry" << totals.underruns - m_reported.underruns
                             << "times, cut" << totals.trimmed - m_reported.trimmed
                             << "samples since the last report";
    if (totals.skipped != m_reported.skipped)
        qCDebug(lcMicrophone) << "MIC: skipped" << totals.skipped - m_reported.skipped
                              << "samples nobody listened to, rate matched by" << totals.adjusted
                              << "samples so far";
    m_reported = totals;
}
