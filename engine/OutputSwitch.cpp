#include "engine/OutputSwitch.h"

#include "engine/EngineLog.h"
#include "engine/OutputSink.h"

#include <algorithm>

OutputSwitch::OutputSwitch(OutputSink *sink)
{
    // A null sink still makes one output: its owner's frames are taken and discarded.
    reconfigure(std::vector<OutputSink *>{sink}, Mode::NewestOwnsOne);
}

OutputSwitch::OutputSwitch(const std::vector<OutputSink *> &sinks, Mode mode)
{
    reconfigure(sinks, mode);
}

void OutputSwitch::reconfigure(const std::vector<OutputSink *> &sinks, Mode mode)
{
    std::lock_guard<std::mutex> locker(m_lock);
    const int count = std::min<int>(static_cast<int>(sinks.size()), kMaxOutputs);
    for (int i = 0; i < kMaxOutputs; ++i) {
        Output &output = m_outputs[static_cast<size_t>(i)];
        // Waits for a send under way to the old output.
        std::lock_guard<std::mutex> guard(output.lock);
        output.owner = nullptr;
        output.announced = false;
        output.sink = i < count ? sinks[static_cast<size_t>(i)] : nullptr;
    }
    m_count = count;
    m_assignment = WebcamAssignment(mode, count);
    for (const Entry &entry : m_sessions)
        m_assignment.join(entry.session, entry.admission);
    applyAssignment_Locked();
}

quint64 OutputSwitch::nextAdmission()
{
    return m_admissions.fetch_add(1) + 1;
}

OutputSwitch::Mode OutputSwitch::mode() const
{
    std::lock_guard<std::mutex> locker(m_lock);
    return m_assignment.mode();
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
    m_assignment.join(session, admission);
    applyAssignment_Locked();
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
    m_assignment.leave(session);
    applyAssignment_Locked();
}

const OutputSwitch::Entry *OutputSwitch::entry_Locked(const void *session) const
{
    for (const Entry &entry : m_sessions) {
        if (entry.session == session)
            return &entry;
    }
    return nullptr;
}

void OutputSwitch::applyAssignment_Locked()
{
    for (int i = 0; i < m_count.load(); ++i) {
        Output &output = m_outputs[static_cast<size_t>(i)];
        const void *owner = m_assignment.ownerOf(i);
        if (owner == output.owner.load())
            continue;
        std::lock_guard<std::mutex> guard(output.lock);
        output.owner = owner;
        if (!output.sink)
            continue;
        if (const Entry *entry = entry_Locked(owner)) {
            qCInfo(lcEngine) << "-- output" << i + 1 << "taken by a session";
            output.sink->setFrameRate(entry->rateNum, entry->rateDen);
            // The output learns of the new owner with its first frame: until then the card
            // (or the previous owner's last picture) stays.
            output.announced = false;
        } else {
            qCInfo(lcEngine) << "-- output" << i + 1 << "back to the card";
            output.sink->setStreamLive(false);
        }
    }
}

int OutputSwitch::outputOf(const void *session) const
{
    if (!session)
        return -1;
    const int count = m_count.load();
    for (int i = 0; i < count; ++i) {
        if (m_outputs[static_cast<size_t>(i)].owner.load() == session)
            return i;
    }
    return -1;
}

const void *OutputSwitch::ownerOf(int output) const
{
    return output >= 0 && output < m_count.load()
               ? m_outputs[static_cast<size_t>(output)].owner.load()
               : nullptr;
}

std::vector<const void *> OutputSwitch::waiting() const
{
    std::lock_guard<std::mutex> locker(m_lock);
    return m_assignment.waiting();
}

int OutputSwitch::audioOutputDelayMs(const void *session) const
{
    // Never waits: an output's lock may be held by another camera's send or by a change.
    const auto delayOf = [](Output &output) {
        std::unique_lock<std::mutex> guard(output.lock, std::try_to_lock);
        if (guard.owns_lock())
            output.lastAudioDelayMs = output.sink ? output.sink->audioOutputDelayMs() : 0;
        return output.lastAudioDelayMs.load();
    };
    if (const int index = session ? outputOf(session) : -1; index >= 0)
        return delayOf(m_outputs[static_cast<size_t>(index)]);
    int largest = 0;
    const int count = m_count.load();
    for (int i = 0; i < count; ++i)
        largest = std::max(largest, delayOf(m_outputs[static_cast<size_t>(i)]));
    return largest;
}

bool OutputSwitch::send(const void *session, const OutputFrame &frame)
{
    // Sessions that do not own an output are turned away without touching a lock.
    const int index = outputOf(session);
    if (index < 0)
        return false;
    Output &output = m_outputs[static_cast<size_t>(index)];
    std::lock_guard<std::mutex> guard(output.lock);
    if (output.owner.load() != session)
        return false;
    if (!output.sink)
        return true;
    if (!output.announced) {
        output.announced = true;
        output.sink->setStreamLive(true);
    }
    output.sink->sendFrame(frame);
    return true;
}
