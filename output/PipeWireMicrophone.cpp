#include "output/PipeWireMicrophone.h"

#include "output/OutputLog.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <pthread.h>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

namespace {

// Rates PipeWire's resampler takes from a stream.
constexpr int kMinRate = 8000;
constexpr int kMaxRate = 192000;
// How often a line that a peer can trigger over and over may be logged.
constexpr qint64 kRepeatLogIntervalMs = 10000;
// Slice of the bounded waits, so that stopping is noticed promptly.
constexpr qint64 kWaitSliceNs = 100 * 1000 * 1000;

std::once_flag g_pipeWireInit;

void initPipeWireOnce()
{
    std::call_once(g_pipeWireInit, [] { pw_init(nullptr, nullptr); });
}

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// True when a repeatable line may be logged now (at most once per kRepeatLogIntervalMs).
bool logDue(std::atomic<qint64> &lastMs)
{
    const qint64 now = steadyMs();
    qint64 last = lastMs.load();
    if (last >= 0 && now - last < kRepeatLogIntervalMs)
        return false;
    return lastMs.compare_exchange_strong(last, now);
}

bool supportedFormat(int rate, int channels)
{
    return rate >= kMinRate && rate <= kMaxRate && (channels == 1 || channels == 2);
}

qint64 packFormat(int rate, int channels)
{
    return static_cast<qint64>(rate) * 16 + channels;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

struct PipeWireMicrophone::Listeners
{
    spa_hook core;
    spa_hook stream;
    pw_core_events coreEvents;
    pw_stream_events streamEvents;
};

struct PipeWireMicrophone::Callbacks
{
    // PipeWire's real-time data thread: no lock, allocation or logging.
    static void process(void *data)
    {
        auto *self = static_cast<PipeWireMicrophone *>(data);
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

    // PipeWire's data thread, called through pw_data_loop_invoke by the worker, which waits:
    // the ring the process callback reads changes between two cycles, never during one.
    static int swapRing(spa_loop *, bool, uint32_t, const void *, size_t, void *data)
    {
        auto *self = static_cast<PipeWireMicrophone *>(data);
        self->m_playRing = self->m_nextRing;
        return 0;
    }

    // PipeWire's main-loop thread: the format the adapter agreed on (none while renegotiating).
    static void paramChanged(void *data, uint32_t id, const spa_pod *param)
    {
        if (id != SPA_PARAM_Format)
            return;
        auto *self = static_cast<PipeWireMicrophone *>(data);
        spa_audio_info_raw info;
        std::memset(&info, 0, sizeof info);
        if (!param || spa_format_audio_raw_parse(param, &info) < 0) {
            self->m_negotiatedFormat = 0;
        } else {
            self->m_negotiatedFormat =
                packFormat(static_cast<int>(info.rate), static_cast<int>(info.channels));
        }
        pw_thread_loop_signal(self->m_loop, false);
    }

    // PipeWire's main-loop thread.
    static void streamStateChanged(void *data, pw_stream_state, pw_stream_state state,
                                   const char *error)
    {
        auto *self = static_cast<PipeWireMicrophone *>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            self->m_streamReady = true;
        } else if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
            {
                std::lock_guard<std::mutex> guard(self->m_reasonLock);
                self->m_streamError =
                    QString::fromUtf8(error ? error : pw_stream_state_as_string(state));
            }
            self->m_streamUp = false;
            self->m_available = false;
            self->m_streamFailed = true;
            self->wakeWorker();
        }
        pw_thread_loop_signal(self->m_loop, false);
    }

    // PipeWire's main-loop thread.
    static void coreError(void *data, uint32_t id, int seq, int res, const char *message)
    {
        auto *self = static_cast<PipeWireMicrophone *>(data);
        if (id != PW_ID_CORE) {
            qCDebug(lcOutput) << "MIC: PipeWire object error:" << id << seq << spa_strerror(res)
                              << message;
            return;
        }
        // A broken connection is EPIPE; any other error on the core leaves it unusable too.
        if (res != -EPIPE)
            qCWarning(lcOutput) << "MIC: PipeWire core error:" << spa_strerror(res) << message;
        self->m_streamUp = false;
        self->m_available = false;
        self->m_serverLost = true;
        self->wakeWorker();
        pw_thread_loop_signal(self->m_loop, false);
    }
};

PipeWireMicrophone::PipeWireMicrophone(const QString &nodeName, const QString &description,
                                       int probeIntervalMs)
    : m_nodeName(nodeName), m_description(description),
      m_probeIntervalMs(std::max(1, probeIntervalMs)), m_listeners(std::make_unique<Listeners>()),
      m_ring(std::make_unique<AudioRing>(kDefaultRate, kDefaultChannels))
{
    std::memset(m_listeners.get(), 0, sizeof(Listeners));
    m_listeners->coreEvents.version = PW_VERSION_CORE_EVENTS;
    m_listeners->coreEvents.error = &Callbacks::coreError;
    m_listeners->streamEvents.version = PW_VERSION_STREAM_EVENTS;
    m_listeners->streamEvents.state_changed = &Callbacks::streamStateChanged;
    m_listeners->streamEvents.process = &Callbacks::process;
    m_listeners->streamEvents.param_changed = &Callbacks::paramChanged;
    m_playRing = m_ring.get();
    for (auto &counter : m_samplesDropped)
        counter = 0;
    m_unavailableReason = QStringLiteral("Microphone: looking for PipeWire");
    m_worker = std::thread([this] { run(); });
}

PipeWireMicrophone::~PipeWireMicrophone()
{
    {
        std::lock_guard<std::mutex> guard(m_wakeLock);
        m_stopRequested = true;
    }
    m_wakeCondition.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void PipeWireMicrophone::wakeWorker()
{
    {
        std::lock_guard<std::mutex> guard(m_wakeLock);
        m_wakeRequested = true;
    }
    m_wakeCondition.notify_all();
}

void PipeWireMicrophone::setEnabled(bool enabled)
{
    if (m_enabled.exchange(enabled) != enabled)
        wakeWorker();
}

void PipeWireMicrophone::drop(DropReason reason, int samples)
{
    m_samplesDropped[static_cast<size_t>(reason)].fetch_add(samples);
}

void PipeWireMicrophone::putLive(const OutputFrame &frame)
{
    if (!frame.audio || frame.samples <= 0)
        return;
    m_samplesReceived.fetch_add(frame.samples);
    if (!m_enabled.load()) {
        drop(DropReason::MicrophoneOff, frame.samples);
        return;
    }
    if (!supportedFormat(frame.sampleRate, frame.channels)) {
        drop(DropReason::UnsupportedFormat, frame.samples);
        if (logDue(m_lastUnsupportedLogMs))
            qCWarning(lcOutput) << "MIC: audio format not supported, dropped:" << frame.sampleRate
                                << "Hz" << frame.channels << "channels";
        return;
    }
    const qint64 format = packFormat(frame.sampleRate, frame.channels);
    if (m_wantedFormat.exchange(format) != format)
        wakeWorker();
    std::lock_guard<std::mutex> guard(m_ringLock);
    if (!m_streamUp.load()) {
        drop(DropReason::NoServer, frame.samples);
        return;
    }
    if (m_ring->sampleRate() != frame.sampleRate || m_ring->channels() != frame.channels) {
        drop(DropReason::FormatChange, frame.samples);
        return;
    }
    if (!m_rateMatch.configuredFor(frame.sampleRate, frame.channels))
        m_rateMatch.configure(frame.sampleRate, frame.channels); // only when the format changes
    m_rateMatch.write(*m_ring, frame.audio, frame.samples);
    qCDebug(lcOutput) << "MIC: queued" << frame.samples << "samples, queue"
                      << m_ring->queuedFrames();
}

void PipeWireMicrophone::sessionChanged()
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    m_ring->flush();
    m_rateMatch.restart();
}

QString PipeWireMicrophone::unavailableReason() const
{
    std::lock_guard<std::mutex> guard(m_reasonLock);
    return m_unavailableReason;
}

qint64 PipeWireMicrophone::samplesDropped(DropReason reason) const
{
    return m_samplesDropped[static_cast<size_t>(reason)].load();
}

qint64 PipeWireMicrophone::samplesDropped() const
{
    qint64 total = 0;
    for (const auto &counter : m_samplesDropped)
        total += counter.load();
    return total;
}

qint64 PipeWireMicrophone::underruns() const
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    return m_pastUnderruns.load() + m_ring->underruns();
}

qint64 PipeWireMicrophone::samplesTrimmed() const
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    return m_pastTrimmed.load() + m_ring->framesTrimmed();
}

qint64 PipeWireMicrophone::samplesSkipped() const
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    return m_pastSkipped.load() + m_ring->framesSkipped();
}

qint64 PipeWireMicrophone::samplesAdjusted() const
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    return m_rateMatch.framesAdjusted();
}

MicrophoneOutput::SoundGaps PipeWireMicrophone::soundGaps() const
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    SoundGaps gaps;
    gaps.ranDry = m_pastUnderruns.load() + m_ring->underruns();
    const qint64 cut = m_pastTrimmed.load() + m_ring->framesTrimmed();
    gaps.cutMs = cut * 1000 / std::max(1, m_ring->sampleRate());
    return gaps;
}

qint64 PipeWireMicrophone::samplesPlayed() const
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    return m_pastPlayed.load() + m_ring->framesPlayed();
}

int PipeWireMicrophone::outputDelayMs() const
{
    // The ring plays from its prime level on (its reserve, deeper after running dry), and the
    // server takes one quantum at a time.
    if (!m_enabled.load() || !m_streamUp.load())
        return 0;
    const int prime = m_primeMs.load(std::memory_order_relaxed);
    return (prime > 0 ? prime : AudioRing::kReserveMs) +
           m_quantumMs.load(std::memory_order_relaxed);
}

double PipeWireMicrophone::queuedMs() const
{
    std::lock_guard<std::mutex> guard(m_ringLock);
    return m_ring->queuedFrames() * 1000.0 / m_ring->sampleRate();
}

double PipeWireMicrophone::graphDelayMs() const
{
    std::lock_guard<std::mutex> guard(m_controlLock);
    if (!m_stream || !m_streamUp.load())
        return -1;
    pw_time time;
    std::memset(&time, 0, sizeof time);
    const int res = pw_stream_get_time_n(m_stream, &time, sizeof time);
    if (res < 0) {
        qCWarning(lcOutput) << "MIC: pw_stream_get_time_n failed:" << spa_strerror(res);
        return -1;
    }
    if (time.rate.denom == 0)
        return -1;
    // delay is in 1/rate ticks; add what the resampler holds (in our rate's samples).
    const double delayMs =
        static_cast<double>(time.delay) * 1000.0 * time.rate.num / time.rate.denom;
    const int rate = m_streamRate.load();
    return delayMs + (rate > 0 ? static_cast<double>(time.buffered) * 1000.0 / rate : 0.0);
}

void PipeWireMicrophone::setUnavailable(const QString &reason)
{
    std::lock_guard<std::mutex> guard(m_reasonLock);
    m_unavailableReason = reason;
}

void PipeWireMicrophone::run()
{
    pthread_setname_np(pthread_self(), "QuorvixMic");
    while (!m_stopRequested.load()) {
        step();
        reportRingTrouble();
        std::unique_lock<std::mutex> lock(m_wakeLock);
        m_wakeCondition.wait_for(lock, std::chrono::milliseconds(m_probeIntervalMs),
                                 [this] { return m_wakeRequested || m_stopRequested.load(); });
        m_wakeRequested = false;
    }
    disconnectServer();
}

void PipeWireMicrophone::reportRingTrouble()
{
    // The worker looks every few seconds, which also bounds how often this is logged. Each
    // cause apart: running dry (the sound came too late or stopped: a busy computer, a
    // camera's uneven sending) and cuts (more came than could be played) are heard; sound
    // skipped while no program listened is not.
    const qint64 dry = underruns();
    const qint64 trimmed = samplesTrimmed();
    const qint64 skipped = samplesSkipped();
    if (dry != m_reportedUnderruns || trimmed != m_reportedTrimmed)
        qCInfo(lcOutput) << "MIC: ran dry" << dry - m_reportedUnderruns << "times, cut"
                         << trimmed - m_reportedTrimmed << "samples since the last report";
    if (skipped != m_reportedSkipped)
        qCDebug(lcOutput) << "MIC: skipped" << skipped - m_reportedSkipped
                          << "samples nobody listened to, rate matched by" << samplesAdjusted()
                          << "samples so far";
    m_reportedUnderruns = dry;
    m_reportedTrimmed = trimmed;
    m_reportedSkipped = skipped;
}

void PipeWireMicrophone::step()
{
    if (!m_enabled.load()) {
        if (m_loop) {
            disconnectServer();
            qCInfo(lcOutput) << "MIC: microphone off:" << m_nodeName;
        }
        m_noServerLogged = false;
        setUnavailable(QStringLiteral("Microphone off"));
        return;
    }
    if (m_core && m_serverLost.load()) {
        qCInfo(lcOutput) << "MIC: PipeWire server gone";
        disconnectServer();
        // Back to looking; the gone line was the one log line for this.
        m_noServerLogged = true;
        setUnavailable(QStringLiteral("No microphone: the PipeWire server went away"));
        // Not at once: a server on its way down still takes connections for a moment (longer on
        // a busy computer), and would go away a second time. The next look is soon enough.
        return;
    }
    if (m_stream && m_streamFailed.load()) {
        QString error;
        {
            std::lock_guard<std::mutex> guard(m_reasonLock);
            error = m_streamError;
        }
        if (logDue(m_lastStreamLogMs))
            qCWarning(lcOutput) << "MIC: stream failed:" << m_nodeName << error;
        closeStream();
        setUnavailable(QStringLiteral("No microphone: PipeWire stream failed (%1)").arg(error));
        return; // the next look reopens it
    }
    if (!m_core && !connectServer())
        return;

    const qint64 wanted = m_wantedFormat.load();
    const int rate = wanted ? static_cast<int>(wanted / 16) : kDefaultRate;
    const int channels = wanted ? static_cast<int>(wanted % 16) : kDefaultChannels;
    if (m_stream && m_streamRate.load() == rate && m_streamChannels.load() == channels)
        return;
    if (m_stream) {
        // The node stays: removing it would move a recording call to another microphone.
        if (changeFormat(rate, channels))
            return;
        if (logDue(m_lastReopenLogMs))
            qCWarning(lcOutput) << "MIC: reopening for the audio's format:" << rate << "Hz"
                                << channels << "channels";
        closeStream();
    }
    openStream(rate, channels);
}

bool PipeWireMicrophone::changeFormat(int rate, int channels)
{
    // Built here: the data thread only ever gets a pointer to it.
    auto next = std::make_unique<AudioRing>(rate, channels);
    uint8_t podBuffer[1024];
    const spa_pod *params[1] = {buildFormat(podBuffer, sizeof podBuffer, rate, channels)};
    if (!params[0])
        return false;

    pw_thread_loop_lock(m_loop);
    // PipeWire 0.3.65's adapter only clears the old format on new EnumFormat; the pause and
    // resume around it make it negotiate the new one. The node and its links stay.
    int res = pw_stream_set_active(m_stream, false);
    if (res < 0)
        qCWarning(lcOutput) << "MIC: pw_stream_set_active(false) failed:" << spa_strerror(res);
    else if ((res = pw_stream_update_params(m_stream, params, 1)) < 0)
        qCWarning(lcOutput) << "MIC: pw_stream_update_params failed:" << spa_strerror(res);
    pw_data_loop *dataLoop = pw_context_get_data_loop(m_context);
    pw_thread_loop_unlock(m_loop);
    if (res < 0)
        return false;

    // Until the swap, audio in the new format finds the old ring and is dropped (FormatChange).
    m_nextRing = next.get();
    res = dataLoop ? pw_data_loop_invoke(dataLoop, &Callbacks::swapRing, 0, nullptr, 0, true, this)
                   : -ENOENT;
    if (res < 0) {
        // The data thread may still read the old ring: only destroying the stream is safe now.
        qCWarning(lcOutput) << "MIC: pw_data_loop_invoke failed:" << spa_strerror(res);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_ringLock);
        m_pastUnderruns.fetch_add(m_ring->underruns());
        m_pastTrimmed.fetch_add(m_ring->framesTrimmed());
        m_pastSkipped.fetch_add(m_ring->framesSkipped());
        m_pastPlayed.fetch_add(m_ring->framesPlayed());
        m_ring = std::move(next);
        m_rateMatch.restart();
    }
    m_streamRate = rate;
    m_streamChannels = channels;

    pw_thread_loop_lock(m_loop);
    res = pw_stream_set_active(m_stream, true);
    pw_thread_loop_unlock(m_loop);
    if (res < 0) {
        qCWarning(lcOutput) << "MIC: pw_stream_set_active(true) failed:" << spa_strerror(res);
        return false;
    }
    m_formatChanges.fetch_add(1);
    // A camera flipping formats could repeat this; the line is rate-limited.
    if (logDue(m_lastReopenLogMs))
        qCInfo(lcOutput) << "MIC: format changed:" << m_nodeName << rate << "Hz" << channels
                         << "channels";
    return true;
}

const spa_pod *PipeWireMicrophone::buildFormat(uint8_t *buffer, size_t size, int rate, int channels)
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
        qCWarning(lcOutput) << "MIC: spa_format_audio_raw_build failed:" << rate << channels;
    return format;
}

bool PipeWireMicrophone::connectServer()
{
    m_connectAttempts.fetch_add(1);
    initPipeWireOnce();
    if (!m_loop) {
        pw_thread_loop *loop = pw_thread_loop_new("quorvix-mic", nullptr);
        if (!loop) {
            qCWarning(lcOutput) << "MIC: pw_thread_loop_new failed:" << errnoText(errno);
            setUnavailable(QStringLiteral("No microphone: PipeWire could not start"));
            return false;
        }
        const int res = pw_thread_loop_start(loop);
        if (res < 0) {
            qCWarning(lcOutput) << "MIC: pw_thread_loop_start failed:" << spa_strerror(res);
            pw_thread_loop_destroy(loop);
            setUnavailable(QStringLiteral("No microphone: PipeWire could not start"));
            return false;
        }
        pw_thread_loop_lock(loop);
        pw_context *context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
        const int error = errno;
        pw_thread_loop_unlock(loop);
        if (!context) {
            qCWarning(lcOutput) << "MIC: pw_context_new failed:" << errnoText(error);
            pw_thread_loop_stop(loop);
            pw_thread_loop_destroy(loop);
            setUnavailable(QStringLiteral("No microphone: PipeWire could not start"));
            return false;
        }
        std::lock_guard<std::mutex> guard(m_controlLock);
        m_loop = loop;
        m_context = context;
    }

    pw_thread_loop_lock(m_loop);
    m_serverLost = false;
    pw_core *core = pw_context_connect(m_context, nullptr, 0);
    const int error = errno;
    if (core)
        pw_core_add_listener(core, &m_listeners->core, &m_listeners->coreEvents, this);
    pw_thread_loop_unlock(m_loop);
    if (!core) {
        if (!m_noServerLogged) {
            qCInfo(lcOutput) << "MIC: no PipeWire server:" << errnoText(error)
                             << "- looking again every" << m_probeIntervalMs / 1000.0 << "s";
            m_noServerLogged = true;
        }
        setUnavailable(
            QStringLiteral("No microphone: no PipeWire server (%1)").arg(errnoText(error)));
        return false;
    }
    std::lock_guard<std::mutex> guard(m_controlLock);
    m_core = core;
    m_noServerLogged = false;
    setUnavailable(QStringLiteral("Microphone: connecting to PipeWire"));
    return true;
}

bool PipeWireMicrophone::openStream(int rate, int channels)
{
    // No stream exists: the ring has no consumer and putLive checks m_streamUp under the lock.
    {
        std::lock_guard<std::mutex> guard(m_ringLock);
        if (m_ring->sampleRate() != rate || m_ring->channels() != channels) {
            m_pastUnderruns.fetch_add(m_ring->underruns());
            m_pastTrimmed.fetch_add(m_ring->framesTrimmed());
            m_pastSkipped.fetch_add(m_ring->framesSkipped());
            m_pastPlayed.fetch_add(m_ring->framesPlayed());
            m_ring = std::make_unique<AudioRing>(rate, channels);
            m_playRing = m_ring.get();
        } else {
            m_ring->flush();
        }
        m_rateMatch.restart();
    }

    const QByteArray name = m_nodeName.toUtf8();
    const QByteArray description = m_description.toUtf8();
    pw_properties *props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_NODE_NAME, name.constData(),
        PW_KEY_NODE_DESCRIPTION, description.constData(), nullptr);
    if (!props) {
        qCWarning(lcOutput) << "MIC: pw_properties_new failed:" << errnoText(errno);
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

    m_streamReady = false;
    m_streamFailed = false;
    pw_thread_loop_lock(m_loop);
    // pw_stream_new takes the properties, also when it fails.
    pw_stream *stream = pw_stream_new(m_core, description.constData(), props);
    if (!stream) {
        const int error = errno;
        pw_thread_loop_unlock(m_loop);
        qCWarning(lcOutput) << "MIC: pw_stream_new failed:" << errnoText(error);
        setUnavailable(QStringLiteral("No microphone: PipeWire refused the stream"));
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_controlLock);
        m_stream = stream;
    }
    pw_stream_add_listener(stream, &m_listeners->stream, &m_listeners->streamEvents, this);
    // No AUTOCONNECT (nothing to link to: recorders link to us) and no DRIVER (the graph's
    // driver paces us); RT_PROCESS keeps the hand-over on the data thread.
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    const int res = pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
    if (res < 0) {
        pw_thread_loop_unlock(m_loop);
        qCWarning(lcOutput) << "MIC: pw_stream_connect failed:" << spa_strerror(res);
        closeStream();
        setUnavailable(QStringLiteral("No microphone: PipeWire refused the stream"));
        return false;
    }
    timespec deadline;
    pw_thread_loop_get_time(m_loop, &deadline, qint64(kStreamReadyTimeoutMs) * 1000 * 1000);
    while (!m_streamReady.load() && !m_streamFailed.load() && !m_serverLost.load() &&
           !m_stopRequested.load()) {
        timespec slice;
        pw_thread_loop_get_time(m_loop, &slice, kWaitSliceNs);
        if (slice.tv_sec > deadline.tv_sec ||
            (slice.tv_sec == deadline.tv_sec && slice.tv_nsec >= deadline.tv_nsec))
            break;
        pw_thread_loop_timed_wait_full(m_loop, &slice);
    }
    pw_thread_loop_unlock(m_loop);

    if (!m_streamReady.load()) {
        if (!m_streamFailed.load() && !m_serverLost.load() && !m_stopRequested.load()) {
            qCWarning(lcOutput) << "MIC: stream not accepted in time:" << m_nodeName
                                << kStreamReadyTimeoutMs << "ms";
            closeStream();
            setUnavailable(QStringLiteral("No microphone: PipeWire did not take the stream"));
        }
        return false; // a failure or a lost server is handled by the next step
    }
    m_streamRate = rate;
    m_streamChannels = channels;
    m_streamUp = true;
    m_available = true;
    setUnavailable(QString());
    qCInfo(lcOutput) << "MIC: microphone started:" << m_nodeName << rate << "Hz" << channels
                     << "channels";
    return true;
}

void PipeWireMicrophone::closeStream()
{
    m_streamUp = false;
    m_available = false;
    m_streamRate = 0;
    m_streamChannels = 0;
    m_negotiatedFormat = 0;
    if (!m_stream)
        return;
    std::lock_guard<std::mutex> guard(m_controlLock);
    pw_thread_loop_lock(m_loop);
    spa_hook_remove(&m_listeners->stream);
    // Disconnects and waits for the data thread to let go of the stream.
    pw_stream_destroy(m_stream);
    m_stream = nullptr;
    pw_thread_loop_unlock(m_loop);
    m_streamReady = false;
    m_streamFailed = false;
}

void PipeWireMicrophone::disconnectServer()
{
    m_streamUp = false;
    m_available = false;
    m_streamRate = 0;
    m_streamChannels = 0;
    m_negotiatedFormat = 0;
    std::lock_guard<std::mutex> guard(m_controlLock);
    if (!m_loop)
        return;
    // Stop the loop first: with it no callback of ours runs while the objects go.
    pw_thread_loop_stop(m_loop);
    if (m_stream) {
        spa_hook_remove(&m_listeners->stream);
        pw_stream_destroy(m_stream);
        m_stream = nullptr;
    }
    if (m_core) {
        spa_hook_remove(&m_listeners->core);
        const int res = pw_core_disconnect(m_core);
        if (res < 0)
            qCWarning(lcOutput) << "MIC: pw_core_disconnect failed:" << spa_strerror(res);
        m_core = nullptr;
    }
    if (m_context) {
        pw_context_destroy(m_context);
        m_context = nullptr;
    }
    pw_thread_loop_destroy(m_loop);
    m_loop = nullptr;
    m_streamReady = false;
    m_streamFailed = false;
    m_serverLost = false;
}
