#include "engine/Session.h"

#include "engine/DeliveryObserver.h"
#include "engine/EngineLog.h"
#include "engine/FfmpegLogLimit.h"
#include "engine/OutputSwitch.h"
#include "engine/PictureLimit.h"
#include "engine/SessionTime.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>

#include <malloc.h>

namespace {

// FFmpeg's network layer is initialised once per process, before the first open.
std::once_flag g_networkInit;

// Test hooks (see the header); zero outside tests.
std::atomic<int> g_throwInSessions{0};
std::atomic<int> g_failVideoDecoderOpens{0};

// Takes one from a test hook's count; true when one was left.
bool takeOne(std::atomic<int> &count)
{
    int left = count.load();
    while (left > 0 && !count.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

// The benchmark's timing probe; null (off) unless installed.
std::atomic<DeliveryObserver *> g_deliveryObserver{nullptr};

DeliveryObserver *observer()
{
    return g_deliveryObserver.load(std::memory_order_relaxed);
}

} // namespace

void Session::setDeliveryObserver(DeliveryObserver *observer)
{
    g_deliveryObserver.store(observer);
}

void Session::throwInSessions_for_testing(int sessions)
{
    g_throwInSessions = sessions;
}

void Session::failVideoDecoderOpens_for_testing(int opens)
{
    g_failVideoDecoderOpens = opens;
}

qint64 Session::ptsToMs(qint64 pts, AVRational timeBase)
{
    return sessiontime::ptsToMs(pts, timeBase);
}

int Session::detectFps(AVRational frameRate)
{
    return sessiontime::detectFps(frameRate);
}

Session::Session(QObject *parent) : QThread(parent)
{
    std::call_once(g_networkInit, [] {
        // FFmpeg's own lines are limited like ours: a hostile stream could otherwise make the
        // decoder write thousands a second.
        FfmpegLogLimit::install();
        avformat_network_init();
    });
}

Session::~Session()
{
    qCDebug(lcEngine) << "destructor StreamManager";
    // The interrupt callback sees m_stop, so a blocked open or read returns promptly.
    m_stop = true;
    wait();
    // run() left the decoding threads or the delivery running only when one did not end in
    // time; now they must end before the session data they use goes away.
    m_decoding.stop(true);
    m_delivery.stop(true);
    if (OutputSwitch *output = m_output.load(); output && m_joinedOutput.exchange(false))
        output->leave(this);
}

void Session::setConnectionCheck(ConnectionCheck check)
{
    m_connectionCheck = std::move(check);
}

void Session::setOutput(OutputSwitch *output)
{
    m_output = output;
}

void Session::startListen(const QString &uri, int port)
{
    m_uri = uri;
    m_port = port;
    m_stop = false;
    m_portUnavailable = false;
    m_connectionRefused = false;
    m_pictureRefused = false;
    m_refusedWidth = 0;
    m_refusedHeight = 0;
    m_ignoreAudio = false;
    m_admittedIgnoreAudio = false;
    m_mevo = false;
    m_maxBufferMs = Admission().maxBufferMs;
    m_admission = 0;
    m_timeline.reset();
    m_relay = nullptr;
    m_relayBytes = nullptr;
    setObjectName(QStringLiteral("stream manager %1").arg(port));
    start(QThread::InheritPriority);
}

void Session::requestStop()
{
    m_stop = true;
    if (!m_intake.listening())
        return;
    // The listen-mode open returns with an error once a connection without an RTMP handshake
    // arrives and goes away.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(m_port.load()), QIODevice::ReadWrite);
    if (socket.waitForConnected(kUnblockWaitMs)) {
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState)
            socket.waitForDisconnected(kUnblockWaitMs);
    }
}

void Session::requestBufferReset()
{
    m_delivery.requestReset();
}

void Session::bufferedMs(int &audioMs, int &videoMs) const
{
    audioMs = int(m_audioQueue.bufferedMs());
    videoMs = int(m_videoQueue.bufferedMs());
}

qint64 Session::bytesReceived() const
{
    return m_relayBytes ? m_relayBytes() : 0;
}

void Session::admit(Admission admission)
{
    m_relayBytes = std::move(admission.bytesFromClient);
    m_ignoreAudio = admission.ignoreAudio;
    m_admittedIgnoreAudio = admission.ignoreAudio;
    m_mevo = admission.mevo;
    m_maxBufferMs = admission.maxBufferMs;
    m_admission = admission.number;
    // Last: the relay is what tells a reclaim that this admission has happened.
    m_relay = admission.relay;
}

Session::Admission Session::admission() const
{
    Admission admission;
    admission.relay = m_relay.load();
    admission.bytesFromClient = m_relayBytes;
    admission.ignoreAudio = m_admittedIgnoreAudio.load();
    admission.mevo = m_mevo.load();
    admission.maxBufferMs = m_maxBufferMs.load();
    admission.number = m_admission.load();
    return admission;
}

bool Session::aligned() const
{
    const DeliveryPolicy *policy = m_delivery.policy();
    return policy && policy->aligned();
}

bool Session::ownsOutput() const
{
    const OutputSwitch *output = m_output.load();
    return output && output->owns(this);
}

qint64 Session::oversizedAudioDrops() const
{
    const DeliveryPolicy *policy = m_delivery.policy();
    return policy ? policy->oversizedAudioDrops() : 0;
}

DeliveryPolicy::Stats Session::playoutStats() const
{
    const DeliveryPolicy *policy = m_delivery.policy();
    return policy ? policy->stats() : DeliveryPolicy::Stats();
}

qint64 Session::catchUpPictureDrops() const
{
    const DeliveryPolicy *policy = m_delivery.policy();
    return policy ? policy->catchUpPictureDrops() : 0;
}

// ---------------------------------------------------------------------------------------------
// Manager thread

void Session::run()
{
    try {
        session();
    } catch (...) {
        // Whatever went wrong, the session ends as any other does, so its intake is replaced.
        qCCritical(lcEngine) << "CRASH MESSAGE" << m_port.load();
        m_stop = true;
        try {
            softClear();
        } catch (...) {
            // The listener replaces a manager that ends without its stop signal too.
            qCCritical(lcEngine) << "CRASH MESSAGE in soft clear" << m_port.load();
        }
    }
}

void Session::session()
{
    m_url = m_uri.toLocal8Bit();
    const StreamIntake::Opened opened = m_intake.open(m_url, [this] { emit readyForConnect(); });
    if (opened == StreamIntake::Opened::PortBusy)
        m_portUnavailable = true;
    if (opened != StreamIntake::Opened::Connected) {
        softClear();
        return;
    }

    // Before a byte of the stream is read: a connection the listener did not make goes no
    // further.
    if (m_connectionCheck) {
        QString why;
        if (!m_connectionCheck(m_port.load(), why)) {
            qCWarning(lcEngine).noquote() << "-- intake connection refused:" << why;
            m_connectionRefused = true;
            m_stop = true;
            softClear();
            return;
        }
    }

    if (takeOne(g_throwInSessions))
        throw std::runtime_error("session failure for testing");
    emit updateStreamState(QStringLiteral("connecting ..."));
    if (m_ignoreAudio)
        qCInfo(lcEngine) << "IGNORE AUDIO";
    bool ignoreAudio = m_ignoreAudio.load();
    if (!m_intake.discover(m_url, m_mevo.load(), ignoreAudio, m_streams)) {
        int width = 0;
        int height = 0;
        if (m_intake.sizeRefused(&width, &height))
            refusePicture(width, height);
        m_stop = true;
        softClear(m_pictureRefused ? pictureRefusal() : QString());
        return;
    }
    m_ignoreAudio = ignoreAudio;

    // The size the stream's headers announce is refused before a decoder is opened for it.
    if (const AVCodecParameters *video = m_intake.parameters(m_streams.video);
        video && !PictureLimit::fits(video->width, video->height)) {
        refusePicture(video->width, video->height);
        softClear(pictureRefusal());
        return;
    }

    QString failure;
    if (!openDecoders(failure)) {
        // Nothing of this stream can be shown: end the session (its intake is replaced) rather
        // than read it for nothing, and leave the reason on the window.
        qCWarning(lcEngine).noquote() << "-- session ended:" << failure << m_port.load();
        m_stop = true;
        softClear(failure);
        return;
    }
    m_intake.readLoop([this](AVPacket *packet) { onPacket(packet); });
    m_stop = true;
    softClear(m_pictureRefused ? pictureRefusal() : QString());
}

void Session::refusePicture(int width, int height)
{
    if (m_pictureRefused)
        return;
    m_refusedWidth = width;
    m_refusedHeight = height;
    m_pictureRefused = true;
    // Ends the read loop (the interrupt callback sees it); the manager thread then ends the
    // session with the refusal's text.
    m_stop = true;
}

QString Session::pictureRefusal()
{
    const QString text = PictureLimit::refusal(m_refusedWidth.load(), m_refusedHeight.load());
    qCWarning(lcEngine).noquote() << "-- session ended:" << text << m_port.load();
    return text;
}

bool Session::openDecoders(QString &failure)
{
    m_feeder.reset(m_ignoreAudio.load(), m_maxBufferMs.load(),
                   [this](const FrameFeeder::Format &format) { startDelivery(format); });
    SessionDecoding::Hooks hooks;
    hooks.pictureQueued = [this](qint64 queuedMs) {
        if (DeliveryObserver *probe = observer())
            probe->videoPictureQueued(this, queuedMs);
    };
    hooks.pictureTooLarge = [this](int width, int height) { refusePicture(width, height); };
    // Until the session has joined the output its first picture is needed to join it; after
    // that, only while it owns an output.
    hooks.picturesSeen = [this] {
        const OutputSwitch *output = m_output.load();
        return !output || !m_joinedOutput.load() || output->owns(this);
    };
    hooks.receiveFailures = [this](qint64 total, qint64 sinceLast) {
        // A peer can make every packet fail: the window hears of it at most once a second,
        // with how many failed since it last heard.
        emit errorMessage(QStringLiteral("Error #200"),
                          QStringLiteral("Error  while receiving a frame from the "
                                         "decoder\nPlease try other decoder (%1 failed, %2 "
                                         "since the last report)")
                              .arg(total)
                              .arg(sinceLast));
    };
    return m_decoding.open(m_intake, m_streams, !m_ignoreAudio.load(),
                           takeOne(g_failVideoDecoderOpens), m_port.load(), std::move(hooks),
                           failure);
}

void Session::onPacket(AVPacket *packet)
{
    if (m_timeline.startPtsMs == -1) {
        const qint64 ms = ptsToMs(packet->pts, m_intake.timeBase(packet->stream_index));
        if (ms != AV_NOPTS_VALUE) {
            m_timeline.startPtsMs = ms;
            qCInfo(lcEngine) << "-- START PTS:" << ms;
        }
    }
    if (DeliveryObserver *probe = observer();
        probe && m_decoding.decodesVideo(packet->stream_index)) {
        const qint64 pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const qint64 ms = ptsToMs(pts, m_streams.videoTimeBase);
        if (ms != AV_NOPTS_VALUE)
            probe->videoPacketRead(this, ms - m_timeline.startPtsMs.load());
    }
    m_decoding.push(packet);
}

void Session::softClear(const QString &finalState)
{
    qCInfo(lcEngine) << "SOFT CLEAR" << m_port.load() << m_stop.load();
    emit updateStreamState(finalState);
    m_decoding.stop(false);
    const bool decodingEnded = m_decoding.ended();
    // Delivery ends before the output is let go: a frame sent after it would belong to a
    // session that is gone.
    const bool deliveryEnded = m_delivery.stop(false);
    if (const DeliveryPolicy *policy = m_delivery.policy()) {
        const DeliveryPolicy::Stats stats = policy->stats();
        qCInfo(lcEngine) << "-- playout: delay" << stats.delayMs << "ms, jitter" << stats.jitterMs
                         << "ms, pictures shown" << stats.shown << "skipped" << stats.skipped
                         << "repeated" << stats.repeated << "late audio" << stats.lateAudio
                         << "audio delay" << stats.audioDelayMs << "ms, audio burst"
                         << stats.audioBurstMs << "ms";
    }
    if (OutputSwitch *output = m_output.load(); output && m_joinedOutput.exchange(false))
        output->leave(this);
    // Nothing touches the session any more, unless a thread failed to end: then its data stays
    // until the destructor has waited for it.
    if (decodingEnded && deliveryEnded)
        releaseSession();
    emit stopHandle();
}

void Session::releaseSession()
{
    m_decoding.release();
    m_feeder.release();
    m_intake.close();
    m_videoQueue.releaseFrames();
    m_audioQueue.releaseFrames();
    m_delivery.releaseBuffers();
    m_sessionReleased = true;
    // The session's smaller buffers (packets, decoder state) came from the malloc arenas of
    // threads that are gone now; hand their free pages back instead of keeping them per arena.
    // Under a sanitizer the allocator is the sanitizer's own: glibc's arenas were never set up,
    // and trimming them from several sessions at once crashes inside glibc.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    malloc_trim(0);
#endif
}

// ---------------------------------------------------------------------------------------------
// Video decoding thread

void Session::startDelivery(const FrameFeeder::Format &format)
{
    emit updateStreamState(
        QStringLiteral("%1x%2 %3fps").arg(format.width).arg(format.height).arg(format.fps));
    if (m_stop || m_delivery.running())
        return;
    // Without an output there is nobody to pace for; the queues are left to whoever reads them.
    OutputSwitch *output = m_output.load();
    if (!output) {
        qCInfo(lcEngine) << "-- no output object: delivery not started";
        return;
    }
    DeliveryPolicy::Session session;
    session.frameMs = format.frameMs;
    session.videoOnly = m_ignoreAudio.load();
    session.maxDelayMs = m_maxBufferMs.load();
    // The output carries the stream's exact rate (30000/1001, not the rounded 30).
    output->join(this, m_admission.load(), format.frameRate.num, format.frameRate.den);
    m_joinedOutput = true;
    m_delivery.start(session, m_videoQueue, m_audioQueue, m_timeline, *this, m_stop, *output,
                     m_port.load(), this);
}

// ---------------------------------------------------------------------------------------------
// Playout thread

void Session::deliver(const DeliveredFrame &frame)
{
    if (OutputSwitch *output = m_output.load()) {
        // The decoder's picture as the queue held it; the picture on show again is not sent.
        OutputFrame out;
        out.picture = frame.newPicture ? frame.picture : nullptr;
        out.displayMatrix = m_feeder.displayMatrix();
        // The sound as the policy holds it, planar float: the output converts it once, to
        // what each of its backends takes.
        if (frame.audio) {
            out.audio = frame.audio;
            out.samples = frame.samples;
            out.sampleRate = frame.sampleRate;
            out.channels = frame.channels;
        }
        output->send(this, out);
    }
    if (DeliveryObserver *probe = observer())
        probe->frameSent(this, frame.pictureMs, frame.newPicture, frame.samples);
}
