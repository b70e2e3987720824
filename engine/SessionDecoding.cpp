#include "engine/SessionDecoding.h"

#include "engine/Decoder.h"
#include "engine/EngineLog.h"
#include "engine/FrameFeeder.h"
#include "engine/PacketHandlerThread.h"
#include "engine/PictureLimit.h"

#include <QElapsedTimer>

namespace {

const Decoder::Texts kVideoTexts{"Cannot open video decoder\n",
                                 "Error while sending a packet to the decoder\n",
                                 "Error while receiving a frame from the decoder\n"};
const Decoder::Texts kAudioTexts{"Cannot open audio decoder\n",
                                 "Error while sending a packet to the AUDIO decoder\n",
                                 "Error while receiving a frame from the AUDIO decoder\n"};

} // namespace

SessionDecoding::SessionDecoding(FrameFeeder &feeder) : m_feeder(feeder) {}

SessionDecoding::~SessionDecoding()
{
    stop(true);
}

bool SessionDecoding::open(const StreamIntake &intake, const StreamIntake::Streams &streams,
                           bool withAudio, bool failVideo, int port, Hooks hooks, QString &failure)
{
    m_streams = streams;
    m_hooks = std::move(hooks);
    m_refused = false;
    m_held.clear();
    m_decoderCurrent = true;
    m_unmeasured = 0;
    m_paused = false;
    m_picturesDecoded = 0;
    // A decoder that failed to open is kept out: its packets are not queued.
    m_videoDecoder = std::make_unique<Decoder>(kVideoTexts);
    const bool videoOpen =
        !failVideo && m_videoDecoder->open(streams.videoCodec, intake.parameters(streams.video),
                                           kDecoderThreads, PictureLimit::kMaxPixels);
    if (!videoOpen) {
        const AVCodecParameters *parameters = intake.parameters(streams.video);
        const char *name = parameters ? avcodec_get_name(parameters->codec_id) : "unknown";
        failure = QStringLiteral("cannot decode the camera's video (codec %1)")
                      .arg(QString::fromLatin1(name));
        m_videoDecoder.reset();
        return false;
    }
    m_videoThread = std::make_unique<PacketHandlerThread>(
        m_videoPackets, [this](AVPacket *packet) { decodeVideo(packet); },
        QStringLiteral("video decoder %1").arg(port));
    m_videoThread->start(QThread::InheritPriority);

    if (withAudio && streams.audio >= 0) {
        m_audioDecoder = std::make_unique<Decoder>(kAudioTexts);
        m_audioDecoder->open(streams.audioCodec, intake.parameters(streams.audio), 0);
        m_audioThread = std::make_unique<PacketHandlerThread>(
            m_audioPackets, [this](AVPacket *packet) { decodeAudio(packet); },
            QStringLiteral("audio decoder %1").arg(port));
        m_audioThread->start(QThread::InheritPriority);
    }
    return true;
}

bool SessionDecoding::decodesVideo(int streamIndex) const
{
    return streamIndex == m_streams.video && m_videoDecoder && m_videoDecoder->isOpen();
}

void SessionDecoding::push(AVPacket *packet)
{
    const bool isVideo = decodesVideo(packet->stream_index);
    const bool isAudio = !isVideo && m_audioDecoder && m_audioDecoder->isOpen() &&
                         packet->stream_index == m_streams.audio;
    if (!isVideo && !isAudio)
        return;
    AVPacketPtr queued(av_packet_alloc());
    if (!queued)
        return;
    // Takes the read packet's data reference over; nothing is copied.
    av_packet_move_ref(queued.get(), packet);
    (isVideo ? m_videoPackets : m_audioPackets).push(std::move(queued));
}

void SessionDecoding::stop(bool untilEnded)
{
    for (PacketHandlerThread *thread : {m_videoThread.get(), m_audioThread.get()}) {
        if (!thread)
            continue;
        thread->requestStop();
        const bool ended = untilEnded ? thread->wait() : thread->wait(kHandlerStopWaitMs);
        if (!ended)
            qCWarning(lcEngine) << "can't stop packethandler" << thread->objectName();
    }
}

bool SessionDecoding::ended() const
{
    return (!m_videoThread || m_videoThread->isFinished()) &&
           (!m_audioThread || m_audioThread->isFinished());
}

void SessionDecoding::release()
{
    m_videoThread.reset();
    m_audioThread.reset();
    m_videoPackets.clear();
    m_audioPackets.clear();
    m_videoDecoder.reset();
    m_audioDecoder.reset();
    m_held.release();
}

void SessionDecoding::refuse(int width, int height)
{
    if (m_refused)
        return;
    m_refused = true;
    if (m_hooks.pictureTooLarge)
        m_hooks.pictureTooLarge(width, height);
}

void SessionDecoding::decodeVideo(AVPacket *packet)
{
    // The session is ending: decoding more of a refused stream is work for nothing.
    if (m_refused)
        return;
    if (m_hooks.picturesSeen && !m_hooks.picturesSeen()) {
        if (!m_paused.exchange(true, std::memory_order_relaxed))
            qCInfo(lcEngine) << "-- pictures not shown: decoding paused from the next keyframe";
        // Up to the next keyframe the decoder stays current, so that a take-over before it
        // needs no catch-up; from the keyframe on the packets are kept.
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (m_decoderCurrent && !key) {
            decodePictures(packet, false);
            return;
        }
        m_decoderCurrent = false;
        m_held.hold(packet);
        return;
    }
    if (m_paused.load(std::memory_order_relaxed))
        resumePictures();
    decodePictures(packet, true);
}

void SessionDecoding::resumePictures()
{
    m_paused.store(false, std::memory_order_relaxed);
    if (m_decoderCurrent) {
        qCInfo(lcEngine) << "-- pictures shown again";
        return;
    }
    QElapsedTimer took;
    took.start();
    // The decoder missed packets: it starts afresh at the kept keyframe. Without one (a
    // bound was reached) it waits for the stream's next keyframe by itself.
    const int held = m_held.count();
    m_videoDecoder->flush();
    m_held.drain([this](AVPacket *kept) { decodePictures(kept, false); });
    m_decoderCurrent = true;
    // This picture and those queued during the catch-up come late for our own reason.
    m_unmeasured = 1 + int(m_videoPackets.size());
    qCInfo(lcEngine) << "-- pictures shown again:" << held << "kept packets decoded in"
                     << took.elapsed() << "ms";
}

void SessionDecoding::decodePictures(AVPacket *packet, bool show)
{
    const bool measured = m_unmeasured <= 0;
    if (show && m_unmeasured > 0)
        --m_unmeasured;
    const Decoder::Result result = m_videoDecoder->decode(packet, [&](AVFrame *frame) {
        // Checked before anything is sized for the picture: the first one sizes the pool.
        if (m_refused || !PictureLimit::fits(frame->width, frame->height)) {
            refuse(frame->width, frame->height);
            return;
        }
        m_picturesDecoded.fetch_add(1, std::memory_order_relaxed);
        if (!show)
            return;
        frame->pts = frame->best_effort_timestamp;
        const qint64 queued = m_feeder.feedPicture(frame, m_streams.videoTimeBase,
                                                   m_streams.videoFrameRate, measured);
        if (queued >= 0 && m_hooks.pictureQueued)
            m_hooks.pictureQueued(queued);
    });
    // A header beyond libavcodec's bound (max_pixels) makes it fail the pictures rather than
    // allocate them: a refused size, not a decoding error.
    if (result != Decoder::Result::Ok &&
        !PictureLimit::fits(m_videoDecoder->width(), m_videoDecoder->height())) {
        refuse(m_videoDecoder->width(), m_videoDecoder->height());
        return;
    }
    // A peer can make every packet fail: the hook hears of it at most once a second.
    if (result == Decoder::Result::ReceiveFailed && m_receiveFailures.count() &&
        m_hooks.receiveFailures)
        m_hooks.receiveFailures(m_receiveFailures.total(), m_receiveFailures.held() + 1);
}

void SessionDecoding::decodeAudio(AVPacket *packet)
{
    m_audioDecoder->decode(
        packet, [this](AVFrame *frame) { m_feeder.feedAudio(frame, m_streams.audioTimeBase); });
}
