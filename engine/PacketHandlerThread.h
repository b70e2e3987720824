#pragma once

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class StreamManager;

// One decoding thread of a stream manager: kind 10 decodes the video packet list, kind 20 the
// audio packet list. Created and stopped by the manager's own thread.
class PacketHandlerThread : public QThread
{
public:
    static constexpr int kKindVideo = 10;
    static constexpr int kKindAudio = 20;

    // Manager thread. No parent: the manager owns the handler.
    PacketHandlerThread(StreamManager *manager, int kind);
    ~PacketHandlerThread() override;

    // Manager thread (reader), after a packet was appended to the handler's list. Never lost:
    // a wake that arrives while the handler drains makes it drain once more.
    void wake();
    // Any thread: interruption plus wake; the thread ends at its next test.
    void requestStop();

    int kind() const { return m_kind; }

protected:
    void run() override;

private:
    StreamManager *const m_manager; // not owned
    const int m_kind;

    std::atomic<bool> m_stopRequested{false};

    std::mutex m_mutex;
    // -- guarded by m_mutex
    std::condition_variable m_wake;
    bool m_pending = false; // packets were appended since the last drain began
};
