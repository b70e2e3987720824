#include "engine/StreamIntake.h"

#include "engine/EngineLog.h"
#include "engine/H264SpsSize.h"
#include "engine/PictureLimit.h"
#include "engine/SessionTime.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QThread>

#include <cerrno>
#include <vector>

namespace {

// Stream probing: enough to find the picture size from the first keyframe without waiting a
// second or more for the default analysis. The analysis bound (in microseconds of stream)
// keeps a video-only publisher of a very low bitrate from being probed for many seconds while
// the demuxer still expects the audio its header announced (0 would mean FFmpeg's default).
constexpr const char *kProbeSize = "8192";
// MPEG-TS carries no stream header: the audio stream's parameters are known only from its
// first PES packet, which encoders send after a few video packets (ffmpeg's muxer gathers
// about 180 ms of AAC per PES). The analysis bound still ends the probe of a video-only TS.
constexpr const char *kTsProbeSize = "1000000";
constexpr const char *kAnalyzeDuration = "500000";
constexpr const char *kFpsProbeSize = "0";

// Tests shorten the read timeout; 0 outside tests.
std::atomic<int> g_readTimeoutForTesting{0};

} // namespace

StreamIntake::StreamIntake(const std::atomic<bool> &stop) : m_stop(stop) {}

int StreamIntake::readTimeoutMs()
{
    const int forTesting = g_readTimeoutForTesting.load();
    return forTesting > 0 ? forTesting : kReadTimeoutMs;
}

void StreamIntake::setReadTimeoutMs_for_testing(int ms)
{
    g_readTimeoutForTesting = ms;
}

int StreamIntake::interruptCallback(void *opaque)
{
    auto *intake = static_cast<StreamIntake *>(opaque);
    if (intake->m_stop.load() || intake->m_sizeRefused.load())
        return 1;
    if (intake->m_probing && intake->announcesTooLarge())
        return 1;
    const qint64 deadline = intake->m_deadlineMs.load(std::memory_order_relaxed);
    if (deadline > 0 && sessiontime::monotonicMs() > deadline) {
        // Stays set: the close after it must not wait on the silent peer either.
        intake->m_timedOut.store(true);
        return 1;
    }
    return 0;
}

bool StreamIntake::sizeRefused(int *width, int *height) const
{
    if (!m_sizeRefused.load())
        return false;
    *width = m_refusedWidth.load();
    *height = m_refusedHeight.load();
    return true;
}

bool StreamIntake::announcesTooLarge()
{
    const AVFormatContext *input = m_input.get();
    if (!input)
        return false;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters *parameters = input->streams[i]->codecpar;
        if (parameters->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        int width = parameters->width;
        int height = parameters->height;
        // FLV hands the sequence header over before the first picture: its size is known
        // before the probe decodes anything. Each header is read once.
        if (PictureLimit::fits(width, height) && parameters->codec_id == AV_CODEC_ID_H264 &&
            parameters->extradata &&
            (parameters->extradata != m_checkedHeader ||
             parameters->extradata_size != m_checkedHeaderBytes)) {
            m_checkedHeader = parameters->extradata;
            m_checkedHeaderBytes = parameters->extradata_size;
            if (!H264SpsSize::fromAvcC(parameters->extradata, parameters->extradata_size, &width,
                                       &height))
                width = height = 0;
        }
        if (!PictureLimit::fits(width, height)) {
            m_refusedWidth = width;
            m_refusedHeight = height;
            m_sizeRefused = true;
            return true;
        }
    }
    return false;
}

void StreamIntake::findStreamInfo()
{
    AVFormatContext *input = m_input.get();
    // Streams known now (MPEG-TS announces its streams before the first picture) get the
    // bound on their probe decoders; FLV makes its streams as their first packets come, and
    // the interrupt callback checks their sequence headers instead.
    std::vector<AVDictionary *> options(input->nb_streams, nullptr);
    const QByteArray maxPixels = QByteArray::number(PictureLimit::kMaxPixels);
    bool bounded = true;
    for (AVDictionary *&streamOptions : options)
        bounded =
            av_dict_set(&streamOptions, "max_pixels", maxPixels.constData(), 0) >= 0 && bounded;
    if (!bounded)
        av_log(nullptr, AV_LOG_ERROR, "Cannot set the probe's picture bound\n");
    if (avformat_find_stream_info(input, options.empty() ? nullptr : options.data()) < 0)
        av_log(nullptr, AV_LOG_ERROR, "Cannot find stream information\n");
    for (AVDictionary *&streamOptions : options)
        av_dict_free(&streamOptions);
}

void StreamIntake::pushDeadline()
{
    m_deadlineMs.store(sessiontime::monotonicMs() + m_timeoutMs, std::memory_order_relaxed);
}

StreamIntake::Opened StreamIntake::open(const QByteArray &url, const std::function<void()> &ready)
{
    int portBusy = 0;
    m_timeoutMs = readTimeoutMs();
    m_timedOut = false;
    m_sizeRefused = false;
    clearDeadline();
    // Each socket read waits at most this long for data (FFmpeg's rw_timeout, in µs). The
    // accept is not bounded by it, only what follows: a connection that goes silent in the
    // RTMP handshake or command exchange fails the open, and the intake listens again.
    const QByteArray socketTimeoutUs = QByteArray::number(qint64(m_timeoutMs) * 1000);
    for (;;) {
        if (m_stop)
            return Opened::Stopped;
        qCDebug(lcEngine) << "m_uri:" << url;

        AVDictionary *rawOptions = nullptr;
        // Low delay on the loopback socket: the RTMP command exchange otherwise stalls on
        // Nagle plus delayed ACKs for a good part of a second.
        const bool ts = url.startsWith("tcp:");
        if (av_dict_set(&rawOptions, "listen", "1", 0) < 0 ||
            av_dict_set(&rawOptions, "rw_timeout", socketTimeoutUs.constData(), 0) < 0 ||
            av_dict_set(&rawOptions, "tcp_nodelay", "1", 0) < 0 ||
            av_dict_set(&rawOptions, "probesize", ts ? kTsProbeSize : kProbeSize, 0) < 0 ||
            av_dict_set(&rawOptions, "analyzeduration", kAnalyzeDuration, 0) < 0 ||
            av_dict_set(&rawOptions, "fpsprobesize", kFpsProbeSize, 0) < 0) {
            av_dict_free(&rawOptions);
            av_log(nullptr, AV_LOG_ERROR, "Cannot set input options\n");
            return Opened::Failed;
        }
        AVDictionaryPtr options(rawOptions);

        AVFormatContext *input = avformat_alloc_context();
        if (!input) {
            av_log(nullptr, AV_LOG_ERROR, "Cannot allocate input context\n");
            return Opened::Failed;
        }
        // Lets a stop end a blocked accept, handshake or read without a connection.
        input->interrupt_callback.callback = &StreamIntake::interruptCallback;
        input->interrupt_callback.opaque = this;

        m_input.reset();
        m_listening = true;
        ready();

        // A TS intake (fed by the SRT relay over loopback TCP) names its container: the
        // probe would otherwise spend the first packets guessing it.
        const AVInputFormat *format = nullptr;
        if (ts) {
            format = av_find_input_format("mpegts");
            if (!format) {
                avformat_free_context(input);
                m_listening = false;
                av_log(nullptr, AV_LOG_ERROR, "Cannot find the mpegts demuxer\n");
                return Opened::Failed;
            }
        }

        QElapsedTimer attempt;
        attempt.start();
        rawOptions = options.release();
        const int result = avformat_open_input(&input, url.constData(), format, &rawOptions);
        options.reset(rawOptions);
        if (result >= 0) {
            m_listening = false;
            m_input.reset(input);
            if (m_stop)
                return Opened::Stopped;
            // From here on every read has a deadline, discovery included.
            pushDeadline();
            return Opened::Connected;
        }
        // On failure avformat_open_input has freed the context.
        qCDebug(lcEngine) << "ERR (Could not open input file)" << ffmpeg::errorText(result).c_str();
        portBusy = result == AVERROR(EADDRINUSE) ? portBusy + 1 : 0;
        if (portBusy >= kPortBusyAttempts && !m_stop) {
            qCWarning(lcEngine) << "-- port held by another program, intake gives it up:" << url;
            m_listening = false;
            return Opened::PortBusy;
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

int StreamIntake::readUntil(const std::function<int()> &find)
{
    AVPacketPtr packet(av_packet_alloc());
    if (!packet)
        return -1;
    int index = find();
    while (index < 0) {
        if (m_stop)
            return -1;
        const int result = av_read_frame(m_input.get(), packet.get());
        if (result < 0) {
            qCInfo(lcEngine) << "can't read packet";
            noteTimeout(result);
            return -1;
        }
        pushDeadline();
        av_packet_unref(packet.get());
        index = find();
    }
    return index;
}

bool StreamIntake::discover(const QByteArray &url, bool mevo, bool &ignoreAudio, Streams &streams)
{
    m_checkedHeader = nullptr;
    m_checkedHeaderBytes = 0;
    m_probing = true;
    const auto probed = qScopeGuard([this] { m_probing = false; });
    findStreamInfo();
    // The probe ended on the deadline or on a refused size: the session has nothing to go on.
    if (noteTimeout(0) || m_sizeRefused)
        return false;
    pushDeadline();

    AVFormatContext *input = m_input.get();
    const AVCodec *videoCodec = nullptr;
    auto findVideo = [&] {
        return av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, &videoCodec, 0);
    };
    int video = findVideo();
    if (video < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot find a video stream in the input file\n");
        qCInfo(lcEngine) << "start search loop...";
        video = readUntil(findVideo);
        if (video < 0)
            return false;
        qCInfo(lcEngine) << "SUCCESS FIND VIDEO STREAM" << video;
    }
    av_dump_format(input, 0, url.constData(), 0);
    streams.video = video;
    streams.videoCodec = videoCodec;
    const AVStream *stream = input->streams[video];
    streams.videoTimeBase = stream->time_base;
    streams.videoFrameRate =
        stream->r_frame_rate.den == 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    qCInfo(lcEngine) << "V TIME BASE:" << streams.videoTimeBase.num << streams.videoTimeBase.den
                     << "V FPS:" << streams.videoFrameRate.num << streams.videoFrameRate.den;

    streams.audio = -1;
    if (ignoreAudio)
        return true; // video only by choice
    const AVCodec *audioCodec = nullptr;
    auto findAudio = [&] {
        return av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, &audioCodec, 0);
    };
    int audio = -1;
    if (mevo) {
        // The Mevo announces its audio stream late: wait for it.
        qCInfo(lcEngine) << "--- special audio detector for Mevo ---";
        audio = readUntil(findAudio);
        if (audio < 0)
            return false;
        qCInfo(lcEngine) << "SUCCESS FIND AUDIO STREAM" << audio;
        av_dump_format(input, 0, url.constData(), 0);
    } else {
        audio = findAudio();
        if (audio < 0) {
            av_log(nullptr, AV_LOG_ERROR, "Cannot find a audio stream in the input file\n");
            ignoreAudio = true;
            return true;
        }
    }
    streams.audio = audio;
    streams.audioCodec = audioCodec;
    streams.audioTimeBase = input->streams[audio]->time_base;
    return true;
}

const AVCodecParameters *StreamIntake::parameters(int stream) const
{
    if (!m_input || stream < 0 || stream >= int(m_input->nb_streams))
        return nullptr;
    return m_input->streams[stream]->codecpar;
}

AVRational StreamIntake::timeBase(int stream) const
{
    if (!m_input || stream < 0 || stream >= int(m_input->nb_streams))
        return AVRational{0, 1};
    return m_input->streams[stream]->time_base;
}

void StreamIntake::readLoop(const std::function<void(AVPacket *packet)> &onPacket)
{
    m_packet.reset(av_packet_alloc());
    if (!m_packet || !m_input)
        return;
    AVPacket *packet = m_packet.get();
    while (!m_stop) {
        const int result = av_read_frame(m_input.get(), packet);
        if (result < 0) {
            noteTimeout(result);
            break;
        }
        pushDeadline();
        onPacket(packet);
        av_packet_unref(packet);
    }
}

bool StreamIntake::noteTimeout(int result)
{
    // The socket's own bound (rw_timeout) ends a read of a silent peer as the deadline does;
    // the demuxer may report it as the end of the stream, the I/O context keeps the cause.
    const bool socketTimedOut =
        result == AVERROR(ETIMEDOUT) ||
        (m_input && m_input->pb && m_input->pb->error == AVERROR(ETIMEDOUT));
    if (socketTimedOut && !m_stop) {
        m_timedOut = true;
        // Passed long ago: the close after it does not wait on the silent peer either.
        m_deadlineMs.store(1, std::memory_order_relaxed);
    }
    if (m_timedOut && !m_stop)
        qCWarning(lcEngine) << "-- intake read timeout: no data for" << m_timeoutMs << "ms";
    return m_timedOut;
}

void StreamIntake::close()
{
    m_packet.reset();
    // The deadline (when it has passed) keeps the close from waiting on a silent peer.
    m_input.reset();
    clearDeadline();
    m_listening = false;
}
