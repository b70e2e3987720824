#include "engine/PictureConverter.h"

#include "engine/EngineLog.h"

#include <QString>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>

void PictureConverter::setTarget(int width, int height)
{
    m_width = width;
    m_height = height;
}

bool PictureConverter::needed(const AVFrame *frame) const
{
    return m_used || frame->format != AV_PIX_FMT_YUV420P || frame->width != m_width ||
           frame->height != m_height;
}

void PictureConverter::remember(const AVFrame *frame)
{
    m_graphWidth = frame->width;
    m_graphHeight = frame->height;
    m_graphFormat = frame->format;
}

bool PictureConverter::prepare(const AVFrame *frame, AVRational timeBase)
{
    remember(frame);
    if (frame->format == AV_PIX_FMT_YUV420P)
        return true;
    m_used = true;
    const int result = build("null", frame, timeBase);
    qCInfo(lcEngine) << "WILL USE COLOR-CONVERSION FILTER TO YUV420P. Init filter:" << result;
    if (result < 0)
        m_graph.reset();
    return result >= 0;
}

AVFrame *PictureConverter::convert(const AVFrame *frame, AVRational timeBase)
{
    if (!m_converted) {
        m_converted.reset(av_frame_alloc());
        if (!m_converted)
            return nullptr;
    }
    const bool changed = frame->width != m_graphWidth || frame->height != m_graphHeight ||
                         frame->format != m_graphFormat;
    if (!m_graph || changed) {
        if (changed)
            qCInfo(lcEngine) << "-- PICTURE CHANGED:" << frame->width << frame->height
                             << av_get_pix_fmt_name(AVPixelFormat(frame->format))
                             << "-> rebuild filter";
        m_used = true;
        QByteArray filters("null");
        if (frame->width != m_width || frame->height != m_height)
            filters = QStringLiteral("scale=%1:%2").arg(m_width).arg(m_height).toLatin1();
        const int result = build(filters.constData(), frame, timeBase);
        if (result < 0) {
            // Remembered as seen, so a picture that cannot be converted is logged, not every one.
            remember(frame);
            if (m_failures.count())
                qCWarning(lcEngine)
                    << "-- filter graph failed, picture dropped" << result << m_failures.total();
            return nullptr;
        }
    }
    if (av_buffersrc_add_frame_flags(m_source, const_cast<AVFrame *>(frame),
                                     AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Error while feeding the filtergraph\n");
        return nullptr;
    }
    if (av_buffersink_get_frame(m_sink, m_converted.get()) < 0)
        return nullptr;
    return m_converted.get();
}

void PictureConverter::finish()
{
    if (!m_converted || !m_sink)
        return;
    av_frame_unref(m_converted.get());
    // The "null" graph gives one picture per picture; anything more is drained here.
    while (av_buffersink_get_frame(m_sink, m_converted.get()) >= 0)
        av_frame_unref(m_converted.get());
}

void PictureConverter::release()
{
    m_graph.reset();
    m_source = nullptr;
    m_sink = nullptr;
    m_converted.reset();
}

void PictureConverter::reset()
{
    release();
    m_used = false;
    m_graphWidth = 0;
    m_graphHeight = 0;
    m_graphFormat = -1;
}

int PictureConverter::build(const char *filters, const AVFrame *frame, AVRational timeBase)
{
    m_graph.reset();
    m_source = nullptr;
    m_sink = nullptr;
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
    const enum AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
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
    qCDebug(lcEngine).noquote() << "FILTER GRAPH:" << (dump ? dump : "");
    av_free(dump);

    m_graph = std::move(graph);
    m_source = bufferSource;
    m_sink = bufferSink;
    remember(frame);
    return result;
}
