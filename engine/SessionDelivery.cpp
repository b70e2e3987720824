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
                            const std::atomic<bool> &stop, const OutputSwitch &output, int port)
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
        new PlayoutThread(DeliveryPolicy::kTickMs, [policy, &stop, &output]() -> qint64 {
            if (stop)
                return 0;
            policy->setAudioOutputDelayMs(output.audioOutputDelayMs());
            policy->tick(sessiontime::monotonicMs());
            return 0;
        });
    playout->setObjectName(QStringLiteral("playout %1").arg(port));
    // Inherits the decoding thread's time-critical priority and asks for it again itself.
    playout->start(QThread::InheritPriority);
    m_playout = playout;
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
    m_playout = nullptr;
    delete playout;
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
