#include "engine/FfmpegLogLimit.h"
#include "engine/StreamIntake.h"
#include "engine/Session.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/LogCapture.h"
#include "support/ManagerSession.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <mutex>
#include <QtTest>

extern "C" {
#include <libavutil/log.h>
}

#include <csignal>
#include <cstdio>

#include <sys/types.h>
#include <unistd.h>

namespace {

// The read timeout the sessions here run with: short, so that a silent peer is let go soon.
constexpr int kTestReadTimeoutMs = 1500;
// What is allowed on top of a timeout before the session must have ended (a busy machine,
// sanitizers).
constexpr int kEndMarginMs = 8000;

// A warning line through FFmpeg's log, as its RTMP intake writes one.
void ffmpegWarning(const char *format, const char *a, const char *b)
{
    av_log(nullptr, AV_LOG_WARNING, format, a, b);
}

} // namespace

class IntakeGuardTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void frozenPublisherEndsTheSession();
    void silentHandshakeIsLetGo();
    void silentTsConnectionIsLetGo_data();
    void silentTsConnectionIsLetGo();
    void connectionCheck_data();
    void connectionCheck();
    void maskedText_data();
    void maskedText();
    void linesReachTheirQtType_data();
    void linesReachTheirQtType();
    void streamKeyStaysOutOfTheLog();
};

void IntakeGuardTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QFAIL("the ffmpeg command-line tool is needed as the publisher");
    StreamIntake::setReadTimeoutMs_for_testing(kTestReadTimeoutMs);
    FfmpegLogLimit::install();
}

void IntakeGuardTest::cleanup()
{
    FfmpegLogLimit::setMaskedText(QByteArray());
}

void IntakeGuardTest::frozenPublisherEndsTheSession()
{
    // A camera that drops off the network without a FIN: a real publisher frozen mid-stream.
    // Its connection stays open and silent; the intake ends the session after its timeout as
    // if the camera had left.
    ManagerSession session;
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.durationS = 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    const auto thaw = qScopeGuard([&] {
        ::kill(pid_t(publisher.processId()), SIGCONT);
        publisher.stop();
    });
    QTRY_VERIFY_WITH_TIMEOUT(session.videoTimes.size() >= 10, 20000);
    QVERIFY(::kill(pid_t(publisher.processId()), SIGSTOP) == 0);
    QElapsedTimer frozen;
    frozen.start();
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), kTestReadTimeoutMs + kEndMarginMs);
    // Not before the timeout, which counts from the last packet read.
    QVERIFY2(frozen.elapsed() >= kTestReadTimeoutMs - 200,
             qPrintable(QString::number(frozen.elapsed())));
    QVERIFY(session.m_manager->readTimedOut());
    QCOMPARE(session.events.mid(session.events.size() - 2),
             (QStringList{QStringLiteral("state:"), QStringLiteral("stop")}));
    QTRY_VERIFY_WITH_TIMEOUT(session.m_manager->isFinished(), 5000);
    QVERIFY(session.m_manager->sessionReleased());
}

void IntakeGuardTest::silentHandshakeIsLetGo()
{
    // A connection that sends RTMP's version byte and then nothing: the intake gives up on it
    // after its timeout and waits for a camera again. The wait for a connection itself has no
    // timeout: the intake has listened for longer than that before.
    ManagerSession session;
    QVERIFY(session.listen());
    // Nothing is to happen here, so there is no event to wait for: the intake simply listens
    // on past its read timeout.
    QTest::qWait(kTestReadTimeoutMs + 500);
    QCOMPARE(session.events, QStringList{QStringLiteral("ready")});
    QVERIFY(FreePort::isListening(session.m_port));

    QTcpSocket squatter;
    squatter.connectToHost(QHostAddress::LocalHost, session.m_port);
    QVERIFY(squatter.waitForConnected(5000));
    QCOMPARE(squatter.write("\x03", 1), qint64(1));
    QVERIFY(squatter.waitForBytesWritten(5000));
    QElapsedTimer silent;
    silent.start();
    QTRY_VERIFY_WITH_TIMEOUT(squatter.state() == QAbstractSocket::UnconnectedState,
                             kTestReadTimeoutMs + kEndMarginMs);
    QVERIFY2(silent.elapsed() >= kTestReadTimeoutMs - 200,
             qPrintable(QString::number(silent.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(session.count(QStringLiteral("ready")), 2, 5000);
    QVERIFY(!session.ended());

    // A real camera after it is served.
    FfmpegPublisher::Options options;
    options.durationS = 1.0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QVERIFY(session.events.contains(QStringLiteral("state:320x240 30fps")));
    QVERIFY(!session.m_manager->readTimedOut());
}

void IntakeGuardTest::silentTsConnectionIsLetGo_data()
{
    QTest::addColumn<bool>("trickle");
    QTest::newRow("silent") << false;
    // A byte now and then keeps the socket from ever being idle for the timeout, but no
    // packet comes of it.
    QTest::newRow("trickling") << true;
}

void IntakeGuardTest::silentTsConnectionIsLetGo()
{
    // The MPEG-TS intake (the SRT relay's): a peer that sends the start of a stream (its
    // tables and first pictures, which are shown) and then no more packets. The session ends
    // after the timeout and lets the connection go.
    QFETCH(bool, trickle);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("start.ts"));
    QProcess encoder;
    encoder.start(FfmpegPublisher::program(),
                  {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
                   QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-f"),
                   QStringLiteral("lavfi"), QStringLiteral("-i"),
                   QStringLiteral("testsrc2=size=320x240:rate=30"), QStringLiteral("-t"),
                   QStringLiteral("1"), QStringLiteral("-c:v"), QStringLiteral("libx264"),
                   QStringLiteral("-preset"), QStringLiteral("ultrafast"),
                   QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), QStringLiteral("-f"),
                   QStringLiteral("mpegts"), file});
    QVERIFY(encoder.waitForFinished(30000));
    QCOMPARE(encoder.exitCode(), 0);
    QFile ts(file);
    QVERIFY(ts.open(QIODevice::ReadOnly));
    const QByteArray prefix = ts.read(188 * 100);
    QCOMPARE(prefix.size(), 188 * 100);

    ManagerSession session;
    QVERIFY(session.listen(QStringLiteral("tcp")));
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, session.m_port);
    QVERIFY(peer.waitForConnected(5000));
    QCOMPARE(peer.write(prefix), qint64(prefix.size()));
    QVERIFY(peer.waitForBytesWritten(5000));
    QTimer trickler;
    trickler.setInterval(kTestReadTimeoutMs / 5);
    connect(&trickler, &QTimer::timeout, &peer, [&] { peer.write("\x47", 1); });
    if (trickle)
        trickler.start();
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), kTestReadTimeoutMs + kEndMarginMs);
    trickler.stop();
    QVERIFY2(session.events.contains(QStringLiteral("state:320x240 30fps")),
             qPrintable(session.events.join(QLatin1Char('|'))));
    QVERIFY(session.m_manager->readTimedOut());
    QTRY_VERIFY_WITH_TIMEOUT(peer.state() == QAbstractSocket::UnconnectedState, 5000);
}

void IntakeGuardTest::connectionCheck_data()
{
    QTest::addColumn<bool>("allow");
    QTest::newRow("refused") << false;
    QTest::newRow("allowed") << true;
}

void IntakeGuardTest::connectionCheck()
{
    // The listener checks each connection before the session reads from it. A refused one
    // ends at once and quietly: no "connecting ...", nothing decoded, and the manager ends
    // (stopHandle) so that a fresh one takes its port.
    QFETCH(bool, allow);
    ManagerSession session;
    int checkedPort = -1;
    int checks = 0;
    session.m_manager->setConnectionCheck([&](int port, QString &why) {
        checkedPort = port;
        ++checks;
        why = QStringLiteral("not from our relay");
        return allow;
    });
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.durationS = allow ? 1.0 : 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QCOMPARE(checks, 1);
    QCOMPARE(checkedPort, int(session.m_port));
    QCOMPARE(session.m_manager->connectionRefused(), !allow);
    if (allow) {
        QVERIFY(session.events.contains(QStringLiteral("state:320x240 30fps")));
        QVERIFY(!session.videoTimes.isEmpty());
    } else {
        QCOMPARE(session.events, (QStringList{QStringLiteral("ready"), QStringLiteral("state:"),
                                              QStringLiteral("stop")}));
        QVERIFY(session.videoTimes.isEmpty());
        QVERIFY(!session.m_manager->outputStarted());
        // The publisher is let go with the session.
        QVERIFY(publisher.waitForFinished(10000));
    }
    QTRY_VERIFY_WITH_TIMEOUT(session.m_manager->isFinished(), 5000);
}

void IntakeGuardTest::maskedText_data()
{
    QTest::addColumn<QByteArray>("masked");
    QTest::addColumn<QByteArray>("name"); // what the line carries
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("the key") << QByteArray("K3YaB") << QByteArray("K3YaB")
                             << QByteArray("Unexpected stream ****, expecting one");
    QTest::newRow("twice, and inside a longer name")
        << QByteArray("K3YbC") << QByteArray("K3YbC/xK3YbCx")
        << QByteArray("Unexpected stream ****/x****x, expecting one");
    QTest::newRow("another case is another text")
        << QByteArray("K3YcD") << QByteArray("k3ycd")
        << QByteArray("Unexpected stream k3ycd, expecting one");
    QTest::newRow("nothing masked") << QByteArray() << QByteArray("K3YdE")
                                    << QByteArray("Unexpected stream K3YdE, expecting one");
    QTest::newRow("a key shorter than the mask") << QByteArray("Q") << QByteArray("aQb")
                                                 << QByteArray("Unexpected stream a****b, "
                                                               "expecting one");
}

void IntakeGuardTest::maskedText()
{
    QFETCH(QByteArray, masked);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, expected);
    FfmpegLogLimit::setMaskedText(masked);
    LogCapture capture;
    QVERIFY(capture.capturing());
    ffmpegWarning("Unexpected stream %s, expecting %s\n", name.constData(), "one");
    const QByteArray text = capture.finish();
    QVERIFY2(text.contains(expected), text.constData());
    if (!masked.isEmpty())
        QVERIFY(!text.contains(masked));
}

void IntakeGuardTest::linesReachTheirQtType_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("debugOn");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<int>("type"); // -1: nothing arrives
    QTest::newRow("fatal") << AV_LOG_FATAL << false << QStringList{"fatal line\n"}
                           << int(QtWarningMsg);
    QTest::newRow("error") << AV_LOG_ERROR << false << QStringList{"error line\n"}
                           << int(QtWarningMsg);
    QTest::newRow("warning") << AV_LOG_WARNING << false << QStringList{"warning line\n"}
                             << int(QtInfoMsg);
    QTest::newRow("info, debug off") << AV_LOG_INFO << false << QStringList{"info line a\n"} << -1;
    QTest::newRow("info, debug on")
        << AV_LOG_INFO << true << QStringList{"info line b\n"} << int(QtDebugMsg);
    QTest::newRow("one line in three pieces")
        << AV_LOG_WARNING << false << QStringList{"three ", "pieces ", "joined\n"}
        << int(QtInfoMsg);
}

void IntakeGuardTest::linesReachTheirQtType()
{
    QFETCH(int, level);
    QFETCH(bool, debugOn);
    QFETCH(QStringList, pieces);
    QFETCH(int, type);
    if (debugOn)
        QLoggingCategory::setFilterRules(QStringLiteral("quorvix.ffmpeg.debug=true"));
    const auto restore = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    LogCapture capture;
    for (const QString &piece : pieces)
        av_log(nullptr, level, "%s", piece.toUtf8().constData());
    // One message, the whole line without its line break (a summary of an earlier test's
    // repeated line may come too).
    const QString whole = pieces.join(QString()).trimmed();
    QList<LogCapture::Line> found;
    for (const LogCapture::Line &line : capture.entries("quorvix.ffmpeg")) {
        if (line.text.contains(whole))
            found.append(line);
    }
    if (type < 0) {
        QVERIFY(found.isEmpty());
        return;
    }
    QCOMPARE(found.size(), 1);
    QCOMPARE(int(found.first().type), type);
    QCOMPARE(found.first().text, whole);
}

void IntakeGuardTest::streamKeyStaysOutOfTheLog()
{
    // A publisher that names the stream key (as cameras do when the key is required) pushes
    // straight into an intake. FFmpeg's RTMP intake logs the name it was given; the key never
    // reaches the log, not even in a repeated line's summary or after it is changed.
    const QByteArray key("SECRETKEY123");
    FfmpegLogLimit::setMaskedText(QByteArray("an old key"));
    FfmpegLogLimit::setMaskedText(key);
    LogCapture capture;
    QVERIFY(capture.capturing());
    for (int i = 0; i < 2; ++i) {
        ManagerSession session;
        QVERIFY(session.listen());
        FfmpegPublisher::Options options;
        options.durationS = 0.5;
        options.path = QStringLiteral("@/") + QString::fromLatin1(key);
        FfmpegPublisher publisher(options);
        QVERIFY(publisher.start(session.m_port));
        QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
        QVERIFY(session.events.contains(QStringLiteral("state:320x240 30fps")));
    }
    // A keyed line logged again within a second is held back and summed up later, in a line
    // of its own that quotes it.
    QTRY_VERIFY_WITH_TIMEOUT(
        (ffmpegWarning("Unexpected stream %s, expecting %s\n", key.constData(), "again"),
         capture.text().contains("repeated")),
        10000);
    const QByteArray text = capture.finish();
    QVERIFY2(text.contains("Unexpected stream ****"), text.constData());
    QVERIFY(!text.contains(key));
}

QTEST_GUILESS_MAIN(IntakeGuardTest)
#include "IntakeGuardTest.moc"
