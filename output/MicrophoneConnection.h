#pragma once

#include <QtGlobal>

#include <atomic>
#include <functional>
#include <memory>

struct pw_context;
struct pw_core;
struct pw_loop;
struct pw_thread_loop;
struct spa_source;

// The microphone's link to the PipeWire server, and the loop all of the microphone's control
// runs on: PipeWire's own pw_thread_loop ("quorvix-mic"), whose one thread dispatches the core's
// and the stream's events and runs the owner's control step. Nothing of ours waits on it.
//
// The step runs on two of the loop's sources: an event that any thread may signal
// (requestStep: a setting changed, the audio's format changed, the server or the stream said
// something) and a timer every probe interval (the look for a missing server, the periodic
// report). The context is made at the first connection and kept; the core (the connection
// itself) is made again after the server went away.
//
// Threads:
//   - Owner's thread: constructor, start(), stop(), destructor. After stop() no step and no
//     callback runs, and the owner may tear down on its own thread what the loop used.
//   - Any thread: requestStep(), connectAttempts(), valid(), threadLoop() (to lock it for a
//     moment).
//   - Loop thread (in the step; or the owner's after stop()): connect(), disconnect(),
//     connected(), lost(), core(), context(), loop().
class MicrophoneConnection
{
public:
    enum class Result
    {
        Connected,
        NoServer,      // no server answers at the socket (error says why)
        CouldNotStart, // PipeWire's own context could not be made
    };

    // `step(probe)` is the owner's control step, on the loop thread; `probe` when the timer
    // called it.
    MicrophoneConnection(std::function<void(bool probe)> step, int probeIntervalMs);
    ~MicrophoneConnection();

    MicrophoneConnection(const MicrophoneConnection &) = delete;
    MicrophoneConnection &operator=(const MicrophoneConnection &) = delete;

    // False when PipeWire's loop could not be made (logged): nothing runs then.
    bool valid() const { return m_threadLoop != nullptr; }
    pw_thread_loop *threadLoop() const { return m_threadLoop; }
    pw_loop *loop() const { return m_loop; }
    int probeIntervalMs() const { return m_probeIntervalMs; }

    // Starts the loop's thread; the first step runs at once. False (logged) when it cannot.
    bool start();
    // Stops the loop's thread (a step under way ends first). Idempotent.
    void stop();
    void requestStep();

    Result connect(int *error);
    void disconnect();
    bool connected() const { return m_core != nullptr; }
    // The server broke the connection (or the core failed): only a new one helps.
    bool lost() const { return m_lost; }
    pw_core *core() const { return m_core; }
    pw_context *context() const { return m_context; }
    qint64 connectAttempts() const { return m_connectAttempts.load(std::memory_order_relaxed); }

private:
    static void onEvent(void *data, uint64_t count);
    static void onTimer(void *data, uint64_t expirations);
    static void onCoreError(void *data, uint32_t id, int seq, int res, const char *message);

    const std::function<void(bool)> m_step;
    const int m_probeIntervalMs;
    pw_thread_loop *m_threadLoop = nullptr;
    pw_loop *m_loop = nullptr;
    spa_source *m_event = nullptr;
    spa_source *m_timer = nullptr;
    bool m_started = false; // owner's thread

    // -- Loop thread.
    pw_context *m_context = nullptr;
    pw_core *m_core = nullptr;
    bool m_lost = false;
    struct Hooks;
    std::unique_ptr<Hooks> m_hooks; // the core's listener, allocated once

    std::atomic<qint64> m_connectAttempts{0};
};
