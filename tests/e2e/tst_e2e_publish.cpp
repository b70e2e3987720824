// The program as a user starts it: `quorvix <port> Other`, offscreen, with the virtual camera's
// frame tap on a FIFO. A real ffmpeg publisher pushes a plain green 1280x720 picture at 30 fps;
// the tap must show the no-signal card before, the camera's frames while it publishes and the
// card again after it leaves, and the program must end cleanly on SIGTERM, also while a camera
// is publishing.
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "ui/StubCard.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QVector>
#include <QtTest>

#include <memory>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer build runs the program several times slower: with ten cameras it needs more CPU
// than two cores have, so its window's stalls measure the machine. They are reported only.
constexpr bool kRealTime = false;
#else
constexpr bool kRealTime = true;
#endif

// The webcam picture size for the run: the program's default.
constexpr int kTapWidth = 1280;
constexpr int kTapHeight = 720;
constexpr int kCardScale = 1; // the card is 1280x720, the tap's size

enum class FrameKind
{
    Card,
    Camera,       // plain green
    SecondCamera, // plain blue
    Other
};

struct TapFrame
{
    FrameKind kind;
    qint64 atMs;
};

// Reads YUV4MPEG2 from a FIFO as it arrives and sorts each picture: the plain green camera,
// the card (compared with the card this test renders the same way), or something else.
class TapReader
{
public:
    TapReader(const QString &path, const StubCard &card) : m_card(card)
    {
        // Read-write, so the FIFO never reports end-of-file while the program (re)opens it.
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        m_clock.start();
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this]() { drain(); });
    }
    ~TapReader()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool isOpen() const { return m_fd >= 0; }
    QByteArray header() const { return m_header; }
    const QVector<TapFrame> &frames() const { return m_frames; }
    qint64 nowMs() const { return m_clock.elapsed(); }

    int count(FrameKind kind, qint64 fromMs = 0) const
    {
        int n = 0;
        for (const TapFrame &f : m_frames)
            if (f.kind == kind && f.atMs >= fromMs)
                ++n;
        return n;
    }
    qint64 lastAt(FrameKind kind) const
    {
        for (int i = m_frames.size() - 1; i >= 0; --i)
            if (m_frames.at(i).kind == kind)
                return m_frames.at(i).atMs;
        return -1;
    }
    qint64 firstAt(FrameKind kind) const
    {
        for (const TapFrame &f : m_frames)
            if (f.kind == kind)
                return f.atMs;
        return -1;
    }

private:
    void drain()
    {
        char chunk[1 << 16];
        for (;;) {
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n > 0) {
                m_buffer.append(chunk, static_cast<int>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        parse();
    }

    void parse()
    {
        const int pictureBytes = kTapWidth * kTapHeight * 3 / 2;
        for (;;) {
            if (m_header.isEmpty()) {
                const int end = m_buffer.indexOf('\n', m_offset);
                if (end < 0)
                    break;
                m_header = m_buffer.mid(m_offset, end - m_offset);
                m_offset = end + 1;
                continue;
            }
            const int end = m_buffer.indexOf('\n', m_offset);
            if (end < 0 || m_buffer.size() - (end + 1) < pictureBytes)
                break;
            const auto *picture = reinterpret_cast<const uchar *>(m_buffer.constData() + end + 1);
            m_frames.append({classify(picture), m_clock.elapsed()});
            m_offset = end + 1 + pictureBytes;
        }
        if (m_offset > 0) {
            m_buffer.remove(0, m_offset);
            m_offset = 0;
        }
    }

    // Mean luma of a size x size block at (x, y) of a plane `width` wide.
    static int blockMean(const uchar *plane, int width, int x, int y, int size)
    {
        int sum = 0;
        for (int dy = 0; dy < size; ++dy)
            for (int dx = 0; dx < size; ++dx)
                sum += plane[(y + dy) * width + x + dx];
        return sum / (size * size);
    }

    FrameKind classify(const uchar *picture) const
    {
        const uchar *u = picture + kTapWidth * kTapHeight;
        const uchar *v = u + (kTapWidth / 2) * (kTapHeight / 2);
        const int cardWidth = kTapWidth * kCardScale;
        int green = 0;
        int blue = 0;
        int cardDifference = 0;
        int samples = 0;
        for (int sy = 1; sy <= 5; ++sy) {
            for (int sx = 1; sx <= 7; ++sx) {
                const int x = sx * kTapWidth / 8;
                const int y = sy * kTapHeight / 6;
                const int c = (y / 2) * (kTapWidth / 2) + x / 2;
                // Pure green in BT.601 limited range: U about 54, V about 34.
                if (qAbs(u[c] - 54) < 25 && qAbs(v[c] - 34) < 25)
                    ++green;
                // Pure blue: U about 240, V about 110.
                if (qAbs(u[c] - 240) < 25 && qAbs(v[c] - 110) < 25)
                    ++blue;
                // The card is grainy: compare block averages, which survive the scaling.
                cardDifference += qAbs(blockMean(picture, kTapWidth, x, y, 8) -
                                       blockMean(m_card.buffer(), cardWidth, x * kCardScale,
                                                 y * kCardScale, 8 * kCardScale));
                ++samples;
            }
        }
        if (green == samples)
            return FrameKind::Camera;
        if (blue == samples)
            return FrameKind::SecondCamera;
        if (cardDifference / samples < 10)
            return FrameKind::Card;
        return FrameKind::Other;
    }

    const StubCard &m_card;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QElapsedTimer m_clock;
    QByteArray m_buffer;
    int m_offset = 0;
    QByteArray m_header;
    QVector<TapFrame> m_frames;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cameraReplacesCardAndCardReturns();
    void twoCamerasOneAtATime();
    void sigtermWhilePublishingEndsCleanly();
    void tenCamerasSigtermEndsWithinTwoSeconds();
    void startAndShortSessionWithoutQtWarnings();

private:
    // The GUI thread's longest stall the program reported at its end, -1 when none.
    qint64 longestGuiGapMs() const;
    // The longest GUI stall that ended after the server began to stop, 0 when none.
    qint64 longestGuiGapWhileStoppingMs() const;
    bool startProgram(const QString &tapPath);
    // The program with its webcam tap on a FIFO that `reader` follows, listening.
    bool startWithTap(std::unique_ptr<TapReader> &reader);
    bool stopProgram(int timeoutMs, qint64 *tookMs);
    QStringList stateLines() const;

    std::unique_ptr<StubCard> m_card;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_program;
    QByteArray m_log;
    quint16 m_port = 0;
};

void TestEndToEnd::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is needed for a real publisher");
    QVERIFY2(QFile::exists(QStringLiteral(QUORVIX_BINARY_DIR "/quorvix")),
             "build the quorvix program first");
    // The card the program shows with an empty settings store.
    QTemporaryDir storeDir;
    QSettings empty(storeDir.filePath(QStringLiteral("empty.ini")), QSettings::IniFormat);
    m_card = std::make_unique<StubCard>();
    m_card->compose(empty);
    QCOMPARE(m_card->width(), kTapWidth * kCardScale);
    QCOMPARE(m_card->height(), kTapHeight * kCardScale);
}

void TestEndToEnd::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_port = FreePort::loopback();
    QVERIFY(m_port != 0);
    m_log.clear();
}

void TestEndToEnd::cleanup()
{
    if (m_program && m_program->state() != QProcess::NotRunning) {
        m_program->kill();
        m_program->waitForFinished(5000);
    }
    if (QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << QString::fromUtf8(m_log).right(6000);
    m_program.reset();
}

bool TestEndToEnd::startProgram(const QString &tapPath)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir->filePath(QStringLiteral("data")));
    env.remove(QStringLiteral("QUORVIX_VCAM_SIZE"));
    if (tapPath.isEmpty())
        env.remove(QStringLiteral("QUORVIX_VCAM_TAP"));
    else
        env.insert(QStringLiteral("QUORVIX_VCAM_TAP"), tapPath);
    env.insert(QStringLiteral("QUORVIX_MANIFEST_URL"), QString());
    env.insert(QStringLiteral("QUORVIX_GUI_WATCHDOG"), QStringLiteral("1"));
    m_program = std::make_unique<QProcess>();
    m_program->setProcessEnvironment(env);
    m_program->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(m_program.get(), &QProcess::readyRead,
                     [this]() { m_log += m_program->readAll(); });
    m_program->start(QStringLiteral(QUORVIX_BINARY_DIR "/quorvix"),
                     {QString::number(m_port), QStringLiteral("Other")});
    return m_program->waitForStarted(10000);
}

bool TestEndToEnd::startWithTap(std::unique_ptr<TapReader> &reader)
{
    const QString tap = m_dir->filePath(QStringLiteral("tap.y4m"));
    if (::mkfifo(QFile::encodeName(tap).constData(), 0600) != 0)
        return false;
    reader = std::make_unique<TapReader>(tap, *m_card);
    return reader->isOpen() && startProgram(tap) && FreePort::waitUntilListening(m_port, 20000);
}

// SIGTERM, as a desktop session or a service manager ends the program.
bool TestEndToEnd::stopProgram(int timeoutMs, qint64 *tookMs)
{
    QElapsedTimer clock;
    clock.start();
    m_program->terminate();
    const bool ended = m_program->waitForFinished(timeoutMs);
    *tookMs = clock.elapsed();
    m_log += m_program->readAll();
    return ended;
}

QStringList TestEndToEnd::stateLines() const
{
    QStringList states;
    const QList<QByteArray> lines = m_log.split('\n');
    for (const QByteArray &line : lines) {
        const int at = line.indexOf("Stream State: ");
        if (at >= 0)
            states << QString::fromUtf8(line.mid(at + 14)).trimmed();
    }
    return states;
}

void TestEndToEnd::cameraReplacesCardAndCardReturns()
{
    std::unique_ptr<TapReader> tapReader;
    QVERIFY(startWithTap(tapReader));
    TapReader &reader = *tapReader;

    // The card, every 200 ms, before any camera.
    QTRY_VERIFY_WITH_TIMEOUT(reader.count(FrameKind::Card) >= 6, 20000);
    QVERIFY2(reader.header().startsWith("YUV4MPEG2 W1280 H720"), reader.header().constData());
    QCOMPARE(reader.count(FrameKind::Camera), 0);
    {
        const qint64 first = reader.firstAt(FrameKind::Card);
        const qint64 last = reader.lastAt(FrameKind::Card);
        const int n = reader.count(FrameKind::Card);
        const double intervalMs = double(last - first) / (n - 1);
        QVERIFY2(intervalMs > 100 && intervalMs < 600, qPrintable(QString::number(intervalMs)));
    }

    FfmpegPublisher::Options options;
    options.size = QSize(1280, 720);
    options.rate = QStringLiteral("30");
    options.videoSource = QStringLiteral("color=c=lime");
    options.durationS = 6;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(m_port));

    QTRY_VERIFY_WITH_TIMEOUT(reader.count(FrameKind::Camera) > 0, 30000);
    // Waits with the event loop running: the tap must be read all along.
    QTRY_VERIFY_WITH_TIMEOUT(!publisher.isRunning(), 30000);
    const qint64 publisherEnded = reader.nowMs();
    QTRY_VERIFY_WITH_TIMEOUT(reader.count(FrameKind::Card, reader.lastAt(FrameKind::Camera)) >= 3,
                             30000);

    // The camera's rate, away from the start-up and the end.
    const qint64 firstCamera = reader.firstAt(FrameKind::Camera);
    const qint64 lastCamera = reader.lastAt(FrameKind::Camera);
    QVERIFY(lastCamera <= publisherEnded + 3000);
    const qint64 from = firstCamera + 500;
    const qint64 to = lastCamera - 500;
    QVERIFY2(
        to - from >= 2000,
        qPrintable(QStringLiteral("camera frames only for %1 ms").arg(lastCamera - firstCamera)));
    int inWindow = 0;
    int cardsBetween = 0;
    for (const TapFrame &f : reader.frames()) {
        if (f.atMs >= from && f.atMs <= to) {
            if (f.kind == FrameKind::Camera)
                ++inWindow;
            else if (f.kind == FrameKind::Card)
                ++cardsBetween;
        }
    }
    const double fps = inWindow * 1000.0 / double(to - from);
    qDebug() << "tap: card" << reader.count(FrameKind::Card) << "camera"
             << reader.count(FrameKind::Camera) << "other" << reader.count(FrameKind::Other)
             << "camera rate" << fps;
    QVERIFY2(fps > 22 && fps < 38, qPrintable(QStringLiteral("%1 fps").arg(fps)));
    // While the camera publishes the card stays away.
    QCOMPARE(cardsBetween, 0);
    QCOMPARE(reader.count(FrameKind::Other), 0);

    // The state went from connecting to the picture's size and rate and back to the URL page.
    const QStringList states = stateLines();
    const int connecting = states.indexOf(QStringLiteral("\"connecting ...\""));
    const int picture = states.indexOf(QStringLiteral("\"1280x720 30fps\""));
    QVERIFY2(connecting >= 0 && picture > connecting, qPrintable(states.join(QLatin1Char('|'))));
    QVERIFY2(states.indexOf(QStringLiteral("\"\""), picture) > picture,
             qPrintable(states.join(QLatin1Char('|'))));

    qint64 tookMs = 0;
    QVERIFY(stopProgram(10000, &tookMs));
    QCOMPARE(m_program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program->exitCode(), 0);
    QVERIFY(!m_log.contains("Sanitizer"));
    QVERIFY(!m_log.contains("runtime error:"));
    QVERIFY(!FreePort::isListening(m_port));
}

void TestEndToEnd::twoCamerasOneAtATime()
{
    // Two cameras stream at once: the webcam shows the one that connected last, never both
    // in turn; the first comes back when the second leaves, the card only when both have.
    std::unique_ptr<TapReader> tapReader;
    QVERIFY(startWithTap(tapReader));
    TapReader &reader = *tapReader;

    FfmpegPublisher::Options options;
    options.size = QSize(640, 360);
    options.videoSource = QStringLiteral("color=c=lime");
    options.durationS = 14;
    FfmpegPublisher first(options);
    QVERIFY(first.start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(reader.count(FrameKind::Camera) >= 10, 30000);

    options.videoSource = QStringLiteral("color=c=blue");
    options.durationS = 4;
    FfmpegPublisher second(options);
    QVERIFY(second.start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(reader.count(FrameKind::SecondCamera) > 0, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!second.isRunning(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(
        reader.count(FrameKind::Camera, reader.lastAt(FrameKind::SecondCamera)) >= 10, 30000);
    QVERIFY(first.isRunning());

    // From the second camera's first picture to its last, in the order the webcam got them
    // (the reader's clock can give a picture and the next the same millisecond): only the
    // second camera.
    const QVector<TapFrame> frames = reader.frames();
    int from = -1;
    int to = -1;
    for (int i = 0; i < frames.size(); ++i) {
        if (frames[i].kind != FrameKind::SecondCamera)
            continue;
        from = from < 0 ? i : from;
        to = i;
    }
    QVERIFY(from >= 0);
    const qint64 left = frames[to].atMs;
    int seconds = 0;
    int firsts = 0;
    int cards = 0;
    for (int i = from; i <= to; ++i) {
        const TapFrame &f = frames[i];
        seconds += f.kind == FrameKind::SecondCamera ? 1 : 0;
        firsts += f.kind == FrameKind::Camera ? 1 : 0;
        cards += f.kind == FrameKind::Card ? 1 : 0;
    }
    qDebug() << "while both streamed: second" << seconds << "first" << firsts << "card" << cards;
    QVERIFY2(seconds >= 60, qPrintable(QString::number(seconds)));
    QCOMPARE(firsts, 0);
    QCOMPARE(cards, 0);
    // The first came back without the card in between, and the card only after both left.
    QCOMPARE(reader.count(FrameKind::Card, left), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!first.isRunning(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(reader.count(FrameKind::Card, reader.lastAt(FrameKind::Camera)) >= 3,
                             30000);
    QCOMPARE(reader.count(FrameKind::Other), 0);

    qint64 tookMs = 0;
    QVERIFY(stopProgram(10000, &tookMs));
    QCOMPARE(m_program->exitCode(), 0);
}

void TestEndToEnd::sigtermWhilePublishingEndsCleanly()
{
    QVERIFY(startProgram(QString()));
    QVERIFY(FreePort::waitUntilListening(m_port, 20000));
    FfmpegPublisher::Options options;
    options.size = QSize(640, 360);
    options.durationS = 0; // until stopped
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(stateLines().contains(QStringLiteral("\"640x360 30fps\"")), 30000);
    QVERIFY(publisher.isRunning());

    qint64 tookMs = 0;
    QVERIFY(stopProgram(10000, &tookMs));
    QVERIFY2(tookMs < 5000, qPrintable(QStringLiteral("%1 ms").arg(tookMs)));
    QCOMPARE(m_program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program->exitCode(), 0);
    QVERIFY(m_log.contains("SERVER STOP"));
    QVERIFY(!m_log.contains("Sanitizer"));
    QVERIFY(!m_log.contains("runtime error:"));
    // The camera's connection went with the program.
    QVERIFY(publisher.waitForFinished(15000));
    qDebug() << "ended" << tookMs << "ms after SIGTERM";
}

qint64 TestEndToEnd::longestGuiGapMs() const
{
    const int at = m_log.lastIndexOf("GUI thread longest gap:");
    if (at < 0)
        return -1;
    const QByteArray rest = m_log.mid(at + 23).trimmed();
    return rest.left(rest.indexOf(' ')).toLongLong();
}

qint64 TestEndToEnd::longestGuiGapWhileStoppingMs() const
{
    static const QByteArray kGap("GUI thread gap:");
    qint64 longest = 0;
    int at = m_log.indexOf("SERVER STOP");
    while (at >= 0 && (at = m_log.indexOf(kGap, at)) >= 0) {
        at += kGap.size();
        const QByteArray rest = m_log.mid(at, 16).trimmed();
        longest = qMax(longest, rest.left(rest.indexOf(' ')).toLongLong());
    }
    return longest;
}

void TestEndToEnd::tenCamerasSigtermEndsWithinTwoSeconds()
{
    QVERIFY(startProgram(QString()));
    QVERIFY(FreePort::waitUntilListening(m_port, 20000));
    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 0;
    std::vector<std::unique_ptr<FfmpegPublisher>> publishers;
    for (int i = 0; i < 10; ++i) {
        publishers.push_back(std::make_unique<FfmpegPublisher>(options));
        QVERIFY(publishers.back()->start(m_port));
    }
    // Every camera streaming: each session has told its picture format.
    QTRY_VERIFY_WITH_TIMEOUT(stateLines().count(QStringLiteral("\"320x240 30fps\"")) >= 10, 60000);
    for (const auto &publisher : publishers)
        QVERIFY(publisher->isRunning());

    qint64 tookMs = 0;
    QVERIFY(stopProgram(10000, &tookMs));
    qInfo() << "ten cameras: ended" << tookMs << "ms after SIGTERM; GUI thread longest gap"
            << longestGuiGapMs() << "ms, while stopping" << longestGuiGapWhileStoppingMs() << "ms";
    QVERIFY2(tookMs < 2000, qPrintable(QStringLiteral("%1 ms").arg(tookMs)));
    QCOMPARE(m_program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program->exitCode(), 0);
    // The window kept being served while every thread ended: no wait on a stream thread
    // (which took seconds before). Only the stop counts; the figures are printed above. The
    // bound catches a hang, not a figure: beside a busy compiler a healthy stop stalled the
    // window for 108 ms, a wait on a thread stalls it for seconds.
    QVERIFY(longestGuiGapMs() >= 0);
    const qint64 gapMs = longestGuiGapWhileStoppingMs();
    if (kRealTime)
        QVERIFY2(gapMs < 1000, qPrintable(QStringLiteral("%1 ms").arg(gapMs)));
    for (const auto &publisher : publishers)
        QVERIFY(publisher->waitForFinished(15000));
}

void TestEndToEnd::startAndShortSessionWithoutQtWarnings()
{
    QVERIFY(startProgram(QString()));
    QVERIFY(FreePort::waitUntilListening(m_port, 20000));
    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 2;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(stateLines().contains(QStringLiteral("\"320x240 30fps\"")), 30000);
    QVERIFY(publisher.waitForFinished(20000));
    qint64 tookMs = 0;
    QVERIFY(stopProgram(10000, &tookMs));
    QCOMPARE(m_program->exitCode(), 0);
    for (const char *warning : {"QObject::", "Could not parse", "QWidget::"}) {
        const int at = m_log.indexOf(warning);
        QVERIFY2(at < 0, m_log.mid(qMax(0, at - 200), 400).constData());
    }
}

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e_publish.moc"
