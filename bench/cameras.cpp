// CPU and wire -> webcam latency of several cameras at once, measured in this process with the
// program's own listener, relays, sessions, output switch and outputs as app/Application
// builds them. The webcams are stand-in v4l2loopback devices at the sink's system-call seam
// (bench/StampReadingWebcams.h: "Quorvix 1" and "Quorvix 2") that read the stamp of every
// picture written to them; the cameras are replay publishers (bench/Replay.h: a stamped stream
// encoded by bench_stamped_publisher before the run, with AAC sound, sent at its real rate by
// `ffmpeg -re -c copy` over RTMP to 127.0.0.1), each with its own publisher id in the stamp.
//
// Per size and run, each case in turn, each with a fresh program:
//   baseline: listening with no camera (setting "Each camera its own webcam" off, then on);
//   one camera, setting off;
//   two cameras, setting off: the second starts once the first is on the webcam and takes it
//     over, the first waits;
//   two cameras, each its own webcam: setting on, the first on "Quorvix 1", the second on
//     "Quorvix 2".
// Measured over --seconds of steady state, --warmup seconds after the last camera's first
// picture reached its webcam: the process's CPU (getrusage RUSAGE_SELF: the publishers are
// other processes) per second, and per camera the pictures written and their wire -> webcam
// latency (median, p95), "wire" being when the replay's clock sent the picture (read from
// ffmpeg's progress reports, good to about a frame). A camera's CPU is the case's minus the
// baseline with the same setting.
//
// Targets: the second camera's extra CPU with the setting off <= 10 % of one camera's; two
// cameras each on its own webcam <= 2.1x one camera's CPU; each camera's wire -> webcam median
// and p95 no worse than one camera's (within kLatencySlackMs, the replay clock's reading).
// Each case ends with a line "SUMMARY ..." with its figures and the targets, "met"/"missed".
// With --runs above 1 the figures are the medians over the runs.
//
// bench_cameras [--runs 1] [--seconds 20] [--warmup 3] [--sizes 1280x720,1920x1080]
//
// The webcams are 1280x720 I420, the program's default, whatever the cameras send; the sizes
// are of the same shape (16:9), where the webcam's scaling keeps the stamp readable. Set
// QUORVIX_INTAKE_PORT_BASE to keep the intakes' loopback ports off another instance's.

#include "BenchProcess.h"
#include "CameraLatency.h"
#include "StampReadingWebcams.h"
#include "Replay.h"
#include "app/AppSettings.h"
#include "app/Application.h"
#include "output/V4l2Sink.h"
#include "support/FreePort.h"
#include "support/LabelledWebcams.h"

#include <QApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

using bench::CameraFigures;

constexpr unsigned kIds[2] = {1, 2};
constexpr double kFps = 30;
const QString kDevices[2] = {QStringLiteral("/dev/video0"), QStringLiteral("/dev/video1")};
const QByteArray kLabels[2] = {QByteArrayLiteral("Quorvix 1"), QByteArrayLiteral("Quorvix 2")};
// How often a sink without its device looks again: soon, so that start-up is not measured.
constexpr int kProbeMs = 100;
constexpr int kListenTimeoutMs = 20000;
// From a replay's start to its first picture on a webcam; a session's discovery is a second
// or two, more on a busy machine.
constexpr int kFirstPictureTimeoutMs = 30000;
// The replayed stream is this much longer than warm-up plus window: room for both cameras'
// start-up before the window.
constexpr double kReplayMarginS = 25;
// Targets.
constexpr double kExtraShareTarget = 0.10;
constexpr double kOwnWebcamRatioTarget = 2.1;
// "No worse" than one camera's latency, within the error of reading the replay's clock.
constexpr double kLatencySlackMs = 2;

struct Options
{
    int runs = 1;
    double seconds = 20;
    double warmupS = 3;
    QStringList sizes{QStringLiteral("1280x720"), QStringLiteral("1920x1080")};
};

// A replayed camera: its stream file and the writer's index of its pictures.
struct Camera
{
    unsigned id = 0;
    QString file;
    bench::ReplayIndex index;
};

struct CaseResult
{
    bool ok = false;
    QString note;
    double cpuPerS = NAN; // CPU seconds per second of the window
    CameraFigures cameras[2];
};

enum class Case
{
    BaselineOff,
    BaselineOn,
    One,
    TwoOff,
    TwoOwn
};

int camerasIn(Case c)
{
    switch (c) {
    case Case::BaselineOff:
    case Case::BaselineOn:
        return 0;
    case Case::One:
        return 1;
    case Case::TwoOff:
    case Case::TwoOwn:
        break;
    }
    return 2;
}

bool eachOwnWebcam(Case c)
{
    return c == Case::BaselineOn || c == Case::TwoOwn;
}

double cpuSeconds()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        std::perror("getrusage");
        return NAN;
    }
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs the event loop for a while without polling (the window's CPU is the program's).
void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One case with a fresh program: listening, the case's cameras started one after the other
// (each once its predecessor is on a webcam), the warm-up, then the window.
CaseResult runCase(const Options &o, Case c, const Camera cameras[2], int width, int height)
{
    CaseResult r;
    const int count = camerasIn(c);
    // Every picture of both webcams from listening to the window's end, with room to spare.
    const size_t capacity = size_t((o.warmupS + o.seconds + 2 * kReplayMarginS) * kFps) * 2 + 1000;
    auto webcams = std::make_shared<bench::StampReadingWebcams>(capacity);
    for (int i = 0; i < 2; ++i)
        webcams->addDevice(kDevices[i], kLabels[i]);
    webcams->setSource(width, height);
    installLabelledWebcams(webcams, kProbeMs);

    const quint16 port = FreePort::loopback();
    {
        auto store = AppSettings::openStore();
        store->clear();
        store->setValue(QString::fromLatin1(AppSettings::kPort), port);
        store->setValue(QString::fromLatin1(AppSettings::kEachCameraOwnWebcam), eachOwnWebcam(c));
        store->sync();
    }
    bench::ReplaySender replays[2];
    {
        auto app = std::make_unique<Application>();
        app->toggleListening();
        const int outputs = eachOwnWebcam(c) ? 2 : 1;
        if (port == 0 || !FreePort::waitUntilListening(port, kListenTimeoutMs) ||
            !bench::waitFor([] { return FreePort::isListening(bench::firstManagerPort()); },
                            kListenTimeoutMs)) {
            r.note = QStringLiteral("the program did not start listening");
        } else if (app->outputCount() != outputs) {
            r.note = QStringLiteral("%1 webcam(s) built, %2 expected")
                         .arg(app->outputCount())
                         .arg(outputs);
        }
        for (int i = 0; i < count && r.note.isEmpty(); ++i) {
            bench::ReplaySender::Options replay;
            replay.file = cameras[i].file;
            if (!replays[i].start(replay, port))
                r.note = QStringLiteral("the replay of camera %1 did not start").arg(i + 1);
            else if (!bench::waitFor([&] { return webcams->hasWriteOf(cameras[i].id); },
                                     kFirstPictureTimeoutMs))
                r.note = QStringLiteral("no picture of camera %1 on a webcam in %2 s")
                             .arg(i + 1)
                             .arg(kFirstPictureTimeoutMs / 1000);
        }
        if (r.note.isEmpty()) {
            runEventsFor(int(o.warmupS * 1000));
            const double cpuStart = cpuSeconds();
            const int64_t fromUs = stamp::nowUs();
            runEventsFor(int(o.seconds * 1000));
            const int64_t toUs = stamp::nowUs();
            r.cpuPerS = (cpuSeconds() - cpuStart) / ((toUs - fromUs) / 1e6);
            const std::vector<bench::StampReadingWebcams::Write> writes = webcams->writes();
            r.ok = true;
            for (int i = 0; i < count; ++i) {
                if (replays[i].process().state() == QProcess::NotRunning) {
                    r.ok = false;
                    r.note = QStringLiteral("the replay of camera %1 ended before the window did")
                                 .arg(i + 1);
                }
                const int64_t originUs = replays[i].originUs();
                if (originUs == INT64_MAX) {
                    r.ok = false;
                    r.note =
                        QStringLiteral("the replay of camera %1 reported no progress").arg(i + 1);
                    continue;
                }
                r.cameras[i] = bench::cameraFigures(writes, cameras[i].id, cameras[i].index,
                                                    originUs, fromUs, toUs);
            }
            if (webcams->overflow() > 0) {
                r.ok = false;
                r.note =
                    QStringLiteral("%1 writes beyond the list's room").arg(webcams->overflow());
            }
        }
        for (bench::ReplaySender &replay : replays)
            replay.stop();
        // Listening, the sessions and the outputs end here.
    }
    clearLabelledWebcams();
    return r;
}

double medianOf(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    return bench::percentile(v, 0.5);
}

CaseResult medianOf(const std::vector<CaseResult> &runs)
{
    CaseResult m;
    m.ok = !runs.empty() &&
           std::all_of(runs.begin(), runs.end(), [](const CaseResult &r) { return r.ok; });
    std::vector<double> cpu;
    for (const CaseResult &r : runs) {
        cpu.push_back(r.cpuPerS);
        if (!r.note.isEmpty())
            m.note = r.note;
    }
    m.cpuPerS = medianOf(cpu);
    for (int i = 0; i < 2; ++i) {
        std::vector<double> pictures, median, p95;
        for (const CaseResult &r : runs) {
            pictures.push_back(r.cameras[i].pictures);
            median.push_back(r.cameras[i].medianMs);
            p95.push_back(r.cameras[i].p95Ms);
            if (r.cameras[i].device >= 0)
                m.cameras[i].device = r.cameras[i].device;
        }
        m.cameras[i].pictures = int(std::lround(medianOf(pictures)));
        m.cameras[i].medianMs = medianOf(median);
        m.cameras[i].p95Ms = medianOf(p95);
    }
    return m;
}

const char *verdict(bool met)
{
    return met ? "met" : "missed";
}

QString latencyText(const CameraFigures &f)
{
    if (f.pictures == 0)
        return QStringLiteral("no pictures");
    return QStringLiteral("wire->webcam med %1 p95 %2 ms, %3 pictures")
        .arg(f.medianMs, 0, 'f', 1)
        .arg(f.p95Ms, 0, 'f', 1)
        .arg(f.pictures);
}

QString webcamOf(const CameraFigures &f)
{
    return f.device >= 0 ? QString::fromLatin1(kLabels[f.device]) : QStringLiteral("no webcam");
}

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (a == QLatin1String("--runs") && hasValue)
            o.runs = std::max(1, QString::fromLocal8Bit(argv[++i]).toInt());
        else if (a == QLatin1String("--seconds") && hasValue)
            o.seconds = std::max(1.0, QString::fromLocal8Bit(argv[++i]).toDouble());
        else if (a == QLatin1String("--warmup") && hasValue)
            o.warmupS = std::max(0.0, QString::fromLocal8Bit(argv[++i]).toDouble());
        else if (a == QLatin1String("--sizes") && hasValue)
            o.sizes = QString::fromLocal8Bit(argv[++i]).split(QLatin1Char(','));
        else
            return false;
    }
    for (const QString &size : o.sizes) {
        const QStringList wh = size.split(QLatin1Char('x'));
        // The stamp is looked for where a plain scaling puts it: the webcam's shape only.
        if (wh.size() != 2 || wh.at(0).toInt() <= 0 || wh.at(1).toInt() <= 0 ||
            !stamp::fits(wh.at(0).toInt(), wh.at(1).toInt()) ||
            wh.at(0).toInt() * V4l2Sink::kDefaultHeight !=
                wh.at(1).toInt() * V4l2Sink::kDefaultWidth)
            return false;
    }
    return true;
}

// Both cameras' streams for one size, encoded before the run into `dir`.
bool encodeCameras(const Options &o, const QString &size, const QTemporaryDir &dir,
                   Camera cameras[2])
{
    for (int i = 0; i < 2; ++i) {
        cameras[i].id = kIds[i];
        cameras[i].file = dir.filePath(QStringLiteral("camera%1.flv").arg(i + 1));
        const QString indexPath = dir.filePath(QStringLiteral("camera%1.log").arg(i + 1));
        const double streamS = o.warmupS + o.seconds + kReplayMarginS;
        const QStringList args{QStringLiteral("--size"),    size,
                               QStringLiteral("--fps"),     QString::number(kFps),
                               QStringLiteral("--pix-fmt"), QStringLiteral("yuv420p"),
                               QStringLiteral("--seconds"), QString::number(streamS),
                               QStringLiteral("--id"),      QString::number(kIds[i]),
                               QStringLiteral("--log"),     indexPath,
                               QStringLiteral("--write"),   cameras[i].file};
        if (!bench::encodeBeforeRun(bench::publisherProgram(), args, 60000 + int(streamS * 20000)))
            return false;
        cameras[i].index = bench::readReplayIndex(indexPath);
        if (cameras[i].index.frames.empty()) {
            std::fprintf(stderr, "camera %d: the writer's log lists no picture\n", i + 1);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: bench_cameras [--runs 1] [--seconds 20] [--warmup 3] "
                             "[--sizes 1280x720,1920x1080] (sizes of 16:9)\n");
        return 1;
    }
    // The program's settings and data in a folder of the run's own; no update check; the
    // stand-in webcams instead of any device path or tap the environment names.
    QTemporaryDir home;
    if (!home.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("QUORVIX_MANIFEST_URL", "");
    qunsetenv("QUORVIX_VCAM_DEVICE");
    qunsetenv("QUORVIX_VCAM_TAP");
    qunsetenv("QUORVIX_VCAM_SIZE");
    QApplication application(argc, argv);
    // The program's own account of each start and end would bury the figures, and so would
    // FFmpeg's complaint of every waiting intake closed at each case's end.
    QLoggingCategory::setFilterRules(
        QStringLiteral("*.info=false\n*.debug=false\nquorvix.ffmpeg.warning=false"));
    if (!FfmpegPublisher::available()) {
        std::fprintf(stderr, "the ffmpeg command-line tool is needed for the replays\n");
        return 1;
    }

    bool failed = false;
    for (const QString &size : o.sizes) {
        const QStringList wh = size.split(QLatin1Char('x'));
        const int width = wh.at(0).toInt();
        const int height = wh.at(1).toInt();
        const QString title = QStringLiteral("cameras %1 30 fps AAC, replay, webcam %2x%3 I420")
                                  .arg(size)
                                  .arg(V4l2Sink::kDefaultWidth)
                                  .arg(V4l2Sink::kDefaultHeight);
        std::printf("\n== %s ==\n", qPrintable(title));
        std::fflush(stdout);
        QTemporaryDir dir;
        Camera cameras[2];
        if (!dir.isValid() || !encodeCameras(o, size, dir, cameras)) {
            std::printf("  the cameras' streams could not be encoded before the run\n");
            failed = true;
            continue;
        }
        const Case cases[] = {Case::BaselineOff, Case::BaselineOn, Case::One, Case::TwoOff,
                              Case::TwoOwn};
        const char *names[] = {"baseline, no camera, setting off",
                               "baseline, no camera, each its own webcam", "one camera",
                               "two cameras, setting off", "two cameras, each its own webcam"};
        std::map<Case, std::vector<CaseResult>> all;
        for (int run = 0; run < o.runs; ++run) {
            for (int k = 0; k < 5; ++k) {
                const CaseResult r = runCase(o, cases[k], cameras, width, height);
                failed = failed || !r.ok;
                QString line = QStringLiteral("  #%1 %2: cpu %3 s/s")
                                   .arg(run + 1)
                                   .arg(QLatin1String(names[k]))
                                   .arg(r.cpuPerS, 0, 'f', 3);
                for (int i = 0; i < camerasIn(cases[k]); ++i)
                    line += QStringLiteral(" | camera %1 on %2: %3")
                                .arg(i + 1)
                                .arg(webcamOf(r.cameras[i]), latencyText(r.cameras[i]));
                if (!r.note.isEmpty())
                    line += QStringLiteral(" | FAILED: ") + r.note;
                std::printf("%s\n", qPrintable(line));
                std::fflush(stdout);
                all[cases[k]].push_back(r);
            }
        }
        std::map<Case, CaseResult> m;
        for (const Case c : cases)
            m[c] = medianOf(all[c]);
        const double baseOff = m[Case::BaselineOff].cpuPerS;
        const double baseOn = m[Case::BaselineOn].cpuPerS;
        const CaseResult &one = m[Case::One];
        const CaseResult &twoOff = m[Case::TwoOff];
        const CaseResult &twoOwn = m[Case::TwoOwn];
        const double oneCpu = one.cpuPerS - baseOff;
        std::printf("  -- %s of %d run(s); a camera's CPU is the case's minus the baseline with "
                    "the same setting (off %.3f, on %.3f s/s)\n",
                    o.runs > 1 ? "medians" : "figures", o.runs, baseOff, baseOn);

        std::printf("SUMMARY %s | one camera | cpu %.3f s/s, %.3f above the baseline %.3f | "
                    "camera 1 on %s: %s\n",
                    qPrintable(size), one.cpuPerS, oneCpu, baseOff,
                    qPrintable(webcamOf(one.cameras[0])), qPrintable(latencyText(one.cameras[0])));

        const double extra = twoOff.cpuPerS - one.cpuPerS;
        const double share = extra / oneCpu;
        std::printf(
            "SUMMARY %s | two cameras, setting off | cpu %.3f s/s | second camera's "
            "extra cpu %.3f s/s = %.1f %% of one camera's %.3f -> target <= %.0f %%: %s | "
            "camera 1 (older) on %s: %s | camera 2 (newer) on %s: %s\n",
            qPrintable(size), twoOff.cpuPerS, extra, 100 * share, oneCpu, 100 * kExtraShareTarget,
            verdict(share <= kExtraShareTarget), qPrintable(webcamOf(twoOff.cameras[0])),
            qPrintable(latencyText(twoOff.cameras[0])), qPrintable(webcamOf(twoOff.cameras[1])),
            qPrintable(latencyText(twoOff.cameras[1])));

        const double ratio = (twoOwn.cpuPerS - baseOn) / oneCpu;
        QString cameraTexts;
        for (int i = 0; i < 2; ++i) {
            const CameraFigures &f = twoOwn.cameras[i];
            const CameraFigures &ref = one.cameras[0];
            const bool noWorse = f.medianMs <= ref.medianMs + kLatencySlackMs &&
                                 f.p95Ms <= ref.p95Ms + kLatencySlackMs;
            cameraTexts += QStringLiteral(" | camera %1 on %2: %3 -> target med <= %4 p95 <= %5 "
                                          "ms (one camera's + %6): %7")
                               .arg(i + 1)
                               .arg(webcamOf(f), latencyText(f))
                               .arg(ref.medianMs + kLatencySlackMs, 0, 'f', 1)
                               .arg(ref.p95Ms + kLatencySlackMs, 0, 'f', 1)
                               .arg(kLatencySlackMs, 0, 'f', 0)
                               .arg(QLatin1String(verdict(noWorse)));
        }
        std::printf("SUMMARY %s | two cameras, each its own webcam | cpu %.3f s/s, %.3f above "
                    "the baseline %.3f = %.2fx one camera's -> target <= %.1fx: %s%s\n",
                    qPrintable(size), twoOwn.cpuPerS, twoOwn.cpuPerS - baseOn, baseOn, ratio,
                    kOwnWebcamRatioTarget, verdict(ratio <= kOwnWebcamRatioTarget),
                    qPrintable(cameraTexts));
        std::fflush(stdout);
    }
    return failed ? 2 : 0;
}
