#pragma once

#include <QHash>
#include <QList>
#include <QtGlobal>

// The rules of the two intake pools (RTMP intakes and the MPEG-TS intakes that SRT callers are
// relayed into), apart from the threads and sockets they govern: which intake a camera gets,
// when the pool grows, when an idle extra intake is retired, when an ended one is replaced,
// and when one whose relay never reached it goes back to waiting.
//
// Pure: it is handed each event and the time, and answers with decisions; the listener acts
// on them. Intakes are known by an opaque id (the manager object's address).
//
// Threads: one user at a time (the GUI thread).
class IntakePool
{
public:
    enum class Kind
    {
        Rtmp,
        Srt,
    };
    enum class State
    {
        Starting, // created, not yet waiting for a connection
        Ready,    // waiting for a connection, in the free list
        Serving,  // handed to a camera
        Ended,    // its session ended; a successor was started (or none is wanted)
        Retired,  // stopped by the pool (idle, or the listener stopped); never replaced
    };
    using Id = const void *;

    // Intakes started when listening starts (per kind).
    static constexpr int kInitialRtmp = 10;
    static constexpr int kInitialSrt = 4;
    // Intakes added when a connection finds none waiting.
    static constexpr int kGrow = 3;
    // Growth stops at this many intakes alive (three threads each): a peer that opens
    // connections faster than intakes come back cannot make the pool grow without end.
    static constexpr int kMaxLive = 40;
    // Intakes beyond the initial count that have waited this long for a camera are retired,
    // so a burst that grew the pool does not keep its threads and ports for good.
    static constexpr qint64 kIdleRetireMs = 60000;

    static int initialCount(Kind kind) { return kind == Kind::Rtmp ? kInitialRtmp : kInitialSrt; }

    // An intake was started on `port`.
    void add(Id id, Kind kind, int port);
    // The intake waits for a connection. False when it is to stop instead (retired or ended);
    // an intake already waiting keeps its place (twice in the list it would go to two cameras).
    bool ready(Id id, qint64 nowMs);
    // The intake that has waited longest of `kind`, now serving; null when none waits.
    Id take(Kind kind);
    // How many intakes to start for a connection that found none waiting: kGrow, fewer near
    // kMaxLive, 0 at it.
    int growBy() const;

    // What to do when an intake's session has ended.
    struct Successor
    {
        bool start = false;   // start a fresh intake in its place
        bool samePort = true; // on its port; else on the next free port
    };
    // The intake's session ended. `portUnavailable`: it could never bind its port (another
    // program holds it), so a successor goes to another port. A second report is a no-op.
    Successor end(Id id, bool portUnavailable = false);
    // A serving intake whose relay ended without reaching it (its session never started)
    // waits again; false when it is not serving (it announced itself or ended meanwhile).
    bool putBack(Id id, qint64 nowMs);
    // Retires the intakes beyond the initial count that have waited idleMs or longer, oldest
    // first; the caller stops them.
    QList<Id> retireIdle(qint64 nowMs, qint64 idleMs = kIdleRetireMs);
    // The listener stops: every intake is retired; returns them all.
    QList<Id> retireAll();
    // The intake object is gone.
    void remove(Id id);

    bool contains(Id id) const { return m_entries.contains(id); }
    State state(Id id) const;
    Kind kind(Id id) const;
    int port(Id id) const;
    int liveCount() const { return m_entries.size(); }
    int freeCount(Kind kind) const;
    // Ports of the waiting intakes of `kind`, in hand-out order.
    QList<int> freePorts(Kind kind) const;
    // Ports of every intake alive.
    QList<int> ports() const;

private:
    struct Entry
    {
        Kind kind = Kind::Rtmp;
        int port = -1;
        State state = State::Starting;
        qint64 readySinceMs = 0;
        quint64 readyOrder = 0; // FIFO among the waiting
    };
    QList<Id> waiting(Kind kind) const; // in hand-out order

    QHash<Id, Entry> m_entries;
    quint64 m_order = 0;
};
