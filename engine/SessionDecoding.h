#pragma once

#include "app/LogThrottle.h"
#include "engine/HeldPackets.h"
#include "engine/PacketQueue.h"
#include "engine/StreamIntake.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class Decoder;
class FrameFeeder;
class PacketHandlerThread;

// The decoding stage of one session: a bounded packet queue per kind, a Decoder for each, and
// a PacketHandlerThread per kind that takes the packets and hands the decoded frames to the
// FrameFeeder.
//
// While nobody sees the session's pictures (another camera owns the output), pictures are not
// decoded: the decoder works on to the next keyframe, and from there the packets are kept
// (HeldPackets). When the pictures are seen again, the decoder starts afresh at the kept
// keyframe, works through the kept packets without showing them, and shows the current
// picture; the few pictures that come out late from that catch-up are not measured as the
// link's lateness. Sound is decoded throughout: it keeps the session at its live edge.
//
// Threads: open(), push(), stop() and release() on the manager thread; the decode work on the
// two decoding threads, which touch only their own queue, decoder and the feeder. The hooks
// run on the video decoding thread.
class SessionDecoding
{
public:
    // Decoder slice threads.
    static constexpr int kDecoderThreads = 4;
    // A decoding thread that has not ended after this long is left behind with a log line.
    static constexpr unsigned long kHandlerStopWaitMs = 1000;
    // Packets waiting for a decoder, per kind.
    static constexpr int kMaxQueuedVideoPackets = 1000;
    static constexpr int kMaxQueuedAudioPackets = 2000;

    struct Hooks
    {
        // A picture reached the frame queue at this session time (ms); may be empty.
        std::function<void(qint64 queuedMs)> pictureQueued;
        // At most once a second while video frames cannot be received: the failures so far and
        // how many since the last call.
        std::function<void(qint64 total, qint64 sinceLast)> receiveFailures;
        // Once, when a decoded picture (or a header the decoder refused) is larger than
        // PictureLimit allows; nothing more is decoded after it.
        std::function<void(int width, int height)> pictureTooLarge;
        // Whether anybody sees the session's pictures now (empty: always); asked for every
        // video packet, so it must be cheap.
        std::function<bool()> picturesSeen;
    };

    explicit SessionDecoding(FrameFeeder &feeder);
    // Stops and waits for the decoding threads that still run.
    ~SessionDecoding();

    // Opens the video decoder (and the audio one when `withAudio` and the stream has audio) and
    // starts their threads. False when the video decoder cannot be opened (or `failVideo`, a
    // test hook); `failure` then names the codec and nothing runs.
    bool open(const StreamIntake &intake, const StreamIntake::Streams &streams, bool withAudio,
              bool failVideo, int port, Hooks hooks, QString &failure);
    // True when packets of `streamIndex` go to the video decoder.
    bool decodesVideo(int streamIndex) const;
    // Queues a read packet for its decoder, taking its data reference over; packets of other
    // streams, or of a decoder that failed to open, are left alone.
    void push(AVPacket *packet);
    // Asks both threads to end and waits for them: until they end, or kHandlerStopWaitMs each.
    void stop(bool untilEnded);
    // True when no decoding thread runs.
    bool ended() const;
    // Frees the threads, queued packets and decoders (only once ended()).
    void release();
    // Any thread: pictures the video decoder has given so far (shown or not).
    qint64 picturesDecoded() const { return m_picturesDecoded.load(std::memory_order_relaxed); }
    // Any thread: true while the pictures are not decoded because nobody sees them.
    bool picturesPaused() const { return m_paused.load(std::memory_order_relaxed); }

private:
    void decodeVideo(AVPacket *packet);
    // Video decoding thread: decodes `packet`, handing the pictures to the feeder when `show`.
    void decodePictures(AVPacket *packet, bool show);
    // Video decoding thread: the pictures are seen again; the decoder catches up.
    void resumePictures();
    void decodeAudio(AVPacket *packet);
    // Video decoding thread: reports a refused size once.
    void refuse(int width, int height);

    FrameFeeder &m_feeder;
    StreamIntake::Streams m_streams; // set by open(), then read by the decoding threads
    Hooks m_hooks;
    PacketQueue m_videoPackets{kMaxQueuedVideoPackets, "video"};
    PacketQueue m_audioPackets{kMaxQueuedAudioPackets, "audio"};
    std::unique_ptr<Decoder> m_videoDecoder; // opened here, then used by its thread only
    std::unique_ptr<Decoder> m_audioDecoder;
    std::unique_ptr<PacketHandlerThread> m_videoThread;
    std::unique_ptr<PacketHandlerThread> m_audioThread;
    LogThrottle m_receiveFailures; // video decoding thread
    bool m_refused = false;        // video decoding thread
    // -- Video decoding thread (the atomics are read from anywhere).
    HeldPackets m_held;
    bool m_decoderCurrent = true; // it has decoded every packet so far
    int m_unmeasured = 0;         // pictures still to come out of a catch-up
    std::atomic<bool> m_paused{false};
    std::atomic<qint64> m_picturesDecoded{0};
};
