#pragma once

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

class QThread;

// Writes the pictures the virtual camera receives to a file or FIFO as YUV4MPEG2, for tests,
// benchmarks and anyone who wants to look (`ffplay`, `mpv`, `ffmpeg -i`). Never blocks the
// sender: the descriptor is non-blocking and a FIFO without a reader is opened again later.
// A FIFO is enlarged to hold two pictures where the system allows; a picture that still does
// not fit is finished by the tap's own thread as soon as the reader makes room, from a copy
// made once, so a reader gets every picture whole and in time while it keeps up. Pictures
// sent while one is still being finished are dropped (counted), never queued without bound.
//
// write: the sending thread, one at a time (the sink's lock). Counters: any thread.
class FrameTap
{
public:
    // path: file or FIFO; width, height: the fixed picture size (even); fps: header rate.
    FrameTap(const QString &path, int width, int height, int fps);
    ~FrameTap();
    FrameTap(const FrameTap &) = delete;
    FrameTap &operator=(const FrameTap &) = delete;

    // One packed I420 picture of the tap's size.
    void write(const uchar *picture);

    // Pictures that went out whole / that were not taken or were lost with a leaving reader.
    qint64 framesWritten() const { return m_framesWritten.load(); }
    qint64 framesDropped() const { return m_framesDropped.load(); }

    // How often a FIFO without a reader is tried again.
    static constexpr int kReopenIntervalMs = 1000;
    // How long closing the tap waits for a reader to take the last picture's tail.
    static constexpr int kDrainMs = 500;
    // Upper bound for the FIFO's capacity (kernel memory), whatever the picture size.
    static constexpr int kMaxPipeBytes = 32 * 1024 * 1024;

private:
    bool ensureOpen();
    void enlargePipe(int fd);
    void closeTap();
    // The tap thread: writes the pending tail whenever the FIFO has room.
    void run();

    const QByteArray m_path;
    const size_t m_frameBytes;
    QByteArray m_header;
    // Breaks the tap thread's poll() when the tap closes.
    int m_wakeFd = -1;
    std::unique_ptr<QThread> m_thread;

    // -- All the following fields are protected by m_lock. The tap thread touches m_fd and
    // -- m_pending only while m_pendingBytes > 0; the sender only while it is 0.
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    int m_fd = -1;
    bool m_headerDue = false;
    QElapsedTimer m_sinceOpenTry;
    bool m_waitLogged = false;
    bool m_errorLogged = false;
    // Unwritten tail of the last picture (header, FRAME marker, picture), allocated once and
    // left untouched (so not resident) while every picture goes out whole.
    std::unique_ptr<uchar[]> m_pending;
    size_t m_pendingOffset = 0;
    size_t m_pendingBytes = 0;

    std::atomic<qint64> m_framesWritten{0};
    std::atomic<qint64> m_framesDropped{0};
};
