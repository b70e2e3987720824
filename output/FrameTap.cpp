#include "output/FrameTap.h"

#include "output/OutputLog.h"

#include <QFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kFrameMarker[] = "FRAME\n";
constexpr size_t kFrameMarkerBytes = sizeof(kFrameMarker) - 1;
// What a FIFO holds before it is enlarged; below this there is nothing to gain.
constexpr int kDefaultPipeBytes = 64 * 1024;

// writev() that reports a vanished FIFO reader as EPIPE instead of killing the process with
// SIGPIPE: the signal is blocked on this thread for the call and a pending one is consumed.
ssize_t writeNoSigpipe(int fd, const iovec *parts, int count)
{
    sigset_t pipeSet;
    sigset_t oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    ssize_t written;
    do {
        written = ::writev(fd, parts, count);
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

int pipeMaxBytes()
{
    QFile file(QStringLiteral("/proc/sys/fs/pipe-max-size"));
    if (!file.open(QIODevice::ReadOnly))
        return kDefaultPipeBytes;
    bool ok = false;
    const int bytes = file.readAll().trimmed().toInt(&ok);
    return ok && bytes > 0 ? bytes : kDefaultPipeBytes;
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
    // Not value-initialised: zeroing would make the whole picture's worth resident at once.
    m_pending.reset(
        new uchar[static_cast<size_t>(m_header.size()) + kFrameMarkerBytes + m_frameBytes]);
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        qCWarning(lcOutput) << "VCAM TAP: eventfd failed:" << strerror(errno);
    m_thread.reset(QThread::create([this]() { run(); }));
    m_thread->setObjectName(QStringLiteral("VCamTap"));
    m_thread->start();
    std::lock_guard<std::mutex> guard(m_lock);
    ensureOpen();
}

FrameTap::~FrameTap()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        if (::write(m_wakeFd, &one, sizeof one) < 0)
            qCWarning(lcOutput) << "VCAM TAP: cannot wake the tap thread:" << strerror(errno);
    }
    // The thread gives up on a stalled reader after kDrainMs (poll timeout, even unwoken).
    m_thread->wait();
    std::lock_guard<std::mutex> guard(m_lock);
    closeTap();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
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
                qCInfo(lcOutput) << "VCAM TAP: waiting for a reader:" << m_path.constData();
            m_waitLogged = true;
        } else if (!m_errorLogged) {
            qCWarning(lcOutput) << "VCAM TAP: cannot open" << m_path.constData() << strerror(errno);
            m_errorLogged = true;
        }
        return false;
    }
    m_fd = fd;
    m_waitLogged = false;
    m_errorLogged = false;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode))
        enlargePipe(fd);
    qCInfo(lcOutput) << "VCAM TAP: writing" << m_path.constData();
    // Each reader gets the stream header first.
    m_headerDue = true;
    return true;
}

void FrameTap::enlargePipe(int fd)
{
    // Two pictures with their markers: one being read while the next goes in.
    const size_t wantBytes =
        static_cast<size_t>(m_header.size()) + 2 * (kFrameMarkerBytes + m_frameBytes);
    int want = static_cast<int>(std::min(wantBytes, static_cast<size_t>(kMaxPipeBytes)));
    int current = ::fcntl(fd, F_GETPIPE_SZ);
    if (current < 0)
        current = kDefaultPipeBytes;
    // Unprivileged users may not go past pipe-max-size, nor past their share of pipe pages;
    // each refusal halves the request until it is no bigger than what the pipe has.
    bool triedMax = false;
    while (want > current) {
        const int got = ::fcntl(fd, F_SETPIPE_SZ, want);
        if (got >= 0) {
            current = got;
            break;
        }
        if (errno != EPERM && errno != EBUSY) {
            qCInfo(lcOutput) << "VCAM TAP: cannot enlarge the FIFO:" << strerror(errno);
            break;
        }
        const int max = pipeMaxBytes();
        want = (!triedMax && want > max) ? max : want / 2;
        triedMax = true;
    }
    if (static_cast<size_t>(current) < wantBytes)
        qCInfo(lcOutput) << "VCAM TAP: FIFO holds" << current << "bytes, less than two pictures;"
                         << "the tap thread finishes each picture as the reader makes room";
}

void FrameTap::closeTap()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pendingBytes = 0;
    m_pendingOffset = 0;
}

void FrameTap::write(const uchar *picture)
{
    std::lock_guard<std::mutex> guard(m_lock);
    // A picture still being finished for a slow reader: this one is not taken.
    if (m_pendingBytes > 0 || !ensureOpen()) {
        ++m_framesDropped;
        return;
    }
    iovec parts[3];
    int count = 0;
    if (m_headerDue)
        parts[count++] = {const_cast<char *>(m_header.constData()),
                          static_cast<size_t>(m_header.size())};
    parts[count++] = {const_cast<char *>(kFrameMarker), kFrameMarkerBytes};
    parts[count++] = {const_cast<uchar *>(picture), m_frameBytes};
    m_headerDue = false;

    ssize_t written = writeNoSigpipe(m_fd, parts, count);
    if (written < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (errno == EPIPE)
                qCInfo(lcOutput) << "VCAM TAP: reader left:" << m_path.constData();
            else
                qCWarning(lcOutput)
                    << "VCAM TAP: write failed:" << m_path.constData() << strerror(errno);
            closeTap();
            ++m_framesDropped;
            return;
        }
        written = 0;
    }
    // Whatever did not fit goes to the tap thread, which finishes it before any later picture.
    size_t skip = static_cast<size_t>(written);
    size_t tail = 0;
    for (int i = 0; i < count; ++i) {
        const size_t from = std::min(skip, parts[i].iov_len);
        skip -= from;
        const size_t left = parts[i].iov_len - from;
        if (left > 0)
            std::memcpy(m_pending.get() + tail,
                        static_cast<const uchar *>(parts[i].iov_base) + from, left);
        tail += left;
    }
    if (tail == 0) {
        ++m_framesWritten;
        return;
    }
    m_pendingOffset = 0;
    m_pendingBytes = tail;
    m_wake.notify_one();
}

void FrameTap::run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    QElapsedTimer draining;
    for (;;) {
        m_wake.wait(lock, [this]() { return m_stopping || m_pendingBytes > 0; });
        if (m_pendingBytes == 0)
            return; // stopping with nothing left
        if (m_stopping && !draining.isValid())
            draining.start();
        const int fd = m_fd;
        const iovec part = {m_pending.get() + m_pendingOffset, m_pendingBytes};
        lock.unlock();

        ssize_t written = writeNoSigpipe(fd, &part, 1);
        const int writeErrno = errno;
        if (written < 0 && (writeErrno == EAGAIN || writeErrno == EWOULDBLOCK)) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {m_wakeFd, POLLIN, 0}};
            const int timeoutMs =
                draining.isValid()
                    ? static_cast<int>(std::max<qint64>(0, kDrainMs - draining.elapsed()))
                    : -1;
            if (::poll(fds, m_wakeFd >= 0 ? 2 : 1, m_wakeFd >= 0 ? timeoutMs : 100) > 0 &&
                (fds[1].revents & POLLIN)) {
                uint64_t count;
                if (::read(m_wakeFd, &count, sizeof count) < 0 && errno != EAGAIN)
                    qCWarning(lcOutput) << "VCAM TAP: wake read failed:" << strerror(errno);
            }
            lock.lock();
            if (draining.isValid() && draining.elapsed() >= kDrainMs) {
                closeTap();
                ++m_framesDropped;
                qCInfo(lcOutput) << "VCAM TAP: reader too slow, last picture cut:"
                                 << m_path.constData();
            }
            continue;
        }
        lock.lock();
        if (written < 0) {
            // Counted before the log line, which a watcher may take as the sign it happened.
            closeTap();
            ++m_framesDropped;
            if (writeErrno == EPIPE)
                qCInfo(lcOutput) << "VCAM TAP: reader left:" << m_path.constData();
            else
                qCWarning(lcOutput)
                    << "VCAM TAP: write failed:" << m_path.constData() << strerror(writeErrno);
            continue;
        }
        m_pendingOffset += static_cast<size_t>(written);
        m_pendingBytes -= static_cast<size_t>(written);
        if (m_pendingBytes == 0) {
            m_pendingOffset = 0;
            ++m_framesWritten;
        }
    }
}
