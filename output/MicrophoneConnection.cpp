#include "output/MicrophoneConnection.h"

#include "output/MicrophoneLog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

namespace {

std::once_flag g_pipeWireInit;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

timespec msToTimespec(int ms)
{
    timespec value;
    value.tv_sec = ms / 1000;
    value.tv_nsec = static_cast<long>(ms % 1000) * 1000 * 1000;
    return value;
}

} // namespace

struct MicrophoneConnection::Hooks
{
    spa_hook core;
    pw_core_events coreEvents;
};

MicrophoneConnection::MicrophoneConnection(std::function<void(bool)> step, int probeIntervalMs)
    : m_step(std::move(step)), m_probeIntervalMs(std::max(1, probeIntervalMs)),
      m_hooks(std::make_unique<Hooks>())
{
    std::memset(m_hooks.get(), 0, sizeof(Hooks));
    m_hooks->coreEvents.version = PW_VERSION_CORE_EVENTS;
    m_hooks->coreEvents.error = &MicrophoneConnection::onCoreError;

    std::call_once(g_pipeWireInit, [] { pw_init(nullptr, nullptr); });
    m_threadLoop = pw_thread_loop_new("quorvix-mic", nullptr);
    if (!m_threadLoop) {
        qCWarning(lcMicrophone) << "MIC: pw_thread_loop_new failed:" << errnoText(errno);
        return;
    }
    m_loop = pw_thread_loop_get_loop(m_threadLoop);
    // Added before the loop's thread runs, so without its lock.
    m_event = pw_loop_add_event(m_loop, &MicrophoneConnection::onEvent, this);
    m_timer = pw_loop_add_timer(m_loop, &MicrophoneConnection::onTimer, this);
    if (!m_event || !m_timer) {
        qCWarning(lcMicrophone) << "MIC: pw_loop_add_event/timer failed:" << errnoText(errno);
        if (m_event)
            pw_loop_destroy_source(m_loop, m_event);
        if (m_timer)
            pw_loop_destroy_source(m_loop, m_timer);
        m_event = m_timer = nullptr;
        pw_thread_loop_destroy(m_threadLoop);
        m_threadLoop = nullptr;
        m_loop = nullptr;
    }
}

MicrophoneConnection::~MicrophoneConnection()
{
    stop();
    if (!m_threadLoop)
        return;
    // The loop's thread is gone: what it used is torn down here.
    disconnect();
    if (m_context) {
        pw_context_destroy(m_context);
        m_context = nullptr;
    }
    pw_loop_destroy_source(m_loop, m_event);
    pw_loop_destroy_source(m_loop, m_timer);
    pw_thread_loop_destroy(m_threadLoop);
}

bool MicrophoneConnection::start()
{
    if (!m_threadLoop || m_started)
        return m_started;
    timespec interval = msToTimespec(m_probeIntervalMs);
    int res = pw_loop_update_timer(m_loop, m_timer, &interval, &interval, false);
    if (res < 0) {
        qCWarning(lcMicrophone) << "MIC: pw_loop_update_timer failed:" << spa_strerror(res);
        return false;
    }
    res = pw_thread_loop_start(m_threadLoop);
    if (res < 0) {
        qCWarning(lcMicrophone) << "MIC: pw_thread_loop_start failed:" << spa_strerror(res);
        return false;
    }
    m_started = true;
    requestStep();
    return true;
}

void MicrophoneConnection::stop()
{
    if (!m_started)
        return;
    pw_thread_loop_stop(m_threadLoop);
    m_started = false;
}

void MicrophoneConnection::requestStep()
{
    // An eventfd write: no lock, never waits for the loop.
    if (m_event) {
        const int res = pw_loop_signal_event(m_loop, m_event);
        if (res < 0)
            qCWarning(lcMicrophone) << "MIC: pw_loop_signal_event failed:" << spa_strerror(res);
    }
}

void MicrophoneConnection::onEvent(void *data, uint64_t)
{
    auto *self = static_cast<MicrophoneConnection *>(data);
    self->m_step(false);
}

void MicrophoneConnection::onTimer(void *data, uint64_t)
{
    auto *self = static_cast<MicrophoneConnection *>(data);
    self->m_step(true);
}

void MicrophoneConnection::onCoreError(void *data, uint32_t id, int seq, int res,
                                       const char *message)
{
    auto *self = static_cast<MicrophoneConnection *>(data);
    if (id != PW_ID_CORE) {
        qCDebug(lcMicrophone) << "MIC: PipeWire object error:" << id << seq << spa_strerror(res)
                              << message;
        return;
    }
    // A broken connection is EPIPE; any other error on the core leaves it unusable too. The core
    // cannot go inside its own callback: the next step disconnects it.
    if (res != -EPIPE)
        qCWarning(lcMicrophone) << "MIC: PipeWire core error:" << spa_strerror(res) << message;
    self->m_lost = true;
    self->requestStep();
}

MicrophoneConnection::Result MicrophoneConnection::connect(int *error)
{
    m_connectAttempts.fetch_add(1, std::memory_order_relaxed);
    if (!m_context) {
        m_context = pw_context_new(m_loop, nullptr, 0);
        if (!m_context) {
            *error = errno;
            qCWarning(lcMicrophone) << "MIC: pw_context_new failed:" << errnoText(*error);
            return Result::CouldNotStart;
        }
    }
    m_lost = false;
    // A local socket: it answers or fails at once.
    m_core = pw_context_connect(m_context, nullptr, 0);
    if (!m_core) {
        *error = errno;
        return Result::NoServer;
    }
    pw_core_add_listener(m_core, &m_hooks->core, &m_hooks->coreEvents, this);
    return Result::Connected;
}

void MicrophoneConnection::disconnect()
{
    m_lost = false;
    if (!m_core)
        return;
    spa_hook_remove(&m_hooks->core);
    const int res = pw_core_disconnect(m_core);
    if (res < 0)
        qCWarning(lcMicrophone) << "MIC: pw_core_disconnect failed:" << spa_strerror(res);
    m_core = nullptr;
}
