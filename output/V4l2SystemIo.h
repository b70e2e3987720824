#pragma once

#include "output/V4l2Io.h"

// The real kernel devices.
class V4l2SystemIo final : public V4l2Io
{
public:
    QStringList videoDevices() override;
    int open(const char *path, int flags) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    ssize_t write(int fd, const void *data, size_t bytes) override;
    int close(int fd) override;
    // Looks through /proc/<pid>/fd of the processes this user may see (a program of another
    // user is not seen).
    bool openedByOthers(const QString &path) override;
    // From sysfs (/sys/class/video4linux/videoN/name), without opening any node.
    QStringList deviceLabels() override;
};
