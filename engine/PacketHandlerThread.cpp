#include "engine/PacketHandlerThread.h"

#include "engine/PacketQueue.h"

PacketHandlerThread::PacketHandlerThread(PacketQueue &queue, Handler handler, const QString &name)
    : m_queue(queue), m_handler(std::move(handler))
{
    setObjectName(name);
}

PacketHandlerThread::~PacketHandlerThread()
{
    requestStop();
    wait();
}

void PacketHandlerThread::requestStop()
{
    m_stopRequested = true;
    requestInterruption();
    m_queue.requestStop();
}

void PacketHandlerThread::run()
{
    // Refused without the right to raise priority; decoding then runs at normal priority.
    setPriority(QThread::TimeCriticalPriority);
    while (!m_stopRequested.load()) {
        AVPacketPtr packet = m_queue.take();
        if (!packet || m_stopRequested.load())
            return;
        m_handler(packet.get());
    }
}
