#pragma once

#include "output/V4l2Io.h"

#include <QByteArray>
#include <QMap>
#include <QStringList>

#include <memory>
#include <mutex>

#include <linux/videodev2.h>

// Stands in for the kernel's video devices at the sink's system-call seam: devices can be
// added (a module loaded), removed (a device deleted: open fails, calls on open descriptors
// fail with ENODEV) and inspected (format set, STREAMON, frames written). Thread-safe.
//
// A loopback device follows what v4l2loopback 0.12.7 was seen to do (tests/vm, job
// driver-behaviour), loaded with exclusive_caps=1 unless said otherwise:
// - fresh: it offers video output only; S_FMT(output) takes the size asked;
// - after a writer's STREAMON(output) or first write: it offers capture and no output, and
//   the format is locked: S_FMT succeeds but answers the locked format;
// - a second writer is not kept out (open and S_FMT work, answering the locked format);
// - closing a writer that did STREAMON gives the output capability back (fresh again);
// - closing a writer that wrote without STREAMON leaves it offering neither, and every later
//   S_FMT fails with EINVAL until the module is reloaded (the device added again).
// QUERYCAP reports the current state. With exclusive_caps=0 it always offers both.
// Readers are not modelled (the sink never reads), except as other processes that have the node
// open (setOtherOpeners), which is all the sink asks before it changes the format. For the record,
// the driver makes an opener a reader only at its first read() or STREAMON (poll() reports nothing
// before), and a new reader gets the last frame written at once, even while the writer is silent.
// Other devices answer with fixed capabilities and take any format.
class FakeV4l2Io final : public V4l2Io
{
public:
    enum class State
    {
        Fresh,     // output offered
        Streaming, // capture offered, format locked
        Stuck      // neither offered
    };

    struct Device
    {
        QByteArray driver;
        QByteArray card;
        quint32 capabilities = 0;
        quint32 deviceCaps = 0; // used when capabilities has V4L2_CAP_DEVICE_CAPS
        bool present = true;
        bool loopback = false; // follows the driver's states above
        bool exclusiveCaps = true;
        State state = State::Fresh;
        // -- observed
        int formatCalls = 0;
        v4l2_format format{}; // the last S_FMT as answered (the locked one while streaming)
        int parmCalls = 0;
        v4l2_streamparm parm{};
        int streamOnCalls = 0;
        int opens = 0;
        int otherOpeners = 0; // other processes with the node open (openedByOthers)
        int framesWritten = 0;
        QByteArray lastFrame;
        qint64 lastWriteBytes = 0;
    };

    // A freshly loaded v4l2loopback device.
    void addLoopback(const QString &path, const QByteArray &card, bool exclusiveCaps = true);
    void addDevice(const QString &path, const Device &device);
    void removeDevice(const QString &path);
    Device device(const QString &path) const;
    int openDescriptors() const;
    // What QUERYCAP reports as the device's capabilities now.
    quint32 offeredCaps(const QString &path) const;

    QStringList videoDevices() override;
    int open(const char *path, int flags) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    ssize_t write(int fd, const void *data, size_t bytes) override;
    int close(int fd) override;
    bool openedByOthers(const QString &path) override;
    // Another process opens (n > 0) or closes (0) the node: what openedByOthers sees.
    void setOtherOpeners(const QString &path, int openers);

private:
    struct Descriptor
    {
        QString path;
        bool streamOn = false;
        bool wrote = false;
    };
    static quint32 offered(const Device &device);

    mutable std::mutex m_lock;
    // -- guarded by m_lock
    QMap<QString, Device> m_devices;
    QMap<int, Descriptor> m_descriptors;
    int m_nextFd = 100;
};

// Makes every OutputRouter built from now on have one backend: a V4l2Sink over `io`, looking
// for its device every `probeMs`. Undo with OutputBackends::setFactory_for_testing({}).
void installWebcamOnlyBackends(const std::shared_ptr<FakeV4l2Io> &io, int probeMs);
