#pragma once

#include <QtGlobal>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

// The hand-over of interleaved signed 16-bit audio from the delivery thread (producer) to the
// audio server's real-time thread (consumer), in one fixed format. Storage is allocated once,
// in the constructor; a format change means a new ring, built outside the real-time thread
// while no consumer runs.
//
// Levels, in frames (one sample per channel):
//   prime    - what the consumer waits for before it plays, and again after running dry;
//              until then it plays silence (counted: underruns, one per running dry). The
//              producer hands audio over in bursts (a picture's worth per delivery tick) and
//              the consumer takes a server quantum at a time, so between two bursts the
//              consumer may take a whole burst plus a quantum: the prime level is the largest
//              of the last kRecent writes plus the largest quantum (of the last kRecent reads,
//              and never less than kQuantumHeadroomMs, the longest quantum the node asks for, so
//              that a server that lengthens its quantum when a program starts recording finds the
//              audio there) plus kJitterMs, and never below kReserveMs. A camera's audio also
//              arrives unevenly (Wi-Fi, a busy computer): each time the queue runs dry while
//              playing, the prime level grows by kGrowMs (up to kMaxGrowthMs), and it shrinks by
//              kGrowMs again after every kShrinkAfterMs played without running dry; a flush (a
//              new session) starts from no growth. When the consumer starts (or starts again)
//              with more than the prime level queued, it skips the oldest down to it: nothing was
//              heard yet, so nothing is cut (counted: skipped).
//   playing  - the producer keeps the queue at the prime level by playing imperceptibly faster
//              or slower (AudioRateMatch, reading fillBeforeRead()); nothing here cuts it.
//   max fill - prime + kMaxAheadMs; beyond it, which only a producer that does not match the
//              rate reaches, the consumer drops the oldest down to the prime level (counted:
//              trimmed, a cut)
//   storage  - kStorageMs; when full the consumer is not draining (nobody records, the node
//              is suspended): what is queued is stale by then, so the producer drops the
//              new audio and asks the consumer to discard everything at its next run
//              (counted: skipped, as nobody heard it)
//
// Threads: write() from one producer thread; read() from one consumer thread, which never
// locks, allocates or logs; flush() and the observers from any thread. Only the producer
// moves m_writeIndex and only the consumer moves m_readIndex; flush() only posts a request
// (discard up to the write index it saw), which the consumer acts on.
class AudioRing
{
public:
    // The least the consumer primes to, whatever the bursts and quanta.
    static constexpr int kReserveMs = 40;
    // Lateness of a burst the prime level absorbs beyond the burst and the quantum.
    static constexpr int kJitterMs = 10;
    // How many of the latest writes (reads) the largest burst (quantum) is taken from: a few
    // ticks, so a burst at a session's start (the first alignment's backlog) is soon forgotten.
    static constexpr int kRecent = 8;
    static constexpr int kGrowMs = 20;
    static constexpr int kMaxGrowthMs = 200;
    static constexpr int kShrinkAfterMs = 20000;
    // The quantum the microphone's node asks the server for at most (its latency).
    static constexpr int kQuantumHeadroomMs = 20;
    // How far the producer may run ahead of the prime level before the oldest audio goes.
    static constexpr int kMaxAheadMs = 250;
    // A consumer that has not read for this long was paused (nobody recorded, the node was
    // suspended): it starts again at the prime level, as when it first started.
    static constexpr int kPauseMs = 50;
    // Room for bursts of puts and long server quanta before the producer finds it full.
    static constexpr int kStorageMs = 1000;

    // sampleRate 1..384000, channels 1..8.
    AudioRing(int sampleRate, int channels);

    int sampleRate() const { return m_sampleRate; }
    int channels() const { return m_channels; }
    int reserveFrames() const { return m_reserveFrames; }
    int jitterFrames() const { return m_jitterFrames; }
    int aheadFrames() const { return m_aheadFrames; }
    // The least max fill (reserve + ahead).
    int maxFillFrames() const { return m_reserveFrames + m_aheadFrames; }
    int capacityFrames() const { return m_capacityFrames; }

    // Producer. Queues `frames` frames of interleaved samples; never waits. Returns the frames
    // queued (0 when the storage is full).
    int write(const qint16 *samples, int frames);

    // Consumer. Fills `frames` frames of `out` (interleaved): queued audio, silence where
    // there is none or the reserve is not primed yet.
    void read(qint16 *out, int frames);
    // The same at monotonic time `nowMs` (tests; read() takes the steady clock's).
    void read(qint16 *out, int frames, qint64 nowMs);

    // Any thread but the consumer: audio queued before this call is never played.
    void flush();

    // Observers; any thread.
    qint64 queuedFrames() const;
    qint64 framesWritten() const { return m_framesWritten.load(std::memory_order_relaxed); }
    qint64 framesPlayed() const { return m_framesPlayed.load(std::memory_order_relaxed); }
    qint64 underruns() const { return m_underruns.load(std::memory_order_relaxed); }
    qint64 framesTrimmed() const { return m_framesTrimmed.load(std::memory_order_relaxed); }
    qint64 framesFlushed() const { return m_framesFlushed.load(std::memory_order_relaxed); }
    // Frames never played because nobody listened (storage full) or the consumer started with
    // more than the prime level queued.
    qint64 framesSkipped() const { return m_framesSkipped.load(std::memory_order_relaxed); }
    // Producer: the queue as the consumer found it before its latest read while playing, the
    // sum of that over all such reads, and how many there have been (unchanged while nobody
    // records or the queue is priming); how often it primed (started, or started again after
    // running dry or a flush).
    qint64 fillBeforeRead() const { return m_fillBeforeRead.load(std::memory_order_relaxed); }
    qint64 fillSum() const { return m_fillSum.load(std::memory_order_acquire); }
    qint64 reads() const { return m_reads.load(std::memory_order_acquire); }
    qint64 primings() const { return m_primings.load(std::memory_order_relaxed); }
    // Producer: the largest of its latest writes.
    int largestRecentWrite() const { return m_largestRecentWrite.load(std::memory_order_relaxed); }
    // Producer, for audio it chose not to write (counted as trimmed: a cut).
    void countCut(int frames) { m_framesTrimmed.fetch_add(frames, std::memory_order_relaxed); }
    // The prime level of the consumer's latest read (reserveFrames() before any).
    int primeFrames() const { return m_primeFrames.load(std::memory_order_relaxed); }

private:
    void copyOut(quint64 from, qint16 *out, int frames) const;
    // Consumer: moves `read` up to `upTo`, counting the frames skipped.
    static void discardUpTo(quint64 upTo, quint64 &read, std::atomic<qint64> &counter);

    const int m_sampleRate;
    const int m_channels;
    const int m_reserveFrames;
    const int m_jitterFrames;
    const int m_aheadFrames;
    const int m_headroomFrames;
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

    // -- Producer only: the sizes of the latest writes, oldest overwritten.
    std::array<int, kRecent> m_recentWrites{};
    size_t m_nextRecent = 0;
    std::atomic<int> m_largestRecentWrite{0}; // producer stores, consumer loads

    // -- Consumer only.
    quint32 m_flushesSeen = 0;
    quint32 m_stalesSeen = 0;
    bool m_primed = false;
    std::array<int, kRecent> m_recentReads{};
    size_t m_nextRead = 0;
    qint64 m_lastReadMs = -1;
    int m_growthFrames = 0;      // added to the prime level after running dry
    qint64 m_playedSinceDry = 0; // frames played since the last running dry or shrink

    std::atomic<qint64> m_framesWritten{0};
    std::atomic<qint64> m_framesPlayed{0};
    std::atomic<qint64> m_underruns{0};
    std::atomic<qint64> m_framesTrimmed{0};
    std::atomic<qint64> m_framesFlushed{0};
    std::atomic<qint64> m_framesSkipped{0};
    std::atomic<qint64> m_fillBeforeRead{0};
    std::atomic<qint64> m_fillSum{0};
    std::atomic<qint64> m_reads{0};
    std::atomic<qint64> m_primings{0};
    std::atomic<int> m_primeFrames{0};
};
