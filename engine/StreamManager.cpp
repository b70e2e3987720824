#include "engine/StreamManager.h"

#include "engine/AudioConvert.h"
#include "engine/DeliveryObserver.h"
#include "engine/Generator.h"
#include "engine/PacketHandlerThread.h"
#include "engine/Worker.h"
#include "output/VCam.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include <malloc.h>

namespace {

// FFmpeg's network layer is initialised once per process, before the first open.
std::once_flag g_networkInit;

// Stream probing: enough to find the picture size from the first keyframe without waiting a
// second or more for the default analysis. The analysis bound (in microseconds of stream)
// keeps a video-only publisher of a very low bitrate from being probed for many seconds while
// the demuxer still expects the audio its header announced (0 would mean FFmpeg's default).
constexpr const char *kProbeSize = "8192";
constexpr const char *kAnalyzeDuration = "500000";
constexpr const char *kFpsProbeSize = "0";

constexpr int kLogEvery = 100;

// The benchmark's timing probe; null (off) unless installed.
std::atomic<DeliveryObserver *> g_deliveryObserver{nullptr};

} // namespace

void StreamManager::setDeliveryObserver(DeliveryObserver *observer)
{
    g_deliveryObserver.store(observer);
}

StreamManager::StreamManager(QObject *parent) : QThread(parent)
{
    std::call_once(g_networkInit, [] { avformat_network_init(); });
    m_outputFrame.reset(new uchar[kOutputFrameBytes]);
}

StreamManager::~StreamManager()
{
    qDebug() << "destructor StreamManager";
    // The interrupt callback sees m_stop, so a blocked open or read returns promptly.
    m_stop = true;
    wait();
    // run() left the handlers running only after "CRASH MESSAGE" or when one did not end in
    // time; now they must end before the decoders they use go away.
    if (m_videoHandler)
        m_videoHandler->requestStop();
    if (m_audioHandler)
        m_audioHandler->requestStop();
    m_videoHandler.reset();
    m_audioHandler.reset();
    stopDelivery(true);
}

qint64 StreamManager::ptsToMs(qint64 pts, AVRational timeBase)
{
    if (pts == AV_NOPTS_VALUE || timeBase.den == 0)
        return AV_NOPTS_VALUE;
    // 128-bit product: a hostile pts must not overflow into undefined behaviour.
    const __int128 product = __int128(timeBase.num) * pts * 1000;
    const double ms = double(product) / timeBase.den;
    if (!(std::fabs(ms) < 9.0e18))
        return AV_NOPTS_VALUE;
    return qint64(ms);
}

int StreamManager::detectFps(AVRational frameRate)
{
    if (frameRate.num <= 0 || frameRate.den <= 0)
        return 0;
    const float x = float(frameRate.num) / float(frameRate.den);
    int fps;
    if (x > 29 && x < 32)
        fps = 30;
    else if (x > 57 && x < 62)
        fps = 60;
    else
        fps = int(x);
    // Below 1 fps the truncated rate would be 0, which the clock divides by.
    return qMax(fps, 1);
}

void StreamManager::startListen(const QString &uri, int port)
{
    m_uri = uri;
    m_port = port;
    m_stop = false;
    m_listening = false;
    m_portUnavailable = false;
    m_ignoreAudio = false;
    m_mevo = false;
    m_outputStarted = false;
    m_aligned = false;
    m_resetRequested = false;
    m_firstResetArmed = false;
    m_audioPoolPending = true;
    m_startPtsMs = -1;
    m_lastVideoMs = -1;
    m_lastAudioMs = -1;
    m_clockMs = -1;
    m_overLimitCount = 0;
    m_pixelFormat = 0;
    m_width = 0;
    m_height = 0;
    m_fps = 0;
    m_stride = 0;
    m_relay = nullptr;
    m_relayBytes = nullptr;
    m_clock = nullptr;
    setObjectName(QStringLiteral("stream manager %1").arg(port));
    start(QThread::InheritPriority);
}

void StreamManager::requestStop()
{
    m_stop = true;
    if (!m_listening)
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

void StreamManager::requestBufferReset()
{
    m_resetRequested = true;
}

void StreamManager::bufferedMs(int &audioMs, int &videoMs) const
{
    audioMs = int(m_audioQueue.bufferedMs());
    videoMs = int(m_videoQueue.bufferedMs());
}

qint64 StreamManager::bytesReceived() const
{
    return m_relayBytes ? m_relayBytes() : 0;
}

void StreamManager::setRelay(ProxyThread *relay, std::function<qint64()> bytesFromClient)
{
    m_relay = relay;
    m_relayBytes = std::move(bytesFromClient);
}

int StreamManager::interruptCallback(void *opaque)
{
    return static_cast<StreamManager *>(opaque)->m_stop.load() ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Manager thread

void StreamManager::run()
{
    try {
        session();
    } catch (...) {
        qDebug() << "CRASH MESSAGE";
    }
}

void StreamManager::session()
{
    m_videoHandler = std::make_unique<PacketHandlerThread>(this, PacketHandlerThread::kKindVideo);
    m_audioHandler = std::make_unique<PacketHandlerThread>(this, PacketHandlerThread::kKindAudio);
    m_videoHandler->start(QThread::InheritPriority);
    m_audioHandler->start(QThread::InheritPriority);

    m_input.reset();
    m_url = m_uri.toLocal8Bit();

    if (!openListening(m_url)) {
        softClear();
        return;
    }
    m_listening = false;
    if (m_stop) {
        softClear();
        return;
    }

    emit updateStreamState(QStringLiteral("connecting ..."));
    if (m_ignoreAudio)
        qDebug() << "IGNORE AUDIO";

    int result = avformat_find_stream_info(m_input.get(), nullptr);
    if (result < 0)
        av_log(nullptr, AV_LOG_ERROR, "Cannot find stream information\n");

    const AVCodec *videoDecoder = nullptr;
    if (!findVideoStream(m_url, &videoDecoder)) {
        m_stop = true;
        softClear();
        return;
    }
    av_dump_format(m_input.get(), 0, m_url.constData(), 0);

    const AVStream *video = m_input->streams[m_videoStream];
    m_videoTimeBase = video->time_base;
    qDebug() << "V TIME BASE:" << m_videoTimeBase.num << "" << m_videoTimeBase.den;
    m_videoFrameRate = video->r_frame_rate.den == 0 ? video->avg_frame_rate : video->r_frame_rate;
    qDebug() << "V FPS:" << m_videoFrameRate.num << "" << m_videoFrameRate.den;

    const AVCodec *audioDecoder = nullptr;
    m_audioStream = -1;
    if (m_ignoreAudio) {
        // video only by choice
    } else if (m_mevo) {
        if (!waitForMevoAudio(m_url, &audioDecoder)) {
            m_stop = true;
            softClear();
            return;
        }
    } else {
        result = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &audioDecoder, 0);
        if (result < 0) {
            av_log(nullptr, AV_LOG_ERROR, "Cannot find a audio stream in the input file\n");
            m_ignoreAudio = true;
        } else {
            m_audioStream = result;
            m_audioTimeBase = m_input->streams[result]->time_base;
        }
    }

    openDecoders(videoDecoder, audioDecoder);
    readLoop();
    m_stop = true;
    softClear();
}

bool StreamManager::openListening(const QByteArray &url)
{
    int portBusy = 0;
    for (;;) {
        if (m_stop)
            return false;
        qDebug() << "m_uri:" << m_uri;

        AVDictionary *rawOptions = nullptr;
        if (av_dict_set(&rawOptions, "listen", "1", 0) < 0)
            qDebug() << "FAILED";
        // Low delay on the loopback socket: the RTMP command exchange otherwise stalls on
        // Nagle plus delayed ACKs for a good part of a second.
        av_dict_set(&rawOptions, "tcp_nodelay", "1", 0);
        av_dict_set(&rawOptions, "probesize", kProbeSize, 0);
        av_dict_set(&rawOptions, "analyzeduration", kAnalyzeDuration, 0);
        av_dict_set(&rawOptions, "fpsprobesize", kFpsProbeSize, 0);
        AVDictionaryPtr options(rawOptions);

        AVFormatContext *input = avformat_alloc_context();
        if (!input) {
            av_log(nullptr, AV_LOG_ERROR, "Cannot allocate input context\n");
            return false;
        }
        // Lets a stop end a blocked accept, handshake or read without a connection.
        input->interrupt_callback.callback = &StreamManager::interruptCallback;
        input->interrupt_callback.opaque = this;

        m_input.reset();
        m_listening = true;
        emit readyForConnect();

        QElapsedTimer attempt;
        attempt.start();
        rawOptions = options.release();
        const int result = avformat_open_input(&input, url.constData(), nullptr, &rawOptions);
        options.reset(rawOptions);
        if (result >= 0) {
            m_input.reset(input);
            return true;
        }
        // On failure avformat_open_input has freed the context.
        qDebug() << "ERR (Could not open input file)" << ffmpeg::errorText(result).c_str();
        portBusy = result == AVERROR(EADDRINUSE) ? portBusy + 1 : 0;
        if (portBusy >= kPortBusyAttempts && !m_stop) {
            qDebug() << "-- port held by another program, intake gives it up:" << m_port.load();
            m_listening = false;
            m_portUnavailable = true;
            return false;
        }
        if (attempt.elapsed() < kListenFastFailMs && !m_stop) {
            // Pause in short steps so a stop request is still seen at once.
            QElapsedTimer pause;
            pause.start();
            while (!m_stop && pause.elapsed() < kListenRetryPauseMs)
                QThread::msleep(10);
        }
    }
}

bool StreamManager::findVideoStream(const QByteArray &url, const AVCodec **decoder)
{
    int index = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, decoder, 0);
    if (index >= 0) {
        m_videoStream = index;
        return true;
    }
    av_log(nullptr, AV_LOG_ERROR, "Cannot find a video stream in the input file\n");
    qDebug() << "start search loop...";
    AVPacketPtr packet(av_packet_alloc());
    if (!packet)
        return false;
    while (index < 0) {
        if (m_stop)
            return false;
        if (av_read_frame(m_input.get(), packet.get()) < 0) {
            qDebug() << "can't read packet";
            return false;
        }
        av_packet_unref(packet.get());
        index = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, decoder, 0);
    }
    qDebug() << "SUCCESS FIND VIDEO STREAM" << index;
    av_dump_format(m_input.get(), 0, url.constData(), 0);
    m_videoStream = index;
    return true;
}

bool StreamManager::waitForMevoAudio(const QByteArray &url, const AVCodec **decoder)
{
    qDebug() << "--- special audio detector for Mevo ---";
    AVPacketPtr packet(av_packet_alloc());
    if (!packet)
        return false;
    int index = -1;
    for (;;) {
        index = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, decoder, 0);
        if (index >= 0)
            break;
        if (m_stop)
            return false;
        if (av_read_frame(m_input.get(), packet.get()) < 0) {
            qDebug() << "can't read packet";
            return false;
        }
        av_packet_unref(packet.get());
    }
    qDebug() << "SUCCESS FIND AUDIO STREAM" << index;
    av_dump_format(m_input.get(), 0, url.constData(), 0);
    m_audioStream = index;
    m_audioTimeBase = m_input->streams[index]->time_base;
    return true;
}

void StreamManager::openDecoders(const AVCodec *videoDecoder, const AVCodec *audioDecoder)
{
    // The handlers may already wait; nothing reaches them before the read loop.
    AVCodecContextPtr video(avcodec_alloc_context3(videoDecoder));
    if (video) {
        video->opaque = this;
        const int copied =
            avcodec_parameters_to_context(video.get(), m_input->streams[m_videoStream]->codecpar);
        qDebug() << "avcodec_parameters_to_context:" << copied;
        // Slice threads decode each picture as it comes; frame threads would hold two back.
        video->thread_count = kDecoderThreads;
        video->thread_type = FF_THREAD_SLICE;
        const int opened = avcodec_open2(video.get(), videoDecoder, nullptr);
        if (opened < 0)
            av_log(nullptr, AV_LOG_ERROR, "Cannot open video decoder\n");
        qDebug() << "DEC FLAGS:" << (videoDecoder ? videoDecoder->capabilities : 0)
                 << (videoDecoder && videoDecoder->capabilities != 0);
        qDebug() << "max threads:" << video->thread_count;
        // A decoder that failed to open is kept out: every packet would fail on it anyway.
        if (opened < 0)
            video.reset();
    } else {
        av_log(nullptr, AV_LOG_ERROR, "Cannot allocate video decoder\n");
    }
    m_videoDecoder = std::move(video);

    if (!m_ignoreAudio && m_audioStream >= 0) {
        AVCodecContextPtr audio(avcodec_alloc_context3(audioDecoder));
        int opened = AVERROR(ENOMEM);
        if (audio) {
            avcodec_parameters_to_context(audio.get(), m_input->streams[m_audioStream]->codecpar);
            opened = avcodec_open2(audio.get(), audioDecoder, nullptr);
            if (opened < 0) {
                av_log(nullptr, AV_LOG_ERROR, "Cannot open audio decoder\n");
                audio.reset();
            }
        }
        m_audioFrame.reset(av_frame_alloc());
        m_audioDecoder = std::move(audio);
        qDebug() << "RES:" << opened;
    }

    m_videoFrame.reset(av_frame_alloc());
    m_filterGraph.reset();
    m_outputStarted = false;
}

void StreamManager::readLoop()
{
    m_readPacket.reset(av_packet_alloc());
    if (!m_readPacket)
        return;
    AVPacket *packet = m_readPacket.get();
    while (!m_stop) {
        if (av_read_frame(m_input.get(), packet) < 0)
            break;
        if (m_startPtsMs == -1 && packet->stream_index >= 0 &&
            packet->stream_index < int(m_input->nb_streams)) {
            const qint64 ms =
                ptsToMs(packet->pts, m_input->streams[packet->stream_index]->time_base);
            if (ms != AV_NOPTS_VALUE) {
                m_startPtsMs = ms;
                qDebug() << "-- START PTS:" << ms;
            }
        }

        const bool isVideo = packet->stream_index == m_videoStream && m_videoDecoder;
        if (isVideo) {
            if (DeliveryObserver *observer = g_deliveryObserver.load(std::memory_order_relaxed)) {
                const qint64 pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                const qint64 ms = ptsToMs(pts, m_videoTimeBase);
                if (ms != AV_NOPTS_VALUE)
                    observer->videoPacketRead(this, ms - m_startPtsMs.load());
            }
        }
        const bool isAudio =
            !isVideo && !m_ignoreAudio && m_audioDecoder && packet->stream_index == m_audioStream;
        if (isVideo || isAudio) {
            AVPacketPtr queued(av_packet_alloc());
            if (queued) {
                // Takes the read packet's data reference over; nothing is copied.
                av_packet_move_ref(queued.get(), packet);
                std::mutex &mutex = isVideo ? m_videoPacketsMutex : m_audioPacketsMutex;
                std::deque<AVPacketPtr> &list = isVideo ? m_videoPackets : m_audioPackets;
                const size_t bound = isVideo ? kMaxQueuedVideoPackets : kMaxQueuedAudioPackets;
                bool appended = false;
                {
                    std::lock_guard<std::mutex> locker(mutex);
                    if (list.size() < bound) {
                        list.push_back(std::move(queued));
                        appended = true;
                    }
                }
                if (!appended && (++m_droppedPackets == 1 || m_droppedPackets % kLogEvery == 0))
                    qDebug() << "-- WARN: decoder behind, packet dropped" << m_droppedPackets;
                (isVideo ? m_videoHandler : m_audioHandler)->wake();
            }
        }
        av_packet_unref(packet);
    }
}

void StreamManager::softClear()
{
    qDebug() << "SOFT CLEAR" << this << m_stop.load();
    emit updateStreamState(QString());
    bool handlersEnded = true;
    for (PacketHandlerThread *handler : {m_videoHandler.get(), m_audioHandler.get()}) {
        if (handler) {
            stopHandler(handler);
            handlersEnded = handlersEnded && handler->isFinished();
        }
    }
    // Delivery ends before the output's stream flag is cleared: a frame sent after it would
    // set the flag again and keep the no-signal card away for good.
    const bool deliveryEnded = stopDelivery(false);
    if (VCam *output = m_output.load())
        output->m_streamActive = false;
    // Nothing touches the session any more, unless a handler or the worker failed to end: then
    // its data stays until the destructor has waited for them.
    if (handlersEnded && deliveryEnded)
        releaseSession();
    emit stopHandle();
}

void StreamManager::stopHandler(PacketHandlerThread *handler)
{
    handler->requestStop();
    if (handler->wait(kHandlerStopWaitMs))
        qDebug() << "packethandler thread terminated";
    else
        qDebug() << "can't stop packethandler" << QThread::currentThreadId();
}

void StreamManager::releaseSession()
{
    m_videoHandler.reset();
    m_audioHandler.reset();
    clearPackets();
    m_filterGraph.reset();
    m_bufferSource = nullptr;
    m_bufferSink = nullptr;
    m_filteredFrame.reset();
    m_videoFrame.reset();
    m_audioFrame.reset();
    m_videoDecoder.reset();
    m_audioDecoder.reset();
    m_readPacket.reset();
    m_input.reset();
    m_videoQueue.releaseBlocks();
    m_audioQueue.releaseBlocks();
    m_outputFrame.reset();
    m_sessionReleased = true;
    // The session's smaller buffers (packets, decoder state) came from the malloc arenas of
    // threads that are gone now; hand their free pages back instead of keeping them per arena.
    malloc_trim(0);
}

void StreamManager::clearPackets()
{
    {
        std::lock_guard<std::mutex> locker(m_videoPacketsMutex);
        m_videoPackets.clear();
    }
    std::lock_guard<std::mutex> locker(m_audioPacketsMutex);
    m_audioPackets.clear();
}

bool StreamManager::stopDelivery(bool untilEnded)
{
    Generator *clock = m_clock.load();
    if (!clock)
        return true;
    // The clock ends its worker on the way out (interruption, semaphore release, bounded wait).
    clock->requestStop();
    const bool ended = untilEnded ? clock->wait() : clock->wait(kDeliveryStopWaitMs);
    if (untilEnded && clock->worker())
        clock->worker()->wait();
    if (!ended || !clock->workerEnded()) {
        qDebug() << "can't stop delivery" << QThread::currentThreadId();
        return false;
    }
    m_clock = nullptr;
    delete clock; // and its worker, a child
    qDebug() << "delivery stopped";
    return true;
}

// ---------------------------------------------------------------------------------------------
// Decoding threads

// The oldest waiting packet of one list, or null when the list is empty. Holds the list's
// mutex only to take it.
AVPacketPtr StreamManager::takePacket(std::mutex &mutex, std::deque<AVPacketPtr> &packets)
{
    std::lock_guard<std::mutex> locker(mutex);
    if (packets.empty())
        return nullptr;
    AVPacketPtr packet = std::move(packets.front());
    packets.pop_front();
    return packet;
}

// ---------------------------------------------------------------------------------------------
// Video handler thread

void StreamManager::decodeVideoPackets()
{
    while (!m_stop) {
        AVPacketPtr packet = takePacket(m_videoPacketsMutex, m_videoPackets);
        if (!packet)
            return;
        decodeVideoPacket(packet.get());
    }
}

bool StreamManager::decodeVideoPacket(AVPacket *packet)
{
    AVCodecContext *decoder = m_videoDecoder.get();
    AVFrame *frame = m_videoFrame.get();
    if (!decoder || !frame)
        return false;
    if (avcodec_send_packet(decoder, packet) < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Error while sending a packet to the decoder\n");
        return false;
    }
    for (;;) {
        const int result = avcodec_receive_frame(decoder, frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0) {
            av_log(nullptr, AV_LOG_ERROR, "Error while receiving a frame from the decoder\n");
            emit errorMessage(QStringLiteral("Error #200"),
                              QStringLiteral("Error  while receiving a frame from the "
                                             "decoder\nPlease try other decoder"));
            return false;
        }
        frame->pts = frame->best_effort_timestamp;
        onVideoFrame(frame, m_videoTimeBase, m_videoFrameRate);
        av_frame_unref(frame);
    }
}

void StreamManager::onVideoFrame(AVFrame *frame, AVRational timeBase, AVRational frameRate)
{
    if (!m_outputStarted) {
        // A negative term is as unusable as a zero one: it would give an output rate of 0.
        if (frameRate.num <= 0 || frameRate.den <= 0) {
            qDebug() << "BAD FPS";
            return;
        }
        startOutput(frame, timeBase, frameRate);
    }
    if (!m_firstVideoLogged) {
        m_firstVideoLogged = true;
        qDebug() << "-- FIRST VIDEO PTS:" << frame->pts;
    }

    // A picture without a usable time cannot be placed on the session clock.
    const qint64 ptsMs = ptsToMs(frame->pts, timeBase);
    if (ptsMs == AV_NOPTS_VALUE)
        return;
    const qint64 t = ptsMs - m_startPtsMs.load();

    AVFrame *picture = frame;
    const bool needsConversion = m_useConversion || frame->format != AV_PIX_FMT_YUV420P ||
                                 frame->width != m_width || frame->height != m_height;
    if (needsConversion) {
        if (!convertPicture(frame, timeBase))
            return;
        picture = m_filteredFrame.get();
    }

    bool admitted = true;
    if (m_ignoreAudio) {
        applyVideoBound();
    } else {
        const double limit = double(m_clockMs.load()) - 2 * m_frameMs.load();
        admitted = double(t) > limit;
        if (!admitted)
            qDebug() << "-- old video frame" << t << m_clockMs.load() << limit << admitted;
    }
    if (admitted) {
        int stride = 0;
        FrameQueue::videoBytes(picture, &stride, nullptr);
        if (m_videoQueue.push(picture, t, m_frameMs.load())) {
            m_lastVideoMs = t;
            m_stride = stride;
            if (DeliveryObserver *observer = g_deliveryObserver.load(std::memory_order_relaxed))
                observer->videoPictureQueued(this, t);
        }
    }
    if (picture == m_filteredFrame.get()) {
        av_frame_unref(picture);
        // The "null" graph gives one picture per picture; anything more is drained here.
        while (av_buffersink_get_frame(m_bufferSink, m_filteredFrame.get()) >= 0)
            av_frame_unref(m_filteredFrame.get());
    }
}

bool StreamManager::convertPicture(AVFrame *frame, AVRational timeBase)
{
    if (!m_filteredFrame) {
        m_filteredFrame.reset(av_frame_alloc());
        if (!m_filteredFrame)
            return false;
    }
    // A picture of another size or format than the graph was built for rebuilds it; the graph
    // scales to the session's geometry, so the blocks and the output never see a change.
    const bool changed = frame->width != m_graphWidth || frame->height != m_graphHeight ||
                         frame->format != m_graphFormat;
    if (!m_filterGraph || changed) {
        if (changed)
            qDebug() << "-- PICTURE CHANGED:" << frame->width << frame->height
                     << av_get_pix_fmt_name(AVPixelFormat(frame->format)) << "-> rebuild filter";
        m_useConversion = true;
        QByteArray filters("null");
        if (frame->width != m_width || frame->height != m_height)
            filters =
                QStringLiteral("scale=%1:%2").arg(m_width.load()).arg(m_height.load()).toLatin1();
        const int result =
            initFilterGraph(AV_PIX_FMT_YUV420P, filters.constData(), frame, timeBase);
        if (result < 0) {
            // Remembered as seen, so a picture that cannot be converted is logged, not every one.
            m_graphWidth = frame->width;
            m_graphHeight = frame->height;
            m_graphFormat = frame->format;
            if (++m_conversionFailures == 1 || m_conversionFailures % kLogEvery == 0)
                qDebug() << "-- filter graph failed, picture dropped" << result
                         << m_conversionFailures;
            return false;
        }
    }
    if (av_buffersrc_add_frame_flags(m_bufferSource, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Error while feeding the filtergraph\n");
        qDebug() << "Error while feeding the filtergraph";
        return false;
    }
    return av_buffersink_get_frame(m_bufferSink, m_filteredFrame.get()) >= 0;
}

void StreamManager::applyVideoBound()
{
    const int bound = m_maxBufferMs.load();
    if (m_videoQueue.bufferedMs() > bound) {
        if (++m_overLimitCount > 2) {
            m_videoQueue.dropOldest();
            if (m_videoQueue.bufferedMs() > bound)
                m_videoQueue.dropOldest();
            m_overLimitCount = 0;
        }
    } else {
        m_overLimitCount = 0;
    }
}

void StreamManager::startOutput(AVFrame *frame, AVRational timeBase, AVRational frameRate)
{
    m_width = frame->width;
    m_height = frame->height;
    m_stride = frame->linesize[0];
    m_pixelFormat = AV_PIX_FMT_YUV420P;
    // What later pictures are compared with; a graph built below records the same.
    m_graphWidth = frame->width;
    m_graphHeight = frame->height;
    m_graphFormat = frame->format;
    if (frame->format != AV_PIX_FMT_YUV420P) {
        m_useConversion = true;
        m_filteredFrame.reset(av_frame_alloc());
        const int result = initFilterGraph(AV_PIX_FMT_YUV420P, "null", frame, timeBase);
        qDebug() << "WILL USE COLOR-CONVERSION FILTER TO YUV420P. Init filter:" << result;
        if (result < 0)
            m_filterGraph.reset();
    }

    const float x = float(frameRate.num) / float(frameRate.den);
    m_fps = detectFps(frameRate);
    qDebug() << "auto-detect fps:" << x << m_fps.load();

    // A block takes the picture in the decoder's line sizes (chroma rows half the luma rows)
    // or, for pictures whose line sizes do not allow that, in packed rows; converted pictures
    // bring line sizes of their own, so the block is sized for whichever is larger.
    const int height = frame->height;
    const int chromaHeight = (height + 1) / 2;
    const int packed = (frame->width + 1) & ~1;
    const int luma = qMax(frame->linesize[0], packed) & ~1;
    const int blockSize = luma * height + 2 * (luma / 2) * chromaHeight;
    const int frames = int(float(m_fps.load() * 100) / 1000.0f + 1);
    qDebug() << "NEW VB:" << frame->width << frame->height << blockSize << frames;
    qDebug() << "MAX BUF FRAMES:" << frames << " for " << 100 << " ms ";
    qDebug() << "FRAME INFO:" << frame->width << frame->height << frame->linesize[0]
             << frame->linesize[1] << frame->linesize[2];
    m_videoQueue.allocateBlocks(kVideoBlocks, blockSize);
    m_frameMs = 1000.0 / m_fps.load();
    // The output carries the stream's exact rate (30000/1001, not the rounded 30) to NDI.
    if (VCam *output = m_output.load())
        output->setFrameRate(frameRate.num, frameRate.den);

    startDelivery();

    m_outputStarted = true;
    emit updateStreamState(
        QStringLiteral("%1x%2 %3fps").arg(m_width.load()).arg(m_height.load()).arg(m_fps.load()));
}

void StreamManager::startDelivery()
{
    if (m_stop || m_clock.load() || !m_outputFrame)
        return;
    // Without an output object there is nobody to pace for; the queues are left to whoever
    // reads them.
    if (!m_output.load()) {
        qDebug() << "-- no output object: delivery not started";
        return;
    }
    // A tick that has audio before its first picture sends black, not stale memory.
    const int stride = m_stride.load();
    const int height = m_height.load();
    const qint64 luma = qint64(stride) * height;
    const qint64 chroma = qint64(stride / 2) * ((height + 1) / 2);
    if (stride > 0 && luma + 2 * chroma <= kOutputFrameBytes) {
        std::memset(m_outputFrame.get(), 16, size_t(luma));
        std::memset(m_outputFrame.get() + luma, 128, size_t(2 * chroma));
    }
    m_outputStride = stride;
    m_outputPictureMs = -1;

    auto *clock = new Generator(1000000 / qMax(1, m_fps.load()));
    clock->setObjectName(QStringLiteral("output clock %1").arg(m_port.load()));
    auto *worker = new Worker(this, clock);
    worker->setObjectName(QStringLiteral("delivery worker %1").arg(m_port.load()));
    // Both inherit the video handler's time-critical priority and ask for it again themselves.
    worker->start(QThread::InheritPriority);
    clock->start(QThread::InheritPriority);
    m_clock = clock;
}

int StreamManager::initFilterGraph(int outputFormat, const char *filters, AVFrame *frame,
                                   AVRational timeBase)
{
    m_filterGraph.reset();
    m_bufferSource = nullptr;
    m_bufferSink = nullptr;
    m_graphWidth = 0;
    m_graphHeight = 0;
    m_graphFormat = -1;

    const AVFilter *source = avfilter_get_by_name("buffer");
    const AVFilter *sink = avfilter_get_by_name("buffersink");
    AVFilterInOutPtr outputs(avfilter_inout_alloc());
    AVFilterInOutPtr inputs(avfilter_inout_alloc());
    AVFilterGraphPtr graph(avfilter_graph_alloc());
    if (!source || !sink || !outputs || !inputs || !graph)
        return AVERROR(ENOMEM);

    char args[512];
    snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
             frame->width, frame->height, frame->format, timeBase.num, timeBase.den,
             frame->sample_aspect_ratio.num, frame->sample_aspect_ratio.den);

    AVFilterContext *bufferSource = nullptr;
    AVFilterContext *bufferSink = nullptr;
    int result =
        avfilter_graph_create_filter(&bufferSource, source, "in", args, nullptr, graph.get());
    if (result < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot create buffer source\n");
        return result;
    }
    result = avfilter_graph_create_filter(&bufferSink, sink, "out", nullptr, nullptr, graph.get());
    if (result < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot create buffer sink\n");
        return result;
    }
    // Only YUV420P: a grey picture would have no chroma planes for the output to read.
    const enum AVPixelFormat formats[] = {AVPixelFormat(outputFormat), AV_PIX_FMT_NONE};
    result = av_opt_set_bin(bufferSink, "pix_fmts", reinterpret_cast<const uint8_t *>(formats),
                            sizeof(formats) - sizeof(formats[0]), AV_OPT_SEARCH_CHILDREN);
    if (result < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot set output pixel format\n");
        return result;
    }

    outputs->name = av_strdup("in");
    outputs->filter_ctx = bufferSource;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = bufferSink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;

    AVFilterInOut *rawInputs = inputs.release();
    AVFilterInOut *rawOutputs = outputs.release();
    result = avfilter_graph_parse_ptr(graph.get(), filters, &rawInputs, &rawOutputs, nullptr);
    inputs.reset(rawInputs);
    outputs.reset(rawOutputs);
    if (result < 0)
        return result;
    result = avfilter_graph_config(graph.get(), nullptr);
    if (result < 0)
        return result;

    char *dump = avfilter_graph_dump(graph.get(), nullptr);
    qDebug().noquote() << "FILTER GRAPH:" << (dump ? dump : "");
    av_free(dump);

    m_filterGraph = std::move(graph);
    m_bufferSource = bufferSource;
    m_bufferSink = bufferSink;
    m_graphWidth = frame->width;
    m_graphHeight = frame->height;
    m_graphFormat = frame->format;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Audio handler thread

void StreamManager::decodeAudioPackets()
{
    AVCodecContext *decoder = m_audioDecoder.get();
    AVFrame *frame = m_audioFrame.get();
    while (!m_stop) {
        AVPacketPtr packet = takePacket(m_audioPacketsMutex, m_audioPackets);
        if (!packet)
            return;
        if (!decoder || !frame)
            continue;
        if (avcodec_send_packet(decoder, packet.get()) < 0) {
            av_log(nullptr, AV_LOG_ERROR, "Error while sending a packet to the AUDIO decoder\n");
            continue;
        }
        for (;;) {
            const int result = avcodec_receive_frame(decoder, frame);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                break;
            if (result < 0) {
                av_log(nullptr, AV_LOG_ERROR,
                       "Error while receiving a frame from the AUDIO decoder\n");
                break;
            }
            if (m_audioPoolPending) {
                m_audioQueue.allocateBlocks(kAudioBlocks, kAudioBlockBytes);
                m_audioPoolPending = false;
            }
            const qint64 pts =
                frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
            const qint64 ms = ptsToMs(pts, m_audioTimeBase);
            if (ms != AV_NOPTS_VALUE) {
                const qint64 t = ms - m_startPtsMs.load();
                const qint64 clock = m_clockMs.load();
                if (t > clock) {
                    if (m_audioQueue.push(frame, t, 0.0))
                        m_lastAudioMs = t;
                } else {
                    qDebug() << "-- old audio frame" << t << clock;
                }
            }
            av_frame_unref(frame);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Delivery worker thread

bool StreamManager::takePicture(const FrameRecord &record)
{
    if (record.size > kOutputFrameBytes || !m_outputFrame) {
        const qint64 dropped = ++m_oversizedPictureDrops;
        if (dropped == 1 || dropped % kLogEvery == 0)
            qDebug() << "-- WARN: picture larger than the output frame dropped" << record.size
                     << dropped;
        return false;
    }
    std::memcpy(m_outputFrame.get(), record.block, size_t(record.size));
    m_outputStride = record.stride;
    m_outputPictureMs = record.timestamp;
    return true;
}

void StreamManager::send(const qint16 *audio, int samples, int sampleRate, bool newPicture)
{
    VCam *output = m_output.load();
    if (!output)
        return;
    output->sendFrame(m_outputFrame.get(), m_pixelFormat.load(), m_width.load(), m_height.load(),
                      m_outputStride, audio, audio ? samples : 0, audio ? sampleRate : 0,
                      audio ? 2 : 0);
    if (DeliveryObserver *observer = g_deliveryObserver.load(std::memory_order_relaxed))
        observer->frameSent(this, m_outputPictureMs, newPicture, audio ? samples : 0);
}

void StreamManager::videoOnlyTick()
{
    if (!m_aligned) {
        const qint64 last = m_lastVideoMs.load();
        if (last < 1)
            return;
        m_aligned = true;
        m_clockMs = last;
    }
    if (m_resetRequested) {
        m_resetRequested = false;
        m_videoQueue.clear();
        qDebug() << "-- RESET BUFFERS";
        return;
    }
    if (m_videoQueue.bufferedMs() < kMinQueuedVideoOnlyMs) {
        // Nothing to show yet: wait one frame instead of polling at every tick.
        QThread::msleep(static_cast<unsigned long>(m_frameMs.load()));
        return;
    }
    FrameRecord record;
    if (!m_videoQueue.popIfDue(record, std::numeric_limits<qint64>::max()))
        return;
    const bool taken = takePicture(record);
    m_clockMs = record.timestamp;
    m_videoQueue.release(record);
    if (taken)
        send(nullptr, 0, 0, true);
}

bool StreamManager::alignWithAudio()
{
    const qint64 lastVideo = m_lastVideoMs.load();
    const qint64 lastAudio = m_lastAudioMs.load();
    qDebug() << "S 10:" << lastVideo << lastAudio;
    if (lastVideo < 1 || lastAudio < 1)
        return false;
    qDebug() << "LAST PTS BEFORE FLUSH:" << lastVideo << lastAudio;
    qDebug() << "DIFF: " << lastAudio - lastVideo;
    qDebug() << "IN DURATION:" << m_videoQueue.bufferedMs() << m_audioQueue.bufferedMs();
    m_aligned = true;
    // The newest time at which both kinds have arrived: everything older is backlog.
    const qint64 clock = qMin(lastVideo, lastAudio);
    m_clockMs = clock;
    m_videoQueue.trimBefore(clock);
    m_audioQueue.trimBefore(clock);
    qDebug() << "IN VIDEO and AUDI BUFF AFTER TRIM:" << m_videoQueue.count() << m_audioQueue.count()
             << clock;
    m_firstResetArmed = true;
    return true;
}

void StreamManager::resetBuffers()
{
    m_resetRequested = false;
    qDebug() << "-- RESET BUFFERS" << m_audioQueue.bufferedMs() << m_videoQueue.bufferedMs();
    m_videoQueue.clear();
    m_audioQueue.clear();
    qDebug() << "-- RESET BUFFERS";
}

void StreamManager::deliverTick()
{
    if (!m_aligned && !alignWithAudio())
        return;
    if (m_resetRequested) {
        resetBuffers();
        return;
    }
    if (m_videoQueue.bufferedMs() < kMinQueuedMs || m_audioQueue.bufferedMs() < kMinQueuedMs)
        return;

    constexpr qint64 kNone = std::numeric_limits<qint64>::max();
    const qint64 limit = m_clockMs.load() + kLookAheadMs + qint64(m_frameMs.load());
    // Stereo sample frames the delivery buffer holds.
    constexpr int kCapacity = kOutputAudioSamples / 2;

    // Audio: everything due, interleaved into m_outputAudio. The worker is the only consumer,
    // so the oldest record seen here is the one popped next.
    int samples = 0;
    int sampleRate = 0;
    qint64 audioMs = kNone;
    FrameRecord record;
    while (m_audioQueue.peekOldest(record) && record.timestamp <= limit) {
        if (record.samples > kCapacity) {
            // It could never fit, not even alone: kept queued it would stop all delivery.
            m_audioQueue.dropOldest();
            const qint64 dropped = ++m_oversizedAudioDrops;
            qDebug() << "-- WARN: audio frame larger than the delivery buffer dropped"
                     << record.samples << dropped;
            continue;
        }
        if (samples + record.samples > kCapacity)
            break; // the next tick takes it first
        if (!m_audioQueue.popIfDue(record, limit))
            break;
        floatPlanarToS16Stereo(m_outputAudio.data() + 2 * qint64(samples),
                               reinterpret_cast<const float *>(record.block), record.samples,
                               record.channels);
        samples += record.samples;
        sampleRate = record.sampleRate;
        audioMs = record.timestamp;
        m_audioQueue.release(record);
    }

    // Video: one picture, the oldest due; without one the previous picture stays.
    qint64 videoMs = kNone;
    bool newPicture = false;
    if (m_videoQueue.popIfDue(record, limit)) {
        newPicture = takePicture(record);
        videoMs = record.timestamp;
        m_videoQueue.release(record);
    } else {
        qDebug() << "--- no video" << m_clockMs.load();
    }

    // A picture whose audio is not due yet goes out alone: held back for that audio, it would
    // be lost whenever the next picture is popped first. Its audio follows with a later tick.
    if (samples > 0)
        send(m_outputAudio.data(), samples, sampleRate, newPicture);
    else if (newPicture)
        send(nullptr, 0, 0, true);

    // The clock stands at the oldest data still queued.
    const qint64 front = qMin(m_videoQueue.frontTimestamp(), m_audioQueue.frontTimestamp());
    const qint64 popped = qMin(audioMs, videoMs);
    const qint64 clock = front < kNone ? front : popped;
    if (clock == kNone)
        // Nothing queued and nothing popped: the clock keeps its value, since admitting only
        // frames newer than "never" would end delivery for the rest of the session.
        qDebug() << "---- ALERT -- ALERT--" << m_clockMs.load() << popped << front;
    else
        m_clockMs = clock;

    if (m_firstResetArmed && m_videoQueue.bufferedMs() > kAutoResetMs) {
        m_resetRequested = true;
        m_firstResetArmed = false;
        qDebug() << "-- first auto reset";
    } else if (!m_resetRequested && m_videoQueue.count() > kMaxWaitingPictures) {
        catchUp();
    }
}

void StreamManager::catchUp()
{
    // Only pictures older than the newest time at which both kinds have arrived are backlog:
    // a camera whose audio has stopped, or runs behind its pictures, gives nothing to skip.
    const qint64 target = qMin(m_lastVideoMs.load(), m_lastAudioMs.load());
    int skipped = 0;
    while (m_videoQueue.count() > kMaxWaitingPictures && m_videoQueue.frontTimestamp() < target) {
        m_videoQueue.dropOldest();
        ++skipped;
    }
    if (skipped == 0)
        return;
    // The clock moves on to the oldest picture kept; the next tick sends it with all the
    // audio up to it, so no sound is skipped.
    const qint64 clock = m_videoQueue.frontTimestamp();
    m_clockMs = clock;
    const qint64 total = m_catchUpPictureDrops.fetch_add(skipped) + skipped;
    qDebug() << "-- catch up: pictures skipped" << skipped << "clock" << clock << "skipped so far"
             << total;
}
