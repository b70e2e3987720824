#pragma once

#include "output/FrameScaler.h"
#include "output/FrameTap.h"
#include "output/V4l2Io.h"
#include "output/WebcamOutput.h"

#include <QString>

#include <atomic>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>

// The virtual camera sink: a v4l2loopback output device that other programs open as a
// webcam. One output format is set when the device is opened (I420 at QUORVIX_VCAM_SIZE,
// default 1280x720), because readers cannot follow a format change; pictures of another size
// are scaled to it with aspect kept. Without a device the sink still works (and feeds the
// tap, QUORVIX_VCAM_TAP); it looks for a device again every few seconds, so loading the
// module later just works.
//
// Looking for a device opens and queries every /dev/video* node, which can take long (a
// node whose driver is slow, many nodes). That scan never runs on a sending thread: init()
// scans once, then a discovery thread of the sink's own scans while no device is open,
// without m_lock, and hands a configured descriptor over under m_lock. A put only writes to a
// device that is already open.
//
// init: GUI thread, before any put. Puts: any thread, serialised by m_lock. Discovery thread:
// started by init(), stopped (flag, wake, join) by the destructor.
class V4l2Sink final : public WebcamOutput
{
public:
    static constexpr int kDefaultWidth = 1280;
    static constexpr int kDefaultHeight = 720;
    // Frame rate offered to the device and written in the tap header until a live frame
    // tells the stream's own.
    static constexpr int kFps = 30;
    // How often a missing device is looked for (on the discovery thread).
    static constexpr int kProbeIntervalMs = 3000;

    explicit V4l2Sink(std::shared_ptr<V4l2Io> io, int probeIntervalMs = kProbeIntervalMs);
    ~V4l2Sink() override;

    // name: the product name, preferred as the device's card label. labelRequired: only the
    // device with exactly that label will do (one webcam of several, each its own device);
    // QUORVIX_VCAM_DEVICE is then not used.
    void init(const QString &name, bool labelRequired = false);

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
    // What a scan needs, copied under m_lock so the scan itself runs without it.
    struct ScanSettings
    {
        QString name;
        bool labelRequired = false;
        QString fixedPath;
        int width = 0;
        int height = 0;
        int frameBytes = 0;
        int rateNum = kFps;
        int rateDen = 1;
    };
    enum class Candidate
    {
        Usable,
        NotLoopback, // absent, not a video output, another driver
        Taken,       // a loopback device another program writes to (capture only)
        Stuck        // a loopback device offering neither output nor capture
    };
    // Discovery: the scan (no lock held), then the hand-over under m_lock.
    void probe();
    int scan(const ScanSettings &settings, QString &path);
    void discoveryLoop();
    // Opens `path`; requireLoopback: check the driver name too.
    int openCandidate(const QString &path, bool requireLoopback, QString *card,
                      Candidate *why = nullptr);
    bool configure(int fd, const QString &path, const ScanSettings &settings);
    void closeDevice_Locked();
    void writeDevice_Locked(const uchar *picture);

    const std::shared_ptr<V4l2Io> m_io;
    const int m_probeIntervalMs;

    // -- All the following fields are protected by m_lock.
    mutable std::mutex m_lock;
    bool m_initialised = false;
    QString m_name;
    bool m_labelRequired = false;
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
    // The rate the open device was given; the first live frame after the hand-over corrects it.
    int m_deviceRateNum = kFps;
    int m_deviceRateDen = 1;
    bool m_rateSettled = false;

    // -- Discovery thread (and init() before it starts).
    std::atomic<bool> m_missingLogged{false}; // also set by a put that loses the device
    QString m_lastProblem; // the last unusable-node line, said once until it changes

    // -- The discovery thread's wake-up; guarded by m_wakeLock.
    std::mutex m_wakeLock;
    std::condition_variable m_wake;
    bool m_stopDiscovery = false;
    std::thread m_discovery;

    // Mirrors m_fd >= 0 for readers on other threads.
    std::atomic<bool> m_deviceOpen{false};
    std::atomic<qint64> m_framesWritten{0};
    std::atomic<qint64> m_framesDropped{0};
};
