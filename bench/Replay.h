#pragma once

// The replay publisher: a stream encoded before the run and written to a file, then sent at
// its real rate by the ffmpeg command-line tool with its streams copied (`ffmpeg -re -i FILE
// -c copy -f flv rtmp://...`, MPEG-TS for SRT). A phone or an action camera encodes on its own
// chip; a publisher that encodes on the machine under test takes most of a core from the
// receiver and adds its own jitter, so CPU figures read against the CLI baseline are only fair
// with the encoder out of the way. Header only, shared by the latency and decode benchmarks.
// Everything here runs on the benchmark's main thread.

#include "Stamp.h"
#include "support/FfmpegPublisher.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>

namespace bench {

// Which publishers a benchmark runs: "live" encodes while it sends, "replay" sends a file.
inline bool validPublishers(const QStringList &publishers)
{
    for (const QString &p : publishers)
        if (p != QLatin1String("live") && p != QLatin1String("replay"))
            return false;
    return !publishers.isEmpty();
}

// Runs a program that writes the file to replay and waits for it; false (with its exit shown)
// when it did not make the file.
inline bool encodeBeforeRun(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess encoder;
    encoder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    encoder.setStandardOutputFile(QProcess::nullDevice());
    encoder.start(program, args);
    if (!encoder.waitForStarted(10000)) {
        std::fprintf(stderr, "the encoder for the replay did not start: %s\n", qPrintable(program));
        return false;
    }
    if (!encoder.waitForFinished(timeoutMs)) {
        encoder.kill();
        encoder.waitForFinished(5000);
        std::fprintf(stderr, "the encoder for the replay did not finish in time\n");
        return false;
    }
    if (encoder.exitStatus() != QProcess::NormalExit || encoder.exitCode() != 0) {
        std::fprintf(stderr, "the encoder for the replay failed (exit %d)\n", encoder.exitCode());
        return false;
    }
    return true;
}

// Sends a file at its real rate and tells when the replay's clock started. ffmpeg's progress
// report (-progress pipe:1) says at each report how far into the stream the packets sent so
// far reach (out_time_us: the end of the last one's span). With -re a packet leaves on the
// replay's clock or up to one of ffmpeg's 10 ms polls later, and some reports come right after
// a packet; so the earliest "report time - out_time" over the run is the clock's start, and a
// picture whose span ends at T into the stream left at that start + T. Wire times read this way
// are good to about a frame (the live publisher's own are exact); CPU and memory, what the
// replay is for, do not depend on them.
class ReplaySender
{
public:
    struct Options
    {
        QString file;
        // Where the copied streams go: FLV over RTMP to rtmp://127.0.0.1:<port>/@/@, or with
        // `srt` MPEG-TS as an SRT caller; `tsDefaultMuxing` keeps the CLI's default TS muxing
        // (sound gathered into PES packets of a few hundred ms) instead of one sound frame per
        // PES packet, as a low-delay camera sends.
        bool srt = false;
        bool tsDefaultMuxing = false;
        // A tee of several outputs instead (for example "[f=flv]rtmp://...|[f=flv]rtmp://...").
        QString tee;
    };

    ReplaySender()
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { readProgress(); });
    }
    ~ReplaySender() { stop(); }
    ReplaySender(const ReplaySender &) = delete;
    ReplaySender &operator=(const ReplaySender &) = delete;

    static QStringList arguments(const Options &o, quint16 port)
    {
        FfmpegPublisher::Options p;
        p.inputFile = o.file;
        p.durationS = 0;
        p.srt = o.srt;
        // Reports every 50 ms on stdout; the stats on stderr stay off (-nostats).
        p.extraOutputArgs = QStringList{QStringLiteral("-progress"), QStringLiteral("pipe:1"),
                                        QStringLiteral("-stats_period"), QStringLiteral("0.05")};
        if (o.srt && !o.tsDefaultMuxing)
            p.extraOutputArgs << QStringLiteral("-pes_payload_size") << QStringLiteral("0");
        QStringList args = FfmpegPublisher(p).arguments(port);
        // The end of the stream makes the FLV muxer warn that it cannot seek back on a
        // connection; nothing else of the replay's is worth reading between the figures.
        const int level = args.indexOf(QStringLiteral("-loglevel"));
        if (level >= 0 && level + 1 < args.size())
            args[level + 1] = QStringLiteral("error");
        if (!o.tee.isEmpty()) {
            // The output part of the publisher's line is its last three arguments.
            args = args.mid(0, args.size() - 3);
            args << QStringLiteral("-map") << QStringLiteral("0") << QStringLiteral("-f")
                 << QStringLiteral("tee") << o.tee;
        }
        return args;
    }

    bool start(const Options &o, quint16 port)
    {
        stop();
        m_originUs = INT64_MAX;
        m_pending.clear();
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(FfmpegPublisher::program(), arguments(o, port));
        return m_process.waitForStarted(10000);
    }

    // The process, to wait on: its reports are read while a wait runs.
    QProcess &process() { return m_process; }

    // When the replay's clock started (stamp::nowUs()); INT64_MAX when no report came.
    int64_t originUs()
    {
        readProgress();
        return m_originUs;
    }

    // Safe to call twice; waits for the process.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

private:
    void readProgress()
    {
        const int64_t nowUs = stamp::nowUs();
        m_pending += m_process.readAllStandardOutput();
        int end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            if (!line.startsWith("out_time_us="))
                continue;
            bool ok = false;
            const qint64 outUs = line.mid(12).toLongLong(&ok);
            if (ok && outUs >= 0)
                m_originUs = std::min<int64_t>(m_originUs, nowUs - outUs);
        }
    }

    QProcess m_process;
    QByteArray m_pending;
    int64_t m_originUs = INT64_MAX;
};

} // namespace bench
