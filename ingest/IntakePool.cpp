#include "ingest/IntakePool.h"

#include <algorithm>

void IntakePool::add(Id id, Kind kind, int port)
{
    Entry entry;
    entry.kind = kind;
    entry.port = port;
    m_entries.insert(id, entry);
}

bool IntakePool::ready(Id id, qint64 nowMs)
{
    const auto it = m_entries.find(id);
    if (it == m_entries.end())
        return false;
    switch (it->state) {
    case State::Ended:
    case State::Retired:
        return false;
    case State::Ready:
        return true;
    case State::Starting:
    case State::Serving:
        // A serving intake whose camera never got through listens again.
        it->state = State::Ready;
        it->readySinceMs = nowMs;
        it->readyOrder = ++m_order;
        return true;
    }
    return false;
}

QList<IntakePool::Id> IntakePool::waiting(Kind kind) const
{
    QList<Id> ids;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->kind == kind && it->state == State::Ready)
            ids.append(it.key());
    }
    std::sort(ids.begin(), ids.end(), [this](Id a, Id b) {
        return m_entries.value(a).readyOrder < m_entries.value(b).readyOrder;
    });
    return ids;
}

IntakePool::Id IntakePool::take(Kind kind)
{
    const QList<Id> ids = waiting(kind);
    if (ids.isEmpty())
        return nullptr;
    m_entries[ids.first()].state = State::Serving;
    return ids.first();
}

int IntakePool::growBy() const
{
    return std::max(0, std::min(kGrow, kMaxLive - liveCount()));
}

IntakePool::Successor IntakePool::end(Id id, bool portUnavailable)
{
    Successor successor;
    const auto it = m_entries.find(id);
    if (it == m_entries.end() || it->state == State::Ended || it->state == State::Retired)
        return successor;
    it->state = State::Ended;
    successor.start = true;
    successor.samePort = !portUnavailable;
    return successor;
}

bool IntakePool::putBack(Id id, qint64 nowMs)
{
    const auto it = m_entries.find(id);
    if (it == m_entries.end() || it->state != State::Serving)
        return false;
    return ready(id, nowMs);
}

QList<IntakePool::Id> IntakePool::retireIdle(qint64 nowMs, qint64 idleMs)
{
    QList<Id> retired;
    for (Kind kind : {Kind::Rtmp, Kind::Srt}) {
        const QList<Id> ids = waiting(kind);
        int left = ids.size();
        for (Id id : ids) {
            if (left <= initialCount(kind))
                break;
            Entry &entry = m_entries[id];
            if (nowMs - entry.readySinceMs < idleMs)
                continue;
            entry.state = State::Retired;
            retired.append(id);
            --left;
        }
    }
    return retired;
}

QList<IntakePool::Id> IntakePool::retireAll()
{
    QList<Id> ids;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        it->state = State::Retired;
        ids.append(it.key());
    }
    return ids;
}

void IntakePool::remove(Id id)
{
    m_entries.remove(id);
}

IntakePool::State IntakePool::state(Id id) const
{
    return m_entries.value(id).state;
}

IntakePool::Kind IntakePool::kind(Id id) const
{
    return m_entries.value(id).kind;
}

int IntakePool::port(Id id) const
{
    return m_entries.value(id, Entry()).port;
}

int IntakePool::freeCount(Kind kind) const
{
    return int(std::count_if(m_entries.begin(), m_entries.end(), [kind](const Entry &entry) {
        return entry.kind == kind && entry.state == State::Ready;
    }));
}

QList<int> IntakePool::freePorts(Kind kind) const
{
    QList<int> ports;
    for (Id id : waiting(kind))
        ports.append(m_entries.value(id).port);
    return ports;
}

QList<int> IntakePool::ports() const
{
    QList<int> ports;
    for (const Entry &entry : m_entries)
        ports.append(entry.port);
    return ports;
}
