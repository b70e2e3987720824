// A required stream key through the listener, with real publishers: the one naming the key is
// served (pictures reach the output), the others are refused before the intake opens a
// session, counted and reported with their address; without a key every name is served.
#include "ListenerFixtures.h"

#include "ingest/RtmpRelay.h"
#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QtTest>

using namespace listener;

namespace {

constexpr int kStreamTimeoutMs = 30000;
const QByteArray kKey = "Zx8kQ2mVb7TnR4cWp9LdHs";

void requireKey(Server &server, const QByteArray &key)
{
    IngestSettings settings = server.settings();
    settings.streamKey = key;
    server.setSettings(settings);
}

FfmpegPublisher::Options publisherTo(const QString &path)
{
    FfmpegPublisher::Options options;
    options.durationS = 0;
    options.path = path;
    return options;
}

} // namespace

class ServerStreamKeyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void onlyThePublisherNamingTheKeyIsServed();
    void silentOrFloodingPeersAreRefused();
    void withoutAKeyEveryNameIsServedUntilAKeyIsSet();
    void intakesTakeOnlyTheirOwnRelay();
};

void ServerStreamKeyTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
}

void ServerStreamKeyTest::onlyThePublisherNamingTheKeyIsServed()
{
    WebcamRig rig(kKey);
    QVERIFY(rig.start());
    auto &[output, cam, window, server, port] = rig;

    // Wrong key, no stream name, and the plain address of a setup without a key.
    const QStringList refusedPaths{QStringLiteral("@/wrongKey"), QStringLiteral("@"),
                                   QStringLiteral("@/@"),
                                   QStringLiteral("@/") + QString::fromLatin1(kKey.left(21))};
    for (const QString &path : refusedPaths) {
        const int before = window.refused.size();
        FfmpegPublisher publisher(publisherTo(path));
        QVERIFY(publisher.start(port));
        QTRY_VERIFY2_WITH_TIMEOUT(window.refused.size() == before + 1 || !publisher.isRunning(),
                                  qPrintable(path), kStreamTimeoutMs);
        // ffmpeg may give up on a URL without a stream name before publishing; then there was
        // nothing to refuse, and nothing reached the output either.
        if (path != QStringLiteral("@"))
            QTRY_COMPARE_WITH_TIMEOUT(window.refused.size(), before + 1, kStreamTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!publisher.isRunning(), kStreamTimeoutMs);
        publisher.stop();
    }
    QVERIFY(window.refused.size() >= 3);
    QCOMPARE(window.refused.first(), QStringLiteral("127.0.0.1"));
    QCOMPARE(server.refusedPublishers(), qint64(window.refused.size()));
    QVERIFY(window.accepted.isEmpty());
    // No session was opened: no state text, no picture, and the managers are all back.
    QVERIFY(window.states.isEmpty());
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 0);
    QVERIFY(!cam.streamActive());
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);

    // The key itself: served as without the option.
    FfmpegPublisher publisher(publisherTo(QStringLiteral("@/") + QString::fromLatin1(kKey)));
    QVERIFY(publisher.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(output.frameCount(RecordingOutput::Sink) >= 10, kStreamTimeoutMs);
    QCOMPARE(output.frames(RecordingOutput::Sink).last().width, 320);
    QVERIFY(window.states.contains(QStringLiteral("320x240 30fps")));
    QCOMPARE(window.accepted, QStringList{QStringLiteral("127.0.0.1")});
    QCOMPARE(server.streamPeer(), QStringLiteral("127.0.0.1"));
    publisher.stop();
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerStreamKeyTest::silentOrFloodingPeersAreRefused()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    requireKey(server, kKey);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);

    // A handshake and then nothing: closed once the wait for a publish is over, well before
    // the relay's no-data watchdog would.
    QElapsedTimer waited;
    waited.start();
    const auto silent = connectCamera(port);
    QVERIFY(silent);
    silent->write(handshakeC1());
    QVERIFY(silent->waitForBytesWritten(kSocketTimeoutMs));
    readUntilClosed(*silent, 3 * RtmpRelay::kPublishWaitMs);
    QCOMPARE(silent->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(waited.elapsed() >= RtmpRelay::kPublishWaitMs - 500);
    QTRY_COMPARE(window.refused.size(), 1);

    // Chunks past the reader's bound without a publish: closed at once.
    const auto flood = connectCamera(port);
    QVERIFY(flood);
    QByteArray bytes = handshakeC1() + QByteArray(1536, 'c');
    while (bytes.size() < 64 * 1024)
        bytes += QByteArray("\x43\x00\x00\x00\x00\x00\x05\x14\x02\x00\x01x", 12);
    flood->write(bytes);
    readUntilClosed(*flood);
    QCOMPARE(flood->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(window.refused.size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    server.stopListening();
}

void ServerStreamKeyTest::withoutAKeyEveryNameIsServedUntilAKeyIsSet()
{
    WebcamRig rig; // no key
    QVERIFY(rig.start());
    auto &[output, cam, window, server, port] = rig;
    FfmpegPublisher publisher(publisherTo(QStringLiteral("@/anyName")));
    QVERIFY(publisher.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(output.frameCount(RecordingOutput::Sink) >= 10, kStreamTimeoutMs);
    QVERIFY(window.accepted.isEmpty()); // nothing was read, nothing to report
    QVERIFY(window.refused.isEmpty());

    // The user turns the key on: the camera let in without it is ended at once, and its
    // reconnection (the same name) is refused.
    requireKey(server, kKey);
    QTRY_VERIFY_WITH_TIMEOUT(!cam.streamActive(), kStreamTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(window.states.last(), QString(), kStreamTimeoutMs);
    QVERIFY(publisher.waitForFinished(kStreamTimeoutMs));
    const int frames = output.frameCount(RecordingOutput::Sink);
    FfmpegPublisher again(publisherTo(QStringLiteral("@/anyName")));
    QVERIFY(again.start(port));
    QTRY_COMPARE_WITH_TIMEOUT(window.refused.size(), 1, kStreamTimeoutMs);
    QVERIFY(!cam.streamActive());
    QCOMPARE(output.frameCount(RecordingOutput::Sink), frames);
    again.stop();
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerStreamKeyTest::intakesTakeOnlyTheirOwnRelay()
{
    WebcamRig rig(kKey);
    QVERIFY(rig.start());
    auto &[output, cam, window, server, port] = rig;

    // Another program on this computer publishes straight to an intake's loopback port, past
    // the listener and its key: the intake ends that session before a picture is decoded.
    const int intake = server.freeManagerPorts().first();
    FfmpegPublisher direct(publisherTo(QStringLiteral("@/") + QString::fromLatin1(kKey)));
    QVERIFY(direct.start(quint16(intake)));
    QVERIFY(direct.waitForFinished(kStreamTimeoutMs));
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 0);
    QVERIFY(!window.states.contains(QStringLiteral("320x240 30fps")));
    // The intake is replaced and the listener still serves its own cameras.
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    FfmpegPublisher publisher(publisherTo(QStringLiteral("@/") + QString::fromLatin1(kKey)));
    QVERIFY(publisher.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(cam.streamActive(), kStreamTimeoutMs);
    publisher.stop();
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

QTEST_MAIN(ServerStreamKeyTest)
#include "tst_server_streamkey.moc"
