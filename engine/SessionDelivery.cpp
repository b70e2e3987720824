#include "engine/SessionDelivery.h"

#include "engine/EngineLog.h"
#include "engine/Generator.h"
#include "engine/OutputSwitch.h"
#include "engine/SessionTime.h"
#include "engine/Worker.h"

SessionDelivery::~SessionDelivery()
{
    stop(true);
}

void SessionDelivery::start(const DeliveryPolicy::Session &session, FrameQueue &video,
                            FrameQueue &audio, SessionTimeline &timeline, DeliverySink &sink,
                            const std::atomic<bool> &stop, const OutputSwitch &output, int port)
{
    if (m_clock.load())
        return;
    m_port = port;
    m_policy = std::make_unique<DeliveryPolicy>(session, video, audio, timeline, sink);
    // Published before the pending flush is taken: a flush asked for meanwhile is seen by
    // one side or the other, never lost.
    m_policyView = m_policy.get();
    if (m_resetPending.exchange(false))
        m_policy->requestReset();

    // The clock ticks much faster than the frame rate: the policy's playout clock decides
    // when each picture is due, and a tick only bounds how late it can go out.
    auto *clock = new Generator(DeliveryPolicy::kTickMs * 1000);
    clock->setObjectName(QStringLiteral("output clock %1").arg(port));
    DeliveryPolicy *policy = m_policy.get();
    auto *worker = new Worker(clock, [policy, &stop, &output]() -> qint64 {
        if (stop)
            return 0;
        policy->setAudioOutputDelayMs(output.audioOutputDelayMs());
        policy->tick(sessiontime::monotonicMs());
        return 0;
    });
    worker->setObjectName(QStringLiteral("delivery worker %1").arg(port));
    // Both inherit the decoding thread's time-critical priority and ask for it again themselves.
    worker->start(QThread::InheritPriority);
    clock->start(QThread::InheritPriority);
    m_clock = clock;
}

bool SessionDelivery::stop(bool untilEnded)
{
    Generator *clock = m_clock.load();
    if (!clock)
        return true;
    // The clock ends its worker on the way out (interruption, semaphore release, bounded wait).
    clock->requestStop();
    const bool ended = untilEnded ? clock->wait() : clock->wait(kStopWaitMs);
    if (untilEnded && clock->worker())
        clock->worker()->wait();
    if (!ended || !clock->workerEnded()) {
        qCWarning(lcEngine) << "can't stop delivery" << m_port;
        return false;
    }
    m_clock = nullptr;
    delete clock; // and its worker, a child
    qCInfo(lcEngine) << "delivery stopped" << m_port;
    return true;
}

void SessionDelivery::requestReset()
{
    m_resetPending = true;
    if (DeliveryPolicy *policy = m_policyView.load(); policy && m_resetPending.exchange(false))
        policy->requestReset();
}

void SessionDelivery::releaseBuffers()
{
    if (m_policy)
        m_policy->releaseBuffers();
}
