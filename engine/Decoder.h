#pragma once

#include "app/LogThrottle.h"
#include "engine/FfmpegPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

// One software decoder of a session (video or audio): its codec context, the frame it decodes
// into, and the send/receive exchange both kinds share. Failures a peer can cause on every
// packet are logged through a LogThrottle, not once per packet.
//
// Threads: opened by the manager thread before the decoding thread takes packets; decode()
// and close() on the decoding thread afterwards (the manager closes it only once that thread
// has ended).
class Decoder
{
public:
    enum class Result
    {
        Ok,
        SendFailed,
        ReceiveFailed
    };
    // The FFmpeg log lines of this decoder, as the program has always written them.
    struct Texts
    {
        const char *openFailed;    // "Cannot open video decoder\n"
        const char *sendFailed;    // "Error while sending a packet to the decoder\n"
        const char *receiveFailed; // "Error while receiving a frame from the decoder\n"
    };

    explicit Decoder(const Texts &texts);

    // Opens `codec` for a stream with `parameters`; `sliceThreads` > 0 decodes each picture as
    // it comes with that many slice threads (frame threads would hold pictures back);
    // `maxPixels` > 0 makes libavcodec refuse larger pictures before it allocates them. False
    // (logged) when it cannot be opened; the decoder then stays closed.
    bool open(const AVCodec *codec, const AVCodecParameters *parameters, int sliceThreads,
              int maxPixels = 0);
    bool isOpen() const { return bool(m_context); }
    void close();
    // Decoding thread: forgets every picture it holds, as before the first packet; the next
    // one it can start from is a keyframe (or a recovery point).
    void flush();

    // Decoding thread: the picture size the stream's headers announce now (0 before any, or
    // for audio). After a failure it tells whether a new header asked for a size refused.
    int width() const { return m_context ? m_context->width : 0; }
    int height() const { return m_context ? m_context->height : 0; }

    // Decodes one packet; `onFrame(AVFrame *)` sees each frame it gives, which is unreferenced
    // after the call.
    template <class OnFrame>
    Result decode(AVPacket *packet, OnFrame &&onFrame)
    {
        if (!m_context || !m_frame)
            return Result::SendFailed;
        if (avcodec_send_packet(m_context.get(), packet) < 0) {
            if (m_sendFailures.count())
                av_log(nullptr, AV_LOG_ERROR, "%s", m_texts.sendFailed);
            return Result::SendFailed;
        }
        for (;;) {
            const int result = avcodec_receive_frame(m_context.get(), m_frame.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return Result::Ok;
            if (result < 0) {
                if (m_receiveFailures.count())
                    av_log(nullptr, AV_LOG_ERROR, "%s", m_texts.receiveFailed);
                return Result::ReceiveFailed;
            }
            onFrame(m_frame.get());
            av_frame_unref(m_frame.get());
        }
    }

    // Any thread: receive failures so far.
    qint64 receiveFailures() const { return m_receiveFailures.total(); }

private:
    const Texts m_texts;
    AVCodecContextPtr m_context;
    AVFramePtr m_frame;
    LogThrottle m_sendFailures;
    LogThrottle m_receiveFailures;
};
