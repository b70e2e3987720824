#pragma once

#include "engine/DeliveryPolicy.h"
#include "engine/DeliverySink.h"
#include "engine/FrameFeeder.h"
#include "engine/FrameQueue.h"
#include "engine/SessionDecoding.h"
#include "engine/SessionDelivery.h"
#include "engine/SessionTimeline.h"
#include "engine/StreamIntake.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class DeliveryObserver;
class OutputSwitch;

// One RTMP intake and its session, wiring the stages together:
//
//   StreamIntake (this thread: listen, discovery, read loop)
//     -> SessionDecoding (a PacketQueue, a decoding thread and a Decoder per kind)
//     -> FrameFeeder (session clock, admission) -> two FrameQueues of decoded frames
//     -> SessionDelivery (a playout thread running the DeliveryPolicy)
//     -> OutputSwitch (one session owns the output) -> the program's output.
//
// A manager serves one session only; it ends with a soft clear and stopHandle(), and the
// listener puts a fresh manager on its port.
//
// Threads: the object lives on the GUI thread (signals arrive there queued); run() is the
// manager thread (intake, soft clear); the decoding threads feed the frame queues; from the
// first picture on the playout thread delivers. The listener gives the session what it needs
// through setOutput and setConnectionCheck before startListen, and admit() when a camera is
// admitted; nothing else writes it from outside. Each stage's header says which thread touches
// what; the fields here are written by the thread named beside them.
class Session : public QThread, private DeliverySink
{
    Q_OBJECT

public:
    static constexpr qint64 kListenFastFailMs = StreamIntake::kListenFastFailMs;
    static constexpr int kListenRetryPauseMs = StreamIntake::kListenRetryPauseMs;
    static constexpr int kPortBusyAttempts = StreamIntake::kPortBusyAttempts;
    static constexpr int kReadTimeoutMs = StreamIntake::kReadTimeoutMs;
    // requestStop's unblocking connection: bounds of its connect and disconnect waits.
    static constexpr int kUnblockWaitMs = 2000;

    // GUI thread. Does not start the thread.
    explicit Session(QObject *parent);
    // GUI thread. Stops the session (if still running) and waits for every thread it owns.
    ~Session() override;

    // Decides whether a connection the intake accepted may go on; false ends the session
    // quietly, with `why` logged. Called on the manager thread with the manager's port.
    using ConnectionCheck = std::function<bool(int port, QString &why)>;

    // What the listener decides for a camera it admits.
    struct Admission
    {
        // The relay feeding the session (not owned) and how to read its byte count on the GUI
        // thread. The engine never calls into the relay's class itself, so it does not link
        // ingest/.
        QThread *relay = nullptr;
        std::function<qint64()> bytesFromClient;
        bool ignoreAudio = false;
        bool mevo = false;
        int maxBufferMs = 2000;
        // The output goes to the highest among the sessions delivering
        // (OutputSwitch::nextAdmission).
        quint64 number = 0;
    };

    // GUI thread, before startListen: the check each connection passes right after the open,
    // before anything of it is read (null: every connection goes on).
    void setConnectionCheck(ConnectionCheck check);
    // GUI thread, before startListen: the output switch the session's frames go through (not
    // owned; null: the session decodes but delivers nothing).
    void setOutput(OutputSwitch *output);
    // GUI thread. Stores the URI and port, resets the session state and starts the thread.
    void startListen(const QString &uri, int port);
    // GUI thread. Sets the stop flag; a manager blocked in its listen-mode open is unblocked
    // by a short connection to its own port (at most about 4 s).
    void requestStop();
    // Any thread, never blocks: sets the stop flag only. The interrupt callback of every
    // blocking FFmpeg call (listen-mode accept included) sees it within about 100 ms.
    void requestStopAsync() { m_stop = true; }
    // GUI thread. The delivery flushes both queues at its next tick.
    void requestBufferReset();
    // Any thread, no lock: the queued audio and video milliseconds.
    void bufferedMs(int &audioMs, int &videoMs) const;
    // GUI thread, after startListen and before the publisher's open can return (the relay is
    // started after it): the session's parameters for the camera admitted to it. startListen
    // clears them for the next camera.
    void admit(Admission admission);
    // GUI thread: what admit() was given (a default Admission before).
    Admission admission() const;
    // GUI thread: bytes the relay has received from the camera, 0 without a relay.
    qint64 bytesReceived() const;

    int port() const { return m_port.load(); }
    // Any thread: the relay admitted to this session (null before admission).
    QThread *relay() const { return m_relay.load(); }
    // Any thread: true when audio is left out, because the admission said so or the stream has
    // none.
    bool ignoresAudio() const { return m_ignoreAudio.load(); }

    static qint64 ptsToMs(qint64 pts, AVRational timeBase);
    static int detectFps(AVRational frameRate);

    // Read-only views for statistics and tests; any thread.
    FrameQueue &videoQueue() { return m_videoQueue; }
    FrameQueue &audioQueue() { return m_audioQueue; }
    bool outputStarted() const { return m_feeder.started(); }
    // Pictures the video decoder gave so far; none are decoded while nobody sees them (another
    // camera owns the output), from the stream's next keyframe on.
    qint64 picturesDecoded() const { return m_decoding.picturesDecoded(); }
    // Pictures brought out of hardware surfaces for the output (FrameFeeder).
    qint64 convertedPictures() const { return m_feeder.convertedPictures(); }
    bool listening() const { return m_intake.listening(); }
    bool stopped() const { return m_stop.load(); }
    // True once the session ended because its port was held elsewhere (kPortBusyAttempts).
    bool portUnavailable() const { return m_portUnavailable.load(); }
    // True once the session was refused for its picture size (PictureLimit).
    bool pictureRefused() const { return m_pictureRefused.load(); }
    // True once the session ended because nothing came for the read timeout.
    bool readTimedOut() const { return m_intake.timedOut(); }
    // True once the connection check refused the session's connection.
    bool connectionRefused() const { return m_connectionRefused.load(); }
    int width() const { return m_feeder.width(); }
    int height() const { return m_feeder.height(); }
    int fps() const { return m_feeder.fps(); }
    double frameMs() const { return m_feeder.frameMs(); }
    qint64 startPtsMs() const { return m_timeline.startPtsMs.load(); }
    qint64 lastVideoMs() const { return m_timeline.lastVideoMs.load(); }
    qint64 lastAudioMs() const { return m_timeline.lastAudioMs.load(); }
    qint64 clockMs() const { return m_timeline.clockMs.load(); }
    // True once the session's FFmpeg objects, packets, pools and delivery buffers are freed.
    bool sessionReleased() const { return m_sessionReleased.load(); }
    bool aligned() const;
    // True while the playout thread of the session exists.
    bool deliveryRunning() const { return m_delivery.running(); }
    // True while this session's frames reach the output (it was admitted last of those
    // delivering).
    bool ownsOutput() const;
    // Audio records dropped because they could never fit the delivery buffer, pictures
    // skipped to catch up with a backlog.
    qint64 oversizedAudioDrops() const;
    qint64 catchUpPictureDrops() const;
    // What the playout is doing: its delay, pictures skipped and repeated (zeros before the
    // first picture).
    DeliveryPolicy::Stats playoutStats() const;

    // Any thread: installs (or with null removes) the timing probe of every manager's delivery
    // path. Off by default; used by benchmarks. The observer must outlive the sessions using it.
    static void setDeliveryObserver(DeliveryObserver *observer);

    // Any thread, tests: the next `sessions` sessions that get a publisher throw from inside
    // the session (as a failure deep in a stage would), and the next `opens` video decoders
    // fail to open (as a codec this FFmpeg cannot decode does).
    static void throwInSessions_for_testing(int sessions);
    static void failVideoDecoderOpens_for_testing(int opens);

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
    // False when the video decoder could not be opened; `failure` then names the codec.
    bool openDecoders(QString &failure);
    void onPacket(AVPacket *packet);
    // `finalState`: the state text left shown after the session (empty: none).
    void softClear(const QString &finalState = QString());
    void releaseSession();

    // Video decoding thread, at the first usable picture: joins the output and starts the
    // delivery.
    void startDelivery(const FrameFeeder::Format &format);
    // Manager thread (discovery) or video decoding thread (a decoded picture or header): the
    // session ends, with the size in its state text.
    void refusePicture(int width, int height);
    // Manager thread: the refusal's state text, logged once, for the session's end.
    QString pictureRefusal();

    // Delivery worker: the policy's frames, through the output switch.
    void deliver(const DeliveredFrame &frame) override;

    // -- Identity and admission. Written on the GUI thread: m_port and m_output before the thread
    // starts, the rest by admit(), before the publisher's open returns. Atomic, because the
    // manager thread already runs then.
    std::atomic<int> m_port{-1};
    std::atomic<OutputSwitch *> m_output{nullptr}; // not owned
    std::atomic<QThread *> m_relay{nullptr};       // not owned
    std::atomic<quint64> m_admission{0};
    std::atomic<bool> m_ignoreAudio{false}; // also set by the manager for a stream without audio
    std::atomic<bool> m_admittedIgnoreAudio{false}; // as admitted, for admission()
    std::atomic<bool> m_mevo{false};
    std::atomic<int> m_maxBufferMs{2000};

    // -- Session control.
    QString m_uri;    // GUI thread before start, then manager thread
    QByteArray m_url; // manager thread: m_uri in the local 8-bit encoding
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_portUnavailable{false};
    std::atomic<bool> m_sessionReleased{false};
    std::atomic<bool> m_connectionRefused{false};
    ConnectionCheck m_connectionCheck; // GUI thread before start, then manager thread
    // Written once by whoever refuses the picture size, before m_pictureRefused.
    std::atomic<int> m_refusedWidth{0};
    std::atomic<int> m_refusedHeight{0};
    std::atomic<bool> m_pictureRefused{false};

    // -- The stages, in the order data passes them; each header says which thread uses what.
    StreamIntake m_intake{m_stop};   // manager thread
    StreamIntake::Streams m_streams; // manager thread
    SessionTimeline m_timeline;
    FrameQueue m_videoQueue{FrameQueue::kKindVideo};
    FrameQueue m_audioQueue{FrameQueue::kKindAudio};
    FrameFeeder m_feeder{m_videoQueue, m_audioQueue, m_timeline};
    SessionDecoding m_decoding{m_feeder}; // feeds m_feeder, so it goes before it
    SessionDelivery m_delivery;
    std::atomic<bool> m_joinedOutput{false};

    // -- Relay byte count, GUI thread only.
    std::function<qint64()> m_relayBytes;
};
