#pragma once

#include "engine/OutputSink.h"

#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <vector>

// Gives the program's one output to one session at a time. Every session whose delivery runs
// has joined; the one admitted last owns the output and its frames go through, the others keep
// decoding and pacing (so they stay at their live edge) but deliver nothing. When the owner
// leaves, the most recently admitted session still joined takes over; when none is left the
// output goes back to the card. The output's frame rate is always the owner's.
//
// Threads: nextAdmission on the GUI thread (the listener, at admission); join and leave on a
// session's video decoder or manager thread; send on a session's delivery worker. All under
// m_lock, which a send holds while the output takes the frame, so an owner change never
// overlaps a frame and a session that has left can never revive the output.
class OutputSwitch
{
public:
    // `sink` is not owned and must outlive the switch; null discards everything.
    explicit OutputSwitch(OutputSink *sink);
    OutputSwitch(const OutputSwitch &) = delete;
    OutputSwitch &operator=(const OutputSwitch &) = delete;

    // A number that orders admissions: later admissions get larger numbers.
    quint64 nextAdmission();

    // `session` (any unique address) joins with its admission number and frame rate; it takes
    // the output when no session admitted later has joined.
    void join(const void *session, quint64 admission, int rateNum, int rateDen);
    // `session` leaves; a no-op for one that never joined.
    void leave(const void *session);
    // Any thread, no lock: the output's audio delay (OutputSink::audioOutputDelayMs).
    int audioOutputDelayMs() const { return m_sink ? m_sink->audioOutputDelayMs() : 0; }
    // Sends the frame when `session` owns the output; false (nothing sent) otherwise.
    bool send(const void *session, const OutputFrame &frame);

    // Any thread: whether `session` owns the output now, and the owner (null when none).
    bool owns(const void *session) const { return m_owner.load() == session; }
    const void *owner() const { return m_owner.load(); }

private:
    struct Entry
    {
        const void *session;
        quint64 admission;
        int rateNum;
        int rateDen;
    };
    // Hands the output to the newest entry, or to the card without one.
    void chooseOwner_Locked();

    OutputSink *const m_sink;
    std::atomic<quint64> m_admissions{0};
    // Mirrors the owner for the lock-free checks of owns().
    std::atomic<const void *> m_owner{nullptr};

    // -- All the following fields are protected by m_lock.
    mutable std::mutex m_lock;
    std::vector<Entry> m_sessions;
    bool m_ownerAnnounced = false; // the output was told of the owner (its first frame)
};
