#include "engine/Decoder.h"

#include "engine/EngineLog.h"

extern "C" {
#include <libavutil/opt.h>
}

Decoder::Decoder(const Texts &texts) : m_texts(texts) {}

bool Decoder::open(const AVCodec *codec, const AVCodecParameters *parameters, int sliceThreads,
                   int maxPixels)
{
    close();
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot allocate decoder\n");
        return false;
    }
    const int copied = avcodec_parameters_to_context(context.get(), parameters);
    qCDebug(lcEngine) << "avcodec_parameters_to_context:" << copied;
    if (sliceThreads > 0) {
        context->thread_count = sliceThreads;
        context->thread_type = FF_THREAD_SLICE;
    }
    if (maxPixels > 0) {
        const int limited = av_opt_set_int(context.get(), "max_pixels", maxPixels, 0);
        if (limited < 0) {
            // Without the bound a header could make the decoder allocate any size it names.
            av_log(nullptr, AV_LOG_ERROR, "%s", m_texts.openFailed);
            qCWarning(lcEngine) << "decoder picture bound not set:"
                                << ffmpeg::errorText(limited).c_str();
            return false;
        }
    }
    const int opened = copied < 0 ? copied : avcodec_open2(context.get(), codec, nullptr);
    if (opened < 0) {
        av_log(nullptr, AV_LOG_ERROR, "%s", m_texts.openFailed);
        qCWarning(lcEngine) << "decoder not opened:" << (codec ? codec->name : "none")
                            << ffmpeg::errorText(opened).c_str();
        return false;
    }
    AVFramePtr frame(av_frame_alloc());
    if (!frame) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot allocate frame\n");
        return false;
    }
    qCDebug(lcEngine) << "decoder opened:" << codec->name << "threads:" << context->thread_count;
    m_context = std::move(context);
    m_frame = std::move(frame);
    return true;
}

void Decoder::flush()
{
    if (m_context)
        avcodec_flush_buffers(m_context.get());
}

void Decoder::close()
{
    m_frame.reset();
    m_context.reset();
}
