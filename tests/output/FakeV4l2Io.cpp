#include "FakeV4l2Io.h"

#include <cerrno>
#include <cstring>

void FakeV4l2Io::addLoopback(const QString &path, const QByteArray &card)
{
    Device device;
    device.driver = "v4l2 loopback";
    device.card = card;
    device.capabilities = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_DEVICE_CAPS |
                          V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;
    device.deviceCaps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;
    addDevice(path, device);
}

void FakeV4l2Io::addDevice(const QString &path, const Device &device)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices[path] = device;
}

void FakeV4l2Io::removeDevice(const QString &path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices[path].present = false;
}

FakeV4l2Io::Device FakeV4l2Io::device(const QString &path) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_devices.value(path);
}

int FakeV4l2Io::openDescriptors() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_descriptors.size();
}

QStringList FakeV4l2Io::videoDevices()
{
    std::lock_guard<std::mutex> guard(m_lock);
    QStringList paths;
    for (auto it = m_devices.cbegin(); it != m_devices.cend(); ++it)
        if (it->present)
            paths << it.key();
    return paths;
}

int FakeV4l2Io::open(const char *path, int)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_devices.find(QString::fromLocal8Bit(path));
    if (it == m_devices.end() || !it->present) {
        errno = ENOENT;
        return -1;
    }
    ++it->opens;
    const int fd = m_nextFd++;
    m_descriptors[fd] = it.key();
    return fd;
}

int FakeV4l2Io::ioctl(int fd, unsigned long request, void *arg)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_descriptors.contains(fd)) {
        errno = EBADF;
        return -1;
    }
    Device &device = m_devices[m_descriptors[fd]];
    if (!device.present) {
        errno = ENODEV;
        return -1;
    }
    if (request == VIDIOC_QUERYCAP) {
        v4l2_capability *cap = static_cast<v4l2_capability *>(arg);
        std::memset(cap, 0, sizeof *cap);
        std::strncpy(reinterpret_cast<char *>(cap->driver), device.driver.constData(),
                     sizeof cap->driver - 1);
        std::strncpy(reinterpret_cast<char *>(cap->card), device.card.constData(),
                     sizeof cap->card - 1);
        cap->capabilities = device.capabilities;
        cap->device_caps = device.deviceCaps;
        return 0;
    }
    if (request == VIDIOC_S_FMT) {
        v4l2_format *format = static_cast<v4l2_format *>(arg);
        if (format->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) {
            errno = EINVAL;
            return -1;
        }
        ++device.formatCalls;
        if (device.forcedWidth > 0) {
            format->fmt.pix.width = static_cast<quint32>(device.forcedWidth);
            format->fmt.pix.height = static_cast<quint32>(device.forcedHeight);
        }
        device.format = *format;
        return 0;
    }
    if (request == VIDIOC_S_PARM) {
        ++device.parmCalls;
        device.parm = *static_cast<v4l2_streamparm *>(arg);
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

ssize_t FakeV4l2Io::write(int fd, const void *data, size_t bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_descriptors.contains(fd)) {
        errno = EBADF;
        return -1;
    }
    Device &device = m_devices[m_descriptors[fd]];
    if (!device.present) {
        errno = ENODEV;
        return -1;
    }
    ++device.framesWritten;
    device.lastWriteBytes = static_cast<qint64>(bytes);
    device.lastFrame = QByteArray(static_cast<const char *>(data), static_cast<int>(bytes));
    return static_cast<ssize_t>(bytes);
}

int FakeV4l2Io::close(int fd)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_descriptors.remove(fd)) {
        errno = EBADF;
        return -1;
    }
    return 0;
}
