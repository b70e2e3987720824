#include "engine/FrameQueue.h"

#include "engine/EngineLog.h"
#include "engine/SessionTime.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include <cstring>
#include <limits>
#include <new>

namespace {

// Copies rows of `bytes` bytes from a plane with line size `from` into rows of line size `to`.
void copyRows(uchar *destination, int to, const uint8_t *source, int from, int bytes, int rows)
{
    for (int row = 0; row < rows; ++row)
        std::memcpy(destination + qint64(row) * to, source + qint64(row) * from, bytes);
}

} // namespace

FrameQueue::FrameQueue(int kind) : m_kind(kind)
{
    m_records.reserve(64);
}

FrameQueue::~FrameQueue() = default;

bool FrameQueue::allocateBlocks(int count, int blockSize, qint64 maxGrowBytes)
{
    if (count <= 0 || blockSize <= 0 || maxGrowBytes < 0)
        return false;
    std::lock_guard<std::mutex> locker(m_freeMutex);
    if (!m_blocks.empty() && blockSize != m_blockSize) {
        qCWarning(lcEngine) << "-- WARN: block pool keeps its block size" << m_blockSize << "not"
                            << blockSize;
        return false;
    }
    const bool first = m_blocks.empty();
    if (first)
        m_maxGrowBytes = maxGrowBytes;
    m_blockSize = blockSize;
    m_blocks.reserve(m_blocks.size() + count);
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<uchar[]> block(new (std::nothrow) uchar[blockSize]);
        if (!block) {
            qCWarning(lcEngine) << "-- WARN: cannot allocate memory block of" << blockSize
                                << "bytes";
            if (first)
                m_initialBytes = m_poolBytes;
            return i > 0;
        }
        m_freeBlocks.append(block.get());
        m_blocks.push_back(std::move(block));
        m_poolBytes += blockSize;
    }
    // Later calls add blocks the producer asked for on purpose; the growth bound stays at
    // what the first call gave.
    if (first)
        m_initialBytes = m_poolBytes;
    return true;
}

qint64 FrameQueue::poolBoundBytes() const
{
    std::lock_guard<std::mutex> locker(m_freeMutex);
    return qMax(m_poolBytes, m_initialBytes + m_maxGrowBytes);
}

int FrameQueue::videoBytes(const AVFrame *frame, int *stride, bool *ownLineSizes)
{
    if (frame->format != AV_PIX_FMT_YUV420P || frame->width <= 0 || frame->height <= 0 ||
        !frame->data[0] || !frame->data[1] || !frame->data[2])
        return -1;
    const int width = frame->width;
    const int height = frame->height;
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    const int *lines = frame->linesize;
    // Readers of a record know only the luma line size and take half of it for chroma rows.
    const bool own = lines[0] >= width && lines[1] >= chromaWidth && lines[1] == lines[2] &&
                     lines[0] == 2 * lines[1];
    const int luma = own ? lines[0] : (width + 1) & ~1;
    const qint64 bytes = qint64(luma) * height + 2 * qint64(luma / 2) * chromaHeight;
    if (bytes > std::numeric_limits<int>::max())
        return -1;
    if (stride)
        *stride = luma;
    if (ownLineSizes)
        *ownLineSizes = own;
    return int(bytes);
}

bool FrameQueue::takeFreeBlock(uchar **block)
{
    std::lock_guard<std::mutex> locker(m_freeMutex);
    if (m_freeBlocks.isEmpty()) {
        if (m_blockSize <= 0)
            return false;
        const qint64 bound = m_initialBytes + m_maxGrowBytes;
        const int room = int(qMin<qint64>(kGrowBlocks, (bound - m_poolBytes) / m_blockSize));
        if (room <= 0)
            return false;
        qCDebug(lcEngine) << "-- WARN: need additional memory blocks";
        for (int i = 0; i < room; ++i) {
            std::unique_ptr<uchar[]> fresh(new (std::nothrow) uchar[m_blockSize]);
            if (!fresh)
                break;
            m_freeBlocks.append(fresh.get());
            m_blocks.push_back(std::move(fresh));
            m_poolBytes += m_blockSize;
        }
        if (m_freeBlocks.isEmpty())
            return false;
    }
    // The most recently returned block: its pages are mapped and likely still cached.
    *block = m_freeBlocks.takeLast();
    return true;
}

void FrameQueue::recycle(uchar *block)
{
    if (!block)
        return;
    std::lock_guard<std::mutex> locker(m_freeMutex);
    m_freeBlocks.append(block);
}

void FrameQueue::countDrop(const char *reason)
{
    // A broken stream can fail every frame: a line now and then, not one per frame.
    if (m_drops.count())
        qCWarning(lcEngine) << "-- WARN: frame dropped:" << reason << "kind" << m_kind << "dropped"
                            << m_drops.total();
}

bool FrameQueue::push(const AVFrame *frame, qint64 timestamp, double durationMs, qint64 arrivalMs)
{
    FrameRecord record;
    record.timestamp = timestamp;
    record.arrivalMs = arrivalMs >= 0 ? arrivalMs : sessiontime::monotonicMs();
    int stride = 0;
    bool ownLineSizes = false;
    int channels = 0;

    if (m_kind == kKindVideo) {
        record.size = videoBytes(frame, &stride, &ownLineSizes);
        if (record.size < 0) {
            countDrop("not a YUV420P picture");
            return false;
        }
        // Packed rows are the smallest layout: a picture with wide padding may still fit so.
        const int blockSize = this->blockSize();
        if (record.size > blockSize && ownLineSizes) {
            stride = (frame->width + 1) & ~1;
            ownLineSizes = false;
            record.size = stride * frame->height + 2 * (stride / 2) * ((frame->height + 1) / 2);
        }
        if (record.size > blockSize) {
            countDrop("picture larger than its block");
            return false;
        }
        record.stride = stride;
        record.durationMs = durationMs;
    } else {
        channels = frame->ch_layout.nb_channels;
        const bool planarFloat = frame->format == AV_SAMPLE_FMT_FLTP ||
                                 (frame->format == AV_SAMPLE_FMT_FLT && channels == 1);
        if (!planarFloat || channels <= 0 || frame->nb_samples <= 0 || frame->sample_rate <= 0 ||
            !frame->extended_data) {
            countDrop("not planar float audio");
            return false;
        }
        const qint64 bytes = qint64(channels) * frame->nb_samples * 4;
        if (bytes > blockSize()) {
            countDrop("audio frame larger than its block");
            return false;
        }
        record.size = int(bytes);
        record.durationMs = frame->nb_samples * 1000.0 / frame->sample_rate;
        record.sampleRate = frame->sample_rate;
        record.channels = channels;
        record.samples = frame->nb_samples;
    }

    if (!takeFreeBlock(&record.block)) {
        countDrop("block pool exhausted");
        return false;
    }

    // The copy runs outside both mutexes so the consumer is never held up by a large picture.
    uchar *out = record.block;
    if (m_kind == kKindVideo) {
        const int height = frame->height;
        const int chromaHeight = (height + 1) / 2;
        if (ownLineSizes) {
            // Whole planes, line padding included: one copy per plane.
            const qint64 luma = qint64(frame->linesize[0]) * height;
            const qint64 chroma = qint64(frame->linesize[1]) * chromaHeight;
            std::memcpy(out, frame->data[0], luma);
            std::memcpy(out + luma, frame->data[1], chroma);
            std::memcpy(out + luma + chroma, frame->data[2], chroma);
        } else {
            const int half = stride / 2;
            const int chromaWidth = (frame->width + 1) / 2;
            copyRows(out, stride, frame->data[0], frame->linesize[0], frame->width, height);
            uchar *u = out + qint64(stride) * height;
            uchar *v = u + qint64(half) * chromaHeight;
            copyRows(u, half, frame->data[1], frame->linesize[1], chromaWidth, chromaHeight);
            copyRows(v, half, frame->data[2], frame->linesize[2], chromaWidth, chromaHeight);
        }
    } else {
        const int channelBytes = frame->nb_samples * 4;
        for (int channel = 0; channel < channels; ++channel)
            std::memcpy(out + qint64(channel) * channelBytes, frame->extended_data[channel],
                        channelBytes);
    }

    std::lock_guard<std::mutex> locker(m_recordsMutex);
    m_bufferedMs.store(m_bufferedMs.load(std::memory_order_relaxed) + record.durationMs,
                       std::memory_order_relaxed);
    m_records.append(record);
    return true;
}

bool FrameQueue::popIfDue(FrameRecord &out, qint64 limit)
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    if (m_records.isEmpty() || m_records.first().timestamp > limit)
        return false;
    out = m_records.takeFirst();
    m_bufferedMs.store(m_bufferedMs.load(std::memory_order_relaxed) - out.durationMs,
                       std::memory_order_relaxed);
    return true;
}

bool FrameQueue::peekOldest(FrameRecord &out) const
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    if (m_records.isEmpty())
        return false;
    out = m_records.first();
    return true;
}

qint64 FrameQueue::frontTimestamp() const
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    return m_records.isEmpty() ? std::numeric_limits<qint64>::max() : m_records.first().timestamp;
}

int FrameQueue::arrivalsAfter(qint64 after, qint64 *timestamps, qint64 *arrivals, int max) const
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    int first = m_records.size();
    while (first > 0 && m_records.at(first - 1).timestamp > after && m_records.size() - first < max)
        --first;
    int written = 0;
    for (int i = first; i < m_records.size(); ++i, ++written) {
        timestamps[written] = m_records.at(i).timestamp;
        arrivals[written] = m_records.at(i).arrivalMs;
    }
    return written;
}

bool FrameQueue::visitOldest(const std::function<void(const FrameRecord &)> &visit) const
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    if (m_records.isEmpty())
        return false;
    visit(m_records.first());
    return true;
}

void FrameQueue::dropOldest()
{
    FrameRecord record;
    {
        std::lock_guard<std::mutex> locker(m_recordsMutex);
        if (m_records.isEmpty())
            return;
        record = m_records.takeFirst();
        m_bufferedMs.store(m_bufferedMs.load(std::memory_order_relaxed) - record.durationMs,
                           std::memory_order_relaxed);
    }
    recycle(record.block);
}

int FrameQueue::trimBefore(qint64 timestamp)
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    int removed = 0;
    while (!m_records.isEmpty() && m_records.first().timestamp < timestamp) {
        const FrameRecord record = m_records.takeFirst();
        m_bufferedMs.store(m_bufferedMs.load(std::memory_order_relaxed) - record.durationMs,
                           std::memory_order_relaxed);
        recycle(record.block);
        ++removed;
    }
    return removed;
}

void FrameQueue::clear()
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    for (const FrameRecord &record : qAsConst(m_records))
        recycle(record.block);
    m_records.resize(0); // keeps the capacity
    m_bufferedMs.store(0.0, std::memory_order_relaxed);
}

void FrameQueue::release(const FrameRecord &record)
{
    recycle(record.block);
}

void FrameQueue::releaseBlocks()
{
    std::lock_guard<std::mutex> recordsLocker(m_recordsMutex);
    std::lock_guard<std::mutex> freeLocker(m_freeMutex);
    m_records.clear();
    m_records.squeeze();
    m_bufferedMs.store(0.0, std::memory_order_relaxed);
    m_freeBlocks.clear();
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_blockSize = 0;
    m_poolBytes = 0;
    m_initialBytes = 0;
    m_maxGrowBytes = kMaxGrowBytes;
}

int FrameQueue::count() const
{
    std::lock_guard<std::mutex> locker(m_recordsMutex);
    return m_records.size();
}

int FrameQueue::blockSize() const
{
    std::lock_guard<std::mutex> locker(m_freeMutex);
    return m_blockSize;
}

int FrameQueue::blockCount() const
{
    std::lock_guard<std::mutex> locker(m_freeMutex);
    return int(m_blocks.size());
}

int FrameQueue::freeBlockCount() const
{
    std::lock_guard<std::mutex> locker(m_freeMutex);
    return m_freeBlocks.size();
}
