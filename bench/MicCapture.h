#pragma once

// Records a PipeWire source as a call program does (a capture stream on its node, 48 kHz
// stereo S16, a 20 ms quantum asked for) and notes, for every buffer, the monotonic time at
// which it was handed over: a sample is "heard" when its buffer reaches the program. Used by the
// latency benchmark to time audio marks on the microphone. Header only; the bench process's
// PipeWire client must point at the server first (PipeWireDaemon::pointClientsAt).
//
// Threads: start/stop and the results from the caller's thread; the process callback on
// PipeWire's data thread writes into storage sized at start.

#include "Stamp.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

class MicCapture
{
public:
    static constexpr int kRate = 48000;
    static constexpr int kChannels = 2;

    struct Buffer
    {
        int64_t atUs;       // when the callback got it
        int64_t firstFrame; // index of its first frame in samples()
        int frames;
    };

    ~MicCapture() { stop(); }

    bool start(const std::string &node, double maxSeconds)
    {
        pw_init(nullptr, nullptr);
        m_samples.assign(size_t(maxSeconds * kRate) * kChannels, 0);
        m_buffers.assign(size_t(maxSeconds * 200), Buffer{});
        m_loop = pw_thread_loop_new("bench-capture", nullptr);
        if (!m_loop)
            return false;
        pw_properties *props =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                              PW_KEY_MEDIA_ROLE, "Communication", PW_KEY_TARGET_OBJECT,
                              node.c_str(), PW_KEY_NODE_LATENCY, "960/48000", nullptr);
        m_events.version = PW_VERSION_STREAM_EVENTS;
        m_events.process = &MicCapture::process;
        m_stream = pw_stream_new_simple(pw_thread_loop_get_loop(m_loop), "bench capture", props,
                                        &m_events, this);
        if (!m_stream)
            return false;
        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16;
        info.rate = kRate;
        info.channels = kChannels;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod *params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        if (pw_stream_connect(m_stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                              pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT |
                                              PW_STREAM_FLAG_MAP_BUFFERS |
                                              PW_STREAM_FLAG_RT_PROCESS),
                              params, 1) < 0)
            return false;
        return pw_thread_loop_start(m_loop) == 0;
    }

    void stop()
    {
        if (m_loop)
            pw_thread_loop_stop(m_loop);
        if (m_stream)
            pw_stream_destroy(m_stream);
        if (m_loop)
            pw_thread_loop_destroy(m_loop);
        m_stream = nullptr;
        m_loop = nullptr;
    }

    // After stop(): what was recorded.
    int64_t frames() const { return m_frames; }
    int buffers() const { return m_bufferCount; }
    const Buffer &buffer(int i) const { return m_buffers[size_t(i)]; }
    const int16_t *samples() const { return m_samples.data(); }

private:
    static void process(void *data)
    {
        auto *self = static_cast<MicCapture *>(data);
        pw_buffer *b = pw_stream_dequeue_buffer(self->m_stream);
        if (!b)
            return;
        const int64_t at = stamp::nowUs();
        spa_data &d = b->buffer->datas[0];
        if (d.data && d.chunk) {
            const int frames = int(d.chunk->size / (kChannels * sizeof(int16_t)));
            const int64_t room = int64_t(self->m_samples.size() / kChannels) - self->m_frames;
            const int take = int(std::min<int64_t>(frames, room));
            if (take > 0 && self->m_bufferCount < int(self->m_buffers.size())) {
                std::memcpy(self->m_samples.data() + self->m_frames * kChannels,
                            static_cast<const uint8_t *>(d.data) + d.chunk->offset,
                            size_t(take) * kChannels * sizeof(int16_t));
                self->m_buffers[size_t(self->m_bufferCount++)] = {at, self->m_frames, take};
                self->m_frames += take;
            }
        }
        pw_stream_queue_buffer(self->m_stream, b);
    }

    pw_thread_loop *m_loop = nullptr;
    pw_stream *m_stream = nullptr;
    pw_stream_events m_events{};
    std::vector<int16_t> m_samples;
    std::vector<Buffer> m_buffers;
    int64_t m_frames = 0;
    int m_bufferCount = 0;
};

} // namespace bench
