#include "engine/OutputSwitch.h"

#include "engine/EngineLog.h"
#include "engine/OutputSink.h"

#include <algorithm>

OutputSwitch::OutputSwitch(OutputSink *sink) : m_sink(sink) {}

quint64 OutputSwitch::nextAdmission()
{
    return m_admissions.fetch_add(1) + 1;
}

void OutputSwitch::join(const void *session, quint64 admission, int rateNum, int rateDen)
{
    std::lock_guard<std::mutex> locker(m_lock);
    auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                           [session](const Entry &entry) { return entry.session == session; });
    if (it != m_sessions.end())
        *it = Entry{session, admission, rateNum, rateDen};
    else
        m_sessions.push_back(Entry{session, admission, rateNum, rateDen});
    chooseOwner_Locked();
}

void OutputSwitch::leave(const void *session)
{
    std::lock_guard<std::mutex> locker(m_lock);
    const auto it =
        std::remove_if(m_sessions.begin(), m_sessions.end(),
                       [session](const Entry &entry) { return entry.session == session; });
    if (it == m_sessions.end())
        return;
    m_sessions.erase(it, m_sessions.end());
    chooseOwner_Locked();
}

void OutputSwitch::chooseOwner_Locked()
{
    const auto newest =
        std::max_element(m_sessions.begin(), m_sessions.end(),
                         [](const Entry &a, const Entry &b) { return a.admission < b.admission; });
    const void *owner = newest == m_sessions.end() ? nullptr : newest->session;
    if (owner == m_owner.load())
        return;
    m_owner = owner;
    if (!m_sink)
        return;
    if (owner) {
        qCInfo(lcEngine) << "-- output taken by session" << newest->admission;
        m_sink->setFrameRate(newest->rateNum, newest->rateDen);
        // The output learns of the new owner with its first frame: until then the card (or
        // the previous owner's last picture) stays.
        m_ownerAnnounced = false;
    } else {
        qCInfo(lcEngine) << "-- output back to the card";
        m_sink->setStreamLive(false);
    }
}

bool OutputSwitch::send(const void *session, const OutputFrame &frame)
{
    // Sessions that do not own the output are turned away without touching the lock.
    if (m_owner.load() != session)
        return false;
    std::lock_guard<std::mutex> locker(m_lock);
    if (m_owner.load() != session)
        return false;
    if (!m_sink)
        return true;
    if (!m_ownerAnnounced) {
        m_ownerAnnounced = true;
        m_sink->setStreamLive(true);
    }
    m_sink->sendFrame(frame);
    return true;
}
