#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>

// A real RTMP (or SRT) publisher for tests and benchmarks: the ffmpeg command-line tool encoding a
// synthetic picture (H.264) and tone (AAC) and pushing them as FLV to
// rtmp://127.0.0.1:<port>/@/@, the address form cameras use (the path is an option). The process is
// stopped by stop() and at the latest by the destructor. Use from one thread (the test's).
class FfmpegPublisher
{
public:
    struct Options
    {
        QSize size{320, 240};
        QString rate = QStringLiteral("30"); // frame rate as ffmpeg takes it, e.g. "30000/1001"
        double durationS = 3.0;              // -t; 0 publishes until stopped
        bool audio = true;                   // false: -an, a video-only stream
        QString pixFmt = QStringLiteral("yuv420p");
        // lavfi picture source without size and rate, e.g. "testsrc2" or "color=c=red".
        QString videoSource = QStringLiteral("testsrc2");
        // A whole lavfi graph for the picture, used as it stands (size and rate are then up to
        // the graph), e.g. four coloured quarters built with hstack and vstack.
        QString lavfiVideo;
        int sampleRate = 48000;
        // Publish this file instead of a synthetic source, streams copied as they are
        // (-c copy); inputFileArgs go before its -i, e.g. {"-f", "h264", "-framerate", "30"}.
        QString inputFile;
        QStringList inputFileArgs;
        int gop = 30;
        bool realtime = true; // -re: paced like a camera
        QString bitrate;      // e.g. "15M"; empty: encoder default
        QStringList extraOutputArgs;
        // Application and stream name after the port ("@/KEY" with a stream key; "@" gives
        // no stream name at all).
        QString path = QStringLiteral("@/@");
        // SRT instead of RTMP: MPEG-TS to srt://127.0.0.1:<port>?mode=caller, with these URL
        // options appended (e.g. "passphrase=...&latency=120000").
        bool srt = false;
        QString srtOptions;
    };

    explicit FfmpegPublisher(const Options &options);
    FfmpegPublisher();
    ~FfmpegPublisher();
    FfmpegPublisher(const FfmpegPublisher &) = delete;
    FfmpegPublisher &operator=(const FfmpegPublisher &) = delete;

    // True when an ffmpeg binary can be started.
    static bool available();
    static QString program();

    QStringList arguments(quint16 port) const;
    // The muxer and address part of arguments().
    QStringList outputArguments(quint16 port) const;
    // Starts publishing to the port; false when the process did not start.
    bool start(quint16 port);
    // Waits for the process to end by itself (end of -t). True when it ended in time.
    bool waitForFinished(int timeoutMs);
    // Abrupt end: the connection drops without an RTMP close, like a camera losing power.
    void kill();
    // Freezes the process (SIGSTOP) and lets it run again (SIGCONT): its connection stays open
    // and silent, like a phone that left the network without closing it.
    bool freeze();
    bool thaw();
    // Polite end, then kill if needed; always waits for the process. Safe to call twice.
    void stop();

    bool isRunning() const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    // What ffmpeg wrote to stderr so far (log level "warning").
    QByteArray errorOutput();
    qint64 processId() const;

private:
    Options m_options;
    QProcess m_process;
    QByteArray m_errors;
};
