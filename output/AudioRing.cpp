#include "output/AudioRing.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

int framesForMs(int sampleRate, int ms)
{
    return static_cast<int>(static_cast<qint64>(sampleRate) * ms / 1000);
}

} // namespace

AudioRing::AudioRing(int sampleRate, int channels)
    : m_sampleRate(std::clamp(sampleRate, 1, 384000)), m_channels(std::clamp(channels, 1, 8)),
      m_reserveFrames(std::max(1, framesForMs(m_sampleRate, kReserveMs))),
      m_jitterFrames(framesForMs(m_sampleRate, kJitterMs)),
      m_aheadFrames(std::max(1, framesForMs(m_sampleRate, kMaxAheadMs))),
      m_headroomFrames(framesForMs(m_sampleRate, kQuantumHeadroomMs)),
      m_capacityFrames(
          std::max(m_reserveFrames + m_aheadFrames + 1, framesForMs(m_sampleRate, kStorageMs))),
      m_storage(static_cast<size_t>(m_capacityFrames) * static_cast<size_t>(m_channels)),
      m_primeFrames(m_reserveFrames)
{
}

int AudioRing::write(const qint16 *samples, int frames)
{
    if (!samples || frames <= 0)
        return 0;
    // More than the whole storage in one go: only the newest part can ever play.
    if (frames > m_capacityFrames) {
        m_framesTrimmed.fetch_add(frames - m_capacityFrames, std::memory_order_relaxed);
        samples += static_cast<size_t>(frames - m_capacityFrames) * m_channels;
        frames = m_capacityFrames;
    }
    const quint64 write = m_writeIndex.load(std::memory_order_relaxed);
    const quint64 read = m_readIndex.load(std::memory_order_acquire);
    const quint64 space = static_cast<quint64>(m_capacityFrames) - (write - read);
    if (static_cast<quint64>(frames) > space) {
        // The consumer is not draining; what it holds is stale by now. Only it may move the
        // read index, so ask it to discard and drop this audio meanwhile.
        m_framesSkipped.fetch_add(frames, std::memory_order_relaxed);
        m_staleUpTo.store(write, std::memory_order_release);
        m_staleRequests.fetch_add(1, std::memory_order_release);
        return 0;
    }
    const size_t slot = static_cast<size_t>(write % static_cast<quint64>(m_capacityFrames));
    const int first = std::min(frames, m_capacityFrames - static_cast<int>(slot));
    std::memcpy(m_storage.data() + slot * m_channels, samples,
                static_cast<size_t>(first) * m_channels * sizeof(qint16));
    if (first < frames)
        std::memcpy(m_storage.data(), samples + static_cast<size_t>(first) * m_channels,
                    static_cast<size_t>(frames - first) * m_channels * sizeof(qint16));
    m_recentWrites[m_nextRecent] = frames;
    m_nextRecent = (m_nextRecent + 1) % m_recentWrites.size();
    m_largestRecentWrite.store(*std::max_element(m_recentWrites.begin(), m_recentWrites.end()),
                               std::memory_order_relaxed);
    m_writeIndex.store(write + static_cast<quint64>(frames), std::memory_order_release);
    m_framesWritten.fetch_add(frames, std::memory_order_relaxed);
    return frames;
}

void AudioRing::copyOut(quint64 from, qint16 *out, int frames) const
{
    const size_t slot = static_cast<size_t>(from % static_cast<quint64>(m_capacityFrames));
    const int first = std::min(frames, m_capacityFrames - static_cast<int>(slot));
    std::memcpy(out, m_storage.data() + slot * m_channels,
                static_cast<size_t>(first) * m_channels * sizeof(qint16));
    if (first < frames)
        std::memcpy(out + static_cast<size_t>(first) * m_channels, m_storage.data(),
                    static_cast<size_t>(frames - first) * m_channels * sizeof(qint16));
}

void AudioRing::read(qint16 *out, int frames)
{
    // The steady clock reads the vDSO: no lock, no system call on the real-time thread.
    read(out, frames,
         std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count());
}

void AudioRing::read(qint16 *out, int frames, qint64 nowMs)
{
    if (!out || frames <= 0)
        return;
    if (m_lastReadMs >= 0 && nowMs - m_lastReadMs > kPauseMs)
        m_primed = false; // what came meanwhile was not heard: start afresh at the prime level
    m_lastReadMs = nowMs;
    quint64 read = m_readIndex.load(std::memory_order_relaxed);
    // The requests first: a write index loaded after them covers all audio queued before.
    const quint32 flushes = m_flushRequests.load(std::memory_order_acquire);
    const quint32 stales = m_staleRequests.load(std::memory_order_acquire);
    const quint64 flushUpTo = m_flushUpTo.load(std::memory_order_acquire);
    const quint64 staleUpTo = m_staleUpTo.load(std::memory_order_acquire);
    const quint64 write = m_writeIndex.load(std::memory_order_acquire);
    if (flushes != m_flushesSeen) {
        m_flushesSeen = flushes;
        discardUpTo(std::min(flushUpTo, write), read, m_framesFlushed);
        m_primed = false;
        m_growthFrames = 0;
        m_playedSinceDry = 0;
    }
    if (stales != m_stalesSeen) {
        m_stalesSeen = stales;
        discardUpTo(std::min(staleUpTo, write), read, m_framesSkipped);
        m_primed = false;
    }
    // Room for a whole burst plus this read; the storage bounds it (a read or write larger
    // than that is a caller's fault, met with silence rather than a stall).
    m_recentReads[m_nextRead] = frames;
    m_nextRead = (m_nextRead + 1) % m_recentReads.size();
    const int quantum =
        std::max(m_headroomFrames, *std::max_element(m_recentReads.begin(), m_recentReads.end()));
    const int prime = std::clamp(m_largestRecentWrite.load(std::memory_order_relaxed) + quantum +
                                     m_jitterFrames + m_growthFrames,
                                 m_reserveFrames, m_capacityFrames - m_aheadFrames);
    m_primeFrames.store(prime, std::memory_order_relaxed);
    quint64 fill = write - read;
    const quint64 keep = static_cast<quint64>(prime);
    if (!m_primed && fill >= keep) {
        // Starting: what lies beyond the prime level was never heard; skipping it is no cut.
        m_framesSkipped.fetch_add(static_cast<qint64>(fill - keep), std::memory_order_relaxed);
        read = write - keep;
        fill = keep;
        m_primed = true;
        m_primings.fetch_add(1, std::memory_order_relaxed);
    } else if (fill > keep + static_cast<quint64>(m_aheadFrames)) {
        // Running far ahead (a producer that does not match the rate): one cut.
        m_framesTrimmed.fetch_add(static_cast<qint64>(fill - keep), std::memory_order_relaxed);
        read = write - keep;
        fill = keep;
    }
    if (m_primed) {
        // The queue as this read finds it, while playing; the count last, so that a producer
        // that loads it first never sees a read without its fill.
        m_fillBeforeRead.store(static_cast<qint64>(fill), std::memory_order_relaxed);
        m_fillSum.fetch_add(static_cast<qint64>(fill), std::memory_order_release);
        m_reads.fetch_add(1, std::memory_order_release);
    }
    int played = 0;
    if (m_primed) {
        played = static_cast<int>(std::min<quint64>(fill, static_cast<quint64>(frames)));
        copyOut(read, out, played);
        read += static_cast<quint64>(played);
        m_framesPlayed.fetch_add(played, std::memory_order_relaxed);
        m_playedSinceDry += played;
        if (played < frames) {
            // Ran dry: silence until the prime level is back, rather than stuttering; and a
            // deeper queue from now on, as the audio comes less evenly than the level allowed.
            m_underruns.fetch_add(1, std::memory_order_relaxed);
            m_primed = false;
            m_growthFrames = std::min(m_growthFrames + framesForMs(m_sampleRate, kGrowMs),
                                      framesForMs(m_sampleRate, kMaxGrowthMs));
            m_playedSinceDry = 0;
        } else if (m_growthFrames > 0 &&
                   m_playedSinceDry >= framesForMs(m_sampleRate, kShrinkAfterMs)) {
            m_growthFrames = std::max(0, m_growthFrames - framesForMs(m_sampleRate, kGrowMs));
            m_playedSinceDry = 0;
        }
    }
    if (played < frames)
        std::memset(out + static_cast<size_t>(played) * m_channels, 0,
                    static_cast<size_t>(frames - played) * m_channels * sizeof(qint16));
    m_readIndex.store(read, std::memory_order_release);
}

void AudioRing::discardUpTo(quint64 upTo, quint64 &read, std::atomic<qint64> &counter)
{
    if (upTo <= read)
        return;
    counter.fetch_add(static_cast<qint64>(upTo - read), std::memory_order_relaxed);
    read = upTo;
}

void AudioRing::flush()
{
    // Audio written after this call belongs to whoever comes next and stays.
    const quint64 upTo = m_writeIndex.load(std::memory_order_acquire);
    quint64 previous = m_flushUpTo.load(std::memory_order_relaxed);
    while (previous < upTo &&
           !m_flushUpTo.compare_exchange_weak(previous, upTo, std::memory_order_release,
                                              std::memory_order_relaxed)) {
    }
    m_flushRequests.fetch_add(1, std::memory_order_release);
}

qint64 AudioRing::queuedFrames() const
{
    const quint64 read = m_readIndex.load(std::memory_order_acquire);
    const quint64 write = m_writeIndex.load(std::memory_order_acquire);
    return write >= read ? static_cast<qint64>(write - read) : 0;
}
