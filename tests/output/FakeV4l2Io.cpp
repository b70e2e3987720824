#include "FakeV4l2Io.h"

#include "output/OutputBackends.h"
#include "output/V4l2Sink.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr quint32 kLoopbackIo = V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;

} // namespace

void FakeV4l2Io::addLoopback(const QString &path, const QByteArray &card, bool exclusiveCaps)
{
    Device device;
    device.driver = "v4l2 loopback";
    device.card = card;
    device.loopback = true;
    device.exclusiveCaps = exclusiveCaps;
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

quint32 FakeV4l2Io::offeredCaps(const QString &path) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return offered(m_devices.value(path));
}

quint32 FakeV4l2Io::offered(const Device &device)
{
    if (!device.loopback)
        return (device.capabilities & V4L2_CAP_DEVICE_CAPS) ? device.deviceCaps
                                                            : device.capabilities;
    if (!device.exclusiveCaps)
        return V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE | kLoopbackIo;
    switch (device.state) {
    case State::Fresh:
        return V4L2_CAP_VIDEO_OUTPUT | kLoopbackIo;
    case State::Streaming:
        return V4L2_CAP_VIDEO_CAPTURE | kLoopbackIo;
    case State::Stuck:
        break;
    }
    return kLoopbackIo;
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
    m_descriptors[fd] = Descriptor{it.key(), false, false};
    return fd;
}

int FakeV4l2Io::ioctl(int fd, unsigned long request, void *arg)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_descriptors.contains(fd)) {
        errno = EBADF;
        return -1;
    }
    Descriptor &descriptor = m_descriptors[fd];
    Device &device = m_devices[descriptor.path];
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
        if (device.loopback) {
            cap->device_caps = offered(device);
            cap->capabilities =
                V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE | kLoopbackIo | V4L2_CAP_DEVICE_CAPS;
        } else {
            cap->capabilities = device.capabilities;
            cap->device_caps = device.deviceCaps;
        }
        return 0;
    }
    if (request == VIDIOC_S_FMT) {
        v4l2_format *format = static_cast<v4l2_format *>(arg);
        if (format->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) {
            errno = EINVAL;
            return -1;
        }
        ++device.formatCalls;
        if (device.loopback && device.state == State::Stuck) {
            errno = EINVAL;
            return -1;
        }
        if (device.loopback && device.state == State::Streaming) {
            // Locked: success, with the format the node already has.
            *format = device.format;
            return 0;
        }
        // The two formats the driver's writers use here; anything else falls back to I420.
        const bool yuyv = format->fmt.pix.pixelformat == V4L2_PIX_FMT_YUYV;
        if (!yuyv)
            format->fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
        format->fmt.pix.bytesperline = format->fmt.pix.width * (yuyv ? 2 : 1);
        format->fmt.pix.sizeimage =
            format->fmt.pix.width * format->fmt.pix.height * (yuyv ? 2 : 3) / (yuyv ? 1 : 2);
        device.format = *format;
        return 0;
    }
    if (request == VIDIOC_S_PARM) {
        ++device.parmCalls;
        device.parm = *static_cast<v4l2_streamparm *>(arg);
        return 0;
    }
    if (request == VIDIOC_STREAMON) {
        if (*static_cast<const int *>(arg) != V4L2_BUF_TYPE_VIDEO_OUTPUT ||
            (device.loopback && device.state == State::Stuck)) {
            errno = EINVAL;
            return -1;
        }
        ++device.streamOnCalls;
        descriptor.streamOn = true;
        if (device.loopback)
            device.state = State::Streaming;
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
    Descriptor &descriptor = m_descriptors[fd];
    Device &device = m_devices[descriptor.path];
    if (!device.present) {
        errno = ENODEV;
        return -1;
    }
    if (device.loopback && device.state == State::Stuck) {
        errno = EINVAL;
        return -1;
    }
    descriptor.wrote = true;
    if (device.loopback)
        device.state = State::Streaming;
    ++device.framesWritten;
    device.lastWriteBytes = static_cast<qint64>(bytes);
    device.lastFrame = QByteArray(static_cast<const char *>(data), static_cast<int>(bytes));
    return static_cast<ssize_t>(bytes);
}

int FakeV4l2Io::close(int fd)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_descriptors.contains(fd)) {
        errno = EBADF;
        return -1;
    }
    const Descriptor closing = m_descriptors.take(fd);
    auto it = m_devices.find(closing.path);
    if (it == m_devices.end() || !it->loopback || !(closing.streamOn || closing.wrote))
        return 0;
    bool streamerLeft = false;
    for (const Descriptor &other : qAsConst(m_descriptors))
        streamerLeft = streamerLeft || (other.path == closing.path && other.streamOn);
    if (streamerLeft)
        return 0;
    // The driver gives the output back only to a writer that said STREAMON.
    it->state = closing.streamOn ? State::Fresh : State::Stuck;
    return 0;
}

void FakeV4l2Io::setOtherOpeners(const QString &path, int openers)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices[path].otherOpeners = openers;
}

bool FakeV4l2Io::openedByOthers(const QString &path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_devices.contains(path) && m_devices.value(path).otherOpeners > 0;
}

void installWebcamOnlyBackends(const std::shared_ptr<FakeV4l2Io> &io, int probeMs)
{
    OutputBackends::setFactory_for_testing([io, probeMs](const QString &name) {
        OutputBackends backends;
        auto sink = std::make_unique<V4l2Sink>(io, probeMs);
        sink->init(name);
        backends.webcam = std::move(sink);
        return backends;
    });
}
