#pragma once

// Stand-ins for v4l2loopback webcams at the sink's system-call seam (output/V4l2Io.h) that
// read the stamp (bench/Stamp.h) of every picture written to them, on the writing thread, and
// keep (device, publisher id, frame, send time, write time) in a list sized once: a benchmark
// sees when each camera's picture reached which webcam without a real device and without a
// copy of the picture. Devices offer output and capture at once (loaded with exclusive_caps=0)
// and take any size; a picture whose stamp does not read (the card) is counted, not listed.
//
// Threads: the sink's discovery and video-out threads call the V4l2Io functions (any number
// of them at once); setSource, writes, hasWriteOf, clearWrites and the counters from any thread.
// One lock guards the devices, the descriptors and the list; the stamp is read outside it.

#include "Stamp.h"
#include "output/V4l2Io.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include <linux/videodev2.h>

namespace bench {

class StampReadingWebcams final : public V4l2Io
{
public:
    struct Write
    {
        int device = 0; // index in the order the devices were added
        unsigned id = 0;
        uint32_t frame = 0;
        int64_t sendUs = 0;  // the stamp's send time, resolved against the write time
        int64_t writeUs = 0; // stamp::nowUs() when the write came
    };

    // Room for `capacity` stamped writes; later ones are counted as lost (overflow()).
    explicit StampReadingWebcams(size_t capacity) { m_writes.reserve(capacity); }

    // A device node labelled `card`; added before the sinks look for devices.
    void addDevice(const QString &path, const QByteArray &card)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_devices.append(Device{path, card, 0, 0, 0});
    }

    // The size the cameras' pictures had when their stamps were drawn (the webcam may scale).
    void setSource(int width, int height)
    {
        m_sourceWidth.store(width);
        m_sourceHeight.store(height);
    }

    std::vector<Write> writes() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_writes;
    }
    // Whether a picture of publisher `id` is in the list.
    bool hasWriteOf(unsigned id) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::any_of(m_writes.begin(), m_writes.end(),
                           [id](const Write &w) { return w.id == id; });
    }
    void clearWrites()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_writes.clear();
    }
    // Writes whose picture carried no stamp (the no-signal card, a torn read), all devices.
    int unstampedWrites() const { return m_unstamped.load(); }
    int overflow() const { return m_overflow.load(); }

    QStringList videoDevices() override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        QStringList paths;
        for (const Device &d : qAsConst(m_devices))
            paths << d.path;
        return paths;
    }

    int open(const char *path, int) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int i = 0; i < m_devices.size(); ++i) {
            if (m_devices.at(i).path == QString::fromLocal8Bit(path)) {
                const int fd = m_nextFd++;
                m_descriptors.insert(fd, i);
                return fd;
            }
        }
        errno = ENOENT;
        return -1;
    }

    int ioctl(int fd, unsigned long request, void *arg) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_descriptors.contains(fd)) {
            errno = EBADF;
            return -1;
        }
        Device &device = m_devices[m_descriptors.value(fd)];
        if (request == VIDIOC_QUERYCAP) {
            auto *cap = static_cast<v4l2_capability *>(arg);
            std::memset(cap, 0, sizeof *cap);
            std::strncpy(reinterpret_cast<char *>(cap->driver), "v4l2 loopback",
                         sizeof cap->driver - 1);
            std::strncpy(reinterpret_cast<char *>(cap->card), device.card.constData(),
                         sizeof cap->card - 1);
            cap->device_caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE |
                               V4L2_CAP_STREAMING;
            cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        if (request == VIDIOC_S_FMT) {
            auto *format = static_cast<v4l2_format *>(arg);
            if (format->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) {
                errno = EINVAL;
                return -1;
            }
            device.width = int(format->fmt.pix.width);
            device.height = int(format->fmt.pix.height);
            device.pixelFormat = format->fmt.pix.pixelformat;
            return 0;
        }
        if (request == VIDIOC_S_PARM || request == VIDIOC_STREAMON)
            return 0;
        errno = ENOTTY;
        return -1;
    }

    ssize_t write(int fd, const void *data, size_t bytes) override
    {
        const int64_t nowUs = stamp::nowUs();
        int index = -1;
        int width = 0, height = 0;
        uint32_t pixelFormat = 0;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (!m_descriptors.contains(fd)) {
                errno = EBADF;
                return -1;
            }
            index = m_descriptors.value(fd);
            const Device &device = m_devices.at(index);
            width = device.width;
            height = device.height;
            pixelFormat = device.pixelFormat;
        }
        stamp::Value value;
        // Only the planar format's luma comes first, a plane of width x height.
        const bool stamped =
            pixelFormat == V4L2_PIX_FMT_YUV420 && bytes >= size_t(width) * size_t(height) &&
            stamp::readScaled(static_cast<const uint8_t *>(data), width, width, height,
                              m_sourceWidth.load(), m_sourceHeight.load(), nowUs, &value);
        if (!stamped) {
            ++m_unstamped;
            return ssize_t(bytes);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_writes.size() < m_writes.capacity())
            m_writes.push_back(Write{index, value.id, value.frame, value.sendUs, nowUs});
        else
            ++m_overflow;
        return ssize_t(bytes);
    }

    int close(int fd) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_descriptors.remove(fd) == 0) {
            errno = EBADF;
            return -1;
        }
        return 0;
    }

private:
    struct Device
    {
        QString path;
        QByteArray card;
        int width;
        int height;
        uint32_t pixelFormat;
    };

    std::atomic<int> m_sourceWidth{0};
    std::atomic<int> m_sourceHeight{0};
    std::atomic<int> m_unstamped{0};
    std::atomic<int> m_overflow{0};
    mutable std::mutex m_lock;
    // -- guarded by m_lock
    QList<Device> m_devices;
    QMap<int, int> m_descriptors; // fd -> device index
    int m_nextFd = 100;
    std::vector<Write> m_writes; // reserved once: never grows past its capacity
};

} // namespace bench
