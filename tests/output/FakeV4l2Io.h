#pragma once

#include "output/V4l2Io.h"

#include <QByteArray>
#include <QMap>
#include <QStringList>

#include <mutex>

#include <linux/videodev2.h>

// Stands in for the kernel's video devices at the sink's system-call seam: devices can be
// added (a module loaded), removed (a device deleted: open fails, writes on open descriptors
// fail with ENODEV) and inspected (format set, frames written). Thread-safe.
class FakeV4l2Io final : public V4l2Io
{
public:
    struct Device
    {
        QByteArray driver;
        QByteArray card;
        quint32 capabilities = 0;
        quint32 deviceCaps = 0; // used when capabilities has V4L2_CAP_DEVICE_CAPS
        bool present = true;
        // Answer S_FMT with this size instead of the one asked (a device holding a format).
        int forcedWidth = 0;
        int forcedHeight = 0;
        // -- observed
        int formatCalls = 0;
        v4l2_format format{};
        int parmCalls = 0;
        v4l2_streamparm parm{};
        int opens = 0;
        int framesWritten = 0;
        QByteArray lastFrame;
        qint64 lastWriteBytes = 0;
    };

    // A v4l2loopback device offering video output (as a free one does).
    void addLoopback(const QString &path, const QByteArray &card);
    void addDevice(const QString &path, const Device &device);
    void removeDevice(const QString &path);
    Device device(const QString &path) const;
    int openDescriptors() const;

    QStringList videoDevices() override;
    int open(const char *path, int flags) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    ssize_t write(int fd, const void *data, size_t bytes) override;
    int close(int fd) override;

private:
    mutable std::mutex m_lock;
    QMap<QString, Device> m_devices;
    QMap<int, QString> m_descriptors;
    int m_nextFd = 100;
};
