#include "engine/HeldPackets.h"

bool HeldPackets::reserve()
{
    if (!m_slots.empty())
        return true;
    m_slots.reserve(kMaxPackets);
    for (int i = 0; i < kMaxPackets; ++i) {
        AVPacketPtr slot(av_packet_alloc());
        if (!slot) {
            m_slots.clear();
            return false;
        }
        m_slots.push_back(std::move(slot));
    }
    return true;
}

bool HeldPackets::hold(AVPacket *packet)
{
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (key)
        clear();
    else if (m_count == 0)
        return false;
    if (m_count >= kMaxPackets || m_bytes + packet->size > kMaxBytes) {
        // A keyframe alone beyond the bound is not kept either.
        clear();
        ++m_overflows;
        return false;
    }
    if (!reserve())
        return false;
    av_packet_move_ref(m_slots[size_t(m_count)].get(), packet);
    ++m_count;
    m_bytes += m_slots[size_t(m_count - 1)]->size;
    return true;
}

void HeldPackets::clear()
{
    for (int i = 0; i < m_count; ++i)
        av_packet_unref(m_slots[size_t(i)].get());
    m_count = 0;
    m_bytes = 0;
}

void HeldPackets::release()
{
    clear();
    m_slots.clear();
    m_slots.shrink_to_fit();
}
