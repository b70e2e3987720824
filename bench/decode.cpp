// Decode benchmark: one 30 fps RTMP stream (libx264 + AAC, 15 Mbit/s at 1920x1080, scaled by
// area) is published once and sent, through FFmpeg's tee muxer, to two receivers at the same
// time: a Session in this process and the ffmpeg command-line tool as a listen-mode receiver
// that decodes to nothing. It prints the CPU seconds each receiver spends per second of stream,
// the frames each decoded per second of stream, and the ratio of the two CPU figures.
//
// bench_decode [--seconds 10] [--sizes 1280x720,1920x1080] [--publisher live,replay]
//
// Publishers: "live" encodes while it sends, on this machine; "replay" encodes the same stream
// to a file before the run and sends it with `ffmpeg -re -i FILE -c copy` (bench/Replay.h), as
// a camera whose encoder is on its own chip: the receivers then share the machine with nothing
// but the sender.
#include "Replay.h"
#include "engine/Session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 60000;
// Bits per second for 1920x1080, scaled by area for other sizes (as the latency benchmark's
// publisher, about what a phone sends).
constexpr double kBitsPerPixel1080 = 15e6 / (1920.0 * 1080.0);

struct Settings
{
    double seconds = 10.0;
    QStringList sizes{QStringLiteral("1280x720"), QStringLiteral("1920x1080")};
    QStringList publishers{QStringLiteral("live"), QStringLiteral("replay")};
};

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

quint16 freeLoopbackPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

// Whether some socket listens on the loopback port (read from /proc, without connecting).
bool listening(quint16 port)
{
    QFile file(QStringLiteral("/proc/net/tcp"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted =
        ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + " ";
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArray fields = line.simplified();
        if (fields.contains(wanted) && fields.split(' ').value(3) == "0A")
            return true;
    }
    return false;
}

QString teeTo(quint16 first, quint16 second)
{
    return QStringLiteral("[f=flv]rtmp://127.0.0.1:%1/@/@|[f=flv]rtmp://127.0.0.1:%2/@/@")
        .arg(first)
        .arg(second);
}

// The stream: a test picture and a tone, libx264 ultrafast/zerolatency + AAC. Live, paced in
// real time and sent through a tee to both receivers (`output` is the tee); for the replay,
// encoded as fast as the machine can into a file (`output` is its path).
QStringList encoderArguments(const QString &size, double seconds, bool live, const QString &output)
{
    const QStringList wh = size.split(QLatin1Char('x'));
    const long bitrate = long(kBitsPerPixel1080 * wh.value(0).toDouble() * wh.value(1).toDouble());
    QStringList args{QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
                     QStringLiteral("-nostats"), QStringLiteral("-loglevel"),
                     QStringLiteral("error")};
    if (live)
        args << QStringLiteral("-re");
    args << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i")
         << QStringLiteral("testsrc2=size=%1:rate=30").arg(size) << QStringLiteral("-f")
         << QStringLiteral("lavfi") << QStringLiteral("-i")
         << QStringLiteral("sine=frequency=440:sample_rate=48000") << QStringLiteral("-t")
         << QString::number(seconds) << QStringLiteral("-c:v") << QStringLiteral("libx264")
         << QStringLiteral("-preset") << QStringLiteral("ultrafast") << QStringLiteral("-tune")
         << QStringLiteral("zerolatency") << QStringLiteral("-g") << QStringLiteral("30")
         << QStringLiteral("-b:v") << QString::number(bitrate) << QStringLiteral("-pix_fmt")
         << QStringLiteral("yuv420p") << QStringLiteral("-c:a") << QStringLiteral("aac")
         << QStringLiteral("-map") << QStringLiteral("0:v") << QStringLiteral("-map")
         << QStringLiteral("1:a");
    if (live)
        args << QStringLiteral("-f") << QStringLiteral("tee") << output;
    else
        args << QStringLiteral("-y") << QStringLiteral("-f") << QStringLiteral("flv") << output;
    return args;
}

// Runs the event loop until `done` is true or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// One measurement: both receivers fed one stream of `size` by `publisher`. False when a step
// failed (said on stderr).
bool measure(const Settings &s, const QString &size, const QString &publisher)
{
    const bool replay = publisher == QLatin1String("replay");
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("stream.flv"));
    if (replay) {
        if (!dir.isValid() ||
            !bench::encodeBeforeRun(QStringLiteral("ffmpeg"),
                                    encoderArguments(size, s.seconds, false, file),
                                    60000 + int(s.seconds * 20000))) {
            std::fprintf(stderr, "bench_decode: the stream for the replay was not made\n");
            return false;
        }
    }

    const quint16 managerPort = freeLoopbackPort();
    quint16 cliPort = freeLoopbackPort();
    while (cliPort == managerPort)
        cliPort = freeLoopbackPort();

    // The command-line receiver. Its CPU time is sampled from /proc/<pid>/stat (utime and
    // stime, in clock ticks) while it runs; only its last few milliseconds go uncounted.
    QProcess cli;
    cli.setProcessChannelMode(QProcess::SeparateChannels);
    cli.start(QStringLiteral("ffmpeg"),
              {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
               QStringLiteral("-loglevel"), QStringLiteral("info"), QStringLiteral("-listen"),
               QStringLiteral("1"), QStringLiteral("-i"),
               QStringLiteral("rtmp://127.0.0.1:%1").arg(cliPort), QStringLiteral("-f"),
               QStringLiteral("null"), QStringLiteral("-")});
    if (!cli.waitForStarted(5000)) {
        std::fprintf(stderr, "bench_decode: cannot start the command-line receiver\n");
        return false;
    }
    const QString cliStat = QStringLiteral("/proc/%1/stat").arg(cli.processId());
    const double ticks = double(sysconf(_SC_CLK_TCK));
    double cpuCli = -1;
    QByteArray cliOutput;
    const auto sampleCli = [&] {
        QFile stat(cliStat);
        if (stat.open(QIODevice::ReadOnly)) {
            // "pid (comm) state ...": utime and stime are fields 14 and 15.
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 12 && cli.state() == QProcess::Running)
                cpuCli = (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
        }
        cliOutput += cli.readAllStandardError();
    };
    const auto stopCli = [&] {
        if (cli.state() == QProcess::NotRunning)
            return;
        cli.kill();
        cli.waitForFinished(3000);
    };

    Session manager(nullptr);
    bool ended = false;
    QObject::connect(&manager, &Session::stopHandle, [&] { ended = true; });
    qint64 videoFrames = 0;
    qint64 audioFrames = 0;
    // Stands in for the delivery worker: drops what was queued so the pools stay small.
    QTimer consumer;
    consumer.setInterval(5);
    QTimer sampler;
    sampler.setInterval(50);
    QObject::connect(&sampler, &QTimer::timeout, sampleCli);
    sampler.start();
    QObject::connect(&consumer, &QTimer::timeout, [&] {
        while (manager.videoQueue().count() > 0) {
            manager.videoQueue().dropOldest();
            ++videoFrames;
        }
        while (manager.audioQueue().count() > 0) {
            manager.audioQueue().dropOldest();
            ++audioFrames;
        }
    });
    consumer.start();
    manager.startListen(QStringLiteral("rtmp://127.0.0.1:%1").arg(managerPort), managerPort);

    if (!waitFor([&] { return listening(managerPort) && listening(cliPort); }, 10000)) {
        std::fprintf(stderr, "bench_decode: a receiver does not listen\n");
        manager.requestStop();
        stopCli();
        return false;
    }

    QProcess live;
    bench::ReplaySender replayer;
    QProcess &publisherProcess = replay ? replayer.process() : live;

    const double cpuBefore = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    bool started = false;
    if (replay) {
        bench::ReplaySender::Options o;
        o.file = file;
        o.tee = teeTo(managerPort, cliPort);
        started = replayer.start(o, managerPort);
    } else {
        live.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        live.start(QStringLiteral("ffmpeg"),
                   encoderArguments(size, s.seconds, true, teeTo(managerPort, cliPort)));
        started = live.waitForStarted(5000);
    }
    if (!started) {
        std::fprintf(stderr, "bench_decode: cannot start the publisher\n");
        manager.requestStop();
        stopCli();
        return false;
    }
    const bool managerEnded = waitFor([&] { return ended; }, kWaitMs);
    const double cpuManager = processCpuSeconds() - cpuBefore;
    const double wallSeconds = wall.elapsed() / 1000.0;
    const bool cliEnded = waitFor([&] { return cli.state() == QProcess::NotRunning; }, kWaitMs);
    consumer.stop();
    sampler.stop();
    publisherProcess.waitForFinished(kWaitMs);
    cliOutput += cli.readAllStandardError();
    if (!managerEnded || !cliEnded) {
        std::fprintf(stderr, "bench_decode: a receiver did not end (manager %d, cli %d)\n",
                     int(managerEnded), int(cliEnded));
        manager.requestStop();
        stopCli();
        publisherProcess.kill();
        publisherProcess.waitForFinished(3000);
        return false;
    }

    qint64 cliFrames = -1;
    QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("frame=\\s*(\\d+)"))
                                             .globalMatch(QString::fromUtf8(cliOutput));
    while (it.hasNext())
        cliFrames = it.next().captured(1).toLongLong();

    std::printf("\ndecode benchmark: %s 30 fps H.264 + AAC, %.0f s of stream, publisher %s\n",
                qPrintable(size), s.seconds, qPrintable(publisher));
    std::printf("  Session       : %.3f CPU s per stream s, %.1f fps (%lld pictures, %lld audio "
                "frames, %.1f s wall)\n",
                cpuManager / s.seconds, videoFrames / s.seconds,
                static_cast<long long>(videoFrames), static_cast<long long>(audioFrames),
                wallSeconds);
    std::printf("  ffmpeg CLI    : %.3f CPU s per stream s, %.1f fps (%lld pictures)\n",
                cpuCli / s.seconds, cliFrames / s.seconds, static_cast<long long>(cliFrames));
    if (cpuCli > 0)
        std::printf("  ratio         : %.2fx the CLI's CPU (target at most 1.15x)\n",
                    cpuManager / cpuCli);
    std::printf("SUMMARY decode | %s | publisher %s | session %.3f | cli %.3f | ratio %.2f\n",
                qPrintable(size), qPrintable(publisher), cpuManager / s.seconds, cpuCli / s.seconds,
                cpuCli > 0 ? cpuManager / cpuCli : 0.0);
    std::fflush(stdout);
    return true;
}

bool parseArgs(const QStringList &args, Settings *s)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        const QString v = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (a == QLatin1String("--seconds"))
            s->seconds = v.toDouble(), ++i;
        else if (a == QLatin1String("--sizes"))
            s->sizes = v.split(QLatin1Char(',')), ++i;
        else if (a == QLatin1String("--publisher"))
            s->publishers = v.split(QLatin1Char(',')), ++i;
        else
            return false;
    }
    for (const QString &size : s->sizes)
        if (!QRegularExpression(QStringLiteral("^\\d+x\\d+$")).match(size).hasMatch())
            return false;
    return s->seconds >= 1 && bench::validPublishers(s->publishers);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Settings s;
    if (!parseArgs(app.arguments(), &s)) {
        std::fprintf(stderr,
                     "usage: %s [--seconds S] [--sizes WxH,...] [--publisher live,replay]\n",
                     argv[0]);
        return 1;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty()) {
        std::fprintf(stderr, "bench_decode: the ffmpeg command-line tool is needed\n");
        return 1;
    }
    // Quiet the per-frame and set-up logs of both receivers; the figures go to stdout.
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    av_log_set_level(AV_LOG_ERROR);

    bool failed = false;
    for (const QString &size : s.sizes)
        for (const QString &publisher : s.publishers)
            failed = !measure(s, size, publisher) || failed;
    return failed ? 2 : 0;
}
