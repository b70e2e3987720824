#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <vector>

// Reads the start of a camera's RTMP session — the handshake (C0, C1, C2) and the chunked
// messages after it — up to the command that opens a session in FFmpeg's listen-mode intake,
// and says which stream the camera names there. The relay feeds it what it takes from the
// camera and forwards only safeEnd() bytes onward until the verdict is in, so the bytes of a
// command that names the wrong stream never leave the relay.
//
// It reads chunks and messages the way the intake does (libavformat's rtmppkt.c and
// rtmpproto.c), so that the bytes it hands on are the same messages for both; whatever the
// intake would read differently, or acts on in a way the reader does not follow, is a
// refusal:
// - the intake never drops a half-received message, so an Abort message is refused, as is a
//   new header inside a message, a continuation (type 1 to 3 header) of a chunk stream never
//   opened, and a chunk size the intake takes as negative or zero;
// - the intake reads `connect` first (after at most one Set Chunk Size) and fails otherwise;
// - it opens the session on the first `FCPublish` or `publish` (either is the verdict here),
//   on the first audio, video or data message, and on a status reply (`onStatus`) that a
//   client has no reason to send: media and data are a refusal that mediaBeforePublish()
//   tells apart, status replies a plain one, and so are AMF3 commands, which the intake
//   ignores while a reader would take them for commands;
// - `releaseStream`, `FCPublish` and `publish` all carry a stream name and are checked alike:
//   the name must be there, no longer than the intake keeps, the same in each of them, and,
//   when the reader knows the key (setRequiredKey), the key.
//
// Pure and bounded: it copies at most the limit given to the constructor into one buffer
// reserved up front, and assembles messages in a fixed set of chunk-stream slots, each
// reserved once to kMaxMessageBytes; nothing grows with what a peer sends. Everything that is
// not a well-formed session start is a verdict (Refused), never an error past the buffer:
// truncated input only ever waits for more (NeedMore), and more than the limit without a
// publish is refused.
//
// Threads: none of its own; one user at a time (the relay's thread).
class RtmpPublishReader
{
public:
    // C0 (version), C1 and C2 (1536 bytes each).
    static constexpr int kHandshakeBytes = 1 + 1536 + 1536;
    // Cameras send a handful of short commands before publish (ffmpeg about 400 bytes, OBS
    // and Larix well under 1 kB after the handshake).
    static constexpr int kDefaultLimitBytes = 12 * 1024;
    // A command before publish is a few hundred bytes; anything larger is not a camera.
    static constexpr std::uint32_t kMaxMessageBytes = 4096;
    // Chunk streams a session may use before publish (clients use 2 to 4).
    static constexpr int kMaxChunkStreams = 8;
    // The protocol's chunk size until the client changes it.
    static constexpr std::uint32_t kDefaultChunkSize = 128;
    static constexpr std::uint8_t kRtmpVersion = 3;
    // The intake keeps a stream name in 128 bytes with its terminating zero and fails on a
    // longer one.
    static constexpr int kMaxStreamNameBytes = 127;

    enum class State
    {
        NeedMore, // no verdict yet
        Publish,  // FCPublish or publish named streamName()
        Refused,  // no publish to be had; refusal() says why
    };

    explicit RtmpPublishReader(int limitBytes = kDefaultLimitBytes);

    // Before the first feed(). With a key, a name in releaseStream, FCPublish or publish that
    // does not carry it is refused at once ("wrong stream key"); without one the verdict's
    // name is left to the caller to check, and an earlier releaseStream must have named the
    // same stream (so a wrong name there is refused at the latest with the verdict's).
    void setRequiredKey(const QByteArray &key) { m_key = key; }

    // Takes up to room() bytes and parses as far as they go; returns how many it took. Once
    // there is a verdict nothing more is taken.
    int feed(const char *data, int size);
    int room() const;

    State state() const { return m_state; }
    // The stream name of the FCPublish or publish command (Publish only), as sent.
    const QByteArray &streamName() const { return m_streamName; }
    // A short fixed text for the log (Refused only).
    const char *refusal() const { return m_refusal; }
    // Refused because audio, video or data came before any publish (the intake would open a
    // session on it).
    bool mediaBeforePublish() const { return m_mediaBeforePublish; }

    // Everything taken so far, in order.
    const char *data() const { return m_input.data(); }
    int size() const { return static_cast<int>(m_input.size()); }
    // The taken bytes before this offset are the handshake and whole messages that are not
    // FCPublish or publish, read as the intake reads them: safe to hand on before the verdict.
    int safeEnd() const { return m_safeEnd; }

private:
    struct ChunkStream
    {
        std::uint32_t csid = 0; // 0: slot free
        bool hasHeader = false;
        bool extendedTimestamp = false;
        std::uint32_t length = 0;
        std::uint8_t type = 0;
        std::vector<char> message; // reserved once to kMaxMessageBytes
    };

    void parse();
    // Parses one whole chunk at m_pos; false when it is not all there yet (or on a verdict).
    bool parseChunk();
    ChunkStream *slotFor(std::uint32_t csid);
    bool anyPartial() const;
    void onMessage(std::uint8_t type, const char *payload, std::uint32_t length);
    void onFirstMessage(std::uint8_t type, const char *payload, std::uint32_t length);
    void setChunkSize(const char *payload, std::uint32_t length);
    void onCommand(const char *payload, std::uint32_t length);
    void refuse(const char *why);

    const int m_limit;
    std::vector<char> m_input;
    int m_pos = 0; // next byte to parse
    int m_safeEnd = 0;
    std::uint32_t m_chunkSize = kDefaultChunkSize;
    std::array<ChunkStream, kMaxChunkStreams> m_streams;
    // Messages read before `connect`; the intake takes one Set Chunk Size there, no more.
    int m_messagesBeforeConnect = 0;
    bool m_connected = false;
    State m_state = State::NeedMore;
    QByteArray m_key;
    QByteArray m_releasedName; // the name of the first releaseStream, if any
    QByteArray m_streamName;
    const char *m_refusal = "";
    bool m_mediaBeforePublish = false;
};
