#pragma once

#include "engine/FfmpegPtr.h"

#include <QByteArray>

#include <atomic>
#include <functional>

extern "C" {
#include <libavformat/avformat.h>
}

// The input side of one session, on the manager thread: the listen-mode open on the session's
// loopback port (RTMP for the RTMP listener's intakes, MPEG-TS over plain TCP, "tcp://", for
// the SRT listener's) (retried, and given up when another program holds the port), the
// discovery of the video and audio streams, and the read loop that hands each packet on.
// Every blocking FFmpeg call ends promptly once the stop flag is set (interrupt callback).
//
// Once a publisher is connected, no read waits for ever: a session that gets no packet for
// kReadTimeoutMs ends as one whose camera left. The relays in front end a silent camera
// sooner; this is the intake's own guard for when one misses it. The wait for a connection
// itself has no bound: intakes wait for cameras for minutes.
//
// Threads: everything on the manager thread, except listening(), timedOut() and sizeRefused()
// (any thread).
// The interrupt callback runs on the manager thread, inside FFmpeg's calls.
class StreamIntake
{
public:
    // A connected session that reads nothing for this long ends.
    static constexpr int kReadTimeoutMs = 15000;
    // A listen-mode open that fails this quickly (port held elsewhere) is retried only after
    // kListenRetryPauseMs, so an intake never spins a core on a port it cannot get.
    static constexpr qint64 kListenFastFailMs = 100;
    static constexpr int kListenRetryPauseMs = 250;
    // Opens refused this many times in a row because another program holds the port give the
    // port up: announced as ready on a port it cannot bind, the intake would take cameras into
    // nowhere (or hand them to that other program's listener).
    static constexpr int kPortBusyAttempts = 4;

    enum class Opened
    {
        Connected, // a publisher is connected
        Stopped,   // the stop flag ended it
        PortBusy,  // another program holds the port
        Failed     // no input context could be made
    };

    struct Streams
    {
        int video = -1;
        int audio = -1; // -1: video only
        const AVCodec *videoCodec = nullptr;
        const AVCodec *audioCodec = nullptr;
        AVRational videoTimeBase{0, 1};
        AVRational audioTimeBase{0, 1};
        AVRational videoFrameRate{0, 1};
    };

    // `stop` is the session's stop flag, read by the interrupt callback; not owned.
    explicit StreamIntake(const std::atomic<bool> &stop);

    // Listen-mode open of `url`; `ready` runs each time just before the open waits for a
    // publisher (the listener then offers the intake to cameras).
    Opened open(const QByteArray &url, const std::function<void()> &ready);
    // Any thread: true while the open waits for a publisher.
    bool listening() const { return m_listening.load(); }

    // Finds the video stream (reading on until one appears) and, unless audio is ignored, the
    // audio stream (with `mevo`, reading on until the late audio stream is announced). False
    // when the session cannot go on; `ignoreAudio` is set when there is no audio stream.
    bool discover(const QByteArray &url, bool mevo, bool &ignoreAudio, Streams &streams);
    const AVCodecParameters *parameters(int stream) const;
    AVRational timeBase(int stream) const;

    // Reads packets until the stop flag or a read failure; each packet goes to `onPacket`,
    // which may take its data over (the packet is unreferenced after the call).
    void readLoop(const std::function<void(AVPacket *packet)> &onPacket);

    // Frees the input and the read packet (manager thread, once the reading has ended).
    void close();

    // Any thread: true once a read ended because nothing came for the read timeout.
    bool timedOut() const { return m_timedOut.load(); }
    // Any thread: true once discovery ended because the stream announced a picture beyond
    // PictureLimit; the size it announced.
    bool sizeRefused(int *width, int *height) const;
    // The read timeout in ms.
    static int readTimeoutMs();
    // Any thread, tests: a shorter read timeout for the sessions that open after it (0: back to
    // kReadTimeoutMs).
    static void setReadTimeoutMs_for_testing(int ms);

private:
    static int interruptCallback(void *opaque);
    // Gives the reads after it the whole timeout again.
    void pushDeadline();
    // No deadline (while waiting for a connection).
    void clearDeadline() { m_deadlineMs.store(0, std::memory_order_relaxed); }
    // After a failed read (`result`, 0 when the call gives none): true, with one warning line,
    // when it ended because nothing came for the timeout.
    bool noteTimeout(int result);
    // Interrupt callback, during discovery: true (and the size kept) when a video stream's
    // parameters or H.264 sequence header announce a picture beyond PictureLimit. Discovery
    // decodes the first pictures at the size their header names; this ends it before.
    bool announcesTooLarge();
    // Stream probing with libavcodec's picture bound on each probe decoder it can reach.
    void findStreamInfo();
    // Reads and discards packets until `find` gives a stream index; -1 on a stop or failure.
    int readUntil(const std::function<int()> &find);

    const std::atomic<bool> &m_stop;
    std::atomic<bool> m_listening{false};
    // Monotonic ms after which the interrupt callback ends the call under way; 0: none (while
    // waiting for a connection). Moved on by each packet read.
    std::atomic<qint64> m_deadlineMs{0};
    std::atomic<bool> m_timedOut{false};
    int m_timeoutMs = kReadTimeoutMs; // manager thread: fixed at each open
    // -- Manager thread, discovery: the size check of the interrupt callback.
    bool m_probing = false;
    const uint8_t *m_checkedHeader = nullptr; // the sequence header read last
    int m_checkedHeaderBytes = 0;
    std::atomic<bool> m_sizeRefused{false};
    std::atomic<int> m_refusedWidth{0};
    std::atomic<int> m_refusedHeight{0};
    AVFormatContextPtr m_input;
    AVPacketPtr m_packet;
};
