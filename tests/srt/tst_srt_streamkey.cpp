// The stream key on SRT, at the SRT listener: callers with no streamid, a wrong one, the key
// plain or in the access-control form, an encrypting caller without a streamid when a
// passphrase is set, and no key at all; then through the whole listener, where a served
// caller's pictures reach the webcam. Real callers on 127.0.0.1: libsrt callers made here
// (they also see the handshake's rejection reason) and the ffmpeg command-line tool.
#include "../listener/ListenerFixtures.h"

#include "ingest/SrtListener.h"
#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QtTest>

#include <srt/access_control.h>
#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

constexpr int kWaitMs = 30000;
const QByteArray kKey = "SrtKey0123456789abcdeZ";
const QByteArray kPassphrase = "correct horse battery";

// A libsrt caller that connects and sends nothing. Returns the socket (the caller's to close)
// or -1 with the handshake's rejection reason in `reason`.
int caller(quint16 port, const QByteArray &streamId, const QByteArray &passphrase, int &reason)
{
    reason = 0;
    const int socket = srt_create_socket();
    if (socket == SRT_INVALID_SOCK)
        return -1;
    if ((!streamId.isNull() && srt_setsockflag(socket, SRTO_STREAMID, streamId.constData(),
                                               int(streamId.size())) == SRT_ERROR) ||
        (!passphrase.isEmpty() && srt_setsockflag(socket, SRTO_PASSPHRASE, passphrase.constData(),
                                                  int(passphrase.size())) == SRT_ERROR)) {
        srt_close(socket);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (srt_connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) ==
        SRT_ERROR) {
        reason = srt_getrejectreason(socket);
        srt_close(socket);
        return -1;
    }
    return socket;
}

// An SRT listener as the ingest listener runs it, with room for callers. Its signals come from
// libsrt's and the accept loop's threads and are taken here on the test thread; it closes what
// it accepted.
struct Door
{
    explicit Door(const QByteArray &key, const QByteArray &passphrase = QByteArray())
        : listener(nullptr)
    {
        options.port = FreePort::udpLoopback();
        options.streamKey = key;
        options.passphrase = passphrase;
        QObject::connect(&listener, &SrtListener::callerAccepted, &context,
                         [this](int socket, const QString &) { accepted.append(socket); });
        QObject::connect(&listener, &SrtListener::callerRefused, &context,
                         [this](const QString &peer, const QString &reason) {
                             refused.append({peer, reason});
                         });
    }
    ~Door()
    {
        listener.close();
        for (int socket : qAsConst(accepted))
            srt_close(socket);
    }
    bool open()
    {
        QString error;
        if (!listener.open(options, error)) {
            qWarning() << error;
            return false;
        }
        listener.setFreeIntakes(10);
        listener.start();
        return true;
    }
    QString lastReason() const { return refused.isEmpty() ? QString() : refused.last().second; }

    SrtOptions options;
    SrtListener listener;
    QObject context; // receives the listener's signals on the test thread
    QList<int> accepted;
    QList<QPair<QString, QString>> refused; // peer, reason
};

FfmpegPublisher::Options srtCaller(const QString &urlOptions)
{
    FfmpegPublisher::Options options;
    options.size = QSize(160, 120);
    options.durationS = 0;
    options.srt = true;
    options.srtOptions = urlOptions;
    return options;
}

QString streamIdOption(const QByteArray &streamId)
{
    // As users type it: ffmpeg takes the stream id as it stands, "#!::" included.
    return QStringLiteral("streamid=") + QString::fromLatin1(streamId);
}

} // namespace

class SrtStreamKeyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void streamIdDecides_data();
    void streamIdDecides();
    void ffmpegCallers();
    void passphraseServesWithoutStreamId();
    void newKeyAppliesToNewCallers();
    void servedCallerReachesTheWebcam_data();
    void servedCallerReachesTheWebcam();
};

void SrtStreamKeyTest::initTestCase()
{
    QVERIFY(srt_startup() >= 0);
}

void SrtStreamKeyTest::cleanupTestCase()
{
    srt_cleanup();
}

void SrtStreamKeyTest::streamIdDecides_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("streamId"); // null: none set
    QTest::addColumn<QString>("refusal");     // empty: served

    QByteArray lastWrong = kKey;
    lastWrong[lastWrong.size() - 1] = 'X';
    QTest::newRow("no streamid") << kKey << QByteArray() << "no stream key";
    QTest::newRow("wrong") << kKey << QByteArray("guess") << "wrong stream key";
    QTest::newRow("last character wrong") << kKey << lastWrong << "wrong stream key";
    QTest::newRow("key and more") << kKey << kKey + "x"
                                  << "wrong stream key";
    QTest::newRow("plain key") << kKey << kKey << "";
    QTest::newRow("access control") << kKey << "#!::r=" + kKey + ",m=publish"
                                    << "";
    QTest::newRow("access control, user first") << kKey << "#!::u=cam,r=" + kKey << "";
    QTest::newRow("access control, wrong")
        << kKey << QByteArray("#!::r=guess,m=publish") << "wrong stream key";
    QTest::newRow("access control, two names")
        << kKey << "#!::r=guess,r=" + kKey << "wrong stream key";
    QTest::newRow("access control, no name")
        << kKey << QByteArray("#!::m=publish") << "wrong stream key";
    QTest::newRow("key off, no streamid") << QByteArray() << QByteArray() << "";
    QTest::newRow("key off, any streamid") << QByteArray() << QByteArray("anything") << "";
}

void SrtStreamKeyTest::streamIdDecides()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, streamId);
    QFETCH(QString, refusal);
    Door door(key);
    QVERIFY(door.open());
    int reason = 0;
    const int socket = caller(door.options.port, streamId, QByteArray(), reason);
    if (refusal.isEmpty()) {
        QVERIFY2(socket >= 0, qPrintable(QStringLiteral("rejected: %1").arg(reason)));
        srt_close(socket);
        QTRY_COMPARE_WITH_TIMEOUT(door.accepted.count(), 1, kWaitMs);
        QCOMPARE(door.refused.count(), 0);
    } else {
        // Turned away in the handshake, before accept, and told why.
        QCOMPARE(socket, -1);
        QCOMPARE(reason, int(SRT_REJX_UNAUTHORIZED));
        QTRY_COMPARE_WITH_TIMEOUT(door.refused.count(), 1, kWaitMs);
        QCOMPARE(door.lastReason(), refusal);
        QCOMPARE(door.refused.first().first, QStringLiteral("127.0.0.1"));
        QCOMPARE(door.accepted.count(), 0);
    }
}

void SrtStreamKeyTest::ffmpegCallers()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
    Door door(kKey);
    QVERIFY(door.open());
    {
        // As a camera app without the key: refused and counted, never accepted.
        FfmpegPublisher plain(srtCaller(QString()));
        QVERIFY(plain.start(door.options.port));
        QTRY_VERIFY_WITH_TIMEOUT(door.refused.count() >= 1, kWaitMs);
        QCOMPARE(door.lastReason(), QStringLiteral("no stream key"));
        FfmpegPublisher wrong(srtCaller(streamIdOption("not-the-key")));
        QVERIFY(wrong.start(door.options.port));
        QTRY_COMPARE_WITH_TIMEOUT(door.lastReason(), QStringLiteral("wrong stream key"), kWaitMs);
        QCOMPARE(door.accepted.count(), 0);
    }
    for (const QByteArray &streamId : {kKey, "#!::r=" + kKey + ",m=publish"}) {
        const int before = door.accepted.count();
        FfmpegPublisher right(srtCaller(streamIdOption(streamId)));
        QVERIFY(right.start(door.options.port));
        QTRY_COMPARE_WITH_TIMEOUT(door.accepted.count(), before + 1, kWaitMs);
    }
}

void SrtStreamKeyTest::passphraseServesWithoutStreamId()
{
    Door door(kKey, kPassphrase);
    QVERIFY(door.open());
    // Encrypting with the passphrase is enough: no streamid needed.
    int reason = 0;
    int socket = caller(door.options.port, QByteArray(), kPassphrase, reason);
    QVERIFY2(socket >= 0, qPrintable(QStringLiteral("rejected: %1").arg(reason)));
    srt_close(socket);
    QTRY_COMPARE_WITH_TIMEOUT(door.accepted.count(), 1, kWaitMs);

    // The key without encryption is not: the passphrase rule turns it away after accept.
    socket = caller(door.options.port, kKey, QByteArray(), reason);
    if (socket >= 0)
        srt_close(socket);
    QTRY_COMPARE_WITH_TIMEOUT(door.refused.count(), 1, kWaitMs);
    QCOMPARE(door.lastReason(), QStringLiteral("no passphrase"));
    QCOMPARE(door.accepted.count(), 1);

    // A real encrypting caller, as a camera would be set up.
    if (FfmpegPublisher::available()) {
        FfmpegPublisher encrypting(
            srtCaller(QStringLiteral("passphrase=") + QString::fromLatin1(kPassphrase)));
        QVERIFY(encrypting.start(door.options.port));
        QTRY_COMPARE_WITH_TIMEOUT(door.accepted.count(), 2, kWaitMs);
    }
}

void SrtStreamKeyTest::newKeyAppliesToNewCallers()
{
    Door door{QByteArray()};
    QVERIFY(door.open());
    int reason = 0;
    int socket = caller(door.options.port, QByteArray(), QByteArray(), reason);
    QVERIFY(socket >= 0);
    srt_close(socket);
    QTRY_COMPARE_WITH_TIMEOUT(door.accepted.count(), 1, kWaitMs);

    // Turned on while listening: the next caller without it is refused, one with it served.
    door.listener.setStreamKey(kKey);
    QCOMPARE(caller(door.options.port, QByteArray(), QByteArray(), reason), -1);
    QCOMPARE(reason, int(SRT_REJX_UNAUTHORIZED));
    socket = caller(door.options.port, kKey, QByteArray(), reason);
    QVERIFY(socket >= 0);
    srt_close(socket);
    QTRY_COMPARE_WITH_TIMEOUT(door.accepted.count(), 2, kWaitMs);
    QCOMPARE(door.refused.count(), 1);
}

void SrtStreamKeyTest::servedCallerReachesTheWebcam_data()
{
    QTest::addColumn<QByteArray>("passphrase"); // of the listener
    QTest::addColumn<QString>("camera");        // the served caller's URL options

    QTest::newRow("key as streamid") << QByteArray() << streamIdOption(kKey);
    QTest::newRow("access-control form")
        << QByteArray() << streamIdOption("#!::r=" + kKey + ",m=publish");
    QTest::newRow("passphrase, no streamid")
        << kPassphrase << QStringLiteral("passphrase=") + QString::fromLatin1(kPassphrase);
}

void SrtStreamKeyTest::servedCallerReachesTheWebcam()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
    QFETCH(QByteArray, passphrase);
    QFETCH(QString, camera);
    RecordingOutput output; // before the OutputRouter: it installs the recording backends
    OutputRouter cam(QStringLiteral("Quorvix"));
    listener::TestWindow window;
    listener::TestServer server(&cam, &window);
    IngestSettings settings;
    settings.streamKey = kKey;
    settings.srt.port = FreePort::udpLoopback();
    settings.srt.passphrase = passphrase;
    server.setSettings(settings);
    QVERIFY(server.startListening(QHostAddress::LocalHost, FreePort::loopback()));
    QVERIFY(server.srtListening());
    QTRY_COMPARE_WITH_TIMEOUT(server.freeSrtManagerPorts().size(), Server::kInitialSrtManagers,
                              listener::kReadyTimeoutMs);

    // A stranger with neither: refused, counted and shown; nothing reaches the webcam.
    {
        FfmpegPublisher stranger(srtCaller(QString()));
        QVERIFY(stranger.start(settings.srt.port));
        QTRY_VERIFY_WITH_TIMEOUT(server.refusedSrtCallers() >= 1, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!window.srtRefused.isEmpty(), kWaitMs);
    }
    QVERIFY(window.states.isEmpty());
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 0);
    QCOMPARE(server.freeSrtManagerPorts().size(), Server::kInitialSrtManagers);

    FfmpegPublisher served(srtCaller(camera));
    QVERIFY(served.start(settings.srt.port));
    QTRY_VERIFY_WITH_TIMEOUT(output.frameCount(RecordingOutput::Sink) >= 10, kWaitMs);
    const RecordingOutput::Frame frame = output.frames(RecordingOutput::Sink).last();
    QCOMPARE(frame.width, 160);
    QCOMPARE(frame.height, 120);
    QCOMPARE(server.streamPeer(), QStringLiteral("127.0.0.1"));
    served.stop();
    server.stopListening();
}

QTEST_MAIN(SrtStreamKeyTest)
#include "tst_srt_streamkey.moc"
