#pragma once

#include <QByteArray>

// The bytes a camera sends to start an RTMP session, up to its publish: the handshake (C0, C1,
// C2, with made-up contents), `connect` and `publish` naming `stream`, each command one chunk.
// What follows them is the stream itself, which a relay copies as it is.
namespace RtmpSessionStart {

inline QByteArray amfString(const QByteArray &text)
{
    QByteArray out(1, 0x02);
    out.append(char(text.size() >> 8)).append(char(text.size() & 0xff)).append(text);
    return out;
}

// One AMF0 command message (type 20) in one chunk on chunk stream 3.
inline QByteArray commandChunk(const QByteArray &payload, quint32 messageStream)
{
    QByteArray out(1, 0x03);
    out.append(QByteArray(3, '\0')); // timestamp
    out.append(char(payload.size() >> 16)).append(char(payload.size() >> 8));
    out.append(char(payload.size()));
    out.append(char(20));
    out.append(char(messageStream)).append(QByteArray(3, '\0')); // little-endian
    return out + payload;
}

inline QByteArray bytes(const QByteArray &stream)
{
    QByteArray start(1, 3);
    for (int i = 1; i < 1 + 2 * 1536; ++i)
        start.append(char((i * 131) & 0xff));
    const QByteArray number(9, '\0'); // transaction ids are never looked at
    QByteArray connectObject(1, 0x03);
    connectObject.append(char(0)).append(char(3)).append("app").append(amfString("@"));
    connectObject.append(QByteArray("\x00\x00\x09", 3));
    start += commandChunk(amfString("connect") + number + connectObject, 0);
    start += commandChunk(amfString("publish") + number + QByteArray(1, 0x05) + amfString(stream) +
                              amfString("live"),
                          1);
    return start;
}

} // namespace RtmpSessionStart
