#include "output/V4l2SystemIo.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

QStringList V4l2SystemIo::videoDevices()
{
    const QDir dev(QStringLiteral("/dev"));
    QStringList names = dev.entryList({QStringLiteral("video*")}, QDir::System | QDir::Files);
    // video2 before video10.
    QCollator collator;
    collator.setNumericMode(true);
    std::sort(names.begin(), names.end(), collator);
    QStringList paths;
    for (const QString &name : names)
        paths << dev.filePath(name);
    return paths;
}

QStringList V4l2SystemIo::deviceLabels()
{
    QStringList labels;
    for (const QString &path : videoDevices()) {
        QFile name(
            QStringLiteral("/sys/class/video4linux/%1/name").arg(QFileInfo(path).fileName()));
        labels << (name.open(QIODevice::ReadOnly) ? QString::fromUtf8(name.readAll()).trimmed()
                                                  : QString());
    }
    return labels;
}

int V4l2SystemIo::open(const char *path, int flags)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int V4l2SystemIo::ioctl(int fd, unsigned long request, void *arg)
{
    int result;
    do {
        result = ::ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

ssize_t V4l2SystemIo::write(int fd, const void *data, size_t bytes)
{
    ssize_t written;
    do {
        written = ::write(fd, data, bytes);
    } while (written < 0 && errno == EINTR);
    return written;
}

int V4l2SystemIo::close(int fd)
{
    return ::close(fd);
}

bool V4l2SystemIo::openedByOthers(const QString &path)
{
    struct stat device;
    if (::stat(path.toLocal8Bit().constData(), &device) < 0 || !S_ISCHR(device.st_mode))
        return false;
    const QString self = QString::number(::getpid());
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || pid.isEmpty() || !pid.at(0).isDigit())
            continue;
        const QDir fds(proc.filePath(pid + QStringLiteral("/fd")));
        for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            struct stat opened;
            // stat() follows the link to the file itself: the same node is the same device.
            if (::stat(fds.filePath(fd).toLocal8Bit().constData(), &opened) == 0 &&
                S_ISCHR(opened.st_mode) && opened.st_rdev == device.st_rdev)
                return true;
        }
    }
    return false;
}
