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
class StreamIntake
{
public:
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

private:
    static int interruptCallback(void *opaque);
    // Reads and discards packets until `find` gives a stream index; -1 on a stop or failure.
    int readUntil(const std::function<int()> &find);

    const std::atomic<bool> &m_stop;
    std::atomic<bool> m_listening{false};
    AVFormatContextPtr m_input;
    AVPacketPtr m_packet;
};
