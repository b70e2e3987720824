// The publish reader on its own: session starts built chunk by chunk (every header form,
// chunk size changes, extended times, interleaved chunk streams), the start of a real ffmpeg
// session, the sessions it must refuse, and a seeded mutation run whose only judge is that the
// reader stays inside its buffer (the ASan build) and keeps its own bounds.
#include "ingest/RtmpPublishReader.h"
#include "ingest/StreamKey.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace {

using State = RtmpPublishReader::State;

QByteArray amfString(const QByteArray &s)
{
    QByteArray out(1, 0x02);
    out.append(char(s.size() >> 8)).append(char(s.size() & 0xff)).append(s);
    return out;
}

QByteArray amfNumber(double)
{
    return QByteArray(9, '\0'); // the value is never looked at
}

QByteArray command(const QByteArray &name, const QByteArray &rest = QByteArray(1, 0x05))
{
    return amfString(name) + amfNumber(1) + rest;
}

QByteArray publish(const QByteArray &stream)
{
    return command("publish", QByteArray(1, 0x05) + amfString(stream) + amfString("live"));
}

// Writes messages as chunks the way a client may: the first header of a chunk stream is
// type 0, later messages on it type 1 (or 2 when the length and type repeat), continuations
// type 3; times at or above 0xffffff use the extended field, repeated in type 3 chunks.
class ChunkWriter
{
public:
    QByteArray bytes;
    std::uint32_t chunkSize = 128;
    std::uint32_t timestamp = 0;

    void handshake(char version = 3)
    {
        bytes.append(version);
        bytes.append(QByteArray(2 * 1536, 'h'));
    }
    // The header and first chunk of a message, and the rest as further chunks; with `split`
    // only the first chunk is written and the rest is left for rest().
    void message(std::uint32_t csid, std::uint8_t type, const QByteArray &payload,
                 bool split = false)
    {
        Stream &s = m_streams[csid];
        const bool extended = timestamp >= 0xffffff;
        int fmt = 0;
        if (s.seen)
            fmt = (s.length == std::uint32_t(payload.size()) && s.type == type) ? 2 : 1;
        basic(fmt, csid);
        const std::uint32_t field = extended ? 0xffffff : timestamp;
        put24(field);
        if (fmt <= 1) {
            put24(std::uint32_t(payload.size()));
            bytes.append(char(type));
        }
        if (fmt == 0)
            bytes.append(QByteArray("\x01\x00\x00\x00", 4));
        if (extended)
            put32(timestamp);
        s = Stream{true, std::uint32_t(payload.size()), type, extended, payload, 0};
        chunk(csid);
        if (!split)
            rest(csid);
    }
    // One more continuation chunk of a split message; false when none is left.
    bool next(std::uint32_t csid)
    {
        Stream &s = m_streams[csid];
        if (s.sent >= s.pending.size())
            return false;
        basic(3, csid);
        if (s.extended)
            put32(timestamp);
        chunk(csid);
        return true;
    }
    void rest(std::uint32_t csid)
    {
        while (next(csid)) {
        }
    }
    void setChunkSize(std::uint32_t size)
    {
        QByteArray payload;
        payload.append(char(size >> 24)).append(char(size >> 16));
        payload.append(char(size >> 8)).append(char(size));
        message(2, 1, payload);
        chunkSize = size;
    }

private:
    struct Stream
    {
        bool seen = false;
        std::uint32_t length = 0;
        std::uint8_t type = 0;
        bool extended = false;
        QByteArray pending;
        int sent = 0;
    };
    void basic(int fmt, std::uint32_t csid)
    {
        if (csid < 64) {
            bytes.append(char((fmt << 6) | csid));
        } else if (csid < 320) {
            bytes.append(char(fmt << 6)).append(char(csid - 64));
        } else {
            bytes.append(char((fmt << 6) | 1));
            bytes.append(char((csid - 64) & 0xff)).append(char((csid - 64) >> 8));
        }
    }
    void chunk(std::uint32_t csid)
    {
        Stream &s = m_streams[csid];
        const int n = std::min<int>(int(chunkSize), s.pending.size() - s.sent);
        bytes.append(s.pending.mid(s.sent, n));
        s.sent += n;
    }
    void put24(std::uint32_t v)
    {
        bytes.append(char(v >> 16)).append(char(v >> 8)).append(char(v));
    }
    void put32(std::uint32_t v)
    {
        bytes.append(char(v >> 24));
        put24(v);
    }
    std::map<std::uint32_t, Stream> m_streams;
};

QByteArray connectCommand()
{
    // An object with the usual fields; long enough to need more than one 128-byte chunk.
    QByteArray object(1, 0x03);
    for (const char *field : {"app", "type", "flashVer", "tcUrl"}) {
        const QByteArray name(field);
        object.append(char(0)).append(char(name.size())).append(name);
        object.append(amfString("rtmp://192.168.1.20/@ some value long enough to span chunks"));
    }
    object.append(QByteArray("\x00\x00\x09", 3));
    return command("connect", object);
}

State feedAll(RtmpPublishReader &reader, const QByteArray &bytes, int step)
{
    for (int at = 0; at < bytes.size() && reader.state() == State::NeedMore; at += step)
        reader.feed(bytes.constData() + at, std::min(step, bytes.size() - at));
    return reader.state();
}

QByteArray corpusFile()
{
    QFile file(QStringLiteral(QUORVIX_TEST_DATA "/ffmpeg-publish.bin"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class RtmpPublishReaderTest : public QObject
{
    Q_OBJECT

private slots:
    void publishIsFoundWhateverTheChunking_data();
    void publishIsFoundWhateverTheChunking();
    void realFfmpegSession();
    void refusals_data();
    void refusals();
    void keyedNamesAreAccepted();
    void truncatedSessionOnlyWaits();
    void mutatedSessionsStayInBounds();
    void keyComparison();
};

void RtmpPublishReaderTest::publishIsFoundWhateverTheChunking_data()
{
    QTest::addColumn<QByteArray>("session");
    QTest::addColumn<int>("publishAt"); // where the publish's first chunk starts
    QTest::addColumn<QByteArray>("stream");

    const auto row = [](const char *name, ChunkWriter &w, int at, const QByteArray &stream) {
        QTest::newRow(name) << w.bytes << at << stream;
    };
    {
        // As ffmpeg and OBS do: commands on chunk stream 3, publish on 8 (type 0 there). The
        // intake starts its session at FCPublish, so that is the verdict.
        ChunkWriter w;
        w.handshake();
        w.message(3, 20, connectCommand());
        w.message(3, 20, command("releaseStream") + amfString("KEY"));
        const int at = w.bytes.size();
        w.message(3, 20, command("FCPublish") + amfString("KEY"));
        w.message(3, 20, command("createStream"));
        w.message(8, 20, publish("KEY"));
        w.message(4, 9, QByteArray(300, 'v')); // media after it is no concern
        row("usual order", w, at, "KEY");
    }
    {
        // Big chunks after a chunk size change; publish with a type 1 header on stream 3.
        ChunkWriter w;
        w.handshake();
        w.setChunkSize(4096);
        w.message(3, 20, connectCommand());
        const int at = w.bytes.size();
        w.message(3, 20, publish("k?query=1"));
        row("chunk size 4096", w, at, "k?query=1");
    }
    {
        // One byte per chunk: the command name itself is spread over many chunks.
        ChunkWriter w;
        w.handshake();
        w.setChunkSize(1);
        w.message(3, 20, connectCommand());
        const int at = w.bytes.size();
        w.message(5, 20, publish("tiny"));
        row("chunk size 1", w, at, "tiny");
    }
    {
        // Extended times, repeated in every continuation chunk.
        ChunkWriter w;
        w.handshake();
        w.timestamp = 0x01000000;
        w.message(3, 20, connectCommand());
        const int at = w.bytes.size();
        // Spans two chunks.
        w.message(3, 20, publish(QByteArray(120, 'e')) + amfString(QByteArray(50, 'p')));
        row("extended timestamps", w, at, QByteArray(120, 'e'));
    }
    {
        // The publish's chunks interleaved with another message's; type 2 header for a
        // repeated length and type.
        ChunkWriter w;
        w.handshake();
        w.message(3, 20, connectCommand());
        w.message(3, 20, command("createStream"));
        const int at = w.bytes.size();
        // Long enough to span chunks: the name and a padding field after it.
        w.message(6, 20, publish(QByteArray(120, 'i')) + amfString(QByteArray(200, 'p')), true);
        w.message(7, 20, connectCommand(), true);
        while (w.next(6) | w.next(7)) {
        }
        row("interleaved", w, at, QByteArray(120, 'i'));
    }
    {
        // Two- and three-byte chunk stream ids; FCPublish alone starts the session too.
        ChunkWriter w;
        w.handshake();
        w.message(100, 20, connectCommand());
        const int at = w.bytes.size();
        w.message(1000, 20, command("FCPublish") + amfString("long"));
        row("long ids, FCPublish", w, at, "long");
    }
}

void RtmpPublishReaderTest::publishIsFoundWhateverTheChunking()
{
    QFETCH(QByteArray, session);
    QFETCH(int, publishAt);
    QFETCH(QByteArray, stream);
    for (const int step : {1, 7, 1536, session.size()}) {
        RtmpPublishReader reader;
        QCOMPARE(feedAll(reader, session, step), State::Publish);
        QCOMPARE(reader.streamName(), stream);
        // Nothing of the publish is handed on before the verdict; everything before it is.
        QCOMPARE(reader.safeEnd(), publishAt);
    }
}

void RtmpPublishReaderTest::realFfmpegSession()
{
    const QByteArray session = corpusFile();
    QCOMPARE(session.size(), 8192);
    const int publishAt = session.indexOf(QByteArray("\x08\x00\x00\x00\x00\x00\x2e\x14", 8));
    QVERIFY(publishAt > RtmpPublishReader::kHandshakeBytes);
    // ffmpeg sends FCPublish (type 1 header on chunk stream 3) before publish: the verdict.
    const int fcPublishAt = session.indexOf(QByteArray("\x43\x00\x00\x00\x00\x00\x29\x14", 8));
    QVERIFY(fcPublishAt > RtmpPublishReader::kHandshakeBytes && fcPublishAt < publishAt);
    for (const int step : {1, 100, session.size()}) {
        RtmpPublishReader reader;
        QCOMPARE(feedAll(reader, session, step), State::Publish);
        QCOMPARE(reader.streamName(), QByteArray("K3yFromTheCorpus"));
        QCOMPARE(reader.safeEnd(), fcPublishAt);
        // Fed byte by byte, it stops at the chunk that completes the FCPublish.
        if (step == 1)
            QCOMPARE(reader.size(), fcPublishAt + 8 + 0x29);
    }
}

void RtmpPublishReaderTest::refusals_data()
{
    QTest::addColumn<QByteArray>("session");
    QTest::addColumn<QByteArray>("why");
    QTest::addColumn<QByteArray>("key"); // given to the reader; empty: none

    const auto start = [] {
        ChunkWriter w;
        w.handshake();
        w.message(3, 20, connectCommand());
        return w;
    };
    const auto row = [](const char *name, const ChunkWriter &w, const char *why,
                        const QByteArray &key = QByteArray()) {
        QTest::newRow(name) << w.bytes << QByteArray(why) << key;
    };
    {
        ChunkWriter w;
        w.handshake(6);
        row("encrypted handshake", w, "not an RTMP handshake");
    }
    {
        ChunkWriter w = start();
        w.message(4, 9, QByteArray(50, 'v'));
        row("media first", w, "media before publish");
    }
    {
        ChunkWriter w = start();
        w.message(3, 18, amfString("@setDataFrame"));
        row("metadata first", w, "media before publish");
    }
    {
        ChunkWriter w = start();
        w.message(8, 20, command("play", QByteArray(1, 0x05) + amfString("KEY")));
        row("player", w, "play instead of publish");
    }
    {
        ChunkWriter w = start();
        w.message(8, 20, command("publish"));
        row("publish without name", w, "publish without a stream name");
    }
    {
        ChunkWriter w = start();
        w.message(3, 20, command("FCPublish"));
        row("FCPublish without name", w, "publish without a stream name");
    }
    {
        // The intake reads null there and fails on undefined.
        ChunkWriter w = start();
        w.message(8, 20, command("publish", QByteArray(1, 0x06) + amfString("KEY")));
        row("undefined for null", w, "publish without a stream name");
    }
    {
        ChunkWriter w = start();
        QByteArray p = publish("KEY");
        p[p.indexOf("KEY") - 1] = char(200); // the name's length runs past the message
        w.message(8, 20, p);
        row("name past the message", w, "publish without a stream name");
    }
    {
        ChunkWriter w = start();
        w.message(8, 20, publish(QByteArray(RtmpPublishReader::kMaxStreamNameBytes + 1, 'n')));
        row("name longer than the intake keeps", w, "stream name too long");
    }
    {
        ChunkWriter w = start();
        w.message(3, 20, command("releaseStream") + amfString("OTHER"));
        w.message(3, 20, command("FCPublish") + amfString("KEY"));
        row("releaseStream names another stream", w, "stream names differ");
    }
    {
        // With the key the first wrong name ends it, without waiting for FCPublish.
        ChunkWriter w = start();
        w.message(3, 20, command("releaseStream") + amfString("WRONG"));
        row("releaseStream with a wrong key", w, "wrong stream key", "KEY");
    }
    {
        ChunkWriter w = start();
        w.message(3, 20, command("FCPublish") + amfString("WRONG"));
        row("FCPublish with a wrong key", w, "wrong stream key", "KEY");
    }
    {
        ChunkWriter w = start();
        w.message(8, 20, QByteArray(1, 0x00) + amfNumber(0));
        row("command not named", w, "malformed command");
    }
    {
        // The intake ignores AMF3 commands; read as commands they would say what it never saw.
        ChunkWriter w = start();
        w.message(3, 17, QByteArray(1, 0) + publish("KEY"));
        row("AMF3 command", w, "AMF3 command");
    }
    {
        // An onStatus with NetStream.Play.Start would move the intake into a session.
        ChunkWriter w = start();
        w.message(3, 20, command("onStatus", QByteArray(1, 0x05) + amfString("status")));
        row("status reply", w, "server reply from the camera");
    }
    {
        ChunkWriter w;
        w.handshake();
        w.message(3, 20, command("createStream"));
        row("no connect first", w, "no connect first");
    }
    {
        ChunkWriter w;
        w.handshake();
        w.setChunkSize(256);
        w.setChunkSize(512);
        w.message(3, 20, connectCommand());
        row("two chunk sizes before connect", w, "no connect first");
    }
    {
        // Half a message on stream 5, then an Abort for it: the intake keeps the half and
        // fills it with whatever comes next on stream 5.
        ChunkWriter w = start();
        w.message(5, 20, command("createStream") + QByteArray(300, 'x'), true);
        w.message(2, 2, QByteArray("\x00\x00\x00\x05", 4));
        row("abort of a half message", w, "abort message");
    }
    {
        ChunkWriter w = start();
        w.message(2, 2, QByteArray("\x00\x00\x00\x09", 4));
        row("abort of nothing", w, "abort message");
    }
    {
        ChunkWriter w = start();
        w.message(2, 5, QByteArray(4, '\0'));
        row("window size of zero", w, "malformed control message");
    }
    {
        ChunkWriter w = start();
        w.message(2, 4, QByteArray("\x00\x06", 2));
        row("short ping request", w, "malformed control message");
    }
    {
        ChunkWriter w = start();
        w.bytes.append(QByteArray("\x03\x00\x00\x00\xff\xff\xff\x14\x01\x00\x00\x00", 12));
        row("oversized length", w, "oversized message");
    }
    {
        ChunkWriter w = start();
        w.bytes.append(char(0xc9)); // type 3 on a stream never opened
        row("continuation of nothing", w, "chunk continues an unknown header");
    }
    {
        // A type 1 header on a stream never opened: the intake would take it as a whole
        // message with zero time.
        ChunkWriter w = start();
        w.bytes.append(QByteArray("\x4a\x00\x00\x00\x00\x00\x05\x09", 8) + "vvvvv");
        row("type 1 header on a fresh stream", w, "chunk continues an unknown header");
    }
    {
        ChunkWriter w = start();
        for (std::uint32_t id = 10; id < 20; ++id)
            w.message(id, 20, command("createStream"));
        row("too many chunk streams", w, "too many chunk streams");
    }
    {
        ChunkWriter w = start();
        w.message(9, 20, QByteArray(300, 'x'), true); // a first chunk on stream 9
        w.message(9, 20, command("createStream"));
        row("header inside a message", w, "new header inside a message");
    }
    {
        ChunkWriter w = start();
        w.setChunkSize(0);
        row("zero chunk size", w, "zero chunk size");
    }
    {
        // The intake reads the size as an int: negative.
        ChunkWriter w = start();
        w.setChunkSize(0x80000080);
        row("chunk size with the top bit", w, "chunk size out of range");
    }
    {
        // Endless harmless commands: the byte bound ends it.
        ChunkWriter w = start();
        while (w.bytes.size() < 2 * RtmpPublishReader::kDefaultLimitBytes)
            w.message(3, 20, command("_checkbw"));
        row("no publish within the bound", w, "no publish within the first bytes");
    }
}

void RtmpPublishReaderTest::refusals()
{
    QFETCH(QByteArray, session);
    QFETCH(QByteArray, why);
    QFETCH(QByteArray, key);
    RtmpPublishReader reader;
    reader.setRequiredKey(key);
    QCOMPARE(feedAll(reader, session, 333), State::Refused);
    QCOMPARE(QByteArray(reader.refusal()), why);
    QCOMPARE(reader.mediaBeforePublish(), why == "media before publish");
    QVERIFY(reader.size() <= RtmpPublishReader::kDefaultLimitBytes);
    QCOMPARE(reader.room(), 0);
    QCOMPARE(reader.feed("x", 1), 0);
}

void RtmpPublishReaderTest::keyedNamesAreAccepted()
{
    // The key in all three commands, once with a query: the verdict is FCPublish's name.
    ChunkWriter w;
    w.handshake();
    w.message(3, 20, connectCommand());
    w.message(3, 20, command("releaseStream") + amfString("KEY?token=1"));
    const int at = w.bytes.size();
    w.message(3, 20, command("FCPublish") + amfString("KEY"));
    w.message(3, 20, command("createStream"));
    w.message(8, 20, publish("WRONG")); // after the verdict: the reader no longer looks
    RtmpPublishReader reader;
    reader.setRequiredKey("KEY");
    QCOMPARE(feedAll(reader, w.bytes, 100), State::Publish);
    QCOMPARE(reader.streamName(), QByteArray("KEY"));
    QCOMPARE(reader.safeEnd(), at);
}

void RtmpPublishReaderTest::truncatedSessionOnlyWaits()
{
    // Every cut of a good session waits for more: no early verdict either way.
    ChunkWriter w;
    w.handshake();
    w.setChunkSize(60);
    w.timestamp = 0x01020304;
    w.message(3, 20, connectCommand());
    w.message(8, 20, publish("KEY"));
    const QByteArray session = w.bytes;
    for (int cut = 0; cut < session.size(); ++cut) {
        RtmpPublishReader reader;
        reader.feed(session.constData(), cut);
        QVERIFY2(reader.state() == State::NeedMore, qPrintable(QString::number(cut)));
        QVERIFY(reader.safeEnd() <= cut);
    }
}

void RtmpPublishReaderTest::mutatedSessionsStayInBounds()
{
    ChunkWriter built;
    built.handshake();
    built.setChunkSize(50);
    built.timestamp = 0xfffffff0;
    built.message(3, 20, connectCommand());
    built.message(3, 20, command("createStream") + QByteArray(100, 'c'), true);
    built.message(70, 20, publish("KEY") + amfString(QByteArray(80, 'p')), true);
    while (built.next(3) | built.next(70)) {
    }
    const QByteArray corpus[] = {corpusFile(), built.bytes};

    QRandomGenerator random(20240611); // fixed: a failure replays
    const int limit = 6000;
    int verdicts[3] = {0, 0, 0};
    for (int round = 0; round < 4000; ++round) {
        QByteArray bytes = corpus[round % 2];
        const int edits = 1 + random.bounded(8);
        for (int e = 0; e < edits; ++e) {
            const int at = RtmpPublishReader::kHandshakeBytes +
                           random.bounded(bytes.size() - RtmpPublishReader::kHandshakeBytes);
            switch (random.bounded(5)) {
            case 0: // bit flip
                bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
                break;
            case 1: // truncation
                bytes.truncate(at + 1);
                break;
            case 2: // oversized or odd length field
                for (int i = 0; i < 3 && at + i < bytes.size(); ++i)
                    bytes[at + i] = char(random.bounded(2) ? 0xff : random.bounded(256));
                break;
            case 3: // a slice repeated
                bytes.insert(at, bytes.mid(random.bounded(bytes.size()), random.bounded(64)));
                break;
            default: // a random header byte
                bytes[at] = char(random.bounded(256));
                break;
            }
        }
        RtmpPublishReader reader(limit);
        int at = 0;
        while (at < bytes.size() && reader.state() == State::NeedMore) {
            const int step = 1 + random.bounded(700);
            const int taken =
                reader.feed(bytes.constData() + at, std::min(step, bytes.size() - at));
            QVERIFY(taken >= 0);
            at += taken;
            if (taken == 0)
                break;
        }
        QVERIFY(reader.size() <= limit);
        QVERIFY(reader.safeEnd() <= reader.size());
        if (reader.state() == State::Publish)
            QVERIFY(reader.streamName().size() <= int(RtmpPublishReader::kMaxMessageBytes));
        ++verdicts[int(reader.state())];
    }
    qInfo("mutated sessions: %d waiting, %d publish, %d refused", verdicts[0], verdicts[1],
          verdicts[2]);
    // The run reaches all three outcomes, so it is not just bouncing off the first check.
    QVERIFY(verdicts[0] > 0 && verdicts[1] > 0 && verdicts[2] > 0);
}

void RtmpPublishReaderTest::keyComparison()
{
    const QByteArray key = StreamKey::generate().toLatin1();
    QCOMPARE(key.size(), StreamKey::kLength);
    QVERIFY(StreamKey::generate().toLatin1() != key);
    for (const char c : key)
        QVERIFY(std::strchr(StreamKey::kAlphabet, c));
    QVERIFY(StreamKey::matches(key, key));
    QVERIFY(StreamKey::matches(key + "?token=1", key));
    QVERIFY(!StreamKey::matches(key.left(key.size() - 1), key));
    QVERIFY(!StreamKey::matches(key + "x", key));
    QVERIFY(!StreamKey::matches("@", key));
    QVERIFY(!StreamKey::matches("", key));
    QVERIFY(!StreamKey::matches("", ""));
    QByteArray last = key;
    last[last.size() - 1] = last.at(last.size() - 1) == 'A' ? 'B' : 'A';
    QVERIFY(!StreamKey::matches(last, key));
}

QTEST_GUILESS_MAIN(RtmpPublishReaderTest)
#include "tst_rtmppublishreader.moc"
