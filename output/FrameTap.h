#pragma once

#include <QElapsedTimer>
#include <QString>

#include <vector>

// Writes the pictures the virtual camera receives to a file or FIFO as YUV4MPEG2, for tests,
// benchmarks and anyone who wants to look (`ffplay`, `mpv`, `ffmpeg -i`). Never blocks the
// sender: the descriptor is non-blocking, a FIFO without a reader is opened again later, and
// a frame that does not fit whole is finished from a private copy before the next one is
// taken, so a reader always sees whole frames. One thread at a time (the sink's lock).
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

    qint64 framesWritten() const { return m_framesWritten; }
    qint64 framesDropped() const { return m_framesDropped; }

private:
    bool ensureOpen();
    void closeTap();
    // Writes the pending bytes; false when some remain (or the reader left).
    bool flushPending();
    // Writes `bytes` directly; keeps what did not fit as pending. False when the reader left.
    bool writeSome(const uchar *data, size_t bytes);

    // How often a FIFO without a reader is tried again.
    static constexpr int kReopenIntervalMs = 1000;

    const QByteArray m_path;
    const size_t m_frameBytes;
    QByteArray m_header;
    int m_fd = -1;
    QElapsedTimer m_sinceOpenTry;
    bool m_waitLogged = false;
    bool m_errorLogged = false;
    // Unwritten tail of the last frame (FRAME marker and picture), allocated once.
    std::vector<uchar> m_pending;
    size_t m_pendingOffset = 0;
    size_t m_pendingBytes = 0;
    qint64 m_framesWritten = 0;
    qint64 m_framesDropped = 0;
};
