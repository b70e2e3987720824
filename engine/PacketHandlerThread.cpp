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
    std::lock_guard<std::mutex> locker(m_mutex);
    m_pending = true;
    m_wake.notify_one();
}

void PacketHandlerThread::requestStop()
{
    m_stopRequested = true;
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
            std::unique_lock<std::mutex> locker(m_mutex);
            m_wake.wait(locker, [this] { return m_pending || m_stopRequested.load(); });
            if (m_stopRequested)
                return;
            m_pending = false;
        }
        if (m_kind == kKindVideo)
            m_manager->decodeVideoPackets();
        else
            m_manager->decodeAudioPackets();
    }
}
