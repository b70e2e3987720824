#include "engine/PacketHandlerThread.h"

#include "engine/StreamManager.h"

PacketHandlerThread::PacketHandlerThread(StreamManager *manager, int kind)
    : m_manager(manager), m_kind(kind)
{
    setObjectName(kind == kKindVideo ? QStringLiteral("video decoder")
                                     : QStringLiteral("audio decoder"));
}

PacketHandlerThread::~PacketHandlerThread()
{
    requestStop();
    wait();
}

void PacketHandlerThread::wake()
{
    QMutexLocker locker(&m_mutex);
    m_pending = true;
    m_wake.wakeOne();
}

void PacketHandlerThread::requestStop()
{
    requestInterruption();
    wake();
}

void PacketHandlerThread::run()
{
    QThread::currentThread()->setPriority(QThread::TimeCriticalPriority);
    for (;;) {
        {
            // The flag is tested under the same mutex the wakers take, so neither a packet
            // nor a stop request can slip in between the test and the wait.
            QMutexLocker locker(&m_mutex);
            while (!m_pending && !isInterruptionRequested())
                m_wake.wait(&m_mutex);
            if (isInterruptionRequested())
                return;
            m_pending = false;
        }
        if (m_kind == kKindVideo)
            m_manager->decodeVideoPackets();
        else
            m_manager->decodeAudioPackets();
    }
}
