#include "engine/FrameQueue.h"

#include "engine/EngineLog.h"
#include "engine/SessionTime.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <limits>

FrameQueue::FrameQueue(int kind) : m_kind(kind) {}

FrameQueue::~FrameQueue() = default;

bool FrameQueue::setBudget(qint64 maxBytes, int maxFrames)
{
    if (maxBytes <= 0 || maxFrames <= 0)
        return false;
    std::lock_guard<std::mutex> locker(m_mutex);
    if (m_count > 0) {
        qCWarning(lcEngine) << "-- WARN: queue keeps its budget while it holds frames" << m_kind;
        return false;
    }
    if (capacity_Locked() != maxFrames) {
        std::vector<Slot> fresh(static_cast<size_t>(maxFrames));
        for (Slot &slot : fresh) {
            slot.frame.reset(av_frame_alloc());
            if (!slot.frame) {
                qCWarning(lcEngine) << "-- WARN: cannot allocate" << maxFrames << "frame slots";
                return false;
            }
        }
        m_slots = std::move(fresh);
        m_head = 0;
    }
    m_maxBytes = maxBytes;
    return true;
}

qint64 FrameQueue::budgetBytes() const
{
    return m_maxBytes.load();
}

int FrameQueue::maxFrames() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return capacity_Locked();
}

qint64 FrameQueue::frameBytes(const AVFrame *frame)
{
    qint64 bytes = 0;
    for (const AVBufferRef *buffer : frame->buf)
        if (buffer)
            bytes += qint64(buffer->size);
    for (int i = 0; i < frame->nb_extended_buf; ++i)
        if (frame->extended_buf[i])
            bytes += qint64(frame->extended_buf[i]->size);
    return bytes;
}

void FrameQueue::countDrop(const char *reason)
{
    // A broken stream can fail every frame: a line now and then, not one per frame.
    if (m_drops.count())
        qCWarning(lcEngine) << "-- WARN: frame dropped:" << reason << "kind" << m_kind << "dropped"
                            << m_drops.total();
}

bool FrameQueue::push(AVFrame *frame, qint64 timestamp, double durationMs, qint64 arrivalMs)
{
    FrameRecord record;
    record.timestamp = timestamp;
    record.arrivalMs =
        arrivalMs == kArrivalNow ? sessiontime::monotonicMs() : qMax<qint64>(-1, arrivalMs);
    record.durationMs = durationMs;
    if (m_kind == kKindVideo) {
        if (frame->width <= 0 || frame->height <= 0 || frame->format < 0 || !frame->data[0]) {
            av_frame_unref(frame);
            countDrop("not a picture");
            return false;
        }
    } else {
        const int channels = frame->ch_layout.nb_channels;
        const bool planarFloat = frame->format == AV_SAMPLE_FMT_FLTP ||
                                 (frame->format == AV_SAMPLE_FMT_FLT && channels == 1);
        if (!planarFloat || channels <= 0 || frame->nb_samples <= 0 || frame->sample_rate <= 0 ||
            !frame->extended_data || !frame->extended_data[0]) {
            av_frame_unref(frame);
            countDrop("not planar float audio");
            return false;
        }
        record.durationMs = frame->nb_samples * 1000.0 / frame->sample_rate;
        record.sampleRate = frame->sample_rate;
        record.channels = channels;
        record.samples = frame->nb_samples;
    }

    // The slot after the newest: pops move the head and the count together, so its index
    // stays while the consumer works, and no pop touches it.
    Slot *slot = nullptr;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_count < capacity_Locked())
            slot = &m_slots[size_t((m_head + m_count) % capacity_Locked())];
    }
    if (!slot) {
        av_frame_unref(frame);
        countDrop(m_maxBytes.load() == 0 ? "queue has no budget" : "queue full");
        return false;
    }
    AVFrame *held = slot->frame.get();
    if (frame->buf[0]) {
        av_frame_move_ref(held, frame);
    } else {
        // Someone else's memory, valid only for this call: the one copy it needs.
        const int result = av_frame_ref(held, frame);
        av_frame_unref(frame);
        if (result < 0) {
            countDrop("frame not copied");
            return false;
        }
    }
    record.frame = held;
    record.bytes = frameBytes(held);

    std::unique_lock<std::mutex> locker(m_mutex);
    if (m_queuedBytes.load(std::memory_order_relaxed) + record.bytes > m_maxBytes.load()) {
        av_frame_unref(held);
        locker.unlock();
        countDrop("queue over its budget");
        return false;
    }
    slot->record = record;
    const bool wasEmpty = m_count++ == 0;
    m_queuedBytes.store(m_queuedBytes.load(std::memory_order_relaxed) + record.bytes,
                        std::memory_order_relaxed);
    m_bufferedMs.store(m_bufferedMs.load(std::memory_order_relaxed) + record.durationMs,
                       std::memory_order_relaxed);
    locker.unlock();
    // Only the first frame can be due before what the consumer already waits for: the others
    // queue behind it.
    if (const Waker *waker = m_waker.load(); wasEmpty && waker && waker->wake)
        waker->wake(waker->context);
    return true;
}

FrameQueue::Slot &FrameQueue::takeOldest_Locked()
{
    Slot &slot = m_slots[size_t(m_head)];
    m_head = (m_head + 1) % capacity_Locked();
    --m_count;
    m_queuedBytes.store(m_queuedBytes.load(std::memory_order_relaxed) - slot.record.bytes,
                        std::memory_order_relaxed);
    m_bufferedMs.store(m_bufferedMs.load(std::memory_order_relaxed) - slot.record.durationMs,
                       std::memory_order_relaxed);
    if (m_count == 0) {
        // No rounding left behind by many additions and subtractions.
        m_bufferedMs.store(0.0, std::memory_order_relaxed);
    }
    return slot;
}

bool FrameQueue::popIfDue(FrameRecord &out, qint64 limit, AVFrame *into)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    if (m_count == 0 || slotAt_Locked(0).record.timestamp > limit)
        return false;
    Slot &slot = takeOldest_Locked();
    av_frame_unref(into);
    av_frame_move_ref(into, slot.frame.get());
    out = slot.record;
    out.frame = into;
    return true;
}

bool FrameQueue::peekOldest(FrameRecord &out) const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    if (m_count == 0)
        return false;
    out = slotAt_Locked(0).record;
    return true;
}

qint64 FrameQueue::frontTimestamp() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_count == 0 ? std::numeric_limits<qint64>::max() : slotAt_Locked(0).record.timestamp;
}

int FrameQueue::arrivalsAfter(qint64 after, qint64 *timestamps, qint64 *arrivals, int max) const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    int first = m_count;
    while (first > 0 && slotAt_Locked(first - 1).record.timestamp > after && m_count - first < max)
        --first;
    int written = 0;
    for (int i = first; i < m_count; ++i, ++written) {
        timestamps[written] = slotAt_Locked(i).record.timestamp;
        arrivals[written] = slotAt_Locked(i).record.arrivalMs;
    }
    return written;
}

bool FrameQueue::visitOldest(const std::function<void(const FrameRecord &)> &visit) const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    if (m_count == 0)
        return false;
    visit(slotAt_Locked(0).record);
    return true;
}

void FrameQueue::dropOldest()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    if (m_count > 0)
        av_frame_unref(takeOldest_Locked().frame.get());
}

int FrameQueue::trimBefore(qint64 timestamp)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    int removed = 0;
    while (m_count > 0 && slotAt_Locked(0).record.timestamp < timestamp) {
        av_frame_unref(takeOldest_Locked().frame.get());
        ++removed;
    }
    return removed;
}

void FrameQueue::clear()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    while (m_count > 0)
        av_frame_unref(takeOldest_Locked().frame.get());
}

void FrameQueue::releaseFrames()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    // Freeing the slots lets every frame they still reference go.
    m_slots = std::vector<Slot>();
    m_head = 0;
    m_count = 0;
    m_queuedBytes.store(0, std::memory_order_relaxed);
    m_bufferedMs.store(0.0, std::memory_order_relaxed);
    m_maxBytes = 0;
}

int FrameQueue::count() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_count;
}
