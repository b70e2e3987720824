// Soak and abuse runner: quorvix as users start it (offscreen, command-line port, webcam tap
// followed in memory), treated the way real networks and cameras treat it:
//   1. publish/leave cycles with threads, descriptors and RSS after the first and the last;
//   2. ten simultaneous publishers all admitted (the webcam shows one at a time, never
//      interleaved), the eleventh refused with the overload text;
//   3. connections sending random bytes, truncated handshakes and oversized chunk headers,
//      then a real publisher still served;
//   4. a publisher flooding the port faster than the intake reads (RSS growth bounded);
//   5. a publisher killed mid-stream (SIGKILL), one that stalls for 4 s (shorter than the idle
//      timeout: served again afterwards), and a silent camera: one that stops sending for good
//      with its connection open, as a phone leaving the Wi-Fi does. Printed: the time from its
//      last picture until the webcam shows the card again (bound 12 s), and threads,
//      descriptors and RSS once it has gone, next to the idle figures before it;
//   6. the memory of one 1920x1080 30 fps session: RSS idle and while a stream encoded before
//      the run is replayed at its real rate (growth bound 150 MB; the picture pool alone may
//      take 64 MB, where 60 pictures of 1080p took 187 MB);
//   7. 45 squatters (TCP connections that send RTMP's version byte and then nothing, held
//      open), then a real camera that tries again when refused, as a phone app does: the time
//      until it is served (bound: the handshake deadline plus 2 s);
//   8. ten publishers streaming, then SIGTERM: the time to exit.
// Each phase also prints the longest gap between the GUI thread's events (QUORVIX_GUI_WATCHDOG)
// during it. The full run waits a minute after the abuse and prints the figures again: the
// intakes added under the load are retired by then.
// A publisher counts as served when pictures carrying its stamp reach the webcam tap; the card
// carries none. The 1080p stream carries no stamp the 320x240 tap can read: it counts as live
// while the webcam runs at its rate (the card comes five times a second).
// Prints the figures; exits non-zero when quorvix crashed or ended badly, stopped serving, or
// leaked beyond the bounds (threads and descriptors back to their count, RSS within 10 MB
// after the cycles, flood growth at most 64 MB, 1080p growth at most 150 MB). The cycle and
// flood RSS bounds are enforced in the full run of a normal build only: the short run's few
// sessions do not let the allocator settle; the 1080p bound, far above what settling moves,
// in every normal build. A sanitizer build's allocator keeps freed memory in quarantine: it
// enforces no RSS bound and gets more time for the bounds in time.
//
// bench_soak [--short] [--flood-only] [--only PHASES]
//   --short: the CI variant, about 2.5 minutes (QUORVIX_SOAK=short does the same)
//   --flood-only: the flood phase alone (the same as --only flood)
//   --only: a comma-separated choice of cycles, simultaneous, abuse, flood, killed, stalled,
//           silent, memory, squatters (the SIGTERM phase always ends the run)
// The full run: 50 cycles, 1000 abusive connections, 20 s of flood, 12 s of 1080p.

#include "BenchProcess.h"
#include "Stamp.h"
#include "TapReader.h"
#include "ingest/RtmpRelay.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr char kOverloadText[] = "Server is overloaded, try again later...\r\n";
constexpr qint64 kCycleRssBoundKb = 10 * 1024;
constexpr qint64 kFloodRssBoundKb = 64 * 1024;
constexpr char kPublisherSize[] = "320x240";
// quorvix ends within this of SIGTERM, ten cameras streaming.
constexpr int kStopBoundMs = 2000;
// A silent camera's session has ended and the card is back within this.
constexpr int kCardBackBoundMs = 12000;
// A camera beside the squatters is served within the handshake deadline and a moment.
constexpr int kServedBesideSquattersBoundMs = RtmpRelay::kPublishWaitMs + 2000;
// Added to the bounds in time under a sanitizer: everything there runs several times slower.
constexpr int kSanitizerSlackMs = 8000;
// Pauses a phone app makes before it tries again after a refusal.
constexpr int kRetryPauseMs = 1000;
// Growth of RSS with one 1080p session: the 64 MB picture pool, the decoder's own pictures and
// the conversion; 60 pictures of 1080p alone took 187 MB.
constexpr qint64 kSession1080RssBoundKb = 150 * 1024;
// The card comes five times a second, a live session at its own rate (30 fps here).
constexpr int kLiveFramesPerSecond = 15;
// The program is idle once its threads and descriptors have not changed for this long.
constexpr qint64 kStillMs = 1000;
// Unstamped pictures after the last stamped one that show the card is back.
constexpr size_t kCardPictures = 3;

struct Plan
{
    int cycles = 50;
    double cycleS = 2.0;
    int abuseConnections = 1000;
    int abuseParallel = 4;
    // The RSS bounds hold for the full run: over a handful of sessions the allocator's
    // per-thread arenas are still growing to their working size.
    bool enforceRss = true;
    double floodS = 20;
    // Shorter than the relays' idle timeout: the session holds and is served again after it.
    double stallS = 4;
    // Far longer than the idle timeout: the camera is gone, its session must end.
    double silentS = 4.0 * RtmpRelay::kNoDataTimeoutMs / 1000;
    int squatters = 45;
    // Length of the 1080p stream encoded before the run.
    double session1080S = 12;
    int simultaneous = 10;
    // After the abuse: long enough for the extra intakes' minute of idleness (0: skip).
    int afterAbuseWaitS = 70;
    // --only: the phases to run (empty: all).
    QStringList only;
    bool runs(const char *name) const
    {
        return only.isEmpty() || only.contains(QLatin1String(name));
    }
};

int g_failures = 0;

void fail(const char *what)
{
    ++g_failures;
    std::printf("FAIL: %s\n", what);
    std::fflush(stdout);
}

// ---- Raw clients -----------------------------------------------------------------------------

int connectTo(quint16 port, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const void *data, size_t bytes)
{
    const auto *p = static_cast<const char *>(data);
    while (bytes > 0) {
        const ssize_t n = ::send(fd, p, bytes, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += n;
        bytes -= size_t(n);
    }
    return true;
}

// Reads until the peer closes, the time-out passes or `max` bytes have come.
std::string readSome(int fd, size_t max)
{
    std::string got;
    char buf[4096];
    while (got.size() < max) {
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, max - got.size()), 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        got.append(buf, size_t(n));
    }
    return got;
}

enum class Abuse
{
    RandomBytes,
    TruncatedHandshake,
    OversizedChunkHeader,
    HugeChunkSize,
    Count
};

// One abusive connection; true when the server answered with the overload text.
bool abuseOnce(quint16 port, Abuse kind, std::mt19937 &rng)
{
    const int fd = connectTo(port, 2000);
    if (fd < 0)
        return false;
    std::vector<unsigned char> bytes;
    auto randomBytes = [&](size_t n) {
        for (size_t i = 0; i < n; ++i)
            bytes.push_back(static_cast<unsigned char>(rng()));
    };
    bool refused = false;
    switch (kind) {
    case Abuse::RandomBytes:
        randomBytes(1 + rng() % 8192);
        sendAll(fd, bytes.data(), bytes.size());
        break;
    case Abuse::TruncatedHandshake:
        bytes.push_back(0x03);     // C0: RTMP version 3
        randomBytes(rng() % 1536); // part of C1
        sendAll(fd, bytes.data(), bytes.size());
        break;
    case Abuse::OversizedChunkHeader:
    case Abuse::HugeChunkSize: {
        bytes.push_back(0x03);
        randomBytes(1536); // C1
        if (!sendAll(fd, bytes.data(), bytes.size()))
            break;
        const std::string reply = readSome(fd, 1 + 1536 + 1536); // S0 S1 S2
        if (reply.compare(0, 5, "Serve") == 0) {
            refused = reply.find(kOverloadText) == 0;
            break;
        }
        if (reply.size() < 1 + 1536)
            break;
        std::vector<unsigned char> c2(reply.begin() + 1, reply.begin() + 1 + 1536); // echo S1
        sendAll(fd, c2.data(), c2.size());
        std::vector<unsigned char> chunk;
        if (kind == Abuse::OversizedChunkHeader) {
            // Three-byte chunk stream id (65599), type 0 header with the largest timestamp
            // (extended follows), the largest message length and an odd message type.
            chunk = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0x14, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
        } else {
            // Set Chunk Size to 0x7FFFFFFF, then the start of a huge message.
            chunk = {0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00,
                     0x00, 0x00, 0x7F, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x00,
                     0xFF, 0xFF, 0xFF, 0x14, 0x00, 0x00, 0x00, 0x00};
        }
        const size_t header = chunk.size();
        chunk.resize(header + 512 + rng() % 4096);
        for (size_t i = header; i < chunk.size(); ++i)
            chunk[i] = static_cast<unsigned char>(rng());
        sendAll(fd, chunk.data(), chunk.size());
        break;
    }
    case Abuse::Count:
        break;
    }
    if (!refused && kind != Abuse::OversizedChunkHeader && kind != Abuse::HugeChunkSize) {
        // Whatever comes back within a moment (a refusal or a handshake), then hang up.
        ::shutdown(fd, SHUT_WR);
        const std::string reply = readSome(fd, 8192);
        refused = reply.find(kOverloadText) == 0;
    }
    ::close(fd);
    return refused;
}

// ---- The runner ------------------------------------------------------------------------------

class Soak
{
public:
    Soak(const Plan &plan, const QString &dir) : m_plan(plan), m_dir(dir) {}

    int run()
    {
        const QString tapPath = m_dir + QStringLiteral("/tap.y4m");
        m_tap = std::make_unique<TapReader>(tapPath.toStdString());
        if (!m_tap->ok())
            return 1;
        // Encoded before quorvix starts, so that the encoder takes no CPU from the run.
        if (m_plan.runs("memory") && !encode1080())
            return 1;
        // The program's stream managers take fixed loopback ports: wait while another
        // instance (a test, a user's quorvix) still holds them.
        if (!bench::waitFor([] { return !FreePort::isListening(bench::firstManagerPort()); },
                            120000)) {
            fail("the stream managers' loopback ports stay taken by another program");
            return 1;
        }
        m_port = FreePort::loopback();
        if (!m_quorvix.start(m_port, m_dir, tapPath, QString::fromLatin1(kPublisherSize))) {
            fail("quorvix did not start serving");
            return 1;
        }
        // Settled: the ten intakes wait for cameras.
        bench::waitFor([] { return false; }, 2000);
        const bench::ProcSample start = bench::procSample(m_quorvix.pid());
        std::printf("soak: quorvix pid %lld on port %u%s; idle with ten ready intakes: %d threads, "
                    "%d fds, RSS %.1f MB\n",
                    m_quorvix.pid(), m_port, kSanitized ? " (sanitizer build)" : "", start.threads,
                    start.fds, start.rssKb / 1024.0);
        std::fflush(stdout);

        if (m_plan.runs("cycles"))
            phase([this] { cycles(); });
        if (m_plan.runs("simultaneous"))
            phase([this] { simultaneous(); });
        if (m_plan.runs("abuse")) {
            phase([this] { abuse(); });
            if (m_plan.afterAbuseWaitS > 0)
                phase([this] { afterAbuse(); });
        }
        if (m_plan.runs("flood"))
            phase([this] { flood(); });
        if (m_plan.runs("killed"))
            phase([this] { killed(); });
        if (m_plan.runs("stalled"))
            phase([this] { stalled(); });
        if (m_plan.runs("silent"))
            phase([this] { silentCamera(); });
        if (m_plan.runs("memory"))
            phase([this] { session1080(); });
        if (m_plan.runs("squatters"))
            phase([this] { squatters(); });

        const bench::ProcSample end = bench::procSample(m_quorvix.pid());
        std::printf("at the end: %d threads, %d fds, RSS %.1f MB, peak RSS %.1f MB\n", end.threads,
                    end.fds, end.rssKb / 1024.0, end.peakRssKb / 1024.0);
        bool clean = true;
        phase([&] { clean = tenCamerasThenSigterm(); });
        std::printf("quorvix ended on SIGTERM: %s\n", qPrintable(m_quorvix.exitText()));
        if (!clean)
            fail("quorvix did not end cleanly (crash, sanitizer report or hang)");
        std::printf("%s: %d failure(s)\n", g_failures ? "SOAK FAILED" : "SOAK PASSED", g_failures);
        return g_failures ? 2 : 0;
    }

private:
    // Waits until every publisher has said it is connected and publishing (20 s at most).
    static bool waitUntilAllConnected(std::vector<std::unique_ptr<QProcess>> &publishers)
    {
        return bench::waitFor(
            [&] {
                for (auto &p : publishers)
                    if (!p->canReadLine() && !p->peek(16).contains("CONNECTED"))
                        return false;
                return true;
            },
            20000);
    }
    bool rssEnforced() const { return m_plan.enforceRss && !kSanitized; }

    // Runs one phase and prints the longest GUI-thread gap the program logged during it.
    template <typename Body>
    void phase(Body body)
    {
        const qint64 from = QFileInfo(m_quorvix.logPath()).size();
        body();
        bench::waitFor([] { return false; }, 100); // the log line of a gap that just ended
        QFile log(m_quorvix.logPath());
        int longest = 0;
        if (log.open(QIODevice::ReadOnly) && log.seek(from)) {
            const QByteArray marker("GUI thread gap: ");
            for (const QByteArray &line : log.readAll().split('\n')) {
                const int at = line.indexOf(marker);
                if (at >= 0)
                    longest =
                        std::max(longest, line.mid(at + marker.size()).split(' ').value(0).toInt());
            }
        }
        if (longest > 0)
            std::printf("  longest GUI-thread gap: %d ms\n", longest);
        else
            std::printf("  longest GUI-thread gap: under 20 ms\n");
        std::fflush(stdout);
    }

    bool alive()
    {
        if (m_quorvix.running())
            return true;
        fail(qPrintable(QStringLiteral("quorvix is gone: ") + m_quorvix.exitText()));
        return false;
    }

    QStringList publisherArgs(unsigned id, double seconds) const
    {
        return {QStringLiteral("--port"),    QString::number(m_port),
                QStringLiteral("--size"),    QString::fromLatin1(kPublisherSize),
                QStringLiteral("--seconds"), QString::number(seconds),
                QStringLiteral("--id"),      QString::number(id)};
    }

    std::unique_ptr<QProcess> startPublisher(const QStringList &args)
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::SeparateChannels);
        p->setStandardErrorFile(QProcess::nullDevice());
        p->start(bench::publisherProgram(), args);
        if (!p->waitForStarted(10000))
            fail("the stamped publisher did not start");
        return p;
    }

    static void stopPublisher(QProcess &p)
    {
        if (p.state() == QProcess::NotRunning)
            return;
        p.terminate();
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }

    // True once `count` pictures of the id reached the webcam since `sinceUs`.
    bool seen(unsigned id, size_t count, int timeoutMs, int64_t sinceUs = 0)
    {
        return bench::waitFor([&] { return m_tap->stampedCount(id, sinceUs) >= count; }, timeoutMs);
    }

    // A fresh publisher for a few seconds: served when its pictures reach the webcam.
    bool served(const char *after)
    {
        const unsigned id = m_nextId++;
        auto p = startPublisher(publisherArgs(id, 4));
        QElapsedTimer t;
        t.start();
        const bool ok = seen(id, 15, 20000);
        std::printf("  real publisher after %s: %s (%zu pictures, first after %lld ms)\n", after,
                    ok ? "served" : "NOT SERVED", m_tap->stampedCount(id), t.elapsed());
        p->waitForFinished(15000);
        stopPublisher(*p);
        if (!ok)
            fail(qPrintable(QStringLiteral("publisher not served after ") +
                            QString::fromLatin1(after)));
        return ok;
    }

    // Threads and descriptors settle once the ended session's threads are gone.
    bench::ProcSample settled(const bench::ProcSample &reference)
    {
        bench::ProcSample s;
        bench::waitFor(
            [&] {
                s = bench::procSample(m_quorvix.pid());
                return s.threads <= reference.threads && s.fds <= reference.fds;
            },
            8000 + slackMs());
        return s;
    }

    void cycles()
    {
        std::printf("1. %d publish/leave cycles of %.1f s\n", m_plan.cycles, m_plan.cycleS);
        bench::ProcSample first;
        std::vector<double> startMs;
        for (int i = 0; i < m_plan.cycles && alive(); ++i) {
            const unsigned id = m_nextId++;
            QElapsedTimer t;
            t.start();
            auto p = startPublisher(publisherArgs(id, m_plan.cycleS));
            const bool ok = seen(id, 1, 15000);
            startMs.push_back(double(t.elapsed()));
            p->waitForFinished(int(m_plan.cycleS * 1000) + 15000);
            const bool finished = p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
            stopPublisher(*p);
            if (!ok || !finished) {
                std::printf("  cycle %d: %s\n", i + 1, ok ? "publisher broke off" : "NOT SERVED");
                fail("a publish/leave cycle was not served");
            }
            // The session ends, its threads go and a fresh manager takes the port.
            bench::waitFor([] { return false; }, 500);
            if (i == 0) {
                first = bench::procSample(m_quorvix.pid());
                bench::waitFor([] { return false; }, 1500);
                first = bench::procSample(m_quorvix.pid());
            }
            m_tap->clear();
        }
        const bench::ProcSample last = settled(first);
        std::sort(startMs.begin(), startMs.end());
        std::printf("  after cycle 1: %d threads, %d fds, RSS %.1f MB\n", first.threads, first.fds,
                    first.rssKb / 1024.0);
        std::printf("  after cycle %d: %d threads, %d fds, RSS %.1f MB (%+.1f MB; bound 10 MB%s)\n",
                    m_plan.cycles, last.threads, last.fds, last.rssKb / 1024.0,
                    (last.rssKb - first.rssKb) / 1024.0, rssEnforced() ? "" : ", not enforced");
        if (!startMs.empty())
            std::printf("  publisher start to first picture: median %.0f ms, max %.0f ms\n",
                        startMs[startMs.size() / 2], startMs.back());
        // Fewer is no leak: Qt's idle pooled thread, for one, ends by itself after 30 s.
        if (last.threads > first.threads)
            fail("threads did not return to their count after the cycles");
        if (last.fds > first.fds)
            fail("file descriptors did not return to their count after the cycles");
        if (rssEnforced() && last.rssKb - first.rssKb > kCycleRssBoundKb)
            fail("RSS grew more than 10 MB over the cycles");
        std::fflush(stdout);
    }

    void simultaneous()
    {
        if (!alive())
            return;
        const int n = m_plan.simultaneous;
        std::printf("2. %d simultaneous publishers, then one more\n", n);
        std::vector<std::unique_ptr<QProcess>> publishers;
        std::vector<unsigned> ids;
        for (int i = 0; i < n; ++i) {
            ids.push_back(m_nextId++);
            publishers.push_back(startPublisher(publisherArgs(ids.back(), 10)));
        }
        // All ten admitted and publishing before the eleventh knocks.
        const bool allConnected = waitUntilAllConnected(publishers);
        const int extra = connectTo(m_port, 5000);
        std::string reply;
        if (extra >= 0) {
            reply = readSome(extra, 256);
            ::close(extra);
        }
        const bool refused = reply == kOverloadText;
        std::printf("  all %d connected: %s; the next one %s\n", n, allConnected ? "yes" : "NO",
                    refused ? "refused with the overload text"
                            : qPrintable(QStringLiteral("got \"%1\"")
                                             .arg(QString::fromLatin1(reply.c_str()).trimmed())));
        if (!allConnected)
            fail("not all simultaneous publishers were admitted");
        if (!refused)
            fail("the publisher beyond the pool was not refused with the overload text");
        for (auto &publisher : publishers) {
            publisher->waitForFinished(30000);
            stopPublisher(*publisher);
        }
        // One camera owns the webcam at a time: the pictures of the simultaneous publishers
        // come in runs, one per owner, never interleaved.
        size_t shown = 0;
        int runs = 0;
        unsigned previous = 0;
        for (const TapFrame &frame : m_tap->frames()) {
            if (!frame.stamped || std::find(ids.begin(), ids.end(), frame.value.id) == ids.end())
                continue;
            ++shown;
            if (frame.value.id != previous)
                ++runs;
            previous = frame.value.id;
        }
        std::printf("  webcam: %zu pictures in %d run(s) of one publisher each (at most %d)\n",
                    shown, runs, n);
        if (shown < 30)
            fail("the simultaneous publishers did not reach the webcam");
        if (runs > n)
            fail("the simultaneous publishers interleaved on the webcam");
        m_tap->clear();
        bench::waitFor([] { return false; }, 1000);
        std::fflush(stdout);
    }

    void abuse()
    {
        if (!alive())
            return;
        std::printf("3. %d abusive connections (%d at a time)\n", m_plan.abuseConnections,
                    m_plan.abuseParallel);
        std::atomic<int> next{0};
        std::atomic<int> refused{0};
        QElapsedTimer t;
        t.start();
        std::vector<std::thread> threads;
        for (int w = 0; w < m_plan.abuseParallel; ++w) {
            threads.emplace_back([&, w] {
                std::mt19937 rng(1234u + unsigned(w));
                for (int i = next++; i < m_plan.abuseConnections; i = next++) {
                    const auto kind = Abuse(i % int(Abuse::Count));
                    if (abuseOnce(m_port, kind, rng)) {
                        ++refused;
                        // Every manager is busy with earlier abuse: give them a moment, so
                        // that most connections reach an intake rather than the refusal.
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                }
            });
        }
        for (std::thread &th : threads)
            th.join();
        const bench::ProcSample s = bench::procSample(m_quorvix.pid());
        std::printf("  done in %.1f s; %d refused with the overload text; quorvix %s, %d threads, "
                    "%d fds, RSS %.1f MB\n",
                    t.elapsed() / 1000.0, refused.load(), s.alive ? "alive" : "GONE", s.threads,
                    s.fds, s.rssKb / 1024.0);
        if (alive())
            served("the abuse");
        std::fflush(stdout);
    }

    // The intakes added under the abuse wait a minute before they are retired.
    void afterAbuse()
    {
        if (!alive())
            return;
        std::printf("3b. %d s later\n", m_plan.afterAbuseWaitS);
        bench::waitFor([] { return false; }, m_plan.afterAbuseWaitS * 1000);
        const bench::ProcSample s = bench::procSample(m_quorvix.pid());
        std::printf("  quorvix %s, %d threads, %d fds, RSS %.1f MB\n", s.alive ? "alive" : "GONE",
                    s.threads, s.fds, s.rssKb / 1024.0);
        std::fflush(stdout);
    }

    // Ten cameras streaming, then SIGTERM as a desktop session ends: the time to exit.
    bool tenCamerasThenSigterm()
    {
        if (!alive())
            return false;
        const int n = m_plan.simultaneous;
        std::printf("8. %d publishers streaming, then SIGTERM\n", n);
        std::vector<std::unique_ptr<QProcess>> publishers;
        for (int i = 0; i < n; ++i)
            publishers.push_back(startPublisher(publisherArgs(m_nextId++, 60)));
        const bool allConnected = waitUntilAllConnected(publishers);
        m_tap->clear();
        const bool showing = bench::waitFor([&] { return m_tap->frames().size() >= 30; }, 20000);
        const bench::ProcSample s = bench::procSample(m_quorvix.pid());
        QElapsedTimer took;
        took.start();
        const bool clean = m_quorvix.stop();
        const qint64 ms = took.elapsed();
        // A sanitizer build also checks the whole heap for leaks before it exits.
        const int boundMs = kStopBoundMs + slackMs();
        std::printf("  all connected: %s; webcam showing one: %s; %d threads, %d fds, RSS %.1f "
                    "MB; SIGTERM to exit: %lld ms (bound %d ms)\n",
                    allConnected ? "yes" : "NO", showing ? "yes" : "NO", s.threads, s.fds,
                    s.rssKb / 1024.0, ms, boundMs);
        if (!allConnected || !showing)
            fail("the ten publishers were not served before the stop");
        if (ms > boundMs)
            fail("quorvix took too long to end with ten cameras");
        for (auto &publisher : publishers)
            stopPublisher(*publisher);
        return clean;
    }

    void flood()
    {
        if (!alive())
            return;
        std::printf("4. a 1280x720 publisher flooding the port for %.0f s\n", m_plan.floodS);
        const bench::ProcSample before = bench::procSample(m_quorvix.pid());
        auto p = startPublisher({QStringLiteral("--port"), QString::number(m_port),
                                 QStringLiteral("--size"), QStringLiteral("1280x720"),
                                 QStringLiteral("--seconds"), QString::number(m_plan.floodS),
                                 QStringLiteral("--id"), QString::number(m_nextId++),
                                 QStringLiteral("--flood")});
        qint64 peakKb = before.rssKb;
        while (p->state() != QProcess::NotRunning && alive()) {
            peakKb = std::max(peakKb, bench::procSample(m_quorvix.pid()).rssKb);
            p->waitForFinished(200);
        }
        stopPublisher(*p);
        bench::waitFor([] { return false; }, 1000);
        const bench::ProcSample after = bench::procSample(m_quorvix.pid());
        peakKb = std::max(peakKb, after.rssKb);
        std::printf("  RSS before %.1f MB, peak during %.1f MB (growth %.1f MB; bound 64 MB%s), "
                    "after %.1f MB\n",
                    before.rssKb / 1024.0, peakKb / 1024.0, (peakKb - before.rssKb) / 1024.0,
                    rssEnforced() ? "" : ", not enforced", after.rssKb / 1024.0);
        if (rssEnforced() && peakKb - before.rssKb > kFloodRssBoundKb)
            fail("RSS grew more than 64 MB under the flood");
        if (alive())
            served("the flood");
        std::fflush(stdout);
    }

    void killed()
    {
        if (!alive())
            return;
        std::printf("5a. a publisher killed mid-stream (SIGKILL)\n");
        const unsigned id = m_nextId++;
        auto p = startPublisher(publisherArgs(id, 60));
        const bool wasServed = seen(id, 30, 20000);
        p->kill();
        p->waitForFinished(5000);
        const int64_t killedAt = stamp::nowUs();
        // The card comes back once the session has ended.
        const bool cardBack = bench::waitFor(
            [&] {
                size_t cards = 0;
                for (const TapFrame &f : m_tap->frames())
                    cards += !f.stamped && f.arrivalUs > killedAt;
                return cards >= 3;
            },
            15000);
        std::printf("  served before the kill: %s; no-signal picture back after it: %s\n",
                    wasServed ? "yes" : "NO", cardBack ? "yes" : "NO");
        if (!wasServed || !cardBack)
            fail("the killed publisher's session did not end cleanly");
        if (alive())
            served("the killed publisher");
        m_tap->clear();
        std::fflush(stdout);
    }

    // A stall shorter than the idle timeout is a camera on a bad link, not a gone one: its
    // session holds and its pictures come again.
    void stalled()
    {
        if (!alive())
            return;
        std::printf("5b. a publisher stalling for %.0f s mid-stream\n", m_plan.stallS);
        const unsigned id = m_nextId++;
        const double stallAtS = 2;
        QStringList args = publisherArgs(id, stallAtS + m_plan.stallS + 4);
        args << QStringLiteral("--stall-at") << QString::number(stallAtS)
             << QStringLiteral("--stall-for") << QString::number(m_plan.stallS);
        auto p = startPublisher(args);
        const bool before = seen(id, 20, 20000);
        // Frame numbers jump over the stall: a number past it is a picture sent after it.
        const uint32_t firstAfter = uint32_t((stallAtS + m_plan.stallS) * 30);
        const bool resumed = bench::waitFor(
            [&] {
                for (const TapFrame &f : m_tap->frames())
                    if (f.stamped && f.value.id == id && f.value.frame >= firstAfter)
                        return true;
                return false;
            },
            int((stallAtS + m_plan.stallS) * 1000) + 15000 + slackMs());
        p->waitForFinished(20000);
        stopPublisher(*p);
        std::printf("  stalled publisher served before: %s; served again after the stall: %s\n",
                    before ? "yes" : "NO", resumed ? "yes" : "NO");
        if (!before)
            fail("the stalling publisher was not served before its stall");
        if (!resumed)
            fail("the stalled publisher was not served again after its stall");
        if (alive())
            served("the stalled publisher");
        m_tap->clear();
        std::fflush(stdout);
    }

    // When the webcam last got a new picture of `id`, and when the card first came after the
    // last picture of `id` it showed (a session that has no new picture repeats its last).
    struct CardReturn
    {
        bool back = false;
        int64_t lastPictureUs = 0;
        int64_t cardUs = 0;
    };
    CardReturn cardAfter(unsigned id) const
    {
        CardReturn r;
        const std::vector<TapFrame> frames = m_tap->frames();
        size_t lastShown = frames.size();
        uint32_t newest = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            const TapFrame &f = frames[i];
            if (!f.stamped || f.value.id != id)
                continue;
            if (lastShown == frames.size() || f.value.frame > newest) {
                newest = f.value.frame;
                r.lastPictureUs = f.arrivalUs;
            }
            lastShown = i;
        }
        if (lastShown == frames.size())
            return r;
        size_t cards = 0;
        for (size_t i = lastShown + 1; i < frames.size(); ++i) {
            if (frames[i].stamped)
                continue;
            if (cards++ == 0)
                r.cardUs = frames[i].arrivalUs;
        }
        r.back = cards >= kCardPictures;
        return r;
    }

    // The idle program's figures, once the previous phase's threads and descriptors have gone:
    // their counts have held still for a while.
    bench::ProcSample idleSample()
    {
        bench::ProcSample s = bench::procSample(m_quorvix.pid());
        QElapsedTimer still;
        still.start();
        bench::waitFor(
            [&] {
                const bench::ProcSample now = bench::procSample(m_quorvix.pid());
                if (now.threads != s.threads || now.fds != s.fds)
                    still.restart();
                s = now;
                return still.elapsed() >= kStillMs;
            },
            10000 + slackMs());
        return s;
    }

    // A phone that leaves the network sends no FIN: its connection stays open and silent.
    void silentCamera()
    {
        if (!alive())
            return;
        std::printf("5c. a silent camera: a publisher that stops sending and keeps its "
                    "connection open\n");
        m_tap->clear();
        const bench::ProcSample idle = idleSample();
        const unsigned id = m_nextId++;
        const double stallAtS = 2;
        QStringList args = publisherArgs(id, stallAtS + m_plan.silentS + 1);
        args << QStringLiteral("--stall-at") << QString::number(stallAtS)
             << QStringLiteral("--stall-for") << QString::number(m_plan.silentS);
        auto p = startPublisher(args);
        const bool before = seen(id, 20, 20000);
        const int boundMs = kCardBackBoundMs + slackMs();
        // Waits past the bound, so that a slow return is measured rather than only failed.
        CardReturn card;
        bench::waitFor(
            [&] {
                card = cardAfter(id);
                return card.back;
            },
            int(stallAtS * 1000) + boundMs + 15000);
        const qint64 toCardMs = card.back ? (card.cardUs - card.lastPictureUs) / 1000 : -1;
        const bench::ProcSample after = settled(idle);
        // Still silent: its session is over whatever it might send now.
        stopPublisher(*p);
        std::printf("  served before it went silent: %s; last picture to the card: %s (bound "
                    "%d ms)\n",
                    before ? "yes" : "NO",
                    card.back ? qPrintable(QStringLiteral("%1 ms").arg(toCardMs)) : "NEVER",
                    boundMs);
        std::printf("  idle before: %d threads, %d fds, RSS %.1f MB; after: %d threads, %d fds, "
                    "RSS %.1f MB (%+.1f MB)\n",
                    idle.threads, idle.fds, idle.rssKb / 1024.0, after.threads, after.fds,
                    after.rssKb / 1024.0, (after.rssKb - idle.rssKb) / 1024.0);
        if (!before)
            fail("the silent camera was not served before it went silent");
        if (!card.back || toCardMs > boundMs)
            fail("the card did not come back in time after the camera went silent");
        if (after.threads > idle.threads)
            fail("threads did not return to the idle count after the silent camera");
        if (after.fds > idle.fds)
            fail("file descriptors did not return to the idle count after the silent camera");
        m_tap->clear();
        std::fflush(stdout);
    }

    // Pictures the webcam got in the last second.
    int framesLastSecond() const
    {
        const int64_t since = stamp::nowUs() - 1000000;
        int n = 0;
        for (const TapFrame &f : m_tap->frames())
            n += f.arrivalUs >= since;
        return n;
    }

    QString file1080() const { return m_dir + QStringLiteral("/1080p.flv"); }

    // A 1920x1080 30 fps stream with sound, at the bitrate a phone sends.
    bool encode1080()
    {
        QProcess ffmpeg;
        ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        ffmpeg.start(
            FfmpegPublisher::program(),
            {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
             QStringLiteral("-loglevel"),    QStringLiteral("error"),
             QStringLiteral("-f"),           QStringLiteral("lavfi"),
             QStringLiteral("-i"),           QStringLiteral("testsrc2=size=1920x1080:rate=30"),
             QStringLiteral("-f"),           QStringLiteral("lavfi"),
             QStringLiteral("-i"),           QStringLiteral("sine=frequency=440:sample_rate=48000"),
             QStringLiteral("-t"),           QString::number(m_plan.session1080S),
             QStringLiteral("-c:v"),         QStringLiteral("libx264"),
             QStringLiteral("-preset"),      QStringLiteral("ultrafast"),
             QStringLiteral("-tune"),        QStringLiteral("zerolatency"),
             QStringLiteral("-g"),           QStringLiteral("30"),
             QStringLiteral("-b:v"),         QStringLiteral("15M"),
             QStringLiteral("-pix_fmt"),     QStringLiteral("yuv420p"),
             QStringLiteral("-c:a"),         QStringLiteral("aac"),
             QStringLiteral("-y"),           file1080()});
        const bool ok = ffmpeg.waitForStarted(10000) && ffmpeg.waitForFinished(300000) &&
                        ffmpeg.exitStatus() == QProcess::NormalExit && ffmpeg.exitCode() == 0;
        if (!ok) {
            ffmpeg.kill();
            ffmpeg.waitForFinished(5000);
            fail("the 1080p stream could not be encoded before the run");
        }
        return ok;
    }

    void session1080()
    {
        if (!alive())
            return;
        std::printf("6. memory of one 1920x1080 30 fps session (%.0f s, encoded before the run)\n",
                    m_plan.session1080S);
        m_tap->clear();
        const bench::ProcSample idle = idleSample();
        FfmpegPublisher::Options o;
        o.inputFile = file1080();
        o.durationS = 0;
        FfmpegPublisher publisher(o);
        if (!publisher.start(m_port)) {
            fail("the 1080p publisher did not start");
            return;
        }
        const bool live = bench::waitFor([&] { return framesLastSecond() >= kLiveFramesPerSecond; },
                                         15000 + slackMs());
        // Steady from a second after the first pictures to the end of the stream.
        bench::waitFor([] { return false; }, 1000);
        qint64 peakKb = idle.rssKb;
        qint64 lastKb = idle.rssKb;
        int liveSamples = 0;
        int samples = 0;
        while (live && publisher.isRunning() && alive()) {
            lastKb = bench::procSample(m_quorvix.pid()).rssKb;
            peakKb = std::max(peakKb, lastKb);
            ++samples;
            liveSamples += framesLastSecond() >= kLiveFramesPerSecond;
            publisher.waitForFinished(250);
        }
        publisher.stop();
        const bench::ProcSample after = idleSample();
        const bool enforced = !kSanitized;
        std::printf("  live on the webcam: %s (%d of %d samples at its rate); RSS idle %.1f MB, "
                    "streaming %.1f MB, peak %.1f MB: growth %.1f MB (bound 150 MB%s); after "
                    "%.1f MB\n",
                    live ? "yes" : "NO", liveSamples, samples, idle.rssKb / 1024.0, lastKb / 1024.0,
                    peakKb / 1024.0, (peakKb - idle.rssKb) / 1024.0,
                    enforced ? "" : ", not enforced", after.rssKb / 1024.0);
        if (!live || liveSamples * 2 < samples)
            fail("the 1080p publisher was not served");
        if (enforced && peakKb - idle.rssKb > kSession1080RssBoundKb)
            fail("one 1080p session grew RSS by more than 150 MB");
        m_tap->clear();
        std::fflush(stdout);
    }

    // Connections that sent RTMP's version byte and nothing more must not keep a camera out.
    void squatters()
    {
        if (!alive())
            return;
        std::printf("7. %d squatters (RTMP's version byte, then nothing), then a camera\n",
                    m_plan.squatters);
        m_tap->clear();
        std::vector<int> held;
        const char version = 0x03;
        for (int i = 0; i < m_plan.squatters; ++i) {
            const int fd = connectTo(m_port, 2000);
            if (fd < 0)
                continue;
            if (sendAll(fd, &version, 1))
                held.push_back(fd);
            else
                ::close(fd);
        }
        // A phone app tries again after a refusal; the time runs from its first try.
        const unsigned id = m_nextId++;
        const int boundMs = kServedBesideSquattersBoundMs + slackMs();
        const int64_t startUs = stamp::nowUs();
        QElapsedTimer t;
        t.start();
        int tries = 0;
        bool ok = false;
        while (!ok && t.elapsed() < boundMs + 15000 && alive()) {
            ++tries;
            auto p = startPublisher(publisherArgs(id, 10));
            bench::waitFor(
                [&] { return m_tap->stampedCount(id) > 0 || p->state() == QProcess::NotRunning; },
                boundMs + 15000);
            ok = m_tap->stampedCount(id) > 0;
            stopPublisher(*p);
            if (!ok)
                bench::waitFor([] { return false; }, kRetryPauseMs);
        }
        int64_t firstUs = 0;
        for (const TapFrame &f : m_tap->frames()) {
            if (f.stamped && f.value.id == id) {
                firstUs = f.arrivalUs;
                break;
            }
        }
        const qint64 servedMs = ok ? (firstUs - startUs) / 1000 : -1;
        // Each squatter is closed once the handshake deadline has passed: none holds an intake
        // for longer. The closed ones are counted as they go.
        std::vector<bool> closed(held.size(), false);
        auto countClosed = [&] {
            size_t n = 0;
            for (size_t i = 0; i < held.size(); ++i) {
                if (!closed[i]) {
                    char buf[256];
                    ssize_t got = 0;
                    do
                        got = ::recv(held[i], buf, sizeof buf, MSG_DONTWAIT);
                    while (got > 0);
                    closed[i] =
                        got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
                }
                n += closed[i];
            }
            return n;
        };
        const int allClosedBoundMs = boundMs;
        bench::waitFor([&] { return countClosed() == held.size(); },
                       int(allClosedBoundMs + 5000 - (stamp::nowUs() - startUs) / 1000));
        const size_t closedCount = countClosed();
        const qint64 allClosedMs = (stamp::nowUs() - startUs) / 1000;
        for (const int fd : held)
            ::close(fd);
        std::printf(
            "  camera served: %s after %lld ms, %d tr%s (bound %d ms); %zu of %zu "
            "squatters closed by quorvix%s\n",
            ok ? "yes" : "NO", servedMs, tries, tries == 1 ? "y" : "ies", boundMs, closedCount,
            held.size(),
            closedCount == held.size()
                ? qPrintable(QStringLiteral(", the last %1 ms after they came").arg(allClosedMs))
                : "");
        if (held.size() < size_t(m_plan.squatters))
            fail("not every squatter could connect");
        if (!ok || servedMs > boundMs)
            fail("a camera was not served in time beside the squatters");
        if (closedCount < held.size() || allClosedMs > allClosedBoundMs)
            fail("squatters were held open past the handshake deadline");
        m_tap->clear();
        std::fflush(stdout);
    }

    static int slackMs() { return kSanitized ? kSanitizerSlackMs : 0; }

    const Plan m_plan;
    const QString m_dir;
    std::unique_ptr<TapReader> m_tap;
    bench::Quorvix m_quorvix;
    quint16 m_port = 0;
    unsigned m_nextId = 1;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Plan plan;
    const bool shortRun = app.arguments().contains(QStringLiteral("--short")) ||
                          qEnvironmentVariable("QUORVIX_SOAK") == QLatin1String("short");
    if (shortRun) {
        plan.cycles = 12;
        plan.cycleS = 1.5;
        plan.abuseConnections = 120;
        plan.floodS = 5;
        plan.enforceRss = false;
        plan.afterAbuseWaitS = 0;
        plan.session1080S = 8;
    }
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--flood-only")))
        plan.only = QStringList{QStringLiteral("flood")};
    const int onlyAt = args.indexOf(QStringLiteral("--only"));
    if (onlyAt >= 0)
        plan.only = args.value(onlyAt + 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
    // The program logs every stall of its window, which the phases report.
    qputenv("QUORVIX_GUI_WATCHDOG", "1");
    // The tap file and the settings live in memory.
    QTemporaryDir dir(QStringLiteral("/dev/shm/quorvix-soak-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder in /dev/shm\n");
        return 1;
    }
    std::printf("soak and abuse runner (%s)\n", shortRun ? "short variant" : "full");
    Soak soak(plan, dir.path());
    return soak.run();
}
