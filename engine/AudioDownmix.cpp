#include "engine/AudioDownmix.h"

#include "engine/EngineLog.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

namespace {

bool passesThrough(const AVFrame *frame)
{
    const int channels = frame->ch_layout.nb_channels;
    return (frame->format == AV_SAMPLE_FMT_FLTP && (channels == 1 || channels == 2)) ||
           (frame->format == AV_SAMPLE_FMT_FLT && channels == 1);
}

// The layout to mix from. One or two channels are mono or stereo whatever they are called, so
// they are only converted, never remixed. A layout of unspecified order is taken as the usual
// one of its channel count. A custom order of distinct known channels is mixed as the native
// layout of those channels, `map` telling the resampler which input channel each one is
// (`mapped` true); any other order is taken as the usual one of its channel count.
AVChannelLayout mixLayout(const AVChannelLayout &layout, int *map, bool *mapped)
{
    AVChannelLayout resolved{};
    const int channels = layout.nb_channels;
    *mapped = false;
    if (channels > 2 && layout.order == AV_CHANNEL_ORDER_NATIVE)
        return layout;
    if (channels > 2 && channels <= AudioDownmix::kMaxChannels &&
        layout.order == AV_CHANNEL_ORDER_CUSTOM && layout.u.map) {
        int position[AudioDownmix::kMaxChannels];
        std::fill(std::begin(position), std::end(position), -1);
        uint64_t mask = 0;
        bool distinct = true;
        for (int i = 0; i < channels && distinct; ++i) {
            const int id = layout.u.map[i].id;
            distinct = id >= 0 && id < AudioDownmix::kMaxChannels && position[id] < 0;
            if (distinct) {
                position[id] = i;
                mask |= uint64_t(1) << id;
            }
        }
        if (distinct && av_channel_layout_from_mask(&resolved, mask) == 0) {
            int k = 0;
            for (int id = 0; id < AudioDownmix::kMaxChannels; ++id)
                if (position[id] >= 0)
                    map[k++] = position[id];
            *mapped = true;
            return resolved;
        }
    }
    av_channel_layout_default(&resolved, channels);
    return resolved;
}

const char *formatName(int format)
{
    const char *name = av_get_sample_fmt_name(AVSampleFormat(format));
    return name ? name : "unknown";
}

} // namespace

AudioDownmix::~AudioDownmix()
{
    release();
}

AVFrame *AudioDownmix::convert(AVFrame *frame)
{
    if (passesThrough(frame))
        return frame;
    const int channels = frame->ch_layout.nb_channels;
    // A layout that disagrees with itself would have the resampler read planes that are not there.
    if (channels <= 0 || !av_channel_layout_check(&frame->ch_layout) || frame->nb_samples <= 0 ||
        frame->sample_rate <= 0 || !frame->extended_data ||
        !av_get_sample_fmt_name(AVSampleFormat(frame->format))) {
        drop(frame, "not a sound frame");
        return nullptr;
    }
    if (frame->nb_samples > kMaxSamples) {
        drop(frame, "frame larger than the conversion buffer");
        return nullptr;
    }

    int map[kMaxChannels];
    bool mapped = false;
    const AVChannelLayout layout = mixLayout(frame->ch_layout, map, &mapped);
    const bool changed =
        frame->format != m_inFormat || frame->sample_rate != m_inRate ||
        av_channel_layout_compare(&layout, &m_inLayout) != 0 || mapped != m_mapped ||
        (mapped && std::memcmp(map, m_channelMap, sizeof(int) * size_t(channels)) != 0);
    if (changed) {
        if (!prepare(frame, layout, mapped ? map : nullptr))
            return nullptr;
    } else if (m_inFailed) {
        drop(frame, "resampler not set up");
        return nullptr;
    }
    const int outChannels = channels == 1 ? 1 : 2;
    if (!takeOutput(outChannels)) {
        drop(frame, "no output buffer", AVERROR(ENOMEM));
        return nullptr;
    }

    // The rate is unchanged, so the resampler keeps no delay: every input sample comes out now,
    // and the buffer's capacity is only the bound it may write to.
    const int converted =
        swr_convert(m_swr.get(), m_out->extended_data, kMaxSamples,
                    const_cast<const uint8_t **>(frame->extended_data), frame->nb_samples);
    if (converted <= 0) {
        av_frame_unref(m_out.get());
        drop(frame, "swr_convert failed", converted);
        return nullptr;
    }
    m_out->nb_samples = converted;
    m_out->sample_rate = frame->sample_rate;
    m_out->pts = frame->pts;
    m_out->pkt_dts = frame->pkt_dts;
    m_out->best_effort_timestamp = frame->best_effort_timestamp;
    return m_out.get();
}

bool AudioDownmix::prepare(const AVFrame *frame, const AVChannelLayout &layout, const int *map)
{
    m_swr.reset();
    av_channel_layout_uninit(&m_inLayout);
    // Remembered even when it fails, so a format that cannot be converted is set up once, not
    // for every frame.
    m_inLayout = layout;
    m_inFormat = frame->format;
    m_inRate = frame->sample_rate;
    m_inFailed = true;
    m_mapped = map != nullptr;
    if (map)
        std::copy(map, map + layout.nb_channels, m_channelMap);

    AVChannelLayout in = layout;
    AVChannelLayout out{};
    av_channel_layout_default(&out, layout.nb_channels == 1 ? 1 : 2);
    SwrContext *raw = nullptr;
    // swr_alloc_set_opts2 frees the context itself when it fails.
    int result = swr_alloc_set_opts2(&raw, &out, AV_SAMPLE_FMT_FLTP, frame->sample_rate, &in,
                                     AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
    SwrContextPtr swr(raw);
    if (result < 0) {
        drop(frame, "swr_alloc_set_opts2 failed", result);
        return false;
    }
    // The resampler keeps the map's address and reads it for as long as it lives.
    if (map) {
        result = swr_set_channel_mapping(swr.get(), m_channelMap);
        if (result < 0) {
            drop(frame, "swr_set_channel_mapping failed", result);
            return false;
        }
    }
    // Centre and surrounds keep the resampler's -3 dB; the LFE, which it leaves out by
    // default, is mixed in too, as it carries the low end of a camera that records in 5.1.
    result = av_opt_set_double(swr.get(), "lfe_mix_level", kLfeMixLevel, 0);
    if (result < 0) {
        drop(frame, "lfe_mix_level not set", result);
        return false;
    }
    result = swr_init(swr.get());
    if (result < 0) {
        drop(frame, "swr_init failed", result);
        return false;
    }
    m_swr = std::move(swr);
    m_inFailed = false;
    // A state change, but a peer could alternate formats: throttled like a warning.
    if (m_changes.count()) {
        char name[128] = {};
        av_channel_layout_describe(&layout, name, sizeof name);
        qCInfo(lcEngine) << "-- AUDIO FORMAT:" << formatName(frame->format) << name
                         << frame->sample_rate << "->" << (out.nb_channels == 1 ? "mono" : "stereo")
                         << "planar float";
    }
    return true;
}

bool AudioDownmix::takeOutput(int channels)
{
    constexpr int kPlaneBytes = kMaxSamples * int(sizeof(float));
    if (!m_out) {
        m_out.reset(av_frame_alloc());
        if (!m_out)
            return false;
    }
    if (!m_pool) {
        m_pool.reset(av_buffer_pool_init(kPlaneBytes, nullptr));
        if (!m_pool) {
            qCWarning(lcEngine) << "-- WARN: audio conversion buffers not allocated";
            return false;
        }
    }
    // The previous frame's planes go back to the pool unless the queue took them.
    av_frame_unref(m_out.get());
    m_out->format = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&m_out->ch_layout, channels);
    for (int channel = 0; channel < channels; ++channel) {
        m_out->buf[channel] = av_buffer_pool_get(m_pool.get());
        if (!m_out->buf[channel]) {
            av_frame_unref(m_out.get());
            return false;
        }
        m_out->data[channel] = m_out->buf[channel]->data;
    }
    m_out->linesize[0] = kPlaneBytes;
    m_out->extended_data = m_out->data;
    return true;
}

void AudioDownmix::drop(const AVFrame *frame, const char *reason, int error)
{
    if (!m_drops.count())
        return;
    char name[128] = {};
    if (av_channel_layout_describe(&frame->ch_layout, name, sizeof name) < 0)
        name[0] = '\0';
    std::string why = reason;
    if (error < 0)
        why += ": " + ffmpeg::errorText(error);
    qCWarning(lcEngine) << "-- WARN: audio format not converted:" << formatName(frame->format)
                        << name << frame->sample_rate << frame->nb_samples << why.c_str()
                        << "dropped" << m_drops.total();
}

void AudioDownmix::release()
{
    m_swr.reset();
    m_out.reset();
    // Planes still queued keep the pool alive until they come back.
    m_pool.reset();
    av_channel_layout_uninit(&m_inLayout);
    m_inFormat = -1;
    m_inRate = 0;
    m_inFailed = false;
    m_mapped = false;
}
