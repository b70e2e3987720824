// OutputRouter with a slow webcam: the real v4l2loopback sink (and its tap) over a device that
// takes 30 ms per write, fed faster than that. The sender's calls return at once, the sound
// reaches the microphone at the pace it is sent, the pictures the webcam could not take are
// counted rather than queued, and the output stops in bounded time with a write under way.

#include "FakeV4l2Io.h"
#include "output/MicrophoneOutput.h"
#include "output/OutputBackends.h"
#include "output/OutputRouter.h"
#include "output/V4l2Sink.h"
#include "output/VideoOutThread.h"
#include "support/I420Frame.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWriteMs = 30;
constexpr char kDevicePath[] = "/dev/video9";

// A device whose every write takes kWriteMs, as a slow driver or a busy machine's would.
class SlowV4l2Io final : public V4l2Io
{
public:
    explicit SlowV4l2Io(std::shared_ptr<FakeV4l2Io> devices) : m_devices(std::move(devices)) {}
    QStringList videoDevices() override { return m_devices->videoDevices(); }
    int open(const char *path, int flags) override { return m_devices->open(path, flags); }
    int ioctl(int fd, unsigned long request, void *arg) override
    {
        return m_devices->ioctl(fd, request, arg);
    }
    ssize_t write(int fd, const void *data, size_t bytes) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(kWriteMs));
        return m_devices->write(fd, data, bytes);
    }
    int close(int fd) override { return m_devices->close(fd); }

private:
    const std::shared_ptr<FakeV4l2Io> m_devices;
};

// When each sound put reached the microphone.
struct SoundLog
{
    std::mutex lock;
    std::vector<Clock::time_point> puts;
};

class TimedMicrophone final : public MicrophoneOutput
{
public:
    explicit TimedMicrophone(std::shared_ptr<SoundLog> log) : m_log(std::move(log)) {}
    void putLive(const OutputFrame &frame) override
    {
        if (!frame.audio || frame.samples <= 0)
            return;
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->puts.push_back(Clock::now());
    }
    void putCard(const OutputFrame &) override {}
    void setEnabled(bool) override {}
    bool available() const override { return true; }
    QString unavailableReason() const override { return QString(); }

private:
    const std::shared_ptr<SoundLog> m_log;
};

qint64 msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The value below which `share` of the values lie.
qint64 percentile(std::vector<qint64> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

} // namespace

class OutputRouterSlowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void slowWebcamCostsPicturesNotPace();
    void stopsWithAWriteUnderWay();

private:
    std::unique_ptr<OutputRouter> makeRouter();

    QTemporaryDir m_dir;
    std::shared_ptr<FakeV4l2Io> m_devices;
    std::shared_ptr<SoundLog> m_sound;
    V4l2Sink *m_sink = nullptr; // owned by the router
};

void OutputRouterSlowTest::init()
{
    QVERIFY(m_dir.isValid());
    qputenv("QUORVIX_VCAM_DEVICE", kDevicePath);
    qputenv("QUORVIX_VCAM_TAP", m_dir.filePath(QStringLiteral("tap.y4m")).toLocal8Bit());
    m_devices = std::make_shared<FakeV4l2Io>();
    m_devices->addLoopback(QString::fromLatin1(kDevicePath), "Quorvix");
    m_sound = std::make_shared<SoundLog>();
}

void OutputRouterSlowTest::cleanup()
{
    OutputBackends::setFactory_for_testing({});
    qunsetenv("QUORVIX_VCAM_TAP");
    m_sink = nullptr;
}

std::unique_ptr<OutputRouter> OutputRouterSlowTest::makeRouter()
{
    auto io = std::make_shared<SlowV4l2Io>(m_devices);
    std::shared_ptr<SoundLog> sound = m_sound;
    OutputBackends::setFactory_for_testing([this, io, sound](const QString &name) {
        OutputBackends backends;
        auto sink = std::make_unique<V4l2Sink>(io);
        sink->init(name);
        m_sink = sink.get();
        backends.webcam = std::move(sink);
        backends.microphone = std::make_unique<TimedMicrophone>(sound);
        return backends;
    });
    return std::make_unique<OutputRouter>(QStringLiteral("Quorvix"), nullptr);
}

void OutputRouterSlowTest::slowWebcamCostsPicturesNotPace()
{
    std::unique_ptr<OutputRouter> cam = makeRouter();
    QVERIFY(m_sink);
    QTRY_VERIFY_WITH_TIMEOUT(cam->webcamAvailable(), 10000);

    // Pictures of the device's size every 15 ms, each with its 15 ms of sound: twice as fast
    // as the device takes them.
    constexpr int kFrames = 80;
    constexpr int kPaceMs = 15;
    constexpr int kSamples = 48000 * kPaceMs / 1000;
    // Reference-counted, as the decoder's pictures are: the hand-over takes a reference.
    AVFramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = 1280;
    picture->height = 720;
    QVERIFY(av_frame_get_buffer(picture.get(), 0) >= 0);
    OutputFrame frame;
    frame.picture = picture.get();
    const std::vector<qint16> audio(2 * kSamples, 1000);
    std::vector<Clock::time_point> sent;
    std::vector<qint64> sendUs;
    Clock::time_point next = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        std::this_thread::sleep_until(next); // the sender's own clock
        next += std::chrono::milliseconds(kPaceMs);
        const Clock::time_point start = Clock::now();
        cam->sendFrame(frame);
        sendI420(*cam, nullptr, 0, 0, 0, audio.data(), kSamples, 48000, 2); // its sound
        sent.push_back(start);
        sendUs.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    }

    // The sender never waited for a write: most sends take far less than one.
    QVERIFY2(percentile(sendUs, 0.9) < kWriteMs * 1000 / 2,
             qPrintable(QString::number(percentile(sendUs, 0.9))));

    // Every frame's sound reached the microphone as it was sent, not after a write.
    std::vector<qint64> soundLateMs;
    {
        std::lock_guard<std::mutex> guard(m_sound->lock);
        QCOMPARE(int(m_sound->puts.size()), kFrames);
        for (int i = 0; i < kFrames; ++i)
            soundLateMs.push_back(msBetween(sent[size_t(i)], m_sound->puts[size_t(i)]));
    }
    QVERIFY2(percentile(soundLateMs, 0.9) < kWriteMs / 2,
             qPrintable(QString::number(percentile(soundLateMs, 0.9))));

    // Every picture was written or counted as dropped; none waits in a queue.
    QTRY_COMPARE_WITH_TIMEOUT(cam->statistics().picturesShown + cam->statistics().picturesDropped,
                              qint64(kFrames), 5000);
    const OutputRouter::Statistics statistics = cam->statistics();
    QVERIFY2(statistics.picturesDropped >= kFrames / 4,
             qPrintable(QString::number(statistics.picturesDropped)));
    QCOMPARE(statistics.webcamDropped, qint64(0));
    QCOMPARE(m_sink->framesWritten(), statistics.picturesShown);
    QCOMPARE(qint64(m_devices->device(QString::fromLatin1(kDevicePath)).framesWritten),
             statistics.picturesShown);
    // The tap took each picture the device got.
    QCOMPARE(m_sink->tapFramesWritten() + m_sink->tapFramesDropped(), statistics.picturesShown);
}

void OutputRouterSlowTest::stopsWithAWriteUnderWay()
{
    std::unique_ptr<OutputRouter> cam = makeRouter();
    QTRY_VERIFY_WITH_TIMEOUT(cam->webcamAvailable(), 10000);
    std::vector<uchar> picture(1280 * 720 * 3 / 2, 0x40);
    // One picture in the device's write, the next waiting in the slot.
    sendI420(*cam, picture.data(), 1280, 720, 1280);
    QTRY_VERIFY_WITH_TIMEOUT(cam->statistics().picturesShown > 0 ||
                                 m_devices->device(QString::fromLatin1(kDevicePath)).framesWritten >
                                     0 ||
                                 m_sink->framesWritten() > 0,
                             5000);
    sendI420(*cam, picture.data(), 1280, 720, 1280);
    sendI420(*cam, picture.data(), 1280, 720, 1280);
    QElapsedTimer clock;
    clock.start();
    cam.reset();
    QVERIFY2(clock.elapsed() < VideoOutThread::kStopWaitMs,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_devices->openDescriptors(), 0);
}

QTEST_GUILESS_MAIN(OutputRouterSlowTest)
#include "tst_outputrouter_slow.moc"
