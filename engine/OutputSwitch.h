#pragma once

#include "engine/OutputSink.h"
#include "engine/WebcamAssignment.h"

#include <QtGlobal>

#include <array>
#include <atomic>
#include <mutex>
#include <vector>

// Gives the program's outputs (one per webcam) to sessions by WebcamAssignment's rules. Every
// session whose delivery runs has joined; by default there is one output and the session
// admitted last owns it, the others keep their sound paced (so they stay at their live edge)
// and their packets from the last keyframe on, but deliver nothing; when the owner leaves, the
// most recently admitted session still
// joined takes over. With each camera on its own webcam, a session takes the lowest free
// output for as long as it streams and the extra ones wait. An output without an owner goes
// back to the card. Each output's frame rate is always its owner's.
//
// Threads: nextAdmission, reconfigure and waiting on the GUI thread; join and leave on a
// session's video decoder or manager thread; send on a session's delivery worker;
// audioOutputDelayMs on any delivery worker. The assignment is kept under m_lock; each
// output has a lock of its own, which a send holds while the output takes the frame, so an
// owner change never overlaps a frame and a session that has left can never revive an
// output, while the cameras on different outputs never wait for one another. m_lock is taken
// before an output's lock.
class OutputSwitch
{
public:
    using Mode = WebcamAssignment::Mode;
    static constexpr int kMaxOutputs = 4;

    // One output (`sink`, not owned, must outlive the switch; null discards everything), the
    // newest session owns it.
    explicit OutputSwitch(OutputSink *sink);
    // Several outputs (at most kMaxOutputs, the rest ignored; none may be null).
    OutputSwitch(const std::vector<OutputSink *> &sinks, Mode mode);
    OutputSwitch(const OutputSwitch &) = delete;
    OutputSwitch &operator=(const OutputSwitch &) = delete;

    // Takes other outputs and rules. The old outputs get no call from the switch once this
    // returns (a send under way is waited for), so they may then be destroyed; the sessions
    // joined are assigned afresh, oldest joined first.
    void reconfigure(const std::vector<OutputSink *> &sinks, Mode mode);

    // A number that orders admissions: later admissions get larger numbers.
    quint64 nextAdmission();

    // `session` (any unique address) joins with its admission number and frame rate.
    void join(const void *session, quint64 admission, int rateNum, int rateDen);
    // `session` leaves; a no-op for one that never joined.
    void leave(const void *session);
    // Any thread: the audio delay (OutputSink::audioOutputDelayMs) of the output `session`
    // owns, so each camera's pictures wait for its own microphone only; for a session without
    // one (or null), the largest of the outputs, which it may take. An output busy with a send
    // or a change answers with the last value seen.
    int audioOutputDelayMs(const void *session = nullptr) const;
    // Sends the frame when `session` owns an output; false (nothing sent) otherwise.
    bool send(const void *session, const OutputFrame &frame);

    // Any thread: whether `session` owns an output now, which one (-1: none), the owner of
    // the first output (null when none).
    bool owns(const void *session) const { return outputOf(session) >= 0; }
    int outputOf(const void *session) const;
    const void *owner() const { return m_outputs[0].owner.load(); }
    const void *ownerOf(int output) const;
    int outputCount() const { return m_count.load(); }
    Mode mode() const;
    // GUI thread: the sessions joined but without an output, in the order they would take one.
    std::vector<const void *> waiting() const;

private:
    struct Entry
    {
        const void *session;
        quint64 admission;
        int rateNum;
        int rateDen;
    };
    struct Output
    {
        std::atomic<const void *> owner{nullptr}; // mirrored for the lock-free checks
        std::atomic<int> lastAudioDelayMs{0};     // the sink's, at the last look
        // -- Guarded by lock.
        std::mutex lock;
        OutputSink *sink = nullptr;
        bool announced = false; // the output was told of the owner (its first frame)
    };
    // Brings every output's owner in line with the assignment.
    void applyAssignment_Locked();
    const Entry *entry_Locked(const void *session) const;

    std::atomic<quint64> m_admissions{0};
    std::atomic<int> m_count{0};
    mutable std::array<Output, kMaxOutputs> m_outputs;

    // -- All the following fields are protected by m_lock.
    mutable std::mutex m_lock;
    WebcamAssignment m_assignment{Mode::NewestOwnsOne, 1};
    std::vector<Entry> m_sessions;
};
