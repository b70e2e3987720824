#pragma once

#include "engine/DeliveryPolicy.h"
#include "engine/FrameQueue.h"

#include <atomic>
#include <memory>
#include <mutex>

class PlayoutThread;
class OutputSwitch;
struct SessionTimeline;

// The delivery stage of one session: its DeliveryPolicy and the PlayoutThread that runs the
// policy's tick on the DeliveryPolicy::kTickMs grid. Between frames the thread sleeps until the
// earliest a queued frame could be due (DeliveryPolicy::idleUntilMs) instead of ticking in
// vain; a frame pushed into an empty queue and a flush wake it.
//
// Threads: start() on the video decoding thread at the session's first picture; stop() on the
// manager thread (bounded) and at the end on the GUI thread (until ended); requestReset() and
// the policy view from any thread; the queues' waker on the decoding threads. The policy itself
// is used by the playout thread only.
class SessionDelivery
{
public:
    // The playout thread gets this long to end at a bounded stop.
    static constexpr unsigned long kStopWaitMs = 5000;
    // The longest the playout thread sleeps with nothing due: it looks at its clock again then.
    static constexpr qint64 kMaxIdleMs = 500;

    SessionDelivery() = default;
    // Stops the playout thread if it still runs and waits for it.
    ~SessionDelivery();
    SessionDelivery(const SessionDelivery &) = delete;
    SessionDelivery &operator=(const SessionDelivery &) = delete;

    // Creates the policy over the session's queues and starts the playout thread. Each tick
    // hands the policy the audio delay of the output `member` (the address the session joined
    // `output` with) owns, and the time, unless `stop` is set. A no-op when delivery already
    // runs.
    void start(const DeliveryPolicy::Session &session, FrameQueue &video, FrameQueue &audio,
               SessionTimeline &timeline, DeliverySink &sink, const std::atomic<bool> &stop,
               const OutputSwitch &output, int port, const void *member = nullptr);
    // Ends the playout thread, so that no tick runs against session data that is about to be
    // released: until it ends, or kStopWaitMs. True when it has ended (or never existed); it is
    // then freed.
    bool stop(bool untilEnded);
    // Any thread: true while the playout thread exists.
    bool running() const { return m_playout.load() != nullptr; }

    // Any thread: the policy flushes both queues at its next tick; asked before the policy
    // exists, the flush is handed to it when it starts.
    void requestReset();
    // Any thread: the policy, null before the first picture. It stays until this object goes,
    // so a reader never finds it freed.
    const DeliveryPolicy *policy() const { return m_policyView.load(); }
    // Frees the policy's buffers (only once stopped).
    void releaseBuffers();

private:
    // A decoding thread, after a push into an empty queue: wakes the playout thread.
    static void wakePlayout(void *delivery);

    std::unique_ptr<DeliveryPolicy> m_policy;
    std::atomic<DeliveryPolicy *> m_policyView{nullptr};
    // Created by start(), deleted by stop() once it has ended.
    std::atomic<PlayoutThread *> m_playout{nullptr};
    std::atomic<bool> m_resetPending{false};
    int m_port = -1;              // for the log lines; set by start()
    FrameQueue *m_queues[2] = {}; // the queues whose waker is set; start() and stop() only
    const FrameQueue::Waker m_waker{&SessionDelivery::wakePlayout, this};
    // Held while a wake uses m_playout and while stop() takes it away, so that no wake reaches
    // a deleted thread.
    std::mutex m_wakeLock;
};
