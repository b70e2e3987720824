#pragma once

#include "output/FrameScaler.h"
#include "output/FrameTap.h"
#include "output/V4l2Io.h"
#include "output/WebcamOutput.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

// The virtual camera sink: a v4l2loopback output device that other programs open as a
// webcam. One output format is set when the device is opened (I420 at QUORVIX_VCAM_SIZE,
// default 1280x720), because readers cannot follow a format change; pictures of another size
// are scaled to it with aspect kept. Without a device the sink still works (and feeds the
// tap, QUORVIX_VCAM_TAP); it looks for a device again every few seconds from the sending
// thread, so loading the module later just works.
//
// init: GUI thread, before any put. Puts: any thread, serialised by m_lock.
class V4l2Sink final : public WebcamOutput
{
public:
    static constexpr int kDefaultWidth = 1280;
    static constexpr int kDefaultHeight = 720;
    // Frame rate offered to the device and written in the tap header until a live frame
    // tells the stream's own.
    static constexpr int kFps = 30;
    // How often a missing device is looked for.
    static constexpr int kProbeIntervalMs = 3000;

    explicit V4l2Sink(std::shared_ptr<V4l2Io> io, int probeIntervalMs = kProbeIntervalMs);
    ~V4l2Sink() override;

    // name: the product name, preferred as the device's card label.
    void init(const QString &name);

    // A live frame waits for a put under way on another thread; a card frame is dropped
    // instead. Both are scaled to the device's size; frames before init() are ignored.
    void putLive(const OutputFrame &frame) override { put(frame, true); }
    void putCard(const OutputFrame &frame) override { put(frame, false); }
    // True while a device is open. Any thread.
    bool deviceOpen() const override { return m_deviceOpen.load(); }

    // Observers for tests and benchmarks; any thread.
    QString devicePath() const;
    int outputWidth() const { return m_width; }
    int outputHeight() const { return m_height; }
    qint64 framesWritten() const { return m_framesWritten.load(); }
    qint64 framesDropped() const { return m_framesDropped.load(); }
    // Frames the tap wrote whole / could not take (0 without a tap).
    qint64 tapFramesWritten() const;
    qint64 tapFramesDropped() const;

private:
    // False when the frame was dropped (busy, or not a usable picture).
    bool put(const OutputFrame &frame, bool wait);
    void probeIfDue();
    // Opens and configures `path`; requireLoopback: check the driver name too.
    int openCandidate(const QString &path, bool requireLoopback, QString *card);
    bool configure(int fd, const QString &path);
    void closeDevice();
    void writeDevice(const uchar *picture);

    const std::shared_ptr<V4l2Io> m_io;
    const int m_probeIntervalMs;

    // -- All the following fields are protected by m_lock.
    mutable std::mutex m_lock;
    bool m_initialised = false;
    QString m_name;
    QString m_fixedPath; // QUORVIX_VCAM_DEVICE, empty for auto-detection
    int m_width = kDefaultWidth;
    int m_height = kDefaultHeight;
    // The last live frame's rate (frames per second = num / den); given to the device at open.
    int m_rateNum = kFps;
    int m_rateDen = 1;
    std::unique_ptr<FrameScaler> m_scaler;
    std::unique_ptr<FrameTap> m_tap;
    int m_fd = -1;
    QString m_path;
    QElapsedTimer m_sinceProbe;
    bool m_missingLogged = false;

    // Mirrors m_fd >= 0 for readers on other threads.
    std::atomic<bool> m_deviceOpen{false};
    std::atomic<qint64> m_framesWritten{0};
    std::atomic<qint64> m_framesDropped{0};
};
