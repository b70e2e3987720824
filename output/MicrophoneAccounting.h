#pragma once

#include "output/MicrophoneOutput.h"

#include <QtGlobal>

#include <array>
#include <atomic>

class AudioRing;

// The microphone's books: the audio that came and why some was not played, and what its
// hand-over rings counted (running dry, cuts, sound nobody listened to), also across the rings a
// format change replaced. Every few seconds one line says what a listener heard go wrong since
// the last one.
//
// Threads:
//   - Producer (the output's thread, in putLive): countReceived, countDropped.
//   - With MicrophoneStream's hand-over lock held (it owns the rings): retire, totals. That lock
//     guards m_past.
//   - PipeWire's loop thread: report (m_reported is its own).
//   - Any thread: samplesReceived, samplesDropped, soundGaps.
class MicrophoneAccounting
{
public:
    enum class DropReason
    {
        MicrophoneOff,     // setEnabled(false)
        NoServer,          // no PipeWire server, or the stream is not up yet
        FormatChange,      // the stream is changing to the audio's rate or channels
        UnsupportedFormat, // not mono or stereo, or a rate outside 8-192 kHz
    };
    static constexpr int kDropReasons = 4;

    // What the rings counted so far, samples per channel (the latest ring's rate for cutMs).
    struct Totals
    {
        qint64 underruns = 0;
        qint64 trimmed = 0; // cut: more came than could be played in time
        qint64 skipped = 0; // never played because nobody listened
        qint64 played = 0;
        qint64 adjusted = 0; // played more (positive) or fewer than came, by matching the rate
        int rate = 0;
    };

    void countReceived(int samples) { m_received.fetch_add(samples, std::memory_order_relaxed); }
    void countDropped(DropReason reason, int samples)
    {
        m_dropped[static_cast<size_t>(reason)].fetch_add(samples, std::memory_order_relaxed);
    }
    qint64 samplesReceived() const { return m_received.load(std::memory_order_relaxed); }
    qint64 samplesDropped(DropReason reason) const
    {
        return m_dropped[static_cast<size_t>(reason)].load(std::memory_order_relaxed);
    }
    qint64 samplesDropped() const;

    // A ring about to be replaced: its counts stay in the totals.
    void retire(const AudioRing &ring);
    Totals totals(const AudioRing &current, qint64 adjusted) const;

    // Pure: the gaps a listener heard, by cause.
    static MicrophoneOutput::SoundGaps soundGaps(const Totals &totals);

    // One line when the rings ran dry or cut since the last report; sound skipped while nobody
    // listened is not heard, and only logged at debug level.
    void report(const Totals &totals);

private:
    std::atomic<qint64> m_received{0};
    std::array<std::atomic<qint64>, kDropReasons> m_dropped{};
    Totals m_past;     // rings already replaced
    Totals m_reported; // the totals report() last logged
};
