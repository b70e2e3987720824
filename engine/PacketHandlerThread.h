#pragma once

#include "engine/FfmpegPtr.h"

#include <QThread>

#include <atomic>
#include <functional>

class PacketQueue;

// One decoding thread of a session: takes packets from its queue, oldest first, and hands each
// to its handler (the video or the audio decoder's work) until it is stopped.
//
// Threads: created, started and stopped by the manager thread; run() is the decoding thread;
// requestStop from any thread.
class PacketHandlerThread : public QThread
{
public:
    using Handler = std::function<void(AVPacket *packet)>;

    // The queue is not owned and must outlive the thread.
    PacketHandlerThread(PacketQueue &queue, Handler handler, const QString &name);
    ~PacketHandlerThread() override;

    // Any thread: the thread ends after the packet it is decoding, or at once while it waits.
    void requestStop();

protected:
    void run() override;

private:
    PacketQueue &m_queue;
    const Handler m_handler;
    std::atomic<bool> m_stopRequested{false};
};
