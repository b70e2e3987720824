#include "ingest/RtmpPublishReader.h"

#include <algorithm>
#include <cstring>

namespace {

// Message types (RTMP chunk stream and message formats).
constexpr std::uint8_t kSetChunkSize = 1;
constexpr std::uint8_t kAbortMessage = 2;
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
constexpr std::uint8_t kAmfUndefined = 0x06;

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
    bool nullOrUndefined()
    {
        if (m_left < 1 || (m_p[0] != kAmfNull && m_p[0] != kAmfUndefined))
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
    const auto *const p = reinterpret_cast<const unsigned char *>(payload);
    switch (type) {
    case kSetChunkSize: {
        if (length < 4) {
            refuse("short chunk size message");
            return;
        }
        const std::uint32_t size = be32(p) & kMaxChunkSize;
        if (size == 0) {
            refuse("zero chunk size");
            return;
        }
        m_chunkSize = size;
        return;
    }
    case kAbortMessage:
        if (length >= 4) {
            const std::uint32_t aborted = be32(p);
            for (ChunkStream &stream : m_streams) {
                if (stream.csid == aborted)
                    stream.message.clear();
            }
        }
        return;
    case kCommandAmf0:
        onCommand(payload, length);
        return;
    case kCommandAmf3:
        // An AMF3 command starts with a format byte of 0 and is AMF0 after it.
        if (length < 1 || p[0] != 0) {
            refuse("malformed command");
            return;
        }
        onCommand(payload + 1, length - 1);
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
        // Acknowledgements, window sizes, user control: nothing to do with the stream name.
        return;
    }
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
    if (name != "publish")
        return;
    QByteArray stream;
    if (!amf.number() || !amf.nullOrUndefined() || !amf.string(stream)) {
        refuse("publish without a stream name");
        return;
    }
    m_streamName = stream;
    m_state = State::Publish;
}
