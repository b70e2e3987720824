#include "output/FrameTap.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kFrameMarker[] = "FRAME\n";
constexpr size_t kFrameMarkerBytes = sizeof(kFrameMarker) - 1;

// write() that reports a vanished FIFO reader as EPIPE instead of killing the process with
// SIGPIPE: the signal is blocked on this thread for the call and a pending one is consumed.
ssize_t writeNoSigpipe(int fd, const void *data, size_t bytes)
{
    sigset_t pipeSet;
    sigset_t oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    ssize_t written;
    do {
        written = ::write(fd, data, bytes);
    } while (written < 0 && errno == EINTR);
    const int savedErrno = errno;
    if (written < 0 && savedErrno == EPIPE && !sigismember(&oldSet, SIGPIPE)) {
        const timespec zero = {0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    errno = savedErrno;
    return written;
}

} // namespace

FrameTap::FrameTap(const QString &path, int width, int height, int fps)
    : m_path(path.toLocal8Bit()), m_frameBytes(static_cast<size_t>(width) * height +
                                               2 * static_cast<size_t>(width / 2) * (height / 2))
{
    m_header = QStringLiteral("YUV4MPEG2 W%1 H%2 F%3:1 Ip A1:1 C420jpeg\n")
                   .arg(width)
                   .arg(height)
                   .arg(fps)
                   .toLatin1();
    m_pending.resize(static_cast<size_t>(m_header.size()) + kFrameMarkerBytes + m_frameBytes);
    ensureOpen();
}

FrameTap::~FrameTap()
{
    closeTap();
}

bool FrameTap::ensureOpen()
{
    if (m_fd >= 0)
        return true;
    if (m_sinceOpenTry.isValid() && m_sinceOpenTry.elapsed() < kReopenIntervalMs)
        return false;
    m_sinceOpenTry.start();
    int fd;
    do {
        fd =
            ::open(m_path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A FIFO nobody reads yet: normal, try again later.
        if (errno == ENXIO) {
            if (!m_waitLogged)
                qDebug() << "VCAM TAP: waiting for a reader:" << m_path.constData();
            m_waitLogged = true;
        } else if (!m_errorLogged) {
            qWarning() << "VCAM TAP: cannot open" << m_path.constData() << strerror(errno);
            m_errorLogged = true;
        }
        return false;
    }
    m_fd = fd;
    m_waitLogged = false;
    m_errorLogged = false;
    qDebug() << "VCAM TAP: writing" << m_path.constData();
    // Each reader gets the stream header first.
    std::memcpy(m_pending.data(), m_header.constData(), static_cast<size_t>(m_header.size()));
    m_pendingOffset = 0;
    m_pendingBytes = static_cast<size_t>(m_header.size());
    return true;
}

void FrameTap::closeTap()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pendingBytes = 0;
    m_pendingOffset = 0;
}

bool FrameTap::flushPending()
{
    while (m_pendingBytes > 0) {
        const ssize_t written =
            writeNoSigpipe(m_fd, m_pending.data() + m_pendingOffset, m_pendingBytes);
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return false;
            if (errno == EPIPE)
                qDebug() << "VCAM TAP: reader left:" << m_path.constData();
            else
                qWarning() << "VCAM TAP: write failed:" << m_path.constData() << strerror(errno);
            closeTap();
            return false;
        }
        m_pendingOffset += static_cast<size_t>(written);
        m_pendingBytes -= static_cast<size_t>(written);
    }
    m_pendingOffset = 0;
    return true;
}

bool FrameTap::writeSome(const uchar *data, size_t bytes)
{
    size_t done = 0;
    while (done < bytes) {
        const ssize_t written = writeNoSigpipe(m_fd, data + done, bytes - done);
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EPIPE)
                qDebug() << "VCAM TAP: reader left:" << m_path.constData();
            else
                qWarning() << "VCAM TAP: write failed:" << m_path.constData() << strerror(errno);
            closeTap();
            return false;
        }
        done += static_cast<size_t>(written);
    }
    if (done < bytes) {
        // Keep the tail; it goes out before any later frame.
        std::memcpy(m_pending.data(), data + done, bytes - done);
        m_pendingOffset = 0;
        m_pendingBytes = bytes - done;
    }
    return true;
}

void FrameTap::write(const uchar *picture)
{
    if (!ensureOpen() || !flushPending()) {
        ++m_framesDropped;
        return;
    }
    // The marker goes through the pending path only if the picture does not follow at once.
    if (!writeSome(reinterpret_cast<const uchar *>(kFrameMarker), kFrameMarkerBytes)) {
        ++m_framesDropped;
        return;
    }
    if (m_pendingBytes > 0) {
        // Marker only partly out: queue the picture behind its tail.
        std::memcpy(m_pending.data() + m_pendingBytes, picture, m_frameBytes);
        m_pendingBytes += m_frameBytes;
        ++m_framesWritten;
        return;
    }
    if (writeSome(picture, m_frameBytes))
        ++m_framesWritten;
    else
        ++m_framesDropped;
}
