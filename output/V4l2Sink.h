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
// webcam. One output format is set when the device is opened (setFormat: 1280x720 I420 unless
// chosen otherwise; QUORVIX_VCAM_SIZE overrides the size), because readers cannot follow a
// format change; a new one is taken only while no other program has the device open. Pictures
// of another size are scaled to it, turned as the publisher and the user ask, fitted with bars
// or filling it. Without a device the sink still works (and feeds the tap, QUORVIX_VCAM_TAP,
// while the format is I420); it looks for a device again every few seconds, so loading the
// module later just works.
//
// Looking for a device opens and queries every /dev/video* node, which can take long (a
// node whose driver is slow, many nodes). That scan never runs on a sending thread: init()
// scans once, then a discovery thread of the sink's own scans while no device is open,
// without m_lock, and hands a configured descriptor over under m_lock. A put only writes to a
// device that is already open.
//
// init and setFormat: GUI thread, init before any put. setOrientation, setPictureWanted: any
// thread (atomics). Puts: any thread, serialised by m_lock. Discovery thread:
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

    // name: the product name, preferred as the device's card label; format: the device's
    // format from the first open. labelRequired: only the device with exactly that label will
    // do (one webcam of several, each its own device); QUORVIX_VCAM_DEVICE is then not used.
    void init(const QString &name, const WebcamFormat &format = WebcamFormat(),
              bool labelRequired = false);
    // Closes the device and opens it again in the new format, unless another program has it
    // open (then nothing changes). The size of QUORVIX_VCAM_SIZE wins over the format's.
    FormatChange setFormat(const WebcamFormat &format) override;
    WebcamFormat format() const;
    void setOrientation(const PictureOrientation &orientation) override
    {
        m_orientation.store(orientation.pack());
    }
    void setPictureWanted(bool wanted) override { m_pictureWanted.store(wanted); }
    const AVFrame *lastPicture() const override { return m_lastPicture; }

    // A live frame waits for a put under way on another thread; a card frame is dropped
    // instead. Both are scaled to the device's size; frames before init() are ignored.
    void putLive(const OutputFrame &frame) override { put(frame, true); }
    void putCard(const OutputFrame &frame) override { put(frame, false); }
    // True while a device is open. Any thread.
    bool deviceOpen() const override { return m_deviceOpen.load(); }

    // Observers for tests and benchmarks; any thread.
    QString devicePath() const;
    int outputWidth() const { return format().width; }
    int outputHeight() const { return format().height; }
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
        WebcamFormat format;
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
    // The scaler and the tap for m_format.
    void makeConverters_Locked();
    void describePicture_Locked(const uchar *picture);
    void writeDevice_Locked(const uchar *picture);

    const std::shared_ptr<V4l2Io> m_io;
    const int m_probeIntervalMs;

    // -- All the following fields are protected by m_lock.
    mutable std::mutex m_lock;
    bool m_initialised = false;
    QString m_name;
    bool m_labelRequired = false;
    QString m_fixedPath; // QUORVIX_VCAM_DEVICE, empty for auto-detection
    WebcamFormat m_format;
    int m_sizeOverrideWidth = 0; // QUORVIX_VCAM_SIZE, 0 without
    int m_sizeOverrideHeight = 0;
    QString m_tapPath;
    // The last live frame's rate (frames per second = num / den); given to the device at open.
    int m_rateNum = kFps;
    int m_rateDen = 1;
    std::unique_ptr<FrameScaler> m_scaler;
    std::unique_ptr<FrameScaler> m_retiredScaler; // see makeConverters_Locked
    std::unique_ptr<FrameTap> m_tap;
    // Describes the last converted live picture for lastPicture(); allocated once.
    outputffmpeg::AVFramePtr m_picture;
    // Set and read by the thread that puts only.
    const AVFrame *m_lastPicture = nullptr;
    int m_fd = -1;
    QString m_path;
    // The rate the open device was given; the first live frame after the hand-over corrects it.
    int m_deviceRateNum = kFps;
    int m_deviceRateDen = 1;
    bool m_rateSettled = false;
    // Thinning a faster camera to 30 fps: the share of a picture owed so far.
    double m_thinPhase = 1.0;

    // -- Discovery thread (and init() before it starts).
    std::atomic<bool> m_missingLogged{false}; // also set by a put that loses the device
    QString m_lastProblem; // the last unusable-node line, said once until it changes

    // -- The discovery thread's wake-up; guarded by m_wakeLock.
    std::mutex m_wakeLock;
    std::condition_variable m_wake;
    bool m_stopDiscovery = false;
    std::thread m_discovery;

    std::atomic<int> m_orientation{0}; // PictureOrientation::pack()
    std::atomic<bool> m_pictureWanted{false};
    // Mirrors m_fd >= 0 for readers on other threads.
    std::atomic<bool> m_deviceOpen{false};
    std::atomic<qint64> m_framesWritten{0};
    std::atomic<qint64> m_framesDropped{0};
};
