// Latency and pacing of live delivery: a real RTMP publisher (ffmpeg, 1280x720 at 30 fps with
// AAC audio, paced in real time) into a stream manager whose output is a real OutputRouter (virtual
// camera sink with no device behind it, so frames end at the sink's door).
// Prints, per picture, the time from its packet's arrival in the read loop to the sendFrame
// that carries it (median, p95), split at the moment the picture is queued (the decode part,
// the baseline measured in the same run), and the spread of the intervals between consecutive
// sendFrame calls against the frame period (median, p95, max).
// Targets: arrival to delivery median < 80 ms; interval p95 within 5 ms of the frame period.

#include "engine/DeliveryObserver.h"
#include "engine/OutputSwitch.h"
#include "engine/Session.h"
#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSeconds = 14;
constexpr double kWarmUpS = 2.0; // start-up and the first alignment are not steady state
constexpr double kFramePeriodMs = 1000.0 / 30;

qint64 nowNs(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed();
}

// Arrival and queueing times of the latest pictures by session time, written by the manager
// and video handler threads and read by the delivery worker; fixed size, no allocation.
class Probe : public DeliveryObserver
{
public:
    static constexpr int kSlots = 512;
    static constexpr int kMaxSamples = 4096;

    Probe()
    {
        m_timer.start();
        for (Slot &slot : m_slots)
            slot.ms.store(-1000000);
        m_sends.reserve(kMaxSamples);
    }

    void videoPacketRead(const Session *, qint64 sessionMs) override
    {
        Slot &slot = m_slots[size_t(sessionMs) % kSlots];
        slot.queuedNs.store(0, std::memory_order_relaxed);
        slot.arrivedNs.store(nowNs(m_timer), std::memory_order_relaxed);
        slot.ms.store(sessionMs, std::memory_order_release);
    }
    void videoPictureQueued(const Session *, qint64 sessionMs) override
    {
        Slot &slot = m_slots[size_t(sessionMs) % kSlots];
        if (slot.ms.load(std::memory_order_acquire) == sessionMs)
            slot.queuedNs.store(nowNs(m_timer), std::memory_order_relaxed);
    }
    void frameSent(const Session *manager, qint64 pictureMs, bool newPicture, int) override
    {
        Send send{nowNs(m_timer), -1, -1, manager->lastVideoMs() - manager->lastAudioMs(),
                  manager->lastVideoMs() - pictureMs};
        if (newPicture && pictureMs >= 0) {
            const Slot &slot = m_slots[size_t(pictureMs) % kSlots];
            if (slot.ms.load(std::memory_order_acquire) == pictureMs) {
                send.arrivedNs = slot.arrivedNs.load(std::memory_order_relaxed);
                send.queuedNs = slot.queuedNs.load(std::memory_order_relaxed);
            }
        }
        if (m_sends.size() < size_t(kMaxSamples))
            m_sends.push_back(send); // reserved: never reallocates
    }

    struct Send
    {
        qint64 sentNs;
        qint64 arrivedNs;
        qint64 queuedNs;
        qint64 audioLagMs;   // newest queued picture minus newest queued audio
        qint64 pictureAgeMs; // newest queued picture minus the one sent
    };
    // Read after the session has ended.
    const std::vector<Send> &sends() const { return m_sends; }

private:
    struct Slot
    {
        std::atomic<qint64> ms{0};
        std::atomic<qint64> arrivedNs{0};
        std::atomic<qint64> queuedNs{0};
    };
    QElapsedTimer m_timer;
    std::array<Slot, kSlots> m_slots;
    std::vector<Send> m_sends;
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * (values.size() - 1) + 0.5));
    return values[index];
}

} // namespace

int main(int argc, char **argv)
{
    // Never a real webcam: the sink looks for this device, finds none and drops the frames.
    qputenv("QUORVIX_VCAM_DEVICE", "/nonexistent/quorvix-bench-device");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    if (!FfmpegPublisher::available()) {
        std::fprintf(stderr, "the ffmpeg command-line tool is needed\n");
        return 1;
    }

    Probe probe;
    Session::setDeliveryObserver(&probe);
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    OutputSwitch output(&cam);
    bool ended = false;
    {
        Session manager(nullptr);
        manager.setOutput(&output);
        QObject::connect(&manager, &Session::stopHandle, [&] { ended = true; });
        const quint16 port = FreePort::loopback();
        manager.startListen(QStringLiteral("rtmp://127.0.0.1:%1").arg(port), port);
        if (!FreePort::waitUntilListening(port, 10000)) {
            std::fprintf(stderr, "intake did not listen\n");
            return 1;
        }
        FfmpegPublisher::Options options;
        options.size = QSize(1280, 720);
        options.rate = QStringLiteral("30");
        options.durationS = kSeconds;
        FfmpegPublisher publisher(options);
        if (!publisher.start(port)) {
            std::fprintf(stderr, "publisher did not start\n");
            return 1;
        }
        QElapsedTimer limit;
        limit.start();
        while (!ended && limit.elapsed() < (kSeconds + 30) * 1000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        publisher.stop();
    }
    Session::setDeliveryObserver(nullptr);

    const std::vector<Probe::Send> &sends = probe.sends();
    if (sends.size() < 60) {
        std::fprintf(stderr, "too few deliveries: %zu\n", sends.size());
        return 1;
    }
    const qint64 warmUpNs = sends.front().sentNs + qint64(kWarmUpS * 1e9);
    std::vector<double> total;
    std::vector<double> decode;
    std::vector<double> intervals;
    std::vector<double> audioLag;
    std::vector<double> pictureAge;
    for (size_t i = 1; i < sends.size(); ++i) {
        const Probe::Send &send = sends[i];
        if (send.sentNs < warmUpNs)
            continue;
        intervals.push_back((send.sentNs - sends[i - 1].sentNs) / 1e6);
        audioLag.push_back(double(send.audioLagMs));
        pictureAge.push_back(double(send.pictureAgeMs));
        if (send.arrivedNs > 0) {
            total.push_back((send.sentNs - send.arrivedNs) / 1e6);
            if (send.queuedNs > 0)
                decode.push_back((send.queuedNs - send.arrivedNs) / 1e6);
        }
    }
    const double seconds = (sends.back().sentNs - warmUpNs) / 1e9;

    std::printf("latency bench: 1280x720 30 fps + AAC 48 kHz, %d s publisher, %.1f s measured\n",
                kSeconds, seconds);
    std::printf("deliveries: %zu measured (%.2f/s), %zu with a new picture matched to its "
                "packet\n",
                intervals.size(), intervals.size() / seconds, total.size());
    std::printf("arrival -> queued (decode, baseline): median %6.1f ms  p95 %6.1f ms\n",
                percentile(decode, 0.5), percentile(decode, 0.95));
    std::printf("arrival -> sendFrame:                 median %6.1f ms  p95 %6.1f ms  "
                "(target median < 80 ms; %.2f x decode)\n",
                percentile(total, 0.5), percentile(total, 0.95),
                percentile(total, 0.5) / std::max(0.001, percentile(decode, 0.5)));
    const double p95 = percentile(intervals, 0.95);
    std::printf("sendFrame interval:                   median %6.1f ms  p95 %6.1f ms  max %6.1f "
                "ms  (period %.1f ms; target p95 within 5 ms: %+.1f ms)\n",
                percentile(intervals, 0.5), p95, percentile(intervals, 1.0), kFramePeriodMs,
                p95 - kFramePeriodMs);
    // Where the queued time comes from: a picture goes out with the audio of its time, so it
    // waits for audio that arrives later than the picture.
    std::printf("at each delivery: newest audio behind newest picture median %5.1f ms; "
                "picture sent behind newest picture median %5.1f ms\n",
                percentile(audioLag, 0.5), percentile(pictureAge, 0.5));
    return 0;
}
