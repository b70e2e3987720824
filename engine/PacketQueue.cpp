#include "engine/PacketQueue.h"

#include "engine/EngineLog.h"

PacketQueue::PacketQueue(size_t bound, const char *name) : m_bound(bound), m_name(name) {}

bool PacketQueue::push(AVPacketPtr packet)
{
    {
        std::lock_guard<std::mutex> locker(m_lock);
        if (m_packets.size() < m_bound) {
            m_packets.push_back(std::move(packet));
            m_wake.notify_one();
            return true;
        }
    }
    if (m_drops.count())
        qCWarning(lcEngine) << "-- WARN: decoder behind, packet dropped" << m_name
                            << m_drops.total();
    return false;
}

AVPacketPtr PacketQueue::take()
{
    std::unique_lock<std::mutex> locker(m_lock);
    m_wake.wait(locker, [this] { return m_stopping || !m_packets.empty(); });
    if (m_stopping)
        return nullptr;
    AVPacketPtr packet = std::move(m_packets.front());
    m_packets.pop_front();
    return packet;
}

void PacketQueue::requestStop()
{
    std::lock_guard<std::mutex> locker(m_lock);
    m_stopping = true;
    m_wake.notify_all();
}

void PacketQueue::clear()
{
    std::lock_guard<std::mutex> locker(m_lock);
    m_packets.clear();
}

size_t PacketQueue::size() const
{
    std::lock_guard<std::mutex> locker(m_lock);
    return m_packets.size();
}
