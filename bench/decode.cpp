// Decode benchmark: one 1920x1080 30 fps RTMP stream (libx264 + AAC, 10 s) is published once
// and sent, through FFmpeg's tee muxer, to two receivers at the same time: a Session in
// this process and the ffmpeg command-line tool as a listen-mode receiver that decodes to
// nothing. It prints the CPU seconds each receiver spends per second of stream, the frames
// each decoded per second of stream, and the ratio of the two CPU figures.
#include "engine/Session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

constexpr double kStreamSeconds = 10.0;
constexpr int kWaitMs = 60000;

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

// The publisher: a 1080p30 test picture and a tone, libx264 ultrafast/zerolatency + AAC,
// paced in real time, sent through a tee to both receivers.
QStringList publisherArguments(quint16 first, quint16 second, double seconds)
{
    return {QStringLiteral("-hide_banner"),
            QStringLiteral("-nostdin"),
            QStringLiteral("-nostats"),
            QStringLiteral("-loglevel"),
            QStringLiteral("error"),
            QStringLiteral("-re"),
            QStringLiteral("-f"),
            QStringLiteral("lavfi"),
            QStringLiteral("-i"),
            QStringLiteral("testsrc2=size=1920x1080:rate=30"),
            QStringLiteral("-f"),
            QStringLiteral("lavfi"),
            QStringLiteral("-i"),
            QStringLiteral("sine=frequency=440:sample_rate=48000"),
            QStringLiteral("-t"),
            QString::number(seconds),
            QStringLiteral("-c:v"),
            QStringLiteral("libx264"),
            QStringLiteral("-preset"),
            QStringLiteral("ultrafast"),
            QStringLiteral("-tune"),
            QStringLiteral("zerolatency"),
            QStringLiteral("-g"),
            QStringLiteral("30"),
            QStringLiteral("-b:v"),
            QStringLiteral("15M"),
            QStringLiteral("-pix_fmt"),
            QStringLiteral("yuv420p"),
            QStringLiteral("-c:a"),
            QStringLiteral("aac"),
            QStringLiteral("-map"),
            QStringLiteral("0:v"),
            QStringLiteral("-map"),
            QStringLiteral("1:a"),
            QStringLiteral("-f"),
            QStringLiteral("tee"),
            QStringLiteral("[f=flv]rtmp://127.0.0.1:%1/@/@|[f=flv]rtmp://127.0.0.1:%2/@/@")
                .arg(first)
                .arg(second)};
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty()) {
        std::fprintf(stderr, "bench_decode: the ffmpeg command-line tool is needed\n");
        return 1;
    }
    // Quiet the per-frame and set-up logs of both receivers; the figures go to stdout.
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    av_log_set_level(AV_LOG_ERROR);

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
        return 1;
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
        cli.kill();
        cli.waitForFinished(3000);
        return 1;
    }

    QProcess publisherProcess;
    publisherProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);

    const double cpuBefore = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    publisherProcess.start(QStringLiteral("ffmpeg"),
                           publisherArguments(managerPort, cliPort, kStreamSeconds));
    if (!publisherProcess.waitForStarted(5000)) {
        std::fprintf(stderr, "bench_decode: cannot start the publisher\n");
        return 1;
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
        cli.kill();
        cli.waitForFinished(3000);
        publisherProcess.kill();
        publisherProcess.waitForFinished(3000);
        return 1;
    }

    qint64 cliFrames = -1;
    QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("frame=\\s*(\\d+)"))
                                             .globalMatch(QString::fromUtf8(cliOutput));
    while (it.hasNext())
        cliFrames = it.next().captured(1).toLongLong();

    std::printf("decode benchmark: 1920x1080 30 fps H.264 + AAC, 15 Mbit/s, %.0f s of stream\n",
                kStreamSeconds);
    std::printf("  StreamManager : %.3f CPU s per stream s, %.1f fps (%lld pictures, %lld audio "
                "frames, %.1f s wall)\n",
                cpuManager / kStreamSeconds, videoFrames / kStreamSeconds,
                static_cast<long long>(videoFrames), static_cast<long long>(audioFrames),
                wallSeconds);
    std::printf("  ffmpeg CLI    : %.3f CPU s per stream s, %.1f fps (%lld pictures)\n",
                cpuCli / kStreamSeconds, cliFrames / kStreamSeconds,
                static_cast<long long>(cliFrames));
    if (cpuCli > 0)
        std::printf("  ratio         : %.2fx the CLI's CPU (target at most 1.15x)\n",
                    cpuManager / cpuCli);
    return 0;
}
