// A camera for the benchmarks: generates moving pictures, stamps each one with its frame number
// and monotonic send time (bench/Stamp.h), encodes them with libx264 (ultrafast, zerolatency)
// and a tone with AAC, and publishes FLV over RTMP to rtmp://HOST:PORT/@/@ at the stream's
// real rate, as a camera would. Each frame's send time (when its picture was taken) and wire
// time (when av_write_frame + avio_flush returned, i.e. its bytes were in the socket of a
// TCP_NODELAY connection) go to the log.
//
// bench_stamped_publisher --port N [--host 127.0.0.1] [--size 1280x720] [--fps 30]
//     [--pix-fmt yuv420p|yuvj420p] [--no-audio] [--seconds 20] [--id 1] [--log FILE]
//     [--no-fps-metadata] [--stall-at S --stall-for S] [--flood] [--bitrate BPS]
//     [--marks N] [--audio-shift-ms MS] [--srt] [--ts-default-muxing] [--pre-encode]
//     [--write FILE]
//
// --marks N: the audio is a steady 440 Hz tone at -20 dBFS with a louder 1 kHz burst of
// kMarkMs in its place starting exactly at the time of every Nth picture (0, N, 2N, ...), so
// that a reader can match what a microphone hears to what the webcam shows and find any gap in
// it. --audio-shift-ms MS: audio timestamps are MS later (the audio leads its pictures by MS)
// or, negative, earlier (it lags) than the time it was taken.
//
// With --srt it sends MPEG-TS as an SRT caller to srt://HOST:PORT instead; the wire time is
// then when the packet's datagrams were handed to libsrt (which sends them at once). Each AAC
// frame then goes in its own PES packet, as a low-delay muxer sends it; --ts-default-muxing
// muxes as the ffmpeg command-line tool does by default (PES packets of up to 2930 bytes of
// audio, a mux delay of 0.7 s), which gathers several AAC frames into one packet: sound that
// arrives in bursts, as from many cameras.
//
// --pre-encode: the whole stream is encoded before connecting and then sent at its real rate,
// as a camera that encodes on its own chip: the publisher's encoding takes no CPU from the
// system under test while it streams. The stamps then carry the time each picture was due
// while encoding; the log's "P" line gives the shift to the time it was due on the wire.
//
// --write FILE: the stream is encoded as fast as the machine can and written to FILE as FLV
// instead of being sent, for a replay at real time by another sender (`ffmpeg -re -i FILE -c
// copy ...`), so that the encoder is off the machine for the whole run. No --port is needed;
// the log then has "F <frame> <send us> <due us> <key>", due being where the picture's span ends
// from the file's start (the earliest timestamp of any stream): its time plus one frame, the
// point ffmpeg's progress report gives (out_time) once a real-time replay has sent it.
//
// Log lines: "C <connect start us> <connected us>", with --pre-encode "P <shift us>" (add it
// to a stamp's send time), then "F <frame> <send us> <wire us> <key>" (send: as stamped; key:
// 1 for a keyframe), and at the end "B <median ms> <max ms>": how much sound the muxer put on
// the wire at once (the span of audio between two audio writes that sent bytes).
// Prints "CONNECTED" on stdout once the RTMP publish is set up. Exit 0 when the whole stream
// was sent, 2 when the connection failed or broke.

#include "Stamp.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <ctime>

namespace {

constexpr int kSampleRate = 48000;
constexpr int kToneHz = 440;
constexpr int kMarkHz = 1000;
constexpr int kMarkMs = 40;
// The steady tone under the marks: -20 dBFS, far above what a gap reads and far below a mark.
constexpr float kToneLevel = 0.1f;
constexpr float kMarkLevel = 0.5f;
// ffmpeg's command-line default for -muxdelay. Through the API the TS muxer takes 0 instead,
// which sends every audio frame at once, whatever pes_payload_size says.
constexpr int kCliMuxDelayUs = 700000;
// Room the moving texture scrolls through, in pixels.
constexpr int kScrollPx = 512;
// Added to every timestamp: the AAC encoder's priming gives its first packet a negative time,
// which FLV cannot carry.
constexpr int64_t kTimestampOffsetUs = 100000;
// Bits per second for 1920x1080, scaled by area for other sizes (about what a phone sends).
constexpr double kBitsPerPixel1080 = 15e6 / (1920.0 * 1080.0);

struct CodecDeleter
{
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter
{
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter
{
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct OutputDeleter
{
    void operator()(AVFormatContext *f) const
    {
        if (f && f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

struct Options
{
    std::string host = "127.0.0.1";
    int port = 0;
    int width = 1280;
    int height = 720;
    int fps = 30;
    bool fullRange = false;
    bool audio = true;
    double seconds = 20;
    unsigned id = 1;
    std::string log;
    bool fpsMetadata = true;
    double stallAtS = -1;
    double stallForS = 0;
    bool flood = false;
    long bitrate = 0;
    int marks = 0;
    int audioShiftMs = 0;
    bool srt = false;
    bool tsDefaultMuxing = false;
    bool preEncode = false;
    std::string writeFile;
};

std::string errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool parse(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--port")
            o->port = std::atoi(next());
        else if (a == "--host")
            o->host = next();
        else if (a == "--size") {
            if (std::sscanf(next(), "%dx%d", &o->width, &o->height) != 2)
                return false;
        } else if (a == "--fps")
            o->fps = std::atoi(next());
        else if (a == "--pix-fmt")
            o->fullRange = std::string(next()) == "yuvj420p";
        else if (a == "--no-audio")
            o->audio = false;
        else if (a == "--seconds")
            o->seconds = std::atof(next());
        else if (a == "--id")
            o->id = unsigned(std::atoi(next()));
        else if (a == "--log")
            o->log = next();
        else if (a == "--no-fps-metadata")
            o->fpsMetadata = false;
        else if (a == "--stall-at")
            o->stallAtS = std::atof(next());
        else if (a == "--stall-for")
            o->stallForS = std::atof(next());
        else if (a == "--flood")
            o->flood = true;
        else if (a == "--bitrate")
            o->bitrate = std::atol(next());
        else if (a == "--marks")
            o->marks = std::atoi(next());
        else if (a == "--audio-shift-ms")
            o->audioShiftMs = std::atoi(next());
        else if (a == "--srt")
            o->srt = true;
        else if (a == "--ts-default-muxing")
            o->tsDefaultMuxing = true;
        else if (a == "--pre-encode")
            o->preEncode = true;
        else if (a == "--write")
            o->writeFile = next();
        else
            return false;
    }
    if (o->tsDefaultMuxing && !o->srt)
        return false;
    if ((o->preEncode || !o->writeFile.empty()) && o->flood)
        return false;
    // A file is FLV; a replay over SRT remuxes it to MPEG-TS.
    if (!o->writeFile.empty() && (o->srt || o->stallAtS >= 0))
        return false;
    return (o->port > 0 || !o->writeFile.empty()) && o->fps > 0 && o->width % 2 == 0 &&
           o->height % 2 == 0 && stamp::fits(o->width, o->height);
}

void sleepUntilUs(int64_t targetUs)
{
    timespec ts{};
    ts.tv_sec = targetUs / 1000000;
    ts.tv_nsec = (targetUs % 1000000) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// A texture that compresses like a real scene (edges, gradients, some detail), scrolled a
// little every frame so that every picture differs.
class Scene
{
public:
    Scene(int width, int height) : m_width(width), m_height(height)
    {
        const int wide = width + kScrollPx;
        m_luma.resize(size_t(wide) * height);
        uint32_t seed = 12345;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < wide; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int gradient = (x * 3 + y * 2) % 160;
                const int bars = ((x / 40) + (y / 60)) % 2 ? 40 : 0;
                const int grain = int(seed >> 28);
                m_luma[size_t(y) * wide + x] = uint8_t(40 + gradient + bars / 2 + grain);
            }
        }
    }

    void fill(AVFrame *frame, int64_t n) const
    {
        const int wide = m_width + kScrollPx;
        const int shift = int((n * 4) % kScrollPx);
        for (int y = 0; y < m_height; ++y)
            std::memcpy(frame->data[0] + size_t(y) * frame->linesize[0],
                        m_luma.data() + size_t(y) * wide + shift, size_t(m_width));
        for (int y = 0; y < m_height / 2; ++y) {
            std::memset(frame->data[1] + size_t(y) * frame->linesize[1], 100 + (y % 40),
                        size_t(m_width / 2));
            std::memset(frame->data[2] + size_t(y) * frame->linesize[2], 150 - (y % 30),
                        size_t(m_width / 2));
        }
    }

private:
    int m_width;
    int m_height;
    std::vector<uint8_t> m_luma;
};

class Publisher
{
public:
    explicit Publisher(const Options &options) : m_o(options) {}

    int run()
    {
        if (!m_o.log.empty()) {
            m_log = std::fopen(m_o.log.c_str(), "w");
            if (!m_log) {
                std::fprintf(stderr, "cannot write the log %s: %s\n", m_o.log.c_str(),
                             std::strerror(errno));
                return 1;
            }
        }
        const int result = publish();
        if (m_log)
            std::fclose(m_log);
        return result;
    }

private:
    bool check(int result, const char *what)
    {
        if (result >= 0)
            return true;
        std::fprintf(stderr, "%s failed: %s\n", what, errorText(result).c_str());
        return false;
    }

    bool openVideo()
    {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec) {
            std::fprintf(stderr, "libx264 is not available\n");
            return false;
        }
        m_video.reset(avcodec_alloc_context3(codec));
        if (!m_video)
            return false;
        AVCodecContext *c = m_video.get();
        c->width = m_o.width;
        c->height = m_o.height;
        c->time_base = AVRational{1, m_o.fps};
        c->framerate = AVRational{m_o.fps, 1};
        c->pix_fmt = m_o.fullRange ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
        c->color_range = m_o.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        c->gop_size = m_o.fps;
        c->max_b_frames = 0;
        c->bit_rate = m_o.bitrate > 0
                          ? m_o.bitrate
                          : std::max(500000L, long(kBitsPerPixel1080 * m_o.width * m_o.height));
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        if (!check(avcodec_open2(c, codec, nullptr), "avcodec_open2 (libx264)"))
            return false;
        m_videoStream = avformat_new_stream(m_output.get(), nullptr);
        if (!m_videoStream)
            return false;
        if (!check(avcodec_parameters_from_context(m_videoStream->codecpar, c),
                   "avcodec_parameters_from_context (video)"))
            return false;
        m_videoStream->time_base = c->time_base;
        // The muxer announces a frame rate in the stream's metadata only from this field.
        if (m_o.fpsMetadata)
            m_videoStream->avg_frame_rate = c->framerate;
        m_picture.reset(av_frame_alloc());
        if (!m_picture)
            return false;
        m_picture->format = c->pix_fmt;
        m_picture->width = c->width;
        m_picture->height = c->height;
        m_picture->color_range = c->color_range;
        return check(av_frame_get_buffer(m_picture.get(), 0), "av_frame_get_buffer (video)");
    }

    bool openAudio()
    {
        const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) {
            std::fprintf(stderr, "no AAC encoder\n");
            return false;
        }
        m_audio.reset(avcodec_alloc_context3(codec));
        if (!m_audio)
            return false;
        AVCodecContext *c = m_audio.get();
        c->sample_rate = kSampleRate;
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&c->ch_layout, 2);
        c->bit_rate = 128000;
        c->time_base = AVRational{1, kSampleRate};
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (!check(avcodec_open2(c, codec, nullptr), "avcodec_open2 (aac)"))
            return false;
        m_audioStream = avformat_new_stream(m_output.get(), nullptr);
        if (!m_audioStream)
            return false;
        if (!check(avcodec_parameters_from_context(m_audioStream->codecpar, c),
                   "avcodec_parameters_from_context (audio)"))
            return false;
        m_audioStream->time_base = c->time_base;
        m_tone.reset(av_frame_alloc());
        if (!m_tone)
            return false;
        m_tone->format = c->sample_fmt;
        m_tone->nb_samples = c->frame_size > 0 ? c->frame_size : 1024;
        m_tone->sample_rate = kSampleRate;
        if (!check(av_channel_layout_copy(&m_tone->ch_layout, &c->ch_layout),
                   "av_channel_layout_copy"))
            return false;
        return check(av_frame_get_buffer(m_tone.get(), 0), "av_frame_get_buffer (audio)");
    }

    // Sends every packet the encoder has ready; false when the connection broke. FLV carries
    // one time line, so packets leave in time order as a camera's muxer sends them: a picture
    // waits until audio up to its time has been sent (the audio encoder runs about two frames
    // behind), and its wire time is logged when it actually leaves.
    bool drain(AVCodecContext *codec, AVStream *stream)
    {
        for (;;) {
            const int result = avcodec_receive_packet(codec, m_packet.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return true;
            if (!check(result, "avcodec_receive_packet"))
                return false;
            av_packet_rescale_ts(m_packet.get(), codec->time_base, stream->time_base);
            // FLV cannot carry negative times: audio that lags moves the pictures on instead.
            const int64_t shiftUs = stream == m_audioStream
                                        ? int64_t(std::max(0, m_o.audioShiftMs)) * 1000
                                        : int64_t(std::max(0, -m_o.audioShiftMs)) * 1000;
            const int64_t offset = av_rescale_q(kTimestampOffsetUs + shiftUs,
                                                AVRational{1, 1000000}, stream->time_base);
            m_packet->pts += offset;
            m_packet->dts += offset;
            m_packet->stream_index = stream->index;
            if (stream == m_videoStream) {
                m_pendingVideo.push_back({PacketPtr(av_packet_clone(m_packet.get())),
                                          m_currentFrame, m_currentSendUs,
                                          (m_packet->flags & AV_PKT_FLAG_KEY) != 0});
                av_packet_unref(m_packet.get());
                if (!m_pendingVideo.back().packet)
                    return false;
                if (!m_audio && !sendVideoUpTo(nullptr))
                    return false;
            } else {
                if (!sendVideoUpTo(m_packet.get()) || !write(m_packet.get()))
                    return false;
            }
        }
    }

    // Sends the waiting pictures not later than `audio` (all of them for null).
    bool sendVideoUpTo(const AVPacket *audio)
    {
        while (!m_pendingVideo.empty()) {
            PendingVideo &video = m_pendingVideo.front();
            if (audio && av_compare_ts(video.packet->dts, m_videoStream->time_base, audio->dts,
                                       m_audioStream->time_base) > 0)
                return true;
            if (m_recording) {
                m_recorded.push_back({std::move(video.packet), m_videoStream->time_base, m_slot,
                                      true, video.frame, video.sendUs, video.key});
            } else {
                if (!write(video.packet.get()))
                    return false;
                logFrame(video.frame, video.sendUs, video.key);
            }
            m_pendingVideo.pop_front();
        }
        return true;
    }

    void logFrame(int64_t frame, int64_t sendUs, bool key)
    {
        const int64_t wireUs = stamp::nowUs();
        if (m_log)
            std::fprintf(m_log, "F %lld %lld %lld %d\n", (long long)frame, (long long)sendUs,
                         (long long)wireUs, key ? 1 : 0);
    }

    // In the order they are made, as a camera sends: no interleaving queue. While encoding
    // ahead (--pre-encode) the packet is kept with the slot it leaves in.
    bool write(AVPacket *packet)
    {
        if (m_recording) {
            m_recorded.push_back({PacketPtr(av_packet_clone(packet)),
                                  m_output->streams[packet->stream_index]->time_base, m_slot, false,
                                  0, 0, false});
            av_packet_unref(packet);
            return m_recorded.back().packet != nullptr;
        }
        if (m_o.flood && !m_replaying)
            m_replay.emplace_back(av_packet_clone(packet));
        const bool audio = m_audioStream && packet->stream_index == m_audioStream->index;
        const int64_t ptsUs =
            audio ? av_rescale_q(packet->pts, m_audioStream->time_base, AVRational{1, 1000000}) : 0;
        const int64_t bytesBefore = avio_tell(m_output->pb);
        const int written = av_write_frame(m_output.get(), packet);
        av_packet_unref(packet);
        if (!check(written, "av_write_frame"))
            return false;
        // An audio write that put bytes out sent the sound gathered since the last one did.
        if (audio && avio_tell(m_output->pb) > bytesBefore) {
            if (m_lastAudioOutUs != AV_NOPTS_VALUE)
                m_burstsMs.push_back(double(ptsUs - m_lastAudioOutUs) / 1000.0);
            m_lastAudioOutUs = ptsUs;
        }
        avio_flush(m_output->pb);
        if (m_output->pb->error < 0) {
            check(m_output->pb->error, "avio_flush");
            return false;
        }
        return true;
    }

    // --pre-encode: the recorded packets, each sent at its slot's time from `originUs`.
    bool sendRecorded(int64_t originUs)
    {
        for (Recorded &item : m_recorded) {
            sleepUntilUs(originUs + item.slot * 1000000 / m_o.fps);
            // Opening the muxer may have changed the streams' time bases since.
            av_packet_rescale_ts(item.packet.get(), item.timeBase,
                                 m_output->streams[item.packet->stream_index]->time_base);
            if (!write(item.packet.get()))
                return false;
            if (item.video)
                logFrame(item.frame, item.sendUs, item.key);
        }
        return true;
    }

    // --write: the recorded packets at once, each picture logged with the end of its span from
    // the file's start, as a replay's progress report counts it.
    bool writeRecorded()
    {
        int64_t startUs = INT64_MAX;
        for (const Recorded &item : m_recorded)
            startUs = std::min(
                startUs, av_rescale_q(item.packet->pts, item.timeBase, AVRational{1, 1000000}));
        for (Recorded &item : m_recorded) {
            const int64_t dueUs =
                av_rescale_q(item.packet->pts, item.timeBase, AVRational{1, 1000000}) - startUs +
                1000000 / m_o.fps;
            av_packet_rescale_ts(item.packet.get(), item.timeBase,
                                 m_output->streams[item.packet->stream_index]->time_base);
            if (!write(item.packet.get()))
                return false;
            if (item.video && m_log)
                std::fprintf(m_log, "F %lld %lld %lld %d\n", (long long)item.frame,
                             (long long)item.sendUs, (long long)dueUs, item.key ? 1 : 0);
        }
        return true;
    }

    void logBursts()
    {
        if (!m_log || m_burstsMs.empty())
            return;
        std::vector<double> sorted = m_burstsMs;
        std::sort(sorted.begin(), sorted.end());
        std::fprintf(m_log, "B %.1f %.1f\n", sorted[sorted.size() / 2], sorted.back());
    }

    // Flood: the first second of packets again and again, timestamps moving on, as fast as
    // the connection takes them, until the run time is over.
    bool replay(int64_t untilUs)
    {
        PacketPtr copy(av_packet_alloc());
        if (!copy || m_replay.empty())
            return false;
        m_replaying = true;
        for (int64_t round = 1; stamp::nowUs() < untilUs; ++round) {
            for (const PacketPtr &cached : m_replay) {
                if (!cached || av_packet_ref(copy.get(), cached.get()) < 0)
                    return false;
                const AVStream *stream = m_output->streams[copy->stream_index];
                const int64_t shift =
                    av_rescale_q(round * 1000000, AVRational{1, 1000000}, stream->time_base);
                copy->pts += shift;
                copy->dts += shift;
                if (!write(copy.get()))
                    return false;
            }
        }
        return true;
    }

    // The tone, or with marks: a quieter tone and a loud burst from each marked picture's
    // time on.
    float sampleAt(int64_t sample) const
    {
        const float tone = float(std::sin(2.0 * M_PI * kToneHz * double(sample) / kSampleRate));
        if (m_o.marks <= 0)
            return 0.2f * tone;
        const int64_t period = int64_t(m_o.marks) * kSampleRate / m_o.fps;
        const int64_t sinceMark = sample % period;
        if (sinceMark >= int64_t(kMarkMs) * kSampleRate / 1000)
            return kToneLevel * tone;
        return kMarkLevel * float(std::sin(2.0 * M_PI * kMarkHz * double(sinceMark) / kSampleRate));
    }

    bool sendAudioUntil(int64_t sampleTarget)
    {
        while (m_audio && m_nextSample + m_tone->nb_samples <= sampleTarget) {
            if (!check(av_frame_make_writable(m_tone.get()), "av_frame_make_writable (audio)"))
                return false;
            for (int ch = 0; ch < 2; ++ch) {
                auto *plane = reinterpret_cast<float *>(m_tone->data[ch]);
                for (int i = 0; i < m_tone->nb_samples; ++i)
                    plane[i] = sampleAt(m_nextSample + i);
            }
            m_tone->pts = m_nextSample;
            m_nextSample += m_tone->nb_samples;
            if (!check(avcodec_send_frame(m_audio.get(), m_tone.get()), "avcodec_send_frame (aac)"))
                return false;
            if (!drain(m_audio.get(), m_audioStream))
                return false;
        }
        return true;
    }

    // Encodes the stream, its pictures stamped with their time from `originUs`; `paced`
    // waits for each picture's time, as a camera's clock does. False when a step failed.
    bool produce(int64_t originUs, bool paced)
    {
        Scene scene(m_o.width, m_o.height);
        // A flood encodes one second and then replays it for the rest of the run.
        const int64_t frames = m_o.flood ? m_o.fps : int64_t(std::llround(m_o.seconds * m_o.fps));
        const int64_t stallFrame = m_o.stallAtS >= 0 ? int64_t(m_o.stallAtS * m_o.fps) : -1;
        int64_t n = 0;
        while (n < frames) {
            if (n == stallFrame && m_o.stallForS > 0) {
                // The uplink stops; the camera keeps its clock, so frame numbers and
                // timestamps jump over the silence.
                if (paced)
                    sleepUntilUs(stamp::nowUs() + int64_t(m_o.stallForS * 1e6));
                n += int64_t(m_o.stallForS * m_o.fps);
                if (n >= frames)
                    break;
            }
            const int64_t dueUs = originUs + n * 1000000 / m_o.fps;
            if (paced)
                sleepUntilUs(dueUs);
            const int64_t sendUs = paced ? stamp::nowUs() : dueUs;
            if (!check(av_frame_make_writable(m_picture.get()), "av_frame_make_writable (video)"))
                return false;
            scene.fill(m_picture.get(), n);
            stamp::Value value;
            value.id = m_o.id;
            value.frame = uint32_t(n);
            value.sendUs = sendUs;
            stamp::draw(m_picture->data[0], m_picture->linesize[0], m_picture->data[1],
                        m_picture->data[2], m_picture->linesize[1], m_o.width, value);
            m_picture->pts = n;
            m_currentFrame = n;
            m_currentSendUs = sendUs;
            m_slot = n;
            if (!check(avcodec_send_frame(m_video.get(), m_picture.get()), "avcodec_send_frame") ||
                !drain(m_video.get(), m_videoStream) ||
                !sendAudioUntil((n + 1) * kSampleRate / m_o.fps))
                return false;
            ++n;
        }
        return sendVideoUpTo(nullptr);
    }

    int publish()
    {
        const bool toFile = !m_o.writeFile.empty();
        const std::string url =
            toFile    ? m_o.writeFile
            : m_o.srt ? "srt://" + m_o.host + ":" + std::to_string(m_o.port) + "?mode=caller"
                      : "rtmp://" + m_o.host + ":" + std::to_string(m_o.port) + "/@/@";
        AVFormatContext *raw = nullptr;
        if (!check(avformat_alloc_output_context2(&raw, nullptr, m_o.srt ? "mpegts" : "flv",
                                                  url.c_str()),
                   "avformat_alloc_output_context2"))
            return 1;
        m_output.reset(raw);
        if (m_o.tsDefaultMuxing) {
            // As `ffmpeg -f mpegts srt://...` sends: audio gathered into PES packets of up to
            // 2930 bytes or half the mux delay, a few hundred milliseconds of sound each.
            m_output->max_delay = kCliMuxDelayUs;
        } else if (m_o.srt && !check(av_opt_set_int(m_output->priv_data, "pes_payload_size", 0, 0),
                                     "av_opt_set_int (pes_payload_size)")) {
            // Each AAC frame in its own PES packet, as a camera's low-delay TS muxer sends it.
            return 1;
        }
        m_packet.reset(av_packet_alloc());
        if (!m_packet || !openVideo() || (m_o.audio && !openAudio()))
            return 1;

        // Encoded ahead: the stamps carry the times from this origin, the packets their slots.
        const int64_t encodeOriginUs = stamp::nowUs();
        if (m_o.preEncode || toFile) {
            m_recording = true;
            const bool encoded = produce(encodeOriginUs, false);
            m_recording = false;
            if (!encoded)
                return 1;
        }

        const int64_t connectStart = stamp::nowUs();
        AVDictionary *options = nullptr;
        // Bytes leave at once: the wire time logged is when they are on the wire.
        if (!m_o.srt && !toFile)
            av_dict_set(&options, "tcp_nodelay", "1", 0);
        const int opened =
            avio_open2(&m_output->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, &options);
        av_dict_free(&options);
        if (!check(opened, "avio_open2"))
            return 2;
        if (!check(avformat_write_header(m_output.get(), nullptr), "avformat_write_header"))
            return 2;
        avio_flush(m_output->pb);
        const int64_t connected = stamp::nowUs();
        if (m_log)
            std::fprintf(m_log, "C %lld %lld\n", (long long)connectStart, (long long)connected);
        std::printf("CONNECTED\n");
        std::fflush(stdout);

        const int64_t originUs = stamp::nowUs();
        bool ok = true;
        if (toFile) {
            ok = writeRecorded();
        } else if (m_o.preEncode) {
            if (m_log)
                std::fprintf(m_log, "P %lld\n", (long long)(originUs - encodeOriginUs));
            ok = sendRecorded(originUs);
        } else {
            const int64_t endUs = originUs + int64_t(m_o.seconds * 1e6);
            ok = produce(originUs, !m_o.flood);
            if (ok && m_o.flood)
                ok = replay(endUs);
        }
        logBursts();
        if (!ok)
            return 2;
        av_write_trailer(m_output.get());
        avio_flush(m_output->pb);
        return 0;
    }

    const Options m_o;
    FILE *m_log = nullptr;
    OutputPtr m_output;
    CodecPtr m_video;
    CodecPtr m_audio;
    AVStream *m_videoStream = nullptr;
    AVStream *m_audioStream = nullptr;
    FramePtr m_picture;
    FramePtr m_tone;
    PacketPtr m_packet;
    std::vector<PacketPtr> m_replay; // flood: the packets of the first second
    struct PendingVideo
    {
        PacketPtr packet;
        int64_t frame;
        int64_t sendUs;
        bool key;
    };
    std::deque<PendingVideo> m_pendingVideo;
    bool m_replaying = false;
    int64_t m_currentFrame = 0;
    int64_t m_currentSendUs = 0;
    int64_t m_nextSample = 0;
    // --pre-encode: packets kept while encoding ahead, with the picture slot each leaves in.
    struct Recorded
    {
        PacketPtr packet;
        AVRational timeBase; // of its timestamps: its stream's when it was made
        int64_t slot;
        bool video; // then logged as a picture when sent
        int64_t frame;
        int64_t sendUs;
        bool key;
    };
    std::vector<Recorded> m_recorded;
    bool m_recording = false;
    int64_t m_slot = 0;
    // Sound sent at once by the muxer: span of each, and the time of the last audio write
    // that put bytes out.
    std::vector<double> m_burstsMs;
    int64_t m_lastAudioOutUs = AV_NOPTS_VALUE;
};

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s --port N [--host H] [--size WxH] [--fps N] [--pix-fmt "
                     "yuv420p|yuvj420p] [--no-audio] [--seconds S] [--id N] [--log FILE] "
                     "[--no-fps-metadata] [--stall-at S --stall-for S] [--flood] [--bitrate BPS] "
                     "[--marks N] [--audio-shift-ms MS] [--srt] [--ts-default-muxing] "
                     "[--pre-encode] [--write FILE]\n",
                     argv[0]);
        return 1;
    }
    // A server that goes away is a write error here, not a fatal signal.
    std::signal(SIGPIPE, SIG_IGN);
    av_log_set_level(getenv("PUBLISHER_DEBUG") ? AV_LOG_DEBUG : AV_LOG_ERROR);
    avformat_network_init();
    Publisher publisher(options);
    const int result = publisher.run();
    avformat_network_deinit();
    return result;
}
