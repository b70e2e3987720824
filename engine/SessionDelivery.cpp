#include "engine/SessionDelivery.h"

#include "engine/EngineLog.h"
#include "engine/OutputSwitch.h"
#include "engine/PlayoutThread.h"
#include "engine/SessionTime.h"

SessionDelivery::~SessionDelivery()
{
    stop(true);
}

void SessionDelivery::start(const DeliveryPolicy::Session &session, FrameQueue &video,
                            FrameQueue &audio, SessionTimeline &timeline, DeliverySink &sink,
                            const std::atomic<bool> &stop, const OutputSwitch &output, int port,
                            const void *member)
{
    if (m_playout.load())
        return;
    m_port = port;
    m_policy = std::make_unique<DeliveryPolicy>(session, video, audio, timeline, sink);
    // Published before the pending flush is taken: a flush asked for meanwhile is seen by
    // one side or the other, never lost.
    m_policyView = m_policy.get();
    if (m_resetPending.exchange(false))
        m_policy->requestReset();

    // The thread ticks much faster than the frame rate: the policy's playout clock decides
    // when each picture is due, and a tick only bounds how late it can go out.
    DeliveryPolicy *policy = m_policy.get();
    auto *playout =
        new PlayoutThread(DeliveryPolicy::kTickMs, [policy, &stop, &output, member]() -> qint64 {
            if (stop)
                return 0;
            policy->setAudioOutputDelayMs(output.audioOutputDelayMs(member));
            const qint64 now = sessiontime::monotonicMs();
            policy->tick(now);
            // Waking 250 times a second costs more than the ticks themselves; until the next
            // frame can be due there is nothing to do.
            const qint64 idleUntil = policy->idleUntilMs(now);
            return qBound<qint64>(0, idleUntil - sessiontime::monotonicMs(), kMaxIdleMs);
        });
    playout->setObjectName(QStringLiteral("playout %1").arg(port));
    {
        std::lock_guard<std::mutex> locker(m_wakeLock);
        m_playout = playout;
    }
    m_queues[0] = &video;
    m_queues[1] = &audio;
    for (FrameQueue *queue : m_queues)
        queue->setWaker(&m_waker);
    // Inherits the decoding thread's time-critical priority and asks for it again itself.
    playout->start(QThread::InheritPriority);
}

void SessionDelivery::wakePlayout(void *delivery)
{
    auto *self = static_cast<SessionDelivery *>(delivery);
    std::lock_guard<std::mutex> locker(self->m_wakeLock);
    if (PlayoutThread *playout = self->m_playout.load())
        playout->wake();
}

bool SessionDelivery::stop(bool untilEnded)
{
    PlayoutThread *playout = m_playout.load();
    if (!playout)
        return true;
    playout->requestStop();
    const bool ended = untilEnded ? playout->wait() : playout->wait(kStopWaitMs);
    if (!ended) {
        qCWarning(lcEngine) << "can't stop delivery" << m_port;
        return false;
    }
    for (FrameQueue *&queue : m_queues) {
        if (queue)
            queue->setWaker(nullptr);
        queue = nullptr;
    }
    {
        std::lock_guard<std::mutex> locker(m_wakeLock);
        m_playout = nullptr;
    }
    delete playout;
    qCInfo(lcEngine) << "delivery stopped" << m_port;
    return true;
}

void SessionDelivery::requestReset()
{
    m_resetPending = true;
    if (DeliveryPolicy *policy = m_policyView.load(); policy && m_resetPending.exchange(false))
        policy->requestReset();
    wakePlayout(this);
}

void SessionDelivery::releaseBuffers()
{
    if (m_policy)
        m_policy->releaseBuffers();
}
