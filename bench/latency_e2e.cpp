// End-to-end latency, start-up, CPU and memory of quorvix against the do-it-yourself
// alternative, the ffmpeg command-line tool listening for RTMP and writing YUV4MPEG2, measured
// in the same run with the same stamped publisher (bench_stamped_publisher).
//
// For each variant (size, pixel format, audio) and each system (quorvix; ffmpeg with default
// flags; ffmpeg with low-delay flags) and each run: the system starts with its output on a
// file it follows as it grows (bench/TapReader.h); the publisher connects and streams; this program
// reads the FIFO, decodes every picture's stamp, and prints
//   connection -> first picture (from the publisher's TCP connect to the first stamped picture),
//   wire -> webcam and send -> webcam latency (median, p95, max) over the steady state,
//   frames lost and repeated, CPU seconds per stream second and peak RSS of the system,
// then per variant the medians over the runs and quorvix's ratios to both baselines.
// Then a publisher without a frame rate in its metadata checks quorvix's rate detection
// and pacing. Last, SRT: the same publisher sends MPEG-TS as an SRT caller, straight and through
// a seeded UDP relay that drops 2 % of the datagrams each way, next to RTMP in the same run
// (1280x720 with audio); printed with the longest time without a new picture.
//
// bench_latency_e2e [--runs 3] [--seconds 20] [--warmup 3]
//     [--sizes 1280x720,1920x1080] [--pix-fmts yuv420p,yuvj420p] [--audio yes,no]
//     [--systems quorvix,ffmpeg,ffmpeg-lowdelay] [--no-fps-check] [--no-srt] [--srt-only]
//
// Targets: wire -> webcam with audio median <= 45 ms, p95 <= 80 ms and below ffmpeg's
// default-flag median; connection -> first picture <= 1.0 s; CPU at 1920x1080 <= 1.10x
// ffmpeg default; peak RSS with one 1920x1080 camera <= 250 MB. SRT: at 0 % loss the median
// <= RTMP's + the SRT latency (120 ms); at 2 % loss no stall above 200 ms and at most 2 % of
// the pictures missing.

#include "BenchProcess.h"
#include "Stamp.h"
#include "TapReader.h"
#include "support/FreePort.h"
#include "support/LossyUdpRelay.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr unsigned kPublisherId = 7;

struct Settings
{
    int runs = 3;
    double seconds = 20;
    double warmupS = 3;
    QStringList sizes{QStringLiteral("1280x720"), QStringLiteral("1920x1080")};
    QStringList pixFmts{QStringLiteral("yuv420p"), QStringLiteral("yuvj420p")};
    QStringList audio{QStringLiteral("yes"), QStringLiteral("no")};
    QStringList systems{QStringLiteral("quorvix"), QStringLiteral("ffmpeg"),
                        QStringLiteral("ffmpeg-lowdelay")};
    bool fpsCheck = true;
    bool srt = true;
    bool srtOnly = false;
};

// The SRT listener's latency as the program's default sets it.
constexpr double kSrtLatencyMs = 120;
constexpr quint32 kLossSeed = 2026;

struct Result
{
    bool ok = false;
    QString note;
    double firstPictureMs = NAN;
    double wireMedian = NAN, wireP95 = NAN, wireMax = NAN;
    double sendMedian = NAN, sendP95 = NAN, sendMax = NAN;
    int lost = 0;
    int repeated = 0;
    int pictures = 0;
    double cpuPerStreamS = NAN;
    double peakRssMb = NAN;
    double tapRateFps = NAN;
    double longestStallMs = NAN; // longest time between two new pictures on the webcam
    qint64 datagramsDropped = 0;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

double median(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    return percentile(v, 0.5);
}

struct PublisherLog
{
    int64_t connectUs = 0;
    std::map<uint32_t, std::pair<int64_t, int64_t>> frames; // frame -> send, wire
};

PublisherLog readLog(const QString &path)
{
    PublisherLog log;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return log;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() >= 3 && f.at(0) == "C")
            log.connectUs = f.at(1).toLongLong();
        else if (f.size() >= 4 && f.at(0) == "F")
            log.frames[uint32_t(f.at(1).toLongLong())] = {f.at(2).toLongLong(),
                                                          f.at(3).toLongLong()};
    }
    return log;
}

QStringList baselineArgs(const QString &system, quint16 port, const QString &fifo)
{
    QStringList args{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                     QStringLiteral("error"), QStringLiteral("-nostdin")};
    if (system == QLatin1String("ffmpeg-lowdelay"))
        args << QStringLiteral("-flags") << QStringLiteral("low_delay")
             << QStringLiteral("-probesize") << QStringLiteral("8192")
             << QStringLiteral("-analyzeduration") << QStringLiteral("0")
             << QStringLiteral("-fpsprobesize") << QStringLiteral("0");
    args << QStringLiteral("-listen") << QStringLiteral("1") << QStringLiteral("-i")
         << QStringLiteral("rtmp://127.0.0.1:%1").arg(port) << QStringLiteral("-f")
         << QStringLiteral("yuv4mpegpipe") << QStringLiteral("-pix_fmt")
         << QStringLiteral("yuv420p") << QStringLiteral("-y") << fifo;
    return args;
}

// One run of one system against one publisher configuration.
// `srtLoss` >= 0: quorvix takes the stream by SRT, through a relay dropping that share.
Result runOnce(const Settings &s, const QString &system, const QString &size, const QString &pixFmt,
               bool audio, bool fpsMetadata, QString *quorvixLog = nullptr, double srtLoss = -1)
{
    Result r;
    // The output file lives in memory (see TapReader).
    QTemporaryDir dir(QStringLiteral("/dev/shm/quorvix-bench-XXXXXX"));
    if (!dir.isValid()) {
        r.note = QStringLiteral("no temporary folder");
        return r;
    }
    const QString fifo = dir.filePath(QStringLiteral("tap.y4m"));
    TapReader tap(fifo.toStdString());
    if (!tap.ok()) {
        r.note = QStringLiteral("cannot follow the output file");
        return r;
    }
    const quint16 port = FreePort::loopback();
    const bool srt = srtLoss >= 0;
    const quint16 srtPort = srt ? FreePort::udpLoopback() : 0;
    LossyUdpRelay lossyPath(srtPort, std::max(0.0, srtLoss), kLossSeed);

    bench::Quorvix quorvix;
    QProcess ffmpeg;
    qint64 pid = 0;
    if (system == QLatin1String("quorvix")) {
        if (!quorvix.start(port, dir.path(), fifo, size, srtPort)) {
            r.note = QStringLiteral("quorvix did not start listening");
            return r;
        }
        pid = quorvix.pid();
    } else {
        ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        ffmpeg.start(QStringLiteral("ffmpeg"), baselineArgs(system, port, fifo));
        if (!ffmpeg.waitForStarted(10000) ||
            !bench::waitFor([&] { return FreePort::isListening(port); }, 10000)) {
            r.note = QStringLiteral("ffmpeg did not start listening");
            return r;
        }
        pid = ffmpeg.processId();
    }

    quint16 publishPort = port;
    if (srt) {
        publishPort = srtLoss > 0 ? lossyPath.start() : srtPort;
        if (publishPort == 0) {
            r.note = QStringLiteral("the lossy path did not start");
            return r;
        }
    }
    const QString logPath = dir.filePath(QStringLiteral("publisher.log"));
    QProcess publisher;
    publisher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{QStringLiteral("--port"),    QString::number(publishPort),
                     QStringLiteral("--size"),    size,
                     QStringLiteral("--fps"),     QStringLiteral("30"),
                     QStringLiteral("--pix-fmt"), pixFmt,
                     QStringLiteral("--seconds"), QString::number(s.seconds),
                     QStringLiteral("--id"),      QString::number(kPublisherId),
                     QStringLiteral("--log"),     logPath};
    if (!audio)
        args << QStringLiteral("--no-audio");
    if (!fpsMetadata)
        args << QStringLiteral("--no-fps-metadata");
    if (srt)
        args << QStringLiteral("--srt");
    publisher.start(bench::publisherProgram(), args);
    if (!publisher.waitForStarted(10000)) {
        r.note = QStringLiteral("publisher did not start");
        return r;
    }

    // CPU of the system over time, to cut out the steady-state window afterwards.
    std::vector<std::pair<int64_t, double>> cpu;
    double peakKb = 0;
    while (publisher.state() != QProcess::NotRunning) {
        const bench::ProcSample sample = bench::procSample(pid);
        cpu.emplace_back(stamp::nowUs(), sample.cpuS);
        peakKb = std::max(peakKb, double(sample.peakRssKb));
        publisher.waitForFinished(200);
    }
    // The last pictures still on their way.
    bench::waitFor([] { return false; }, 1500);
    const bench::ProcSample last = bench::procSample(pid);
    peakKb = std::max(peakKb, double(last.peakRssKb));
    tap.stop();
    lossyPath.stop();
    r.datagramsDropped = lossyPath.dropped();

    bool systemOk = true;
    if (system == QLatin1String("quorvix")) {
        systemOk = quorvix.stop();
        if (!systemOk)
            r.note = QStringLiteral("quorvix ended badly: ") + quorvix.exitText();
        if (quorvixLog) {
            QFile f(quorvix.logPath());
            if (f.open(QIODevice::ReadOnly))
                *quorvixLog = QString::fromLocal8Bit(f.readAll());
        }
    } else {
        ffmpeg.terminate();
        if (!ffmpeg.waitForFinished(10000)) {
            ffmpeg.kill();
            ffmpeg.waitForFinished(5000);
        }
    }

    const PublisherLog log = readLog(logPath);
    if (publisher.exitCode() != 0 || log.frames.empty()) {
        r.note = QStringLiteral("publisher failed (exit %1)").arg(publisher.exitCode());
        return r;
    }
    const std::vector<TapFrame> frames = tap.frames();
    std::vector<const TapFrame *> mine;
    for (const TapFrame &f : frames)
        if (f.stamped && f.value.id == kPublisherId)
            mine.push_back(&f);
    if (mine.empty()) {
        r.note = QStringLiteral("no stamped picture reached the output (%1 pictures read)")
                     .arg(frames.size());
        return r;
    }
    r.firstPictureMs = (mine.front()->arrivalUs - log.connectUs) / 1000.0;

    const int64_t windowStart = mine.front()->arrivalUs + int64_t(s.warmupS * 1e6);
    const int64_t windowEnd = log.frames.rbegin()->second.second;
    std::vector<double> wire, send;
    uint32_t minFrame = UINT32_MAX, maxFrame = 0;
    std::map<uint32_t, bool> seen;
    const TapFrame *previous = nullptr;
    int64_t firstArrival = 0, lastArrival = 0;
    for (const TapFrame *f : mine) {
        if (f->arrivalUs < windowStart || f->arrivalUs > windowEnd + 500000)
            continue;
        const auto it = log.frames.find(f->value.frame);
        if (it == log.frames.end() || it->second.first != f->value.sendUs)
            continue;
        if (previous && previous->value.frame == f->value.frame) {
            ++r.repeated;
        } else {
            if (previous)
                r.longestStallMs = std::max(std::isnan(r.longestStallMs) ? 0.0 : r.longestStallMs,
                                            (f->arrivalUs - previous->arrivalUs) / 1000.0);
            wire.push_back((f->arrivalUs - it->second.second) / 1000.0);
            send.push_back((f->arrivalUs - it->second.first) / 1000.0);
        }
        if (!firstArrival)
            firstArrival = f->arrivalUs;
        lastArrival = f->arrivalUs;
        previous = f;
        minFrame = std::min(minFrame, f->value.frame);
        maxFrame = std::max(maxFrame, f->value.frame);
        seen[f->value.frame] = true;
    }
    if (wire.empty()) {
        r.note = QStringLiteral("no picture in the steady state");
        return r;
    }
    r.pictures = int(seen.size());
    r.lost = int(maxFrame - minFrame + 1) - int(seen.size());
    r.wireMedian = percentile(wire, 0.5);
    r.wireP95 = percentile(wire, 0.95);
    r.wireMax = percentile(wire, 1.0);
    r.sendMedian = percentile(send, 0.5);
    r.sendP95 = percentile(send, 0.95);
    r.sendMax = percentile(send, 1.0);
    if (lastArrival > firstArrival)
        r.tapRateFps =
            double(wire.size() + size_t(r.repeated)) * 1e6 / double(lastArrival - firstArrival);

    // CPU over the steady-state window.
    auto cpuAt = [&](int64_t t) {
        double v = cpu.empty() ? 0 : cpu.front().second;
        for (const auto &p : cpu)
            if (p.first <= t)
                v = p.second;
        return v;
    };
    auto timeAt = [&](int64_t t) {
        int64_t v = cpu.empty() ? 0 : cpu.front().first;
        for (const auto &p : cpu)
            if (p.first <= t)
                v = p.first;
        return v;
    };
    const int64_t t0 = timeAt(windowStart), t1 = timeAt(windowEnd);
    if (t1 > t0)
        r.cpuPerStreamS = (cpuAt(windowEnd) - cpuAt(windowStart)) / ((t1 - t0) / 1e6);
    r.peakRssMb = peakKb / 1024.0;
    r.ok = systemOk;
    return r;
}

void printResult(const QString &label, const Result &r)
{
    if (std::isnan(r.wireMedian)) {
        std::printf("  %-16s FAILED: %s\n", qPrintable(label), qPrintable(r.note));
        return;
    }
    std::printf("  %-16s first %6.0f ms | wire->cam med %6.1f p95 %6.1f max %6.1f | send->cam med "
                "%6.1f p95 %6.1f max %6.1f | lost %3d rep %3d of %4d | %5.1f fps | cpu %.3f s/s | "
                "peak %5.1f MB%s%s\n",
                qPrintable(label), r.firstPictureMs, r.wireMedian, r.wireP95, r.wireMax,
                r.sendMedian, r.sendP95, r.sendMax, r.lost, r.repeated, r.pictures, r.tapRateFps,
                r.cpuPerStreamS, r.peakRssMb,
                r.note.isEmpty() ? "" : "  NOTE: ", qPrintable(r.note));
    std::fflush(stdout);
}

Result medianOf(const std::vector<Result> &runs)
{
    Result m;
    auto pick = [&](double Result::*field) {
        std::vector<double> v;
        for (const Result &r : runs)
            v.push_back(r.*field);
        return median(v);
    };
    auto pickInt = [&](int Result::*field) {
        std::vector<double> v;
        for (const Result &r : runs)
            v.push_back(r.*field);
        return int(median(v));
    };
    m.firstPictureMs = pick(&Result::firstPictureMs);
    m.wireMedian = pick(&Result::wireMedian);
    m.wireP95 = pick(&Result::wireP95);
    m.wireMax = pick(&Result::wireMax);
    m.sendMedian = pick(&Result::sendMedian);
    m.sendP95 = pick(&Result::sendP95);
    m.sendMax = pick(&Result::sendMax);
    m.lost = pickInt(&Result::lost);
    m.repeated = pickInt(&Result::repeated);
    m.pictures = pickInt(&Result::pictures);
    m.cpuPerStreamS = pick(&Result::cpuPerStreamS);
    m.peakRssMb = pick(&Result::peakRssMb);
    m.tapRateFps = pick(&Result::tapRateFps);
    for (const Result &r : runs)
        if (!r.ok && !r.note.isEmpty())
            m.note = r.note;
    return m;
}

bool parseArgs(const QStringList &args, Settings *s)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        const QString v = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (a == QLatin1String("--runs"))
            s->runs = v.toInt(), ++i;
        else if (a == QLatin1String("--seconds"))
            s->seconds = v.toDouble(), ++i;
        else if (a == QLatin1String("--warmup"))
            s->warmupS = v.toDouble(), ++i;
        else if (a == QLatin1String("--sizes"))
            s->sizes = v.split(QLatin1Char(',')), ++i;
        else if (a == QLatin1String("--pix-fmts"))
            s->pixFmts = v.split(QLatin1Char(',')), ++i;
        else if (a == QLatin1String("--audio"))
            s->audio = v.split(QLatin1Char(',')), ++i;
        else if (a == QLatin1String("--systems"))
            s->systems = v.split(QLatin1Char(',')), ++i;
        else if (a == QLatin1String("--no-fps-check"))
            s->fpsCheck = false;
        else if (a == QLatin1String("--no-srt"))
            s->srt = false;
        else if (a == QLatin1String("--srt-only"))
            s->srtOnly = true;
        else
            return false;
    }
    return s->runs > 0 && s->seconds > s->warmupS + 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Settings s;
    if (!parseArgs(app.arguments(), &s)) {
        std::fprintf(stderr,
                     "usage: %s [--runs N] [--seconds S] [--warmup S] [--sizes WxH,...] "
                     "[--pix-fmts yuv420p,yuvj420p] [--audio yes,no] "
                     "[--systems quorvix,ffmpeg,ffmpeg-lowdelay] [--no-fps-check] [--no-srt] "
                     "[--srt-only]\n",
                     argv[0]);
        return 1;
    }
    std::printf("latency e2e: %d run(s) of %.0f s per system and variant, %.0f s warm-up\n", s.runs,
                s.seconds, s.warmupS);

    bool failed = false;
    for (const QString &size : s.srtOnly ? QStringList() : s.sizes) {
        for (const QString &pixFmt : s.pixFmts) {
            for (const QString &audioText : s.audio) {
                const bool audio = audioText == QLatin1String("yes");
                std::printf("\n== %s 30 fps %s %s ==\n", qPrintable(size), qPrintable(pixFmt),
                            audio ? "with AAC audio" : "video only");
                QMap<QString, std::vector<Result>> all;
                for (int run = 0; run < s.runs; ++run) {
                    for (const QString &system : s.systems) {
                        const Result r = runOnce(s, system, size, pixFmt, audio, true);
                        failed = failed || !r.ok;
                        printResult(QStringLiteral("%1 #%2").arg(system).arg(run + 1), r);
                        all[system].push_back(r);
                    }
                }
                std::printf("  -- medians of %d run(s)\n", s.runs);
                QMap<QString, Result> med;
                for (const QString &system : s.systems) {
                    med[system] = medianOf(all[system]);
                    printResult(system, med[system]);
                }
                if (med.contains(QStringLiteral("quorvix"))) {
                    const Result &q = med[QStringLiteral("quorvix")];
                    for (const QString &base :
                         {QStringLiteral("ffmpeg"), QStringLiteral("ffmpeg-lowdelay")}) {
                        if (!med.contains(base))
                            continue;
                        const Result &b = med[base];
                        std::printf("  quorvix / %-15s wire->cam median %.2fx, p95 %.2fx | first "
                                    "picture %.2fx | cpu %.2fx | peak RSS %.2fx\n",
                                    qPrintable(base), q.wireMedian / b.wireMedian,
                                    q.wireP95 / b.wireP95, q.firstPictureMs / b.firstPictureMs,
                                    q.cpuPerStreamS / b.cpuPerStreamS, q.peakRssMb / b.peakRssMb);
                    }
                }
                std::fflush(stdout);
            }
        }
    }

    if (s.fpsCheck && !s.srtOnly) {
        std::printf("\n== publisher without a frame rate in its metadata (1280x720 30 fps, audio) "
                    "==\n");
        QString log;
        const Result r = runOnce(s, QStringLiteral("quorvix"), QStringLiteral("1280x720"),
                                 QStringLiteral("yuv420p"), true, false, &log);
        printResult(QStringLiteral("quorvix"), r);
        const QRegularExpression detect(QStringLiteral("auto-detect fps: ([0-9.]+) ([0-9]+)"));
        const QRegularExpressionMatch m = detect.match(log);
        const int fps = m.hasMatch() ? m.captured(2).toInt() : 0;
        std::printf("  detected: %s -> %d fps (want 30); webcam rate %.1f fps, %d repeated, %d "
                    "lost\n",
                    m.hasMatch() ? qPrintable(m.captured(1)) : "nothing", fps, r.tapRateFps,
                    r.repeated, r.lost);
        if (fps != 30 || !r.ok)
            failed = true;
    }

    if (s.srt) {
        std::printf("\n== SRT next to RTMP (1280x720 30 fps yuv420p, AAC audio; SRT latency %.0f "
                    "ms) ==\n",
                    kSrtLatencyMs);
        struct Variant
        {
            const char *label;
            double loss; // < 0: RTMP
        };
        const Variant variants[] = {{"RTMP", -1}, {"SRT 0% loss", 0}, {"SRT 2% loss", 0.02}};
        QMap<QString, std::vector<Result>> all;
        for (int run = 0; run < s.runs; ++run) {
            for (const Variant &v : variants) {
                const Result r = runOnce(s, QStringLiteral("quorvix"), QStringLiteral("1280x720"),
                                         QStringLiteral("yuv420p"), true, true, nullptr, v.loss);
                failed = failed || !r.ok;
                printResult(QStringLiteral("%1 #%2").arg(QLatin1String(v.label)).arg(run + 1), r);
                std::printf("  %-16s longest stall %.0f ms, pictures missing %.1f %%, datagrams "
                            "dropped %lld\n",
                            "", r.longestStallMs,
                            r.pictures > 0 ? 100.0 * r.lost / double(r.pictures + r.lost) : NAN,
                            (long long)r.datagramsDropped);
                all[QLatin1String(v.label)].push_back(r);
            }
        }
        std::printf("  -- medians of %d run(s)\n", s.runs);
        const Result rtmp = medianOf(all[QStringLiteral("RTMP")]);
        printResult(QStringLiteral("RTMP"), rtmp);
        for (const Variant &v : variants) {
            if (v.loss < 0)
                continue;
            const std::vector<Result> &runs = all[QLatin1String(v.label)];
            const Result m = medianOf(runs);
            std::vector<double> stalls;
            for (const Result &r : runs)
                stalls.push_back(r.longestStallMs);
            const double stall = *std::max_element(stalls.begin(), stalls.end());
            const double missing =
                m.pictures > 0 ? 100.0 * m.lost / double(m.pictures + m.lost) : NAN;
            printResult(QLatin1String(v.label), m);
            const bool met = v.loss == 0 ? m.wireMedian <= rtmp.wireMedian + kSrtLatencyMs
                                         : stall <= 200 && missing <= 2.0;
            std::printf("  %-16s median %.1f ms (RTMP %.1f + latency %.0f = %.1f), longest stall "
                        "%.0f ms, missing %.1f %% -> target %s\n",
                        v.label, m.wireMedian, rtmp.wireMedian, kSrtLatencyMs,
                        rtmp.wireMedian + kSrtLatencyMs, stall, missing, met ? "met" : "MISSED");
        }
        std::fflush(stdout);
    }
    return failed ? 2 : 0;
}
