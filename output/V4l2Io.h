#pragma once

#include <QStringList>

#include <sys/types.h>

// The system calls the virtual camera sink makes on a video device: the lowest seam, so a
// test can stand in for the kernel's v4l2loopback device. Same contract as the system calls
// (-1 and errno on failure). Called by whichever thread holds the sink's lock.
class V4l2Io
{
public:
    virtual ~V4l2Io() = default;
    // Paths of the video device nodes present now (/dev/video*), in a stable order.
    virtual QStringList videoDevices() = 0;
    virtual int open(const char *path, int flags) = 0;
    virtual int ioctl(int fd, unsigned long request, void *arg) = 0;
    virtual ssize_t write(int fd, const void *data, size_t bytes) = 0;
    virtual int close(int fd) = 0;
    // Whether another process has the device node at `path` open (a program showing the
    // webcam). A stand-in that does not model readers says nobody.
    virtual bool openedByOthers(const QString &path)
    {
        Q_UNUSED(path);
        return false;
    }
    // The card label of every video device present now, in videoDevices() order ("" for one
    // that could not be asked). By default each node is opened and asked (VIDIOC_QUERYCAP).
    virtual QStringList deviceLabels();
};
