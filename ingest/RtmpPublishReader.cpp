#include "ingest/RtmpPublishReader.h"

#include "ingest/StreamKey.h"

#include <algorithm>
#include <cstring>

namespace {

// Message types (RTMP chunk stream and message formats).
constexpr std::uint8_t kSetChunkSize = 1;
constexpr std::uint8_t kAbortMessage = 2;
constexpr std::uint8_t kUserControl = 4;
constexpr std::uint8_t kWindowAckSize = 5;
constexpr std::uint8_t kSetPeerBandwidth = 6;
constexpr std::uint8_t kAudio = 8;
constexpr std::uint8_t kVideo = 9;
constexpr std::uint8_t kDataAmf3 = 15;
constexpr std::uint8_t kCommandAmf3 = 17;
constexpr std::uint8_t kDataAmf0 = 18;
constexpr std::uint8_t kCommandAmf0 = 20;
constexpr std::uint8_t kAggregate = 22;

// AMF0 markers.
constexpr std::uint8_t kAmfNumber = 0x00;
constexpr std::uint8_t kAmfString = 0x02;
constexpr std::uint8_t kAmfNull = 0x05;

// User control event the intake answers (with a pong it builds from 4 bytes of the request).
constexpr unsigned kPingRequest = 6;

constexpr std::uint32_t kExtendedTimestampMark = 0xffffff;
// The protocol's largest chunk size (31 bits).
constexpr std::uint32_t kMaxChunkSize = 0x7fffffff;

std::uint32_t be24(const unsigned char *p)
{
    return (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
}

std::uint32_t be32(const unsigned char *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
}

// A cursor over one assembled message; every read checks what is left.
class AmfCursor
{
public:
    AmfCursor(const char *data, std::uint32_t size)
        : m_p(reinterpret_cast<const unsigned char *>(data)), m_left(size)
    {
    }
    bool string(QByteArray &out)
    {
        if (m_left < 3 || m_p[0] != kAmfString)
            return false;
        const std::uint32_t n = (std::uint32_t(m_p[1]) << 8) | m_p[2];
        if (m_left - 3 < n)
            return false;
        out = QByteArray(reinterpret_cast<const char *>(m_p + 3), int(n));
        skip(3 + n);
        return true;
    }
    bool number()
    {
        if (m_left < 9 || m_p[0] != kAmfNumber)
            return false;
        skip(9);
        return true;
    }
    // The intake takes null only, not undefined.
    bool null()
    {
        if (m_left < 1 || m_p[0] != kAmfNull)
            return false;
        skip(1);
        return true;
    }

private:
    void skip(std::uint32_t n)
    {
        m_p += n;
        m_left -= n;
    }
    const unsigned char *m_p;
    std::uint32_t m_left;
};

} // namespace

RtmpPublishReader::RtmpPublishReader(int limitBytes) : m_limit(std::max(limitBytes, 0))
{
    m_input.reserve(static_cast<size_t>(m_limit));
    for (ChunkStream &stream : m_streams)
        stream.message.reserve(kMaxMessageBytes);
}

int RtmpPublishReader::room() const
{
    return m_state == State::NeedMore ? m_limit - size() : 0;
}

int RtmpPublishReader::feed(const char *data, int size)
{
    const int taken = std::min(std::max(size, 0), room());
    if (taken <= 0)
        return 0;
    m_input.insert(m_input.end(), data, data + taken);
    parse();
    if (m_state == State::NeedMore && room() == 0)
        refuse("no publish within the first bytes");
    return taken;
}

void RtmpPublishReader::refuse(const char *why)
{
    m_state = State::Refused;
    m_refusal = why;
}

void RtmpPublishReader::parse()
{
    if (m_pos < kHandshakeBytes) {
        if (size() >= 1 && static_cast<std::uint8_t>(m_input[0]) != kRtmpVersion) {
            refuse("not an RTMP handshake");
            return;
        }
        // The handshake is opaque here: the intake checks it and answers.
        m_pos = std::min(size(), kHandshakeBytes);
        m_safeEnd = m_pos;
        if (m_pos < kHandshakeBytes)
            return;
    }
    while (m_state == State::NeedMore && parseChunk()) {
        if (!anyPartial())
            m_safeEnd = m_pos;
    }
}

RtmpPublishReader::ChunkStream *RtmpPublishReader::slotFor(std::uint32_t csid)
{
    ChunkStream *free = nullptr;
    for (ChunkStream &stream : m_streams) {
        if (stream.csid == csid)
            return &stream;
        if (!free && stream.csid == 0)
            free = &stream;
    }
    if (free)
        free->csid = csid;
    return free;
}

bool RtmpPublishReader::anyPartial() const
{
    return std::any_of(m_streams.begin(), m_streams.end(),
                       [](const ChunkStream &s) { return !s.message.empty(); });
}

bool RtmpPublishReader::parseChunk()
{
    const auto *const p = reinterpret_cast<const unsigned char *>(m_input.data()) + m_pos;
    const int left = size() - m_pos;
    if (left < 1)
        return false;

    // Basic header: 1 to 3 bytes.
    const int fmt = p[0] >> 6;
    std::uint32_t csid = p[0] & 0x3f;
    int at = 1;
    if (csid == 0) {
        if (left < 2)
            return false;
        csid = 64 + p[1];
        at = 2;
    } else if (csid == 1) {
        if (left < 3)
            return false;
        csid = 64 + p[1] + 256u * p[2];
        at = 3;
    }
    if (csid < 2) {
        refuse("reserved chunk stream");
        return false;
    }

    static constexpr int kHeaderBytes[4] = {11, 7, 3, 0};
    if (left < at + kHeaderBytes[fmt])
        return false;
    ChunkStream *const stream = slotFor(csid);
    if (!stream) {
        refuse("too many chunk streams");
        return false;
    }
    // The intake takes the missing fields of a chunk stream it has not seen as zero, and goes
    // on filling a half-received message whatever header comes (with the new length, past the
    // message's buffer): no camera does either, and the reader would not follow.
    if (fmt != 0 && !stream->hasHeader) {
        refuse("chunk continues an unknown header");
        return false;
    }
    if (fmt != 3 && !stream->message.empty()) {
        refuse("new header inside a message");
        return false;
    }

    std::uint32_t timestampField = 0;
    if (fmt <= 2)
        timestampField = be24(p + at);
    std::uint32_t length = stream->length;
    std::uint8_t type = stream->type;
    if (fmt <= 1) {
        length = be24(p + at + 3);
        type = p[at + 6];
    }
    // As in the intake: type 3 chunks carry the extended time when their message's (or, for a
    // new message, the previous message's) first header announced one.
    bool extended = stream->extendedTimestamp;
    if (fmt <= 2)
        extended = timestampField == kExtendedTimestampMark;
    at += kHeaderBytes[fmt];
    if (extended) {
        if (left < at + 4)
            return false;
        at += 4; // the time itself does not matter here
    }
    if (length > kMaxMessageBytes) {
        refuse("oversized message");
        return false;
    }

    const std::uint32_t have = static_cast<std::uint32_t>(stream->message.size());
    const std::uint32_t payload = std::min(m_chunkSize, length - have);
    if (static_cast<std::uint32_t>(left - at) < payload)
        return false;

    // The whole chunk is there: commit it.
    stream->hasHeader = true;
    stream->extendedTimestamp = extended;
    stream->length = length;
    stream->type = type;
    const char *const body = reinterpret_cast<const char *>(p + at);
    stream->message.insert(stream->message.end(), body, body + payload);
    m_pos += at + static_cast<int>(payload);
    if (stream->message.size() == length) {
        // Read in place; clear() keeps the slot's reserved storage for the next message.
        onMessage(type, stream->message.data(), length);
        stream->message.clear();
    }
    return m_state == State::NeedMore;
}

void RtmpPublishReader::onMessage(std::uint8_t type, const char *payload, std::uint32_t length)
{
    if (!m_connected) {
        onFirstMessage(type, payload, length);
        return;
    }
    const auto *const p = reinterpret_cast<const unsigned char *>(payload);
    switch (type) {
    case kSetChunkSize:
        setChunkSize(payload, length);
        return;
    case kAbortMessage:
        // The intake ignores it and goes on filling the message it names: dropping that
        // message here would part the two on where the following messages start.
        refuse("abort message");
        return;
    case kUserControl:
        // The intake fails on these (and answers a ping request).
        if (length < 2 || (((p[0] << 8) | p[1]) == kPingRequest && length < 6))
            refuse("malformed control message");
        return;
    case kWindowAckSize:
    case kSetPeerBandwidth:
        // Read as a signed size by the intake, which fails on one below 1.
        if (length < 4 || static_cast<std::int32_t>(be32(p)) <= 0)
            refuse("malformed control message");
        return;
    case kCommandAmf0:
        onCommand(payload, length);
        return;
    case kCommandAmf3:
        refuse("AMF3 command");
        return;
    case kAudio:
    case kVideo:
    case kDataAmf0:
    case kDataAmf3:
    case kAggregate:
        m_mediaBeforePublish = true;
        refuse("media before publish");
        return;
    default:
        // Acknowledgements and shared objects: the intake does nothing with them either.
        return;
    }
}

void RtmpPublishReader::onFirstMessage(std::uint8_t type, const char *payload, std::uint32_t length)
{
    // The intake reads one message as `connect`, or a Set Chunk Size and then `connect`, and
    // gives up on anything else.
    if (type == kSetChunkSize && m_messagesBeforeConnect == 0) {
        ++m_messagesBeforeConnect;
        setChunkSize(payload, length);
        return;
    }
    AmfCursor amf(payload, length);
    QByteArray name;
    if (type != kCommandAmf0 || !amf.string(name) || name != "connect") {
        refuse("no connect first");
        return;
    }
    m_connected = true;
}

void RtmpPublishReader::setChunkSize(const char *payload, std::uint32_t length)
{
    if (length < 4) {
        refuse("short chunk size message");
        return;
    }
    const std::uint32_t size = be32(reinterpret_cast<const unsigned char *>(payload));
    if (size == 0) {
        refuse("zero chunk size");
        return;
    }
    // The intake keeps it in an int: with the top bit set it is negative there and fails.
    if (size > kMaxChunkSize) {
        refuse("chunk size out of range");
        return;
    }
    m_chunkSize = size;
}

void RtmpPublishReader::onCommand(const char *payload, std::uint32_t length)
{
    AmfCursor amf(payload, length);
    QByteArray name;
    if (!amf.string(name)) {
        refuse("malformed command");
        return;
    }
    if (name == "play" || name == "play2") {
        refuse("play instead of publish");
        return;
    }
    // Status replies move the intake to playing or publishing (a session), errors may make it
    // reconnect; both are the server's to send, never a camera's.
    if (name == "onStatus" || name == "_error") {
        refuse("server reply from the camera");
        return;
    }
    const bool release = name == "releaseStream";
    if (!release && name != "FCPublish" && name != "publish")
        return;
    // The intake's own reading of these: transaction number, null, then the name.
    QByteArray stream;
    if (!amf.number() || !amf.null() || !amf.string(stream)) {
        refuse("publish without a stream name");
        return;
    }
    if (stream.size() > kMaxStreamNameBytes) {
        refuse("stream name too long");
        return;
    }
    const auto withoutQuery = [](const QByteArray &s) {
        const int query = s.indexOf('?');
        return query >= 0 ? s.left(query) : s;
    };
    if (!m_releasedName.isNull() && withoutQuery(m_releasedName) != withoutQuery(stream)) {
        refuse("stream names differ");
        return;
    }
    if (!m_key.isEmpty() && !StreamKey::matches(stream, m_key)) {
        refuse("wrong stream key");
        return;
    }
    if (release) {
        if (m_releasedName.isNull())
            m_releasedName = stream;
        return;
    }
    // FCPublish or publish: the intake takes either as the start of the session.
    m_streamName = stream;
    m_state = State::Publish;
}
