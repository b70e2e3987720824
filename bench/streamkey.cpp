// Connection -> first picture with and without a required stream key, in the same run and
// with the same publisher, alternating: the key costs reading the publish command on the
// side, which should not show beyond noise (target: medians within 20 ms).
//
// "connection" is the listener's admission of the camera (a relay is made for it),
// "first picture" the first live frame the output's webcam backend is handed.
//
// bench_streamkey [--runs N]     (default 7 per variant; the ffmpeg CLI is the camera)

#include "ingest/Server.h"
#include "engine/OutputSwitch.h"
#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kTimeoutMs = 30000;
const QByteArray kKey = "Zx8kQ2mVb7TnR4cWp9LdHs";

template <class Pred>
bool waitFor(Pred done, int timeoutMs = kTimeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int runs = 7;
    const QStringList args = app.arguments();
    if (const int i = args.indexOf(QStringLiteral("--runs")); i > 0 && i + 1 < args.size())
        runs = std::max(1, args.at(i + 1).toInt());
    if (!FfmpegPublisher::available()) {
        std::fprintf(stderr, "the ffmpeg command-line tool is needed\n");
        return 2;
    }

    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    OutputSwitch outputSwitch(&cam);
    Server server(outputSwitch);
    QElapsedTimer clock;
    clock.start();
    const quint16 port = FreePort::loopback();
    if (!server.startListening(QHostAddress::LocalHost, port) ||
        !waitFor([&] { return server.freeManagerPorts().size() == Server::kInitialManagers; })) {
        std::fprintf(stderr, "listener did not start\n");
        return 1;
    }

    std::vector<double> figures[2]; // [0] key off, [1] key on
    // Run -1 warms up (the first encoder start and the first session are slow) and counts for
    // neither variant.
    for (int run = -1; run < 2 * runs; ++run) {
        const bool on = run % 2 != 0;
        IngestSettings settings;
        settings.streamKey = on ? kKey : QByteArray();
        server.setSettings(settings);
        qint64 admittedNs = -1;
        const int relaysBefore = server.relayCount();
        const int before = output.frameCount(RecordingOutput::Sink);
        FfmpegPublisher::Options options;
        options.size = QSize(1280, 720);
        options.durationS = 0;
        options.path = QStringLiteral("@/") + QString::fromLatin1(kKey);
        FfmpegPublisher publisher(options);
        publisher.start(port);
        // Polled every millisecond: the admission is when the listener makes the relay.
        if (!waitFor([&] {
                if (admittedNs < 0 && server.relayCount() > relaysBefore)
                    admittedNs = clock.nsecsElapsed();
                return output.frameCount(RecordingOutput::Sink) > before;
            })) {
            std::fprintf(stderr, "run %d (key %s): no picture\n", run, on ? "on" : "off");
            return 1;
        }
        const double ms = (clock.nsecsElapsed() - admittedNs) / 1e6;
        if (run >= 0)
            figures[on].push_back(ms);
        std::printf("run %2d  key %-3s  connection -> first picture %7.1f ms\n", run,
                    on ? "on" : "off", ms);
        std::fflush(stdout);
        publisher.stop();
        waitFor([&] {
            return !cam.streamActive() &&
                   server.freeManagerPorts().size() == Server::kInitialManagers;
        });
    }
    server.stopListening();

    const double off = median(figures[0]);
    const double onMs = median(figures[1]);
    std::printf("\n1280x720 + audio, %d runs each: median key off %.1f ms, key on %.1f ms, "
                "difference %+.1f ms (target within 20 ms): %s\n",
                runs, off, onMs, onMs - off, std::abs(onMs - off) <= 20 ? "met" : "missed");
    return 0;
}
