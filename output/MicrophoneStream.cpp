#include "output/MicrophoneStream.h"

#include "output/MicrophoneConnection.h"
#include "output/MicrophoneLog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

struct MicrophoneStream::Hooks
{
    spa_hook stream;
    pw_stream_events streamEvents;
};

struct MicrophoneStream::Callbacks
{
    // PipeWire's real-time data thread: no lock, allocation or logging.
    static void process(void *data)
    {
        auto *self = static_cast<MicrophoneStream *>(data);
        pw_buffer *buffer = pw_stream_dequeue_buffer(self->m_stream);
        if (!buffer)
            return; // every buffer is with the server; the next cycle gets one back
        spa_buffer *spaBuffer = buffer->buffer;
        if (spaBuffer->n_datas < 1 || !spaBuffer->datas[0].data) {
            pw_stream_queue_buffer(self->m_stream, buffer);
            return;
        }
        spa_data &plane = spaBuffer->datas[0];
        // Swapped only on this thread (swapRing), so it stays valid for the whole call.
        AudioRing *ring = self->m_playRing;
        const quint32 stride = static_cast<quint32>(ring->channels()) * sizeof(qint16);
        quint32 frames = plane.maxsize / stride;
        // The graph's quantum, converted to our rate by the adapter.
        if (buffer->requested > 0)
            frames = static_cast<quint32>(std::min<quint64>(frames, buffer->requested));
        ring->read(static_cast<qint16 *>(plane.data), static_cast<int>(frames));
        const quint32 rate = static_cast<quint32>(std::max(1, ring->sampleRate()));
        self->m_quantumMs.store(static_cast<int>(frames * 1000 / rate), std::memory_order_relaxed);
        self->m_primeMs.store(static_cast<int>(quint32(ring->primeFrames()) * 1000 / rate),
                              std::memory_order_relaxed);
        plane.chunk->offset = 0;
        plane.chunk->stride = static_cast<qint32>(stride);
        plane.chunk->size = frames * stride;
        pw_stream_queue_buffer(self->m_stream, buffer);
    }

    // PipeWire's data thread, through a blocking pw_data_loop_invoke from the loop thread: the
    // ring the process callback reads changes between two cycles, never during one.
    static int swapRing(spa_loop *, bool, uint32_t, const void *, size_t, void *data)
    {
        auto *self = static_cast<MicrophoneStream *>(data);
        self->m_playRing = self->m_nextRing;
        return 0;
    }

    // Loop thread: the format the adapter agreed on (none while renegotiating).
    static void paramChanged(void *data, uint32_t id, const spa_pod *param)
    {
        if (id != SPA_PARAM_Format)
            return;
        auto *self = static_cast<MicrophoneStream *>(data);
        spa_audio_info_raw info;
        std::memset(&info, 0, sizeof info);
        const bool parsed = param && spa_format_audio_raw_parse(param, &info) >= 0;
        std::lock_guard<std::mutex> guard(self->m_lock);
        self->m_negotiatedRate = parsed ? static_cast<int>(info.rate) : 0;
    }

    // Loop thread.
    static void stateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
    {
        auto *self = static_cast<MicrophoneStream *>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            // Later pauses (nobody records, a format change) are the live stream's own.
            if (self->m_state != State::Opening)
                return;
            self->m_state = State::Ready;
        } else if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
            self->m_failure = QString::fromUtf8(error ? error : pw_stream_state_as_string(state));
            self->m_state = State::Failed;
            self->setLive(false);
        } else {
            return;
        }
        self->armReadyTimer(false);
        self->m_connection.requestStep();
    }

    // Loop thread.
    static void readyTimeout(void *data, uint64_t)
    {
        auto *self = static_cast<MicrophoneStream *>(data);
        if (self->m_state != State::Opening)
            return;
        self->m_state = State::TimedOut;
        self->armReadyTimer(false);
        self->m_connection.requestStep();
    }
};

MicrophoneStream::MicrophoneStream(MicrophoneConnection &connection,
                                   MicrophoneAccounting &accounting, const QString &nodeName,
                                   const QString &description)
    : m_connection(connection), m_accounting(accounting), m_nodeName(nodeName.toUtf8()),
      m_description(description.toUtf8()), m_hooks(std::make_unique<Hooks>()),
      m_ring(std::make_unique<AudioRing>(kDefaultRate, kDefaultChannels))
{
    std::memset(m_hooks.get(), 0, sizeof(Hooks));
    m_hooks->streamEvents.version = PW_VERSION_STREAM_EVENTS;
    m_hooks->streamEvents.state_changed = &Callbacks::stateChanged;
    m_hooks->streamEvents.process = &Callbacks::process;
    m_hooks->streamEvents.param_changed = &Callbacks::paramChanged;
    m_playRing = m_ring.get();
    if (m_connection.valid()) {
        // Added before the loop's thread runs, so without its lock.
        m_readyTimer = pw_loop_add_timer(m_connection.loop(), &Callbacks::readyTimeout, this);
        if (!m_readyTimer)
            qCWarning(lcMicrophone) << "MIC: pw_loop_add_timer failed:" << errnoText(errno);
    }
}

MicrophoneStream::~MicrophoneStream()
{
    // The owner stopped the loop: no callback of ours runs any more.
    close();
    if (m_readyTimer)
        pw_loop_destroy_source(m_connection.loop(), m_readyTimer);
}

void MicrophoneStream::armReadyTimer(bool on)
{
    if (!m_readyTimer)
        return;
    timespec value{};
    timespec interval{};
    if (on) {
        value.tv_sec = kReadyTimeoutMs / 1000;
        value.tv_nsec = static_cast<long>(kReadyTimeoutMs % 1000) * 1000 * 1000;
    }
    const int res =
        pw_loop_update_timer(m_connection.loop(), m_readyTimer, &value, &interval, false);
    if (res < 0)
        qCWarning(lcMicrophone) << "MIC: pw_loop_update_timer failed:" << spa_strerror(res);
}

void MicrophoneStream::setLive(bool live)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_live = live;
}

void MicrophoneStream::replaceRing_Locked(std::unique_ptr<AudioRing> next)
{
    m_accounting.retire(*m_ring);
    m_ring = std::move(next);
    m_rateMatch.restart();
}

MicrophoneStream::Queued MicrophoneStream::queueAudio(const OutputFrame &frame)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_live.load())
        return Queued::NotLive;
    if (m_ring->sampleRate() != frame.sampleRate || m_ring->channels() != frame.channels)
        return Queued::FormatChange;
    if (!m_rateMatch.configuredFor(frame.sampleRate, frame.channels))
        m_rateMatch.configure(frame.sampleRate, frame.channels); // only when the format changes
    m_rateMatch.write(*m_ring, frame.audio, frame.samples);
    qCDebug(lcMicrophone) << "MIC: queued" << frame.samples << "samples, queue"
                          << m_ring->queuedFrames();
    return Queued::Yes;
}

void MicrophoneStream::flush()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_ring->flush();
    m_rateMatch.restart();
}

int MicrophoneStream::streamRate() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_live.load() ? m_ring->sampleRate() : 0;
}

int MicrophoneStream::streamChannels() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_live.load() ? m_ring->channels() : 0;
}

int MicrophoneStream::negotiatedRate() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_negotiatedRate;
}

qint64 MicrophoneStream::formatChanges() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_formatChanges;
}

double MicrophoneStream::queuedMs() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ring->queuedFrames() * 1000.0 / m_ring->sampleRate();
}

MicrophoneAccounting::Totals MicrophoneStream::totals() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_accounting.totals(*m_ring, m_rateMatch.framesAdjusted());
}

int MicrophoneStream::outputDelayMs() const
{
    // The ring plays from its prime level on (its reserve, deeper after running dry), and the
    // server takes one quantum at a time.
    if (!m_live.load())
        return 0;
    const int prime = m_primeMs.load(std::memory_order_relaxed);
    return (prime > 0 ? prime : AudioRing::kReserveMs) +
           m_quantumMs.load(std::memory_order_relaxed);
}

double MicrophoneStream::graphDelayMs() const
{
    if (!m_connection.valid())
        return -1;
    pw_thread_loop_lock(m_connection.threadLoop());
    double delayMs = -1;
    if (m_stream && m_live.load()) {
        pw_time time;
        std::memset(&time, 0, sizeof time);
        const int res = pw_stream_get_time_n(m_stream, &time, sizeof time);
        if (res < 0) {
            qCWarning(lcMicrophone) << "MIC: pw_stream_get_time_n failed:" << spa_strerror(res);
        } else if (time.rate.denom != 0) {
            // delay is in 1/rate ticks; add what the resampler holds (in our rate's samples).
            delayMs = static_cast<double>(time.delay) * 1000.0 * time.rate.num / time.rate.denom;
            if (m_rate > 0)
                delayMs += static_cast<double>(time.buffered) * 1000.0 / m_rate;
        }
    }
    pw_thread_loop_unlock(m_connection.threadLoop());
    return delayMs;
}

const spa_pod *MicrophoneStream::buildFormat(uint8_t *buffer, size_t size, int rate, int channels)
{
    spa_audio_info_raw info;
    std::memset(&info, 0, sizeof info);
    info.format = SPA_AUDIO_FORMAT_S16;
    info.rate = static_cast<uint32_t>(rate);
    info.channels = static_cast<uint32_t>(channels);
    if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    spa_pod_builder builder;
    spa_pod_builder_init(&builder, buffer, static_cast<uint32_t>(size));
    const spa_pod *format = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
    if (!format)
        qCWarning(lcMicrophone) << "MIC: spa_format_audio_raw_build failed:" << rate << channels;
    return format;
}

bool MicrophoneStream::open(int rate, int channels)
{
    close();
    // No stream exists: the data thread reads no ring, and the producer finds it not live.
    auto fresh = (m_ring->sampleRate() != rate || m_ring->channels() != channels)
                     ? std::make_unique<AudioRing>(rate, channels)
                     : nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (fresh)
            replaceRing_Locked(std::move(fresh));
        m_ring->flush();
        m_rateMatch.restart();
        m_playRing = m_ring.get();
    }

    pw_properties *props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_NODE_NAME, m_nodeName.constData(),
        PW_KEY_NODE_DESCRIPTION, m_description.constData(), nullptr);
    if (!props) {
        qCWarning(lcMicrophone) << "MIC: pw_properties_new failed:" << errnoText(errno);
        return false;
    }
    // A quantum of at most 20 ms: the graph may pick a shorter one, never a longer one for us.
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", rate / 50, rate);

    uint8_t podBuffer[1024];
    const spa_pod *params[1] = {buildFormat(podBuffer, sizeof podBuffer, rate, channels)};
    if (!params[0]) {
        pw_properties_free(props);
        return false;
    }

    // pw_stream_new takes the properties, also when it fails.
    m_stream = pw_stream_new(m_connection.core(), m_description.constData(), props);
    if (!m_stream) {
        qCWarning(lcMicrophone) << "MIC: pw_stream_new failed:" << errnoText(errno);
        return false;
    }
    pw_stream_add_listener(m_stream, &m_hooks->stream, &m_hooks->streamEvents, this);
    m_state = State::Opening;
    m_rate = rate;
    m_channels = channels;
    // No AUTOCONNECT (nothing to link to: recorders link to us) and no DRIVER (the graph's
    // driver paces us); RT_PROCESS keeps the hand-over on the data thread.
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    const int res = pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
    if (res < 0) {
        qCWarning(lcMicrophone) << "MIC: pw_stream_connect failed:" << spa_strerror(res);
        close();
        return false;
    }
    armReadyTimer(true);
    return true;
}

void MicrophoneStream::goLive()
{
    if (m_state != State::Ready)
        return;
    m_state = State::Live;
    setLive(true);
}

bool MicrophoneStream::changeFormat(int rate, int channels)
{
    if (m_state != State::Live)
        return false;
    // Built here: the data thread only ever gets a pointer to it.
    auto next = std::make_unique<AudioRing>(rate, channels);
    uint8_t podBuffer[1024];
    const spa_pod *params[1] = {buildFormat(podBuffer, sizeof podBuffer, rate, channels)};
    if (!params[0])
        return false;

    // PipeWire 0.3.65's adapter only clears the old format on new EnumFormat; the pause and
    // resume around it make it negotiate the new one. The node and its links stay.
    int res = pw_stream_set_active(m_stream, false);
    if (res < 0) {
        qCWarning(lcMicrophone) << "MIC: pw_stream_set_active(false) failed:" << spa_strerror(res);
        return false;
    }
    res = pw_stream_update_params(m_stream, params, 1);
    if (res < 0) {
        qCWarning(lcMicrophone) << "MIC: pw_stream_update_params failed:" << spa_strerror(res);
        return false;
    }

    // Until the swap, audio in the new format finds the old ring and is dropped (FormatChange).
    // The data thread never takes the loop's lock, so waiting for it here is one cycle at most.
    m_nextRing = next.get();
    pw_data_loop *dataLoop = pw_context_get_data_loop(m_connection.context());
    res = dataLoop ? pw_data_loop_invoke(dataLoop, &Callbacks::swapRing, 0, nullptr, 0, true, this)
                   : -ENOENT;
    if (res < 0) {
        // The data thread may still read the old ring: only destroying the stream is safe now.
        qCWarning(lcMicrophone) << "MIC: pw_data_loop_invoke failed:" << spa_strerror(res);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        replaceRing_Locked(std::move(next));
    }
    m_rate = rate;
    m_channels = channels;

    res = pw_stream_set_active(m_stream, true);
    if (res < 0) {
        qCWarning(lcMicrophone) << "MIC: pw_stream_set_active(true) failed:" << spa_strerror(res);
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_formatChanges;
    return true;
}

void MicrophoneStream::close()
{
    armReadyTimer(false);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_live = false;
        m_negotiatedRate = 0;
    }
    m_state = State::Closed;
    m_failure.clear();
    m_rate = 0;
    m_channels = 0;
    if (!m_stream)
        return;
    spa_hook_remove(&m_hooks->stream);
    // Disconnects and waits for the data thread to let go of the stream.
    pw_stream_destroy(m_stream);
    m_stream = nullptr;
}
