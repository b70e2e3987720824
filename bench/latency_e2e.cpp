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
// a seeded UDP relay that drops 2 % of the datagrams each way (tests/support/LossyUdpRelay),
// next to RTMP in the same run (1280x720 with audio); printed with the longest time without a
// new picture. --no-srt leaves that out, --srt-only runs nothing else.
//
// Publishers (--publisher): "live" encodes while it sends, on this machine; "replay" sends a
// stream the same publisher encoded before the run (bench_stamped_publisher --write, the same
// pictures, sound and settings) with `ffmpeg -re -i FILE -c copy`, as a camera whose encoder
// is on its own chip (bench/Replay.h). Every system of a variant gets the same file, so the
// CPU and memory ratios to the CLI baselines come from one run. With the replay, "wire" is when
// the replay's clock sends the picture, read from ffmpeg's progress reports (good to about a
// frame; ffmpeg's pacing also polls every 10 ms), and "connection -> first picture" counts from
// the replay's start. The microphone variants keep the publisher's own --pre-encode.
//
// bench_latency_e2e [--runs 3] [--seconds 20] [--warmup 3]
//     [--sizes 1280x720,1920x1080] [--pix-fmts yuv420p,yuvj420p] [--audio yes,no]
//     [--systems quorvix,ffmpeg,ffmpeg-lowdelay] [--no-fps-check]
//     [--links clean,jitter,stall] [--audio-shifts 0,100,-100] [--mic] [--no-srt] [--srt-only]
//     [--mic-only] [--mic-paths rtmp,srt] [--busy 0,2] [--publisher live,replay]
//
// Links: "clean" is the loopback connection; "jitter" puts a relay between publisher and
// system that holds the bytes back for 20 ms on average every 300 ms (tests/support/
// JitterRelay, seeded); "stall" holds them once for a second, 6 s into the stream, and
// reports how long after the stall the delay is first back within 10 ms of what it was
// before, from when it stays there to the end of the run, and its course in half seconds.
// Audio shifts: the publisher's audio leads (positive) or lags (negative) its pictures by
// that many ms. Per run: pictures lost (never shown), repeated (shown twice in a row) and held
// (a picture kept on show past its slot, i.e. an interval above 1.5 frame periods; also how
// many of the pictures that came late were keyframes), and the 95th percentile of how far the
// webcam's intervals are from the frame period.
//
// System "quorvix-before": the quorvix program named by $QUORVIX_BASELINE_PROGRAM (an earlier
// build), measured in the same run as a baseline.
//
// --mic: also quorvix with a private PipeWire (pipewire, wireplumber, pipewire-pulse under
// dbus-run-session) and a capture stream on "quorvix_microphone" recording what a call program
// gets. The publisher's sound is a steady 440 Hz tone at -20 dBFS with a loud 1 kHz mark in
// its place at every 30th picture, and the whole stream is encoded before it is sent (a camera
// encodes on its own chip, so its encoder takes no CPU from quorvix). Per size, each path
// (--mic-paths) and each load (--busy):
//   "rtmp": FLV over RTMP, one AAC frame per packet;
//   "srt": MPEG-TS over SRT muxed as ffmpeg's command-line tool does by default (no
//     -pes_payload_size 0, its 0.7 s mux delay), which gathers several AAC frames, about
//     0.2 s of sound, into each PES packet: sound that comes in bursts, as from many cameras;
//   --busy N: N processes spinning at normal priority beside the run (tests/support/
//     BusyProcesses), as a call program's encoder; 0 is an idle computer. Default 0,2.
// Printed: per mark, wire -> microphone (median, p95) next to wire -> webcam, and the
// audio-minus-picture offset (median, p95); gaps per minute in what the microphone delivered
// (a gap: more than 2 ms of near silence between the first and the last sound heard) and the
// longest; the camera's audio burst (the most sound its muxer sent at once) and the burst
// quorvix reports in its "-- playout:" line. --mic-only runs nothing else.
//
// Each variant ends with one line "SUMMARY ..." per system with everything needed.
//
// Targets with the replay publisher, against the CLI with default flags: steady CPU <= 1.15x,
// peak RSS <= 1.2x.
//
// Targets (clean link): wire -> webcam median <= 30 ms, p95 <= 60 ms; lost and repeated
// <= 1 % (<= 3 % through the jitter relay); back within 10 ms of the delay in <= 2 s after a
// 1 s stall; interval p95 within 5 ms of the frame period; connection -> first picture and
// CPU no worse than before. Microphone, idle or beside two busy processes: 0 gaps per minute
// in every run; offset median and p95 within -20 .. +40 ms; wire -> microphone median <= 80 ms
// for sound sent a frame per packet (RTMP), and <= the camera's burst + 60 ms for sound in
// bursts (SRT with default muxing; printed also with the SRT latency on top). SRT: at 0 % loss the
// median <= RTMP's + the SRT latency (120 ms); at 2 % loss no stall above 200 ms and at most 2 % of
// the pictures missing.

#include "BenchProcess.h"
#include "Stamp.h"
#include "TapReader.h"
#include "MicCapture.h"
#include "Replay.h"
#include "ReplayIndex.h"
#include "app/AppSettings.h"
#include "audio/PipeWireDaemon.h"
#include "support/BusyProcesses.h"
#include "support/FreePort.h"
#include "support/JitterRelay.h"
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
#include <set>
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
    QStringList links{QStringLiteral("clean")};
    QList<int> audioShifts{0};
    bool mic = false;
    bool srt = true;
    bool srtOnly = false;
    bool micOnly = false;
    QStringList micPaths{QStringLiteral("rtmp"), QStringLiteral("srt")};
    QList<int> busy{0, 2};
    QStringList publishers{QStringLiteral("live"), QStringLiteral("replay")};
};

// What the publisher and the link do in one variant.
struct Variant
{
    QString size;
    QString pixFmt;
    bool audio = true;
    bool fpsMetadata = true;
    QString link = QStringLiteral("clean");
    int audioShiftMs = 0;
    bool marks = false;           // audio marks for the microphone
    QProcessEnvironment pipeWire; // quorvix's environment for the private PipeWire
    // >= 0: quorvix takes the stream by SRT (clean link only), through a relay dropping that
    // share of the datagrams each way when above 0; < 0: RTMP.
    double srtLoss = -1;
    bool tsDefaultMuxing = false; // SRT: ffmpeg's default TS muxing, sound in bursts
    bool preEncode = false;       // the publisher encodes the stream before it connects
    int busy = 0;                 // processes keeping the CPU busy beside the run
    // Set: the stream is replayed from this file (bench/Replay.h), its pictures listed in
    // `replayIndex` (the writer's log).
    QString replayFile;
    QString replayIndex;
};

constexpr int kStallAtMs = 6000;
constexpr int kStallMs = 1000;
constexpr double kFramePeriodMs = 1000.0 / 30;
// The SRT listener's latency: the program's default (the bench writes no latency setting).
constexpr double kSrtLatencyMs = AppSettings::kDefaultSrtLatencyMs;
constexpr quint32 kLossSeed = 2026;
// Microphone gaps: the publisher's steady tone peaks at -20 dBFS (3277); at 440 Hz a zero
// crossing stays below this level for at most three samples, so a longer quiet run is sound
// missing. A gap is such a run longer than kGapMs.
constexpr int kSilentBelow = 200;
constexpr double kGapMs = 2.0;
// Microphone targets.
constexpr double kOffsetMinMs = -20;
constexpr double kOffsetMaxMs = 40;
constexpr double kMicPerFrameMs = 80;  // wire -> microphone, a frame of sound per packet
constexpr double kMicOverBurstMs = 60; // wire -> microphone above the camera's burst
// Against the ffmpeg CLI (default flags) fed the same replayed stream, in the same run.
constexpr double kCpuRatioTarget = 1.15;
constexpr double kRssRatioTarget = 1.2;

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
    int held = 0;                // pictures kept on show past their slot
    int lateKeyframes = 0;       // of the late pictures (after a held slot), the keyframes
    int lateAfterHeld = 0;       // the late pictures
    double intervalDevP95 = NAN; // |webcam interval - frame period|, 95th percentile
    double preStallMedian = NAN; // stall: wire -> webcam before it
    double recoveryS = NAN;      // stall: back within 10 ms of it this long after the stall
    double reachedS = NAN;       // stall: first within 10 ms again this long after it
    QString afterStall;          // stall: wire -> webcam median of each half second after it
    int marks = 0;               // microphone: marks heard and matched
    double micMedian = NAN, micP95 = NAN;       // wire -> microphone
    double markCamMedian = NAN;                 // wire -> webcam of the same marks
    double offsetMedian = NAN, offsetP95 = NAN; // microphone minus webcam
    double offsetMin = NAN, offsetMax = NAN;
    int gaps = 0;            // microphone: gaps in the steady tone
    double gapsPerMin = NAN; // per minute of sound heard
    double longestGapMs = NAN;
    double soundS = NAN;           // from the first to the last sound heard
    double cameraBurstMedMs = NAN; // sound the publisher's muxer sent at once
    double cameraBurstMaxMs = NAN;
    double quorvixBurstMs = NAN; // the audio burst quorvix says it measured
    double busyCpuS = NAN;       // CPU seconds of the busy processes over the run
    QString playout;             // quorvix's own account of the session
    double longestStallMs = NAN; // longest time between two new pictures on the webcam
    qint64 datagramsDropped = 0; // SRT through the lossy relay
};

using bench::percentile;
using bench::sameStamp;

double median(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    return percentile(v, 0.5);
}

struct PublisherLog
{
    int64_t connectUs = 0;
    int64_t sendShiftUs = 0; // a stream encoded ahead: stamped send time + this = when due
    double burstMedMs = NAN, burstMaxMs = NAN;
    std::map<uint32_t, std::pair<int64_t, int64_t>> frames; // frame -> send, wire
    std::set<uint32_t> keyframes;
    bool replay = false; // wire times from the replay's clock; send is then the wire time
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
        else if (f.size() >= 2 && f.at(0) == "P")
            log.sendShiftUs = f.at(1).trimmed().toLongLong();
        else if (f.size() >= 3 && f.at(0) == "B") {
            log.burstMedMs = f.at(1).toDouble();
            log.burstMaxMs = f.at(2).trimmed().toDouble();
        } else if (f.size() >= 4 && f.at(0) == "F") {
            const uint32_t frame = uint32_t(f.at(1).toLongLong());
            log.frames[frame] = {f.at(2).toLongLong(), f.at(3).toLongLong()};
            if (f.size() >= 5 && f.at(4).trimmed() == "1")
                log.keyframes.insert(frame);
        }
    }
    return log;
}

// A replayed stream: the writer's log gives each picture's stamp and when the replay's clock
// sends it, counted from the clock's start at `originUs`.
PublisherLog readReplayLog(const QString &path, int64_t originUs)
{
    PublisherLog log;
    log.replay = true;
    log.connectUs = originUs;
    const bench::ReplayIndex index = bench::readReplayIndex(path);
    for (const auto &frame : index.frames)
        log.frames[frame.first] = {frame.second.first, originUs + frame.second.second};
    log.keyframes = index.keyframes;
    return log;
}

// The stamped publisher's arguments for a variant, without its port.
QStringList stampedArgs(const Settings &s, const Variant &v, const QString &logPath)
{
    QStringList args{QStringLiteral("--size"),    v.size,
                     QStringLiteral("--fps"),     QStringLiteral("30"),
                     QStringLiteral("--pix-fmt"), v.pixFmt,
                     QStringLiteral("--seconds"), QString::number(s.seconds),
                     QStringLiteral("--id"),      QString::number(kPublisherId),
                     QStringLiteral("--log"),     logPath};
    if (!v.audio)
        args << QStringLiteral("--no-audio");
    if (!v.fpsMetadata)
        args << QStringLiteral("--no-fps-metadata");
    if (v.audioShiftMs != 0)
        args << QStringLiteral("--audio-shift-ms") << QString::number(v.audioShiftMs);
    if (v.marks)
        args << QStringLiteral("--marks") << QStringLiteral("30");
    return args;
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
// Mark onsets in the recording: the first loud sample after 200 ms without one; each onset's
// time is when its buffer reached the recorder.
std::vector<int64_t> markOnsets(const bench::MicCapture &capture)
{
    std::vector<int64_t> onsets;
    const int16_t *samples = capture.samples();
    int64_t lastLoud = -48000;
    int buffer = 0;
    for (int64_t i = 0; i < capture.frames(); ++i) {
        if (std::abs(int(samples[2 * i])) <= 6000)
            continue;
        if (i - lastLoud >= 9600) {
            while (buffer + 1 < capture.buffers() && capture.buffer(buffer + 1).firstFrame <= i)
                ++buffer;
            onsets.push_back(capture.buffer(buffer).atUs);
        }
        lastLoud = i;
    }
    return onsets;
}

struct Gaps
{
    int count = 0;
    double longestMs = 0;
    double soundS = 0;
};

// Gaps in what the microphone delivered: runs of near-silent samples (both channels) longer
// than kGapMs between the first and the last sound heard, i.e. while the publisher sent its
// steady tone.
Gaps gapsIn(const bench::MicCapture &capture)
{
    const int16_t *samples = capture.samples();
    const int64_t frames = capture.frames();
    const auto heard = [samples](int64_t i) {
        return std::max(std::abs(int(samples[2 * i])), std::abs(int(samples[2 * i + 1]))) >
               kSilentBelow;
    };
    int64_t first = 0;
    while (first < frames && !heard(first))
        ++first;
    int64_t last = frames - 1;
    while (last > first && !heard(last))
        --last;
    Gaps gaps;
    if (last <= first)
        return gaps;
    constexpr double kRate = bench::MicCapture::kRate;
    gaps.soundS = double(last - first) / kRate;
    int64_t quiet = 0;
    for (int64_t i = first; i <= last; ++i) {
        if (!heard(i)) {
            ++quiet;
            continue;
        }
        const double ms = double(quiet) * 1000.0 / kRate;
        if (ms > kGapMs) {
            ++gaps.count;
            gaps.longestMs = std::max(gaps.longestMs, ms);
        }
        quiet = 0;
    }
    return gaps;
}

Result runOnce(const Settings &s, const QString &system, const Variant &v,
               QString *quorvixLog = nullptr)
{
    const QString &size = v.size;
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
    // A busy computer: started first, so the program under test starts among them too.
    std::unique_ptr<BusyProcesses> busy;
    if (v.busy > 0) {
        busy = std::make_unique<BusyProcesses>(v.busy);
        if (!busy->started()) {
            r.note = QStringLiteral("the busy processes did not start");
            return r;
        }
    }
    const quint16 port = FreePort::loopback();
    const bool srt = v.srtLoss >= 0;
    if (srt && (!system.startsWith(QLatin1String("quorvix")) || v.link != QLatin1String("clean"))) {
        r.note = QStringLiteral("SRT is measured with quorvix on a clean link only");
        return r;
    }
    const quint16 srtPort = srt ? FreePort::udpLoopback() : 0;
    LossyUdpRelay lossyPath(srtPort, std::max(0.0, v.srtLoss), kLossSeed);

    bench::Quorvix quorvix;
    QProcess ffmpeg;
    qint64 pid = 0;
    const bool isQuorvix = system.startsWith(QLatin1String("quorvix"));
    if (isQuorvix) {
        const QString program = system == QLatin1String("quorvix-before")
                                    ? qEnvironmentVariable("QUORVIX_BASELINE_PROGRAM")
                                    : QString();
        if (system == QLatin1String("quorvix-before") && program.isEmpty()) {
            r.note = QStringLiteral("QUORVIX_BASELINE_PROGRAM is not set");
            return r;
        }
        if (!quorvix.start(port, dir.path(), fifo, size, v.pipeWire, program, srtPort)) {
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

    // The link: the loopback connection, or the jitter relay in front of the system.
    JitterRelay::Options linkOptions;
    if (v.link == QLatin1String("jitter")) {
        linkOptions.meanGapMs = 300;
        linkOptions.meanHoldMs = 20;
        linkOptions.seed = 11;
    } else if (v.link == QLatin1String("stall")) {
        linkOptions.stallAtMs = kStallAtMs;
        linkOptions.stallMs = kStallMs;
    }
    JitterRelay relay(linkOptions);
    quint16 publishPort = port;
    if (v.link != QLatin1String("clean")) {
        if (!relay.start(port)) {
            r.note = QStringLiteral("no relay");
            return r;
        }
        publishPort = relay.port();
    }
    if (srt) {
        publishPort = v.srtLoss > 0 ? lossyPath.start() : srtPort;
        if (publishPort == 0) {
            r.note = QStringLiteral("the lossy path did not start");
            return r;
        }
    }
    std::unique_ptr<bench::MicCapture> capture;
    if (v.marks) {
        capture = std::make_unique<bench::MicCapture>();
        // Room for a publisher that encodes the whole stream before it connects.
        if (!capture->start("quorvix_microphone", 2 * s.seconds + 60)) {
            r.note = QStringLiteral("cannot record the microphone");
            return r;
        }
    }

    const QString logPath = dir.filePath(QStringLiteral("publisher.log"));
    QProcess live;
    bench::ReplaySender replay;
    const bool replayed = !v.replayFile.isEmpty();
    QProcess &publisher = replayed ? replay.process() : live;
    if (replayed) {
        bench::ReplaySender::Options o;
        o.file = v.replayFile;
        o.srt = srt;
        o.tsDefaultMuxing = v.tsDefaultMuxing;
        if (!replay.start(o, publishPort)) {
            r.note = QStringLiteral("the replay did not start");
            return r;
        }
    } else {
        live.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args = stampedArgs(s, v, logPath);
        args << QStringLiteral("--port") << QString::number(publishPort);
        if (srt)
            args << QStringLiteral("--srt");
        if (v.tsDefaultMuxing)
            args << QStringLiteral("--ts-default-muxing");
        if (v.preEncode)
            args << QStringLiteral("--pre-encode");
        live.start(bench::publisherProgram(), args);
        if (!live.waitForStarted(10000)) {
            r.note = QStringLiteral("publisher did not start");
            return r;
        }
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
    if (capture)
        capture->stop();
    if (busy) {
        r.busyCpuS = busy->cpuSeconds();
        busy->stop();
    }
    relay.stop();
    lossyPath.stop();
    r.datagramsDropped = lossyPath.dropped();

    bool systemOk = true;
    if (isQuorvix) {
        systemOk = quorvix.stop();
        if (!systemOk)
            r.note = QStringLiteral("quorvix ended badly: ") + quorvix.exitText();
        QFile f(quorvix.logPath());
        const QString text =
            f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
        if (quorvixLog)
            *quorvixLog = text;
        // What the playout says of itself at the session's end.
        const QRegularExpression playout(QStringLiteral("-- playout: ([^\n]*)"));
        const QRegularExpressionMatch m = playout.match(text);
        if (m.hasMatch())
            r.playout = m.captured(1);
        const QRegularExpressionMatch burst =
            QRegularExpression(QStringLiteral("audio burst ([0-9.]+) ms")).match(r.playout);
        if (burst.hasMatch())
            r.quorvixBurstMs = burst.captured(1).toDouble();
    } else {
        ffmpeg.terminate();
        if (!ffmpeg.waitForFinished(10000)) {
            ffmpeg.kill();
            ffmpeg.waitForFinished(5000);
        }
    }

    const PublisherLog log =
        replayed ? readReplayLog(v.replayIndex, replay.originUs()) : readLog(logPath);
    if (replayed && log.connectUs == INT64_MAX) {
        r.note = QStringLiteral("the replay reported no progress");
        return r;
    }
    if (publisher.exitCode() != 0 || log.frames.empty()) {
        r.note = QStringLiteral("publisher failed (exit %1)").arg(publisher.exitCode());
        if (isQuorvix && !qEnvironmentVariableIsEmpty("BENCH_KEEP_LOG"))
            QFile::copy(quorvix.logPath(), qEnvironmentVariable("BENCH_KEEP_LOG"));
        if (isQuorvix) {
            QFile f(quorvix.logPath());
            if (f.open(QIODevice::ReadOnly)) {
                const QList<QByteArray> lines = f.readAll().split('\n');
                for (int i = qMax(0, int(lines.size()) - 12); i < lines.size(); ++i)
                    r.note += QStringLiteral("\n      | ") + QString::fromLocal8Bit(lines.at(i));
            }
        }
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
    std::vector<double> wire, send, intervalDev;
    std::map<uint32_t, int64_t> arrival;            // frame -> first time on the webcam
    std::vector<std::pair<int64_t, double>> byWire; // wire time -> wire -> webcam
    uint32_t minFrame = UINT32_MAX, maxFrame = 0;
    std::map<uint32_t, bool> seen;
    const TapFrame *previous = nullptr;
    int64_t firstArrival = 0, lastArrival = 0;
    for (const TapFrame *f : mine) {
        if (f->arrivalUs < windowStart || f->arrivalUs > windowEnd + 500000)
            continue;
        const auto it = log.frames.find(f->value.frame);
        if (it == log.frames.end() || !sameStamp(it->second.first, f->value.sendUs))
            continue;
        if (previous && previous->value.frame == f->value.frame) {
            ++r.repeated;
        } else {
            wire.push_back((f->arrivalUs - it->second.second) / 1000.0);
            const int64_t sentUs =
                log.replay ? it->second.second : it->second.first + log.sendShiftUs;
            send.push_back((f->arrivalUs - sentUs) / 1000.0);
            arrival.emplace(f->value.frame, f->arrivalUs);
            byWire.emplace_back(it->second.second, wire.back());
            if (previous) {
                const double interval = (f->arrivalUs - previous->arrivalUs) / 1000.0;
                r.longestStallMs =
                    std::max(std::isnan(r.longestStallMs) ? 0.0 : r.longestStallMs, interval);
                intervalDev.push_back(std::abs(interval - kFramePeriodMs));
                if (interval > 1.5 * kFramePeriodMs) {
                    r.held += int(std::lround(interval / kFramePeriodMs)) - 1;
                    ++r.lateAfterHeld;
                    if (log.keyframes.count(f->value.frame))
                        ++r.lateKeyframes;
                }
            }
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
    r.intervalDevP95 = percentile(intervalDev, 0.95);

    if (v.link == QLatin1String("stall")) {
        // Before: the steady state up to the stall. After: the first wire time from which the
        // median of every five pictures stays within 10 ms of that.
        const int64_t stallStart = log.connectUs + int64_t(kStallAtMs) * 1000;
        const int64_t stallEnd = stallStart + int64_t(kStallMs) * 1000;
        std::sort(byWire.begin(), byWire.end());
        std::vector<double> before;
        for (const auto &p : byWire)
            if (p.first < stallStart)
                before.push_back(p.second);
        r.preStallMedian = percentile(before, 0.5);
        int64_t recovered = -1;
        int64_t reached = -1;
        for (size_t i = 0; i + 5 <= byWire.size(); ++i) {
            if (byWire[i].first < stallStart)
                continue;
            std::vector<double> five;
            for (size_t k = i; k < i + 5; ++k)
                five.push_back(byWire[k].second);
            const bool within = percentile(five, 0.5) <= r.preStallMedian + 10;
            if (within && reached < 0 && byWire[i].first >= stallEnd)
                reached = byWire[i].first;
            if (within && recovered < 0)
                recovered = byWire[i].first;
            else if (!within)
                recovered = -1;
        }
        if (recovered >= 0)
            r.recoveryS = double(std::max<int64_t>(0, recovered - stallEnd)) / 1e6;
        if (reached >= 0)
            r.reachedS = double(reached - stallEnd) / 1e6;
        // The course of the delay, to tell a slow recovery from a delay that wanders later.
        for (int64_t from = stallEnd;; from += 500000) {
            std::vector<double> bin;
            for (const auto &p : byWire)
                if (p.first >= from && p.first < from + 500000)
                    bin.push_back(p.second);
            if (bin.empty())
                break;
            r.afterStall += QStringLiteral(" %1").arg(percentile(bin, 0.5), 0, 'f', 0);
        }
    }

    if (capture) {
        // Each mark heard is matched to its marked picture (every 30th): the latest one whose
        // bytes were on the wire before the sound was heard (the publisher sends a picture's
        // audio at most a packet before the picture, hence 50 ms of slack). Matching by
        // nearness instead would pair a sound late by more than half a second with the next
        // picture.
        std::vector<double> mic, cam, offset;
        for (int64_t onset : markOnsets(*capture)) {
            if (onset < windowStart)
                continue;
            uint32_t best = UINT32_MAX;
            for (const auto &frame : log.frames)
                if (frame.first % 30 == 0 && frame.second.second - 50000 <= onset)
                    best = frame.first;
            if (best == UINT32_MAX || !arrival.count(best) || !log.frames.count(best))
                continue;
            const int64_t wireUs = log.frames.at(best).second;
            mic.push_back((onset - wireUs) / 1000.0);
            cam.push_back((arrival[best] - wireUs) / 1000.0);
            offset.push_back((onset - arrival[best]) / 1000.0);
        }
        r.marks = int(offset.size());
        if (!qEnvironmentVariableIsEmpty("BENCH_DUMP")) {
            QFile dump(qEnvironmentVariable("BENCH_DUMP"));
            if (dump.open(QIODevice::WriteOnly))
                dump.write(reinterpret_cast<const char *>(capture->samples()),
                           capture->frames() * 4);
        }
        int16_t peak = 0;
        for (int64_t i = 0; i < capture->frames() * 2; ++i)
            peak = std::max<int16_t>(peak, int16_t(std::abs(int(capture->samples()[i]))));
        r.note += QStringLiteral("recorded %1 s in %2 buffers, peak %3, %4 marks heard")
                      .arg(capture->frames() / 48000.0)
                      .arg(capture->buffers())
                      .arg(peak)
                      .arg(markOnsets(*capture).size());
        r.micMedian = percentile(mic, 0.5);
        r.micP95 = percentile(mic, 0.95);
        r.markCamMedian = percentile(cam, 0.5);
        r.offsetMedian = percentile(offset, 0.5);
        r.offsetP95 = percentile(offset, 0.95);
        r.offsetMin = percentile(offset, 0.0);
        r.offsetMax = percentile(offset, 1.0);
        const Gaps gaps = gapsIn(*capture);
        r.gaps = gaps.count;
        r.longestGapMs = gaps.longestMs;
        r.soundS = gaps.soundS;
        if (gaps.soundS > 0)
            r.gapsPerMin = gaps.count * 60.0 / gaps.soundS;
        r.cameraBurstMedMs = log.burstMedMs;
        r.cameraBurstMaxMs = log.burstMaxMs;
    }
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
                "peak %5.1f MB | held %3d (late %d, keyframes %d) | ivl dev p95 %5.1f ms%s%s\n",
                qPrintable(label), r.firstPictureMs, r.wireMedian, r.wireP95, r.wireMax,
                r.sendMedian, r.sendP95, r.sendMax, r.lost, r.repeated, r.pictures, r.tapRateFps,
                r.cpuPerStreamS, r.peakRssMb, r.held, r.lateAfterHeld, r.lateKeyframes,
                r.intervalDevP95, r.note.isEmpty() ? "" : "  NOTE: ", qPrintable(r.note));
    if (!r.playout.isEmpty())
        std::printf("  %-16s playout: %s\n", qPrintable(label), qPrintable(r.playout));
    if (!std::isnan(r.preStallMedian))
        // The course is a single run's; the medians of several runs have none.
        std::printf("  %-16s stall: before %.1f ms, first within 10 ms again %.2f s after it, "
                    "stays within from %.2f s%s%s%s\n",
                    qPrintable(label), r.preStallMedian, r.reachedS, r.recoveryS,
                    r.afterStall.isEmpty() ? "" : "; each half second after it:",
                    qPrintable(r.afterStall), r.afterStall.isEmpty() ? "" : " ms");
    if (r.marks > 0 || !std::isnan(r.micMedian))
        std::printf("  %-16s microphone: %d marks | wire->mic med %.1f p95 %.1f | wire->cam "
                    "(marks) med %.1f | mic-cam offset med %.1f p95 %.1f min %.1f max %.1f\n",
                    qPrintable(label), r.marks, r.micMedian, r.micP95, r.markCamMedian,
                    r.offsetMedian, r.offsetP95, r.offsetMin, r.offsetMax);
    if (!std::isnan(r.gapsPerMin))
        std::printf("  %-16s microphone: %d gaps in %.1f s of sound (%.1f per minute), longest "
                    "%.1f ms | audio burst: camera med %.1f max %.1f ms, quorvix %s\n",
                    qPrintable(label), r.gaps, r.soundS, r.gapsPerMin, r.longestGapMs,
                    r.cameraBurstMedMs, r.cameraBurstMaxMs,
                    std::isnan(r.quorvixBurstMs)
                        ? "reports none"
                        : qPrintable(QStringLiteral("%1 ms").arg(r.quorvixBurstMs)));
    if (!std::isnan(r.busyCpuS))
        std::printf("  %-16s busy processes beside it: %.1f CPU s\n", qPrintable(label),
                    r.busyCpuS);
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
    m.held = pickInt(&Result::held);
    m.lateAfterHeld = pickInt(&Result::lateAfterHeld);
    m.lateKeyframes = pickInt(&Result::lateKeyframes);
    m.intervalDevP95 = pick(&Result::intervalDevP95);
    m.preStallMedian = pick(&Result::preStallMedian);
    m.recoveryS = pick(&Result::recoveryS);
    m.reachedS = pick(&Result::reachedS);
    m.marks = pickInt(&Result::marks);
    m.micMedian = pick(&Result::micMedian);
    m.micP95 = pick(&Result::micP95);
    m.markCamMedian = pick(&Result::markCamMedian);
    m.offsetMedian = pick(&Result::offsetMedian);
    m.offsetP95 = pick(&Result::offsetP95);
    m.offsetMin = pick(&Result::offsetMin);
    m.offsetMax = pick(&Result::offsetMax);
    m.gaps = pickInt(&Result::gaps);
    m.gapsPerMin = pick(&Result::gapsPerMin);
    m.longestGapMs = pick(&Result::longestGapMs);
    m.soundS = pick(&Result::soundS);
    m.cameraBurstMedMs = pick(&Result::cameraBurstMedMs);
    m.cameraBurstMaxMs = pick(&Result::cameraBurstMaxMs);
    m.quorvixBurstMs = pick(&Result::quorvixBurstMs);
    m.busyCpuS = pick(&Result::busyCpuS);
    for (const Result &r : runs)
        if (!r.ok && !r.note.isEmpty())
            m.note = r.note;
    return m;
}

// The one line per system and variant with everything needed; `extra` is appended.
void printSummary(const QString &title, const QString &system, const Result &r,
                  const QString &extra = QString())
{
    std::printf("SUMMARY %s | %s | first %.0f ms | wire->cam med %.1f p95 %.1f | lost %d "
                "rep %d held %d of %d (late keyframes %d of %d) | ivl dev p95 %.1f | cpu %.3f | "
                "rss %.0f MB",
                qPrintable(title), qPrintable(system), r.firstPictureMs, r.wireMedian, r.wireP95,
                r.lost, r.repeated, r.held, r.pictures, r.lateKeyframes, r.lateAfterHeld,
                r.intervalDevP95, r.cpuPerStreamS, r.peakRssMb);
    if (!std::isnan(r.preStallMedian))
        std::printf(" | stall: before %.1f, back in %.2f s, stays from %.2f s", r.preStallMedian,
                    r.reachedS, r.recoveryS);
    if (r.marks > 0)
        std::printf(" | mic %d marks: wire->mic med %.1f p95 %.1f, wire->cam %.1f, "
                    "offset med %.1f p95 %.1f",
                    r.marks, r.micMedian, r.micP95, r.markCamMedian, r.offsetMedian, r.offsetP95);
    if (!std::isnan(r.gapsPerMin))
        std::printf(" | gaps %.1f/min longest %.1f ms", r.gapsPerMin, r.longestGapMs);
    if (!extra.isEmpty())
        std::printf(" | %s", qPrintable(extra));
    std::printf("\n");
}

// Share of the pictures in the steady state that never reached the webcam, in percent.
double missingPercent(const Result &r)
{
    return r.pictures > 0 ? 100.0 * r.lost / double(r.pictures + r.lost) : NAN;
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
        else if (a == QLatin1String("--links"))
            s->links = v.split(QLatin1Char(',')), ++i;
        else if (a == QLatin1String("--audio-shifts")) {
            s->audioShifts.clear();
            for (const QString &shift : v.split(QLatin1Char(',')))
                s->audioShifts << shift.toInt();
            ++i;
        } else if (a == QLatin1String("--mic"))
            s->mic = true;
        else if (a == QLatin1String("--no-srt"))
            s->srt = false;
        else if (a == QLatin1String("--srt-only"))
            s->srtOnly = true;
        else if (a == QLatin1String("--mic-only"))
            s->mic = s->micOnly = true;
        else if (a == QLatin1String("--mic-paths"))
            s->micPaths = v.split(QLatin1Char(',')), ++i;
        else if (a == QLatin1String("--busy")) {
            s->busy.clear();
            for (const QString &count : v.split(QLatin1Char(',')))
                s->busy << count.toInt();
            ++i;
        } else if (a == QLatin1String("--publisher"))
            s->publishers = v.split(QLatin1Char(',')), ++i;
        else
            return false;
    }
    if (!bench::validPublishers(s->publishers))
        return false;
    for (const QString &path : s->micPaths)
        if (path != QLatin1String("rtmp") && path != QLatin1String("srt"))
            return false;
    for (int count : s->busy)
        if (count < 0 || count > 16)
            return false;
    return s->runs > 0 && s->seconds > s->warmupS + 2 && (s->srt || !s->srtOnly) &&
           !(s->micOnly && s->srtOnly);
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
                     "[--systems quorvix,ffmpeg,ffmpeg-lowdelay] [--no-fps-check] "
                     "[--links clean,jitter,stall] [--audio-shifts 0,100,-100] [--mic] [--no-srt] "
                     "[--srt-only] [--mic-only] [--mic-paths rtmp,srt] [--busy 0,2] "
                     "[--publisher live,replay]\n",
                     argv[0]);
        return 1;
    }
    std::printf("latency e2e: %d run(s) of %.0f s per system and variant, %.0f s warm-up\n", s.runs,
                s.seconds, s.warmupS);

    bool failed = false;
    // Runs `measure` with the variant as the publisher sends it: live, or replayed from a file
    // the stamped publisher encodes now, before the run (one file for every system and run).
    auto withPublisher = [&](Variant v, const QString &publisher, const auto &measure) {
        if (publisher != QLatin1String("replay")) {
            measure(v);
            return;
        }
        QTemporaryDir dir;
        if (!dir.isValid()) {
            std::printf("  replay: no temporary folder\n");
            failed = true;
            return;
        }
        v.replayFile = dir.filePath(QStringLiteral("stream.flv"));
        v.replayIndex = dir.filePath(QStringLiteral("stream.log"));
        QStringList args = stampedArgs(s, v, v.replayIndex);
        args << QStringLiteral("--write") << v.replayFile;
        if (!bench::encodeBeforeRun(bench::publisherProgram(), args,
                                    60000 + int(s.seconds * 20000))) {
            std::printf("  replay: the stream could not be encoded before the run\n");
            failed = true;
            return;
        }
        measure(v);
    };
    // One variant: each system `runs` times, the medians, the ratios and the summary lines.
    auto runVariant = [&](const Variant &v, const QStringList &systems, const QString &title) {
        std::printf("\n== %s ==\n", qPrintable(title));
        QMap<QString, std::vector<Result>> all;
        for (int run = 0; run < s.runs; ++run) {
            for (const QString &system : systems) {
                const Result r = runOnce(s, system, v);
                failed = failed || !r.ok;
                printResult(QStringLiteral("%1 #%2").arg(system).arg(run + 1), r);
                all[system].push_back(r);
            }
        }
        std::printf("  -- medians of %d run(s)\n", s.runs);
        QMap<QString, Result> med;
        for (const QString &system : systems) {
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
                            qPrintable(base), q.wireMedian / b.wireMedian, q.wireP95 / b.wireP95,
                            q.firstPictureMs / b.firstPictureMs, q.cpuPerStreamS / b.cpuPerStreamS,
                            q.peakRssMb / b.peakRssMb);
                // With nothing encoding beside them the CPU and memory ratios are fair.
                if (!v.replayFile.isEmpty() && base == QLatin1String("ffmpeg")) {
                    const double cpu = q.cpuPerStreamS / b.cpuPerStreamS;
                    const double rss = q.peakRssMb / b.peakRssMb;
                    std::printf("  %-26s cpu %.2fx -> target <= %.2fx: %s | peak RSS %.2fx -> "
                                "target <= %.2fx: %s\n",
                                "", cpu, kCpuRatioTarget, cpu <= kCpuRatioTarget ? "met" : "MISSED",
                                rss, kRssRatioTarget, rss <= kRssRatioTarget ? "met" : "MISSED");
                }
            }
        }
        for (const QString &system : systems)
            printSummary(title, system, med[system]);
        std::fflush(stdout);
    };

    auto runMicSystem = [&](const Variant &v, const QString &title, const QString &system) {
        std::vector<Result> runs;
        for (int run = 0; run < s.runs; ++run) {
            const Result r = runOnce(s, system, v);
            failed = failed || !r.ok;
            printResult(QStringLiteral("%1 #%2").arg(system).arg(run + 1), r);
            runs.push_back(r);
        }
        std::printf("  -- medians of %d run(s)\n", s.runs);
        const Result m = medianOf(runs);
        printResult(system, m);
        // Any gap in any run misses the target: the worst run is what a listener hears.
        int worstGaps = 0;
        double worstPerMin = 0, longestGap = 0;
        bool heard = true;
        for (const Result &r : runs) {
            heard = heard && !std::isnan(r.gapsPerMin);
            if (std::isnan(r.gapsPerMin))
                continue;
            worstGaps = std::max(worstGaps, r.gaps);
            worstPerMin = std::max(worstPerMin, r.gapsPerMin);
            longestGap = std::max(longestGap, r.longestGapMs);
        }
        const bool gapsMet = heard && worstGaps == 0;
        const auto inOffset = [](double ms) { return ms >= kOffsetMinMs && ms <= kOffsetMaxMs; };
        const bool offsetMet = inOffset(m.offsetMedian) && inOffset(m.offsetP95);
        // Bursty sound can only play whole once the burst has arrived: the camera's own burst
        // (its muxer's largest) is the delay it costs.
        const double micLimit =
            v.tsDefaultMuxing ? m.cameraBurstMaxMs + kMicOverBurstMs : kMicPerFrameMs;
        const bool micMet = m.micMedian <= micLimit;
        const char *verdict[] = {"MISSED", "met"};
        std::printf("  %-16s gaps %.1f per minute (worst run %.1f, %d gaps), longest %.1f ms -> "
                    "target 0: %s\n",
                    "", m.gapsPerMin, worstPerMin, worstGaps, longestGap, verdict[gapsMet]);
        std::printf("  %-16s offset med %.1f p95 %.1f ms -> target %.0f .. %+.0f ms: %s\n", "",
                    m.offsetMedian, m.offsetP95, kOffsetMinMs, kOffsetMaxMs, verdict[offsetMet]);
        QString micTarget;
        if (v.tsDefaultMuxing) {
            // SRT's receive latency comes on top of any path; shown beside the target.
            const double withLatency = micLimit + kSrtLatencyMs;
            micTarget = QStringLiteral("<= camera's burst %1 + %2 = %3 ms: %4 (with the SRT "
                                       "latency, %5 ms: %6)")
                            .arg(m.cameraBurstMaxMs, 0, 'f', 0)
                            .arg(kMicOverBurstMs, 0, 'f', 0)
                            .arg(micLimit, 0, 'f', 0)
                            .arg(QLatin1String(verdict[micMet]))
                            .arg(withLatency, 0, 'f', 0)
                            .arg(QLatin1String(verdict[m.micMedian <= withLatency]));
        } else {
            micTarget = QStringLiteral("<= %1 ms: %2")
                            .arg(kMicPerFrameMs, 0, 'f', 0)
                            .arg(QLatin1String(verdict[micMet]));
        }
        std::printf("  %-16s wire->mic med %.1f p95 %.1f ms -> target %s\n", "", m.micMedian,
                    m.micP95, qPrintable(micTarget));
        const QString quorvixBurst = std::isnan(m.quorvixBurstMs)
                                         ? QStringLiteral("none reported")
                                         : QStringLiteral("%1 ms").arg(m.quorvixBurstMs);
        std::printf("  %-16s audio burst: camera med %.1f max %.1f ms, quorvix %s\n", "",
                    m.cameraBurstMedMs, m.cameraBurstMaxMs, qPrintable(quorvixBurst));
        QString extra = QStringLiteral("worst run: gaps/min %1, longest %2 ms | burst camera "
                                       "%3 ms, quorvix %4 | targets: gaps %5, offset %6, "
                                       "wire->mic %7")
                            .arg(worstPerMin, 0, 'f', 1)
                            .arg(longestGap, 0, 'f', 1)
                            .arg(m.cameraBurstMaxMs, 0, 'f', 0)
                            .arg(quorvixBurst)
                            .arg(QLatin1String(verdict[gapsMet]))
                            .arg(QLatin1String(verdict[offsetMet]))
                            .arg(micTarget);
        if (v.busy > 0)
            extra += QStringLiteral(" | %1 busy processes, %2 CPU s")
                         .arg(v.busy)
                         .arg(m.busyCpuS, 0, 'f', 1);
        printSummary(title, system, m, extra);
        std::fflush(stdout);
    };

    // One microphone variant: `runs` runs of quorvix, the medians, the targets and the summary;
    // the same for the earlier build named by $QUORVIX_BASELINE_PROGRAM, in the same run.
    auto runMicVariant = [&](const Variant &v, const QString &title) {
        std::printf("\n== %s ==\n", qPrintable(title));
        QStringList micSystems{QStringLiteral("quorvix")};
        if (!qEnvironmentVariable("QUORVIX_BASELINE_PROGRAM").isEmpty())
            micSystems << QStringLiteral("quorvix-before");
        for (const QString &system : micSystems)
            runMicSystem(v, title, system);
    };
    for (const QString &size : s.srtOnly || s.micOnly ? QStringList() : s.sizes) {
        for (const QString &pixFmt : s.pixFmts) {
            for (const QString &audioText : s.audio) {
                const bool audio = audioText == QLatin1String("yes");
                for (const QString &link : s.links) {
                    for (int shift : s.audioShifts) {
                        if (!audio && shift != 0)
                            continue;
                        Variant v;
                        v.size = size;
                        v.pixFmt = pixFmt;
                        v.audio = audio;
                        v.link = link;
                        v.audioShiftMs = shift;
                        QString title = QStringLiteral("%1 30 fps %2 %3 | link %4")
                                            .arg(size, pixFmt,
                                                 audio ? QStringLiteral("with AAC audio")
                                                       : QStringLiteral("video only"),
                                                 link);
                        if (shift != 0)
                            title += QStringLiteral(" | audio %1 by %2 ms")
                                         .arg(shift > 0 ? QStringLiteral("leads")
                                                        : QStringLiteral("lags"))
                                         .arg(std::abs(shift));
                        for (const QString &publisher : s.publishers)
                            withPublisher(v, publisher, [&](const Variant &pv) {
                                runVariant(pv, s.systems,
                                           title + QStringLiteral(" | publisher ") + publisher);
                            });
                    }
                }
            }
        }
    }

    if (s.mic && !s.srtOnly) {
        // quorvix with a microphone: a private PipeWire, audio marks, a capture on the node.
        const QStringList missing = PipeWireDaemon::missingPrograms();
        QTemporaryDir runtime;
        if (!missing.isEmpty() || !runtime.isValid()) {
            std::printf("\n== microphone: not measured, missing %s ==\n",
                        qPrintable(missing.join(QLatin1Char(' '))));
            failed = true;
        } else {
            PipeWireDaemon daemon(runtime.path());
            if (!daemon.start()) {
                std::printf("\n== microphone: PipeWire did not start: %s ==\n",
                            qPrintable(daemon.errorString()));
                failed = true;
            } else {
                PipeWireDaemon::pointClientsAt(runtime.path());
                for (const QString &size : s.sizes) {
                    for (const QString &path : s.micPaths) {
                        for (int busy : s.busy) {
                            Variant v;
                            v.size = size;
                            v.pixFmt = QStringLiteral("yuv420p");
                            v.marks = true;
                            v.pipeWire = daemon.clientEnvironment();
                            v.preEncode = true;
                            v.busy = busy;
                            if (path == QLatin1String("srt")) {
                                v.srtLoss = 0;
                                v.tsDefaultMuxing = true;
                            }
                            runMicVariant(
                                v, QStringLiteral("%1 30 fps, tone with marks | "
                                                  "microphone | %2 | %3")
                                       .arg(size,
                                            v.tsDefaultMuxing
                                                ? QStringLiteral("SRT, ffmpeg's default TS muxing")
                                                : QStringLiteral("RTMP"),
                                            busy > 0 ? QStringLiteral("%1 busy processes").arg(busy)
                                                     : QStringLiteral("idle")));
                        }
                    }
                }
                daemon.stop();
            }
        }
    }

    if (s.fpsCheck && !s.srtOnly && !s.micOnly) {
        std::printf("\n== publisher without a frame rate in its metadata (1280x720 30 fps, audio) "
                    "==\n");
        QString log;
        Variant v;
        v.size = QStringLiteral("1280x720");
        v.pixFmt = QStringLiteral("yuv420p");
        v.fpsMetadata = false;
        const Result r = runOnce(s, QStringLiteral("quorvix"), v, &log);
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

    // RTMP and SRT in turn within each run, so that they share the machine's conditions.
    auto runSrtSection = [&](const Variant &base, const QString &publisher) {
        const QString title =
            QStringLiteral("SRT next to RTMP (1280x720 30 fps yuv420p, AAC audio; "
                           "SRT latency %1 ms) | publisher %2")
                .arg(kSrtLatencyMs)
                .arg(publisher);
        std::printf("\n== %s ==\n", qPrintable(title));
        struct Path
        {
            const char *label;
            double loss; // < 0: RTMP
        };
        const Path paths[] = {{"RTMP", -1}, {"SRT 0% loss", 0}, {"SRT 2% loss", 0.02}};
        QMap<QString, std::vector<Result>> all;
        for (int run = 0; run < s.runs; ++run) {
            for (const Path &path : paths) {
                Variant v = base;
                v.srtLoss = path.loss;
                const Result r = runOnce(s, QStringLiteral("quorvix"), v);
                failed = failed || !r.ok;
                printResult(QStringLiteral("%1 #%2").arg(QLatin1String(path.label)).arg(run + 1),
                            r);
                std::printf("  %-16s longest stall %.0f ms, pictures missing %.1f %%, datagrams "
                            "dropped %lld\n",
                            "", r.longestStallMs, missingPercent(r),
                            static_cast<long long>(r.datagramsDropped));
                all[QLatin1String(path.label)].push_back(r);
            }
        }
        std::printf("  -- medians of %d run(s)\n", s.runs);
        QMap<QString, Result> med;
        QMap<QString, QString> extra;
        for (const Path &path : paths) {
            const QString label = QLatin1String(path.label);
            const std::vector<Result> &runs = all[label];
            const Result m = medianOf(runs);
            med[label] = m;
            printResult(label, m);
            // The worst run's stall: one long freeze is what a viewer notices.
            double stall = NAN;
            std::vector<double> dropped;
            for (const Result &r : runs) {
                if (!std::isnan(r.longestStallMs))
                    stall =
                        std::isnan(stall) ? r.longestStallMs : std::max(stall, r.longestStallMs);
                dropped.push_back(double(r.datagramsDropped));
            }
            const double missing = missingPercent(m);
            extra[label] = QStringLiteral("longest stall %1 ms | missing %2 %")
                               .arg(stall, 0, 'f', 0)
                               .arg(missing, 0, 'f', 1);
            if (path.loss > 0)
                extra[label] +=
                    QStringLiteral(" | datagrams dropped %1").arg(median(dropped), 0, 'f', 0);
            if (path.loss < 0)
                continue;
            const Result &rtmp = med[QStringLiteral("RTMP")];
            const bool met = path.loss == 0 ? m.wireMedian <= rtmp.wireMedian + kSrtLatencyMs
                                            : stall <= 200 && missing <= 2.0;
            std::printf("  %-16s median %.1f ms (RTMP %.1f + latency %.0f = %.1f), longest stall "
                        "%.0f ms, missing %.1f %% -> target %s\n",
                        path.label, m.wireMedian, rtmp.wireMedian, kSrtLatencyMs,
                        rtmp.wireMedian + kSrtLatencyMs, stall, missing, met ? "met" : "MISSED");
            extra[label] += QStringLiteral(" | target %1")
                                .arg(met ? QStringLiteral("met") : QStringLiteral("MISSED"));
        }
        for (const Path &path : paths)
            printSummary(title, QLatin1String(path.label), med[QLatin1String(path.label)],
                         extra[QLatin1String(path.label)]);
        std::fflush(stdout);
    };
    if (s.srt && !s.micOnly) {
        Variant v;
        v.size = QStringLiteral("1280x720");
        v.pixFmt = QStringLiteral("yuv420p");
        for (const QString &publisher : s.publishers)
            withPublisher(v, publisher, [&](const Variant &pv) { runSrtSection(pv, publisher); });
    }
    return failed ? 2 : 0;
}
