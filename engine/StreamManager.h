#pragma once

#include "engine/FfmpegPtr.h"
#include "engine/FrameQueue.h"

#include <QString>
#include <QThread>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class DeliveryObserver;
class DeliveryTest;
class Generator;
class PacketHandlerThread;
class ProxyThread;
class VCam;
class Worker;

// One RTMP intake: listens on its own loopback port for the one publisher the relay forwards,
// finds the streams, opens the decoders, reads packets for the two decoding threads, and ends
// its session with a soft clear and stopHandle(). A manager serves one session only.
//
// Threads: the object lives on the GUI thread (signals arrive there queued); run() is the
// manager thread (listen, discovery, reading, soft clear); two PacketHandlerThreads decode;
// from the first picture on the delivery threads (Generator, Worker) consume the queues.
class StreamManager : public QThread
{
    Q_OBJECT
    friend class PacketHandlerThread;
    friend class Generator;
    friend class Worker;
    friend class DeliveryTest; // drives the delivery tick directly, without the clock

public:
    // Pool block counts and sizes.
    static constexpr int kVideoBlocks = 60;
    static constexpr int kAudioBlocks = 30;
    static constexpr int kAudioBlockBytes = 0x28000;
    // Delivery buffers.
    static constexpr int kOutputFrameBytes = 17107200;
    static constexpr int kOutputAudioSamples = 480000; // 240,000 stereo sample frames
    // Decoder slice threads.
    static constexpr int kDecoderThreads = 4;
    // A packet handler that has not ended after this long is left behind with a log line.
    static constexpr unsigned long kHandlerStopWaitMs = 1000;
    // A listen-mode open that fails this quickly (port held elsewhere) is retried only after
    // kListenRetryPauseMs, so a manager never spins a core on a port it cannot get.
    static constexpr qint64 kListenFastFailMs = 100;
    static constexpr int kListenRetryPauseMs = 250;
    // Opens refused this many times in a row because another program holds the port end the
    // session with portUnavailable() set, so the listener can move the intake to another port:
    // announced as ready on a port it cannot bind, it would take cameras into nowhere (or hand
    // them to that other program's listener).
    static constexpr int kPortBusyAttempts = 4;
    // requestStop's unblocking connection: bounds of its connect and disconnect waits.
    static constexpr int kUnblockWaitMs = 2000;
    // Packets waiting for a decoder; a peer sending faster than we decode loses packets
    // beyond these bounds instead of growing the lists without end.
    static constexpr int kMaxQueuedVideoPackets = 1000;
    static constexpr int kMaxQueuedAudioPackets = 2000;
    // Delivery (worker thread): what must be queued before a tick delivers, with audio (each
    // kind) and video-only; the extra look-ahead of a tick beyond one frame duration; the
    // queued video above which the one automatic flush of a session happens.
    static constexpr double kMinQueuedMs = 20.0;
    static constexpr double kMinQueuedVideoOnlyMs = 10.0;
    static constexpr qint64 kLookAheadMs = 5;
    static constexpr double kAutoResetMs = 700.0;
    // A tick hands out one picture and the clock runs only ~1 % faster than a camera, so the
    // pictures a burst or a stall leaves waiting would drain at 0.3 a second: with more than
    // this still queued after a tick, the oldest are skipped (only ever those older than the
    // newest time at which both kinds have arrived).
    static constexpr int kMaxWaitingPictures = 1;
    // The clock and worker get this long to end at the soft clear before the session's data
    // is kept (not released) for the destructor to free.
    static constexpr unsigned long kDeliveryStopWaitMs = 5000;

    // GUI thread. Does not start the thread.
    explicit StreamManager(QObject *parent);
    // GUI thread. Stops the session (if still running) and waits for every thread it owns.
    ~StreamManager() override;

    // GUI thread. Stores the URI and port, resets the session state and starts the thread.
    void startListen(const QString &uri, int port);
    // GUI thread. Sets m_stop; a manager blocked in its listen-mode open is unblocked by a
    // short connection to its own port (at most about 4 s).
    void requestStop();
    // GUI thread. The delivery worker flushes both queues at its next tick.
    void requestBufferReset();
    // GUI thread (any thread), no lock: the queued audio and video milliseconds.
    void bufferedMs(int &audioMs, int &videoMs) const;
    // GUI thread: bytes the relay has received from the camera, 0 without a relay.
    qint64 bytesReceived() const;
    // GUI thread, at admission: the relay feeding this manager and how to read its byte count.
    // The engine never calls into the relay's class itself, so it does not link ingest/.
    void setRelay(ProxyThread *relay, std::function<qint64()> bytesFromClient);

    int port() const { return m_port.load(); }

    // Session time: the pts in milliseconds of the time base, as the integer product
    // num * pts * 1000 divided in double precision by den and truncated toward zero.
    // AV_NOPTS_VALUE and a zero denominator give AV_NOPTS_VALUE.
    static qint64 ptsToMs(qint64 pts, AVRational timeBase);
    // Output frame rate from a stream frame rate; 0 for a rate with a zero or negative term.
    static int detectFps(AVRational frameRate);

    // Read-only views for the delivery threads, statistics and tests; any thread.
    FrameQueue &videoQueue() { return m_videoQueue; }
    FrameQueue &audioQueue() { return m_audioQueue; }
    bool outputStarted() const { return m_outputStarted.load(); }
    bool useConversion() const { return m_useConversion.load(); }
    bool listening() const { return m_listening.load(); }
    bool stopped() const { return m_stop.load(); }
    // True once the session ended because its port was held elsewhere (kPortBusyAttempts).
    bool portUnavailable() const { return m_portUnavailable.load(); }
    int width() const { return m_width.load(); }
    int height() const { return m_height.load(); }
    int fps() const { return m_fps.load(); }
    int stride() const { return m_stride.load(); }
    double frameMs() const { return m_frameMs.load(); }
    qint64 startPtsMs() const { return m_startPtsMs.load(); }
    qint64 lastVideoMs() const { return m_lastVideoMs.load(); }
    qint64 lastAudioMs() const { return m_lastAudioMs.load(); }
    // True once the session's FFmpeg objects, packets, pools and output buffer are freed.
    bool sessionReleased() const { return m_sessionReleased.load(); }
    qint64 clockMs() const { return m_clockMs.load(); }
    bool aligned() const { return m_aligned.load(); }
    // True while the output clock and delivery worker of the session exist.
    bool deliveryRunning() const { return m_clock.load() != nullptr; }
    // Any thread: audio records dropped because they could never fit the delivery buffer, and
    // pictures dropped because they were larger than the output frame buffer.
    qint64 oversizedAudioDrops() const { return m_oversizedAudioDrops.load(); }
    // Pictures skipped so far to catch up with a backlog.
    qint64 catchUpPictureDrops() const { return m_catchUpPictureDrops.load(); }
    qint64 oversizedPictureDrops() const { return m_oversizedPictureDrops.load(); }

    // Any thread: installs (or with null removes) the timing probe of every manager's delivery
    // path. Off by default; used by benchmarks. The observer must outlive the sessions using it.
    static void setDeliveryObserver(DeliveryObserver *observer);

    // -- Identity and admission. Written by the listener on the GUI thread: m_output right
    // after startListen, the rest at admission, before the publisher's open returns. Atomic,
    // because the manager thread may already run.
    std::atomic<int> m_port{-1};
    std::atomic<VCam *> m_output{nullptr};       // not owned
    std::atomic<ProxyThread *> m_relay{nullptr}; // not owned; see setRelay
    std::atomic<bool> m_ignoreAudio{false}; // also set by the manager for a stream without audio
    std::atomic<bool> m_mevo{false};
    std::atomic<int> m_maxBufferMs{2000};

signals:
    void readyForConnect();
    void stopHandle();
    void errorMessage(QString title, QString txt);
    void updateStreamState(QString msg);

protected:
    void run() override;

private:
    // Manager thread.
    void session();
    bool openListening(const QByteArray &url);
    bool findVideoStream(const QByteArray &url, const AVCodec **decoder);
    bool waitForMevoAudio(const QByteArray &url, const AVCodec **decoder);
    void openDecoders(const AVCodec *videoDecoder, const AVCodec *audioDecoder);
    void readLoop();
    void softClear();
    void stopHandler(PacketHandlerThread *handler);
    void releaseSession();
    void clearPackets();
    static int interruptCallback(void *opaque);

    // Either decoding thread.
    static AVPacketPtr takePacket(std::mutex &mutex, std::deque<AVPacketPtr> &packets);

    // Video handler thread.
    void decodeVideoPackets();
    bool decodeVideoPacket(AVPacket *packet);
    void onVideoFrame(AVFrame *frame, AVRational timeBase, AVRational frameRate);
    void startOutput(AVFrame *frame, AVRational timeBase, AVRational frameRate);
    int initFilterGraph(int outputFormat, const char *filters, AVFrame *frame, AVRational timeBase);
    bool convertPicture(AVFrame *frame, AVRational timeBase);
    void applyVideoBound();
    // Step 7 of the output set-up: the output clock and the delivery worker start here.
    void startDelivery();

    // Audio handler thread.
    void decodeAudioPackets();

    // Delivery worker thread, once per tick (the clock and the worker are Generator and
    // Worker). The tick with audio is driven by timestamps against m_clockMs, the video-only
    // tick by the tick alone.
    void deliverTick();
    void videoOnlyTick();
    bool alignWithAudio();
    void resetBuffers();
    void catchUp();
    // Copies a popped picture into m_outputFrame; false (counted) when it does not fit.
    bool takePicture(const FrameRecord &record);
    void send(const qint16 *audio, int samples, int sampleRate, bool newPicture);

    // Manager thread at the soft clear (bounded), GUI thread in the destructor (until ended):
    // ends the clock and with it the worker, so that no tick runs against session data that is
    // about to be released. True when both have ended (or never existed).
    bool stopDelivery(bool untilEnded);

    // -- Session control. Plain flags read across threads.
    QString m_uri; // GUI thread before start, then manager thread
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_listening{false};
    std::atomic<bool> m_portUnavailable{false};
    std::atomic<bool> m_sessionReleased{false};
    std::unique_ptr<PacketHandlerThread> m_videoHandler; // created and stopped by run()
    std::unique_ptr<PacketHandlerThread> m_audioHandler;
    QByteArray m_url; // manager thread: m_uri in the local 8-bit encoding

    // -- FFmpeg state. The input belongs to the manager thread; each decoder, its frame and
    // the conversion graph belong to its handler thread. Released by releaseSession() once
    // the handlers have ended.
    AVFormatContextPtr m_input;
    int m_videoStream = -1;
    int m_audioStream = -1;
    AVRational m_videoTimeBase{0, 1};
    AVRational m_audioTimeBase{0, 1};
    AVRational m_videoFrameRate{0, 1};
    AVCodecContextPtr m_videoDecoder;
    AVCodecContextPtr m_audioDecoder;
    AVFramePtr m_videoFrame;
    AVFramePtr m_audioFrame;
    AVPacketPtr m_readPacket; // manager thread

    // -- Packet lists, oldest first; each guarded by its mutex, held only to append or take.
    std::mutex m_videoPacketsMutex;
    std::deque<AVPacketPtr> m_videoPackets;
    std::mutex m_audioPacketsMutex;
    std::deque<AVPacketPtr> m_audioPackets;
    qint64 m_droppedPackets = 0; // manager thread

    // -- Conversion (video handler thread).
    std::atomic<bool> m_useConversion{false};
    AVFilterGraphPtr m_filterGraph;
    AVFilterContext *m_bufferSource = nullptr; // owned by m_filterGraph
    AVFilterContext *m_bufferSink = nullptr;   // owned by m_filterGraph
    AVFramePtr m_filteredFrame;
    // What the graph was built for; a picture that differs rebuilds it.
    int m_graphWidth = 0;
    int m_graphHeight = 0;
    int m_graphFormat = -1;
    qint64 m_conversionFailures = 0;

    // -- Output and timing state. Written by one thread, read by others without a lock.
    std::atomic<bool> m_outputStarted{false}; // video handler
    std::atomic<int> m_pixelFormat{0};        // always AV_PIX_FMT_YUV420P once started
    std::atomic<int> m_width{0};              // geometry of every queued picture
    std::atomic<int> m_height{0};
    std::atomic<int> m_fps{0};
    std::atomic<int> m_stride{0}; // luma line size of the latest queued picture
    std::atomic<double> m_frameMs{0.0};
    std::atomic<qint64> m_startPtsMs{-1};  // manager thread
    std::atomic<qint64> m_lastVideoMs{-1}; // video handler
    std::atomic<qint64> m_lastAudioMs{-1}; // audio handler
    std::atomic<qint64> m_clockMs{-1};     // delivery worker
    std::atomic<bool> m_aligned{false};
    std::atomic<bool> m_resetRequested{false};
    std::atomic<bool> m_firstResetArmed{false};
    std::atomic<bool> m_audioPoolPending{true}; // audio handler
    int m_overLimitCount = 0;                   // video handler
    bool m_firstVideoLogged = false;            // video handler
    // The output clock; owns the worker (its QObject child). Created by the video handler,
    // stopped and deleted by stopDelivery.
    std::atomic<Generator *> m_clock{nullptr};
    std::atomic<qint64> m_oversizedAudioDrops{0};
    std::atomic<qint64> m_oversizedPictureDrops{0};
    std::atomic<qint64> m_catchUpPictureDrops{0};

    FrameQueue m_videoQueue{FrameQueue::kKindVideo};
    FrameQueue m_audioQueue{FrameQueue::kKindAudio};

    // -- Delivery buffers, written only by the delivery worker (startDelivery fills the
    // picture black before the worker starts). m_outputFrame is freed with the rest of the
    // session.
    std::unique_ptr<uchar[]> m_outputFrame;
    int m_outputStride = 0;        // luma line size of the picture in m_outputFrame
    qint64 m_outputPictureMs = -1; // its session time
    std::array<qint16, kOutputAudioSamples> m_outputAudio{};

    // -- Relay byte count, GUI thread only.
    std::function<qint64()> m_relayBytes;
};
