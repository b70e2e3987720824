#pragma once

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <vector>

// The hand-over of interleaved signed 16-bit audio from the delivery thread (producer) to the
// audio server's real-time thread (consumer), in one fixed format. Storage is allocated once,
// in the constructor; a format change means a new ring, built outside the real-time thread
// while no consumer runs.
//
// Levels, in frames (one sample per channel):
//   reserve  - what the consumer waits for before it plays, and again after running dry;
//              until then it plays silence (counted: underruns, one per running dry)
//   max fill - reserve + kMaxAheadMs; beyond it the consumer drops the oldest audio down to
//              the reserve (counted: trimmed), so delay stays bounded when the producer's
//              clock runs faster than the server's
//   storage  - kStorageMs; when full the consumer is not draining (nobody records, the node
//              is suspended): what is queued is stale by then, so the producer drops the
//              new audio and asks the consumer to discard everything at its next run
//              (counted: trimmed)
//
// Threads: write() from one producer thread; read() from one consumer thread, which never
// locks, allocates or logs; flush() and the observers from any thread. Only the producer
// moves m_writeIndex and only the consumer moves m_readIndex; flush() only posts a request
// (discard up to the write index it saw), which the consumer acts on.
class AudioRing
{
public:
    // Covers the delivery's frame spacing (33 ms at 30 fps) plus its jitter.
    static constexpr int kReserveMs = 40;
    // How far the producer may run ahead of the reserve before the oldest audio goes.
    static constexpr int kMaxAheadMs = 60;
    // Room for bursts of puts and long server quanta before the producer finds it full.
    static constexpr int kStorageMs = 400;

    // sampleRate 1..384000, channels 1..8.
    AudioRing(int sampleRate, int channels);

    int sampleRate() const { return m_sampleRate; }
    int channels() const { return m_channels; }
    int reserveFrames() const { return m_reserveFrames; }
    int maxFillFrames() const { return m_maxFillFrames; }
    int capacityFrames() const { return m_capacityFrames; }

    // Producer. Queues `frames` frames of interleaved samples; never waits. Returns the frames
    // queued (0 when the storage is full).
    int write(const qint16 *samples, int frames);

    // Consumer. Fills `frames` frames of `out` (interleaved): queued audio, silence where
    // there is none or the reserve is not primed yet.
    void read(qint16 *out, int frames);

    // Any thread but the consumer: audio queued before this call is never played.
    void flush();

    // Observers; any thread.
    qint64 queuedFrames() const;
    qint64 framesWritten() const { return m_framesWritten.load(std::memory_order_relaxed); }
    qint64 framesPlayed() const { return m_framesPlayed.load(std::memory_order_relaxed); }
    qint64 underruns() const { return m_underruns.load(std::memory_order_relaxed); }
    qint64 framesTrimmed() const { return m_framesTrimmed.load(std::memory_order_relaxed); }
    qint64 framesFlushed() const { return m_framesFlushed.load(std::memory_order_relaxed); }

private:
    void copyOut(quint64 from, qint16 *out, int frames) const;
    // Consumer: moves `read` up to `upTo`, counting the frames skipped.
    static void discardUpTo(quint64 upTo, quint64 &read, std::atomic<qint64> &counter);

    const int m_sampleRate;
    const int m_channels;
    const int m_reserveFrames;
    const int m_maxFillFrames;
    const int m_capacityFrames;
    std::vector<qint16> m_storage; // m_capacityFrames * m_channels, sized once

    // Frame counts since construction; a frame's slot is its index modulo the capacity.
    std::atomic<quint64> m_writeIndex{0}; // producer stores (release), consumer loads
    std::atomic<quint64> m_readIndex{0};  // consumer stores (release), producer loads
    // Discard requests: the write index to discard up to, then the request counter bumped.
    std::atomic<quint64> m_flushUpTo{0}; // flush(); counted as flushed
    std::atomic<quint32> m_flushRequests{0};
    std::atomic<quint64> m_staleUpTo{0}; // storage full (producer); counted as trimmed
    std::atomic<quint32> m_staleRequests{0};

    // -- Consumer only.
    quint32 m_flushesSeen = 0;
    quint32 m_stalesSeen = 0;
    bool m_primed = false;

    std::atomic<qint64> m_framesWritten{0};
    std::atomic<qint64> m_framesPlayed{0};
    std::atomic<qint64> m_underruns{0};
    std::atomic<qint64> m_framesTrimmed{0};
    std::atomic<qint64> m_framesFlushed{0};
};
