#pragma once

#include <QByteArray>
#include <QString>

// The stream key a camera must name when the user asks for one: in its publish commands
// (RTMP) or in its stream id (SRT).
//
// Threads: reentrant.
class StreamKey
{
public:
    StreamKey() = delete;

    // Letters and digits only: typed by hand into camera apps, and safe in a URL as it is.
    static constexpr int kLength = 22; // 22 x log2(62) = 131 bits
    static constexpr const char *kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

    // A fresh key from the system's cryptographic source.
    static QString generate();

    // True when the publish command's stream name carries the key. A query some apps append
    // ("KEY?param=...") is not part of the name. The time taken depends only on the key's
    // length, not on where a wrong name differs.
    static bool matches(const QByteArray &streamName, const QByteArray &key);

    // True when an SRT caller's stream id carries the key: the key itself, or SRT's
    // access-control form "#!::" with comma-separated fields, the key as its resource name
    // ("#!::r=KEY,m=publish"; exactly one "r"). Compared in the same constant time.
    static bool srtStreamIdCarries(const QByteArray &streamId, const QByteArray &key);

private:
    // `given` is the key, in a time that depends only on the key's length.
    static bool equalsKey(const QByteArray &given, const QByteArray &key);
};
