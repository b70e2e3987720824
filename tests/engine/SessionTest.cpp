#include "engine/Session.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/ManagerSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

#include <array>
#include <functional>
#include <memory>

namespace {

// Expected colours of the four-quarter test picture: red, lime, blue and white, in limited
// range (YUV420P) and in full range (YUVJ420P, as some action cameras send).
struct Yuv
{
    int y, u, v;
};
using Quarters = std::array<Yuv, 4>;
constexpr Quarters kLimited{Yuv{81, 90, 240}, Yuv{145, 54, 34}, Yuv{41, 240, 110},
                            Yuv{235, 128, 128}};
constexpr Quarters kFull{Yuv{76, 85, 255}, Yuv{150, 44, 21}, Yuv{29, 255, 107}, Yuv{255, 128, 128}};
// Compression blurs colour edges; samples are taken well inside each quarter.
constexpr int kColourTolerance = 6;

QString quarters(int width, int height, const QString &rate)
{
    const int left = (width / 2 + 1) & ~1;
    const int right = width - left;
    const int half = height / 2;
    return QStringLiteral("color=c=red:s=%1x%3:r=%4[a];color=c=lime:s=%2x%3:r=%4[b];"
                          "color=c=blue:s=%1x%3:r=%4[c];color=c=white:s=%2x%3:r=%4[d];"
                          "[a][b]hstack[t];[c][d]hstack[u];[t][u]vstack")
        .arg(left)
        .arg(right)
        .arg(half)
        .arg(rate);
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

using Rig = ManagerSession;

bool nonDecreasing(const QVector<qint64> &times)
{
    for (int i = 1; i < times.size(); ++i)
        if (times[i] < times[i - 1])
            return false;
    return true;
}

// Checks the four quarters of a queued 4:2:0 picture, read with its own line sizes. Returns an
// empty string when every sample matches.
QString quarterMismatch(const AVFrame *picture, const Quarters &colours)
{
    const int width = picture->width;
    const int height = picture->height;
    const uchar *y = picture->data[0];
    const uchar *u = picture->data[1];
    const uchar *v = picture->data[2];
    const int stride = picture->linesize[0];
    const int chromaStride = picture->linesize[1];
    if (!y || !u || !v || picture->linesize[2] != chromaStride)
        return QStringLiteral("not a planar picture");
    const int left = (width / 2 + 1) & ~1;
    const Yuv expected[2][2] = {{colours[0], colours[1]}, {colours[2], colours[3]}};
    // Rows and columns a quarter of the way into each quarter, plus the first and last rows
    // and columns that are still clear of the colour edges.
    for (int qy = 0; qy < 2; ++qy) {
        for (int qx = 0; qx < 2; ++qx) {
            const Yuv &colour = expected[qy][qx];
            const int x0 = qx == 0 ? 8 : left + 8;
            const int x1 = qx == 0 ? left - 9 : width - 9;
            const int y0 = qy == 0 ? 8 : height / 2 + 8;
            const int y1 = qy == 0 ? height / 2 - 9 : height - 9;
            for (int row : {y0, (y0 + y1) / 2, y1}) {
                for (int column : {x0, (x0 + x1) / 2, x1}) {
                    const int luma = y[qint64(row) * stride + column];
                    const int cu = u[qint64(row / 2) * chromaStride + column / 2];
                    const int cv = v[qint64(row / 2) * chromaStride + column / 2];
                    if (qAbs(luma - colour.y) > kColourTolerance ||
                        qAbs(cu - colour.u) > kColourTolerance ||
                        qAbs(cv - colour.v) > kColourTolerance)
                        return QStringLiteral("at %1,%2: %3 %4 %5, expected %6 %7 %8")
                            .arg(column)
                            .arg(row)
                            .arg(luma)
                            .arg(cu)
                            .arg(cv)
                            .arg(colour.y)
                            .arg(colour.u)
                            .arg(colour.v);
                }
            }
        }
    }
    return QString();
}

} // namespace

class SessionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void frameRateAndTimeRules_data();
    void frameRateAndTimeRules();
    void sessionTimestamps();
    void publisherWithAudioAndVideo();
    void fullRangeIsQueuedAsDecoded();
    void oddWidthChromaIsHalfTheLumaLine();
    void pictureSizeChangesMidStream();
    void videoOnlyPublisher();
    void ntscRateRunsAtThirty();
    void publisherKilledMidStream();
    void requestStopUnblocksListening();
    void busyPortDoesNotSpin();
    void destroyedWhileReading();
};

void SessionTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QFAIL("the ffmpeg command-line tool is needed as the RTMP publisher");
}

void SessionTest::frameRateAndTimeRules_data()
{
    QTest::addColumn<int>("num");
    QTest::addColumn<int>("den");
    QTest::addColumn<int>("fps");
    QTest::newRow("29.97") << 30000 << 1001 << 30;
    QTest::newRow("59.94") << 60000 << 1001 << 60;
    QTest::newRow("25") << 25 << 1 << 25;
    QTest::newRow("23.976") << 24000 << 1001 << 23;
    QTest::newRow("50") << 50 << 1 << 50;
    QTest::newRow("31.5") << 63 << 2 << 30;
    QTest::newRow("32") << 32 << 1 << 32;
    // Below 1 fps the output rate keeps a floor, so nothing can divide by it being 0.
    QTest::newRow("0.5") << 1 << 2 << 1;
    QTest::newRow("zero numerator") << 0 << 1 << 0;
    QTest::newRow("zero denominator") << 30 << 0 << 0;
}

void SessionTest::frameRateAndTimeRules()
{
    QFETCH(int, num);
    QFETCH(int, den);
    QFETCH(int, fps);
    QCOMPARE(Session::detectFps(AVRational{num, den}), fps);
}

void SessionTest::sessionTimestamps()
{
    QCOMPARE(Session::ptsToMs(90000, AVRational{1, 90000}), qint64(1000));
    QCOMPARE(Session::ptsToMs(1001, AVRational{1, 30000}), qint64(33));   // 33.36 truncated
    QCOMPARE(Session::ptsToMs(-1001, AVRational{1, 30000}), qint64(-33)); // toward zero
    QCOMPARE(Session::ptsToMs(1234, AVRational{1, 1000}), qint64(1234));
    QCOMPARE(Session::ptsToMs(AV_NOPTS_VALUE, AVRational{1, 1000}), AV_NOPTS_VALUE);
    QCOMPARE(Session::ptsToMs(5, AVRational{1, 0}), AV_NOPTS_VALUE);
    // A hostile pts must neither overflow nor wrap into a small time.
    QCOMPARE(Session::ptsToMs(std::numeric_limits<qint64>::max() - 1, AVRational{1, 1}),
             AV_NOPTS_VALUE);
}

void SessionTest::publisherWithAudioAndVideo()
{
    const int threadsBefore = threadCount();
    Rig session;
    QVERIFY(session.listen());
    QTRY_COMPARE_WITH_TIMEOUT(session.events, QStringList{QStringLiteral("ready")}, 5000);

    FfmpegPublisher::Options options;
    options.durationS = 2.5;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QVERIFY(publisher.waitForFinished(10000));
    QCOMPARE(publisher.exitCode(), 0);

    // One readiness before the connection; "connecting ..." then the format exactly once; the
    // empty state and one stopHandle() at the end.
    const QStringList expected{QStringLiteral("ready"), QStringLiteral("state:connecting ..."),
                               QStringLiteral("state:320x240 30fps"), QStringLiteral("state:"),
                               QStringLiteral("stop")};
    QCOMPARE(session.events, expected);

    // Frames of both kinds, on session time that starts near 0 and never runs backwards.
    // (The consumer saw only what it drained before the session ended.)
    QVERIFY2(session.videoTimes.size() >= 30,
             qPrintable(QString::number(session.videoTimes.size())));
    QVERIFY(session.audioTimes.size() >= 30);
    QVERIFY(session.m_manager->startPtsMs() >= 0);
    QVERIFY(qAbs(session.videoTimes.first()) < 200);
    QVERIFY(qAbs(session.audioTimes.first()) < 200);
    QVERIFY(nonDecreasing(session.videoTimes));
    QVERIFY(nonDecreasing(session.audioTimes));
    QVERIFY(session.videoTimes.last() > 1500);
    QCOMPARE(session.audioRates.first(), 48000);
    QCOMPARE(session.m_manager->fps(), 30);
    QCOMPARE(session.m_manager->frameMs(), 1000.0 / 30);
    QCOMPARE(session.m_manager->convertedPictures(), qint64(0));

    // Session over: the thread has ended, its decoder threads too, and its memory is given
    // back although the manager object lives on.
    QTRY_VERIFY_WITH_TIMEOUT(session.m_manager->isFinished(), 5000);
    QVERIFY(session.m_manager->sessionReleased());
    QCOMPARE(session.m_manager->videoQueue().maxFrames(), 0);
    QCOMPARE(session.m_manager->audioQueue().maxFrames(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, 5000);
    QTest::qWait(200);
    QCOMPARE(session.count(QStringLiteral("stop")), 1);
}

void SessionTest::fullRangeIsQueuedAsDecoded()
{
    // A full-range stream (as some action cameras send) is queued as the decoder gave it: the
    // output converts it once, so the engine must neither convert it (red would read
    // 81/90/240) nor lose its format.
    Rig session;
    QString mismatch;
    int checked = 0;
    session.checkPicture = [&](const FrameRecord &record, int, int) {
        ++checked;
        if (record.frame->format != AV_PIX_FMT_YUVJ420P)
            mismatch = QStringLiteral("format %1").arg(record.frame->format);
        if (mismatch.isEmpty())
            mismatch = quarterMismatch(record.frame, kFull);
    };
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.lavfiVideo = quarters(320, 240, QStringLiteral("30"));
    options.pixFmt = QStringLiteral("yuvj420p");
    options.audio = false;
    options.durationS = 1.5;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QVERIFY(session.events.contains(QStringLiteral("state:320x240 30fps")));
    QCOMPARE(session.m_manager->convertedPictures(), qint64(0));
    QCOMPARE(session.m_manager->width(), 320);
    QCOMPARE(session.m_manager->height(), 240);
    QVERIFY(checked >= 15);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void SessionTest::oddWidthChromaIsHalfTheLumaLine()
{
    // 1030 wide: 515 chroma columns. The queued picture is the decoder's, with its own line
    // sizes, and reads right with them.
    for (const char *format : {"yuv420p", "yuvj420p"}) {
        Rig session;
        QString mismatch;
        int checked = 0;
        const Quarters &colours = qstrcmp(format, "yuv420p") == 0 ? kLimited : kFull;
        session.checkPicture = [&](const FrameRecord &record, int, int) {
            ++checked;
            if (record.frame->width != 1030 || record.frame->height != 580)
                mismatch =
                    QStringLiteral("size %1x%2").arg(record.frame->width).arg(record.frame->height);
            if (mismatch.isEmpty())
                mismatch = quarterMismatch(record.frame, colours);
        };
        QVERIFY(session.listen());
        FfmpegPublisher::Options options;
        options.lavfiVideo = quarters(1030, 580, QStringLiteral("30"));
        options.pixFmt = QString::fromLatin1(format);
        options.audio = false;
        options.durationS = 1.2;
        FfmpegPublisher publisher(options);
        QVERIFY(publisher.start(session.m_port));
        QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
        QVERIFY2(session.events.contains(QStringLiteral("state:1030x580 30fps")),
                 qPrintable(session.events.join(QLatin1Char('|'))));
        QVERIFY(checked >= 10);
        QVERIFY2(mismatch.isEmpty(), qPrintable(QString::fromLatin1(format) + ": " + mismatch));
    }
}

void SessionTest::pictureSizeChangesMidStream()
{
    // A camera that switches resolution mid-stream: an H.264 stream whose second half carries
    // a new, larger sequence header. The session keeps the first picture's size (its state
    // text); later pictures are queued in their own size, which the output scales.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString joined = dir.filePath(QStringLiteral("joined.h264"));
    QByteArray stream;
    for (const char *size : {"320x240", "480x360"}) {
        const QString part = dir.filePath(QString::fromLatin1(size) + QStringLiteral(".h264"));
        QProcess encoder;
        encoder.start(FfmpegPublisher::program(),
                      {QStringLiteral("-hide_banner"),
                       QStringLiteral("-nostdin"),
                       QStringLiteral("-loglevel"),
                       QStringLiteral("error"),
                       QStringLiteral("-f"),
                       QStringLiteral("lavfi"),
                       QStringLiteral("-i"),
                       QStringLiteral("testsrc2=size=%1:rate=30").arg(QString::fromLatin1(size)),
                       QStringLiteral("-t"),
                       QStringLiteral("1"),
                       QStringLiteral("-c:v"),
                       QStringLiteral("libx264"),
                       QStringLiteral("-preset"),
                       QStringLiteral("ultrafast"),
                       QStringLiteral("-g"),
                       QStringLiteral("15"),
                       QStringLiteral("-x264-params"),
                       QStringLiteral("repeat-headers=1"),
                       QStringLiteral("-pix_fmt"),
                       QStringLiteral("yuv420p"),
                       part});
        QVERIFY(encoder.waitForFinished(30000));
        QCOMPARE(encoder.exitCode(), 0);
        QFile file(part);
        QVERIFY(file.open(QIODevice::ReadOnly));
        stream += file.readAll();
    }
    QFile out(joined);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(out.write(stream), qint64(stream.size()));
    out.close();

    Rig session;
    int first = 0;
    int second = 0;
    int other = 0;
    session.checkPicture = [&](const FrameRecord &record, int width, int height) {
        const int w = record.frame->width;
        const int h = record.frame->height;
        if (width != 320 || height != 240)
            ++other;
        else if (w == 320 && h == 240)
            ++first;
        else if (w == 480 && h == 360)
            ++second;
        else
            ++other;
    };
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.inputFile = joined;
    options.inputFileArgs = QStringList{QStringLiteral("-f"), QStringLiteral("h264"),
                                        QStringLiteral("-framerate"), QStringLiteral("30")};
    options.durationS = 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QVERIFY2(session.events.contains(QStringLiteral("state:320x240 30fps")),
             qPrintable(session.events.join(QLatin1Char('|'))));
    // Pictures of both halves were queued, each in its own size, none dropped.
    QVERIFY2(first >= 20 && second >= 20,
             qPrintable(QStringLiteral("%1 %2").arg(first).arg(second)));
    QCOMPARE(other, 0);
    QCOMPARE(session.m_manager->videoQueue().droppedFrames(), qint64(0));
    QCOMPARE(session.m_manager->convertedPictures(), qint64(0));
}

void SessionTest::videoOnlyPublisher()
{
    Rig session;
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.audio = false;
    options.durationS = 1.5;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.videoTimes.size() >= 10, 20000);
    // No audio stream turns the session video-only although audio was not ignored; the audio
    // pool is never allocated.
    QVERIFY(session.m_manager->ignoresAudio());
    QCOMPARE(session.m_manager->audioQueue().maxFrames(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QVERIFY(session.audioTimes.isEmpty());
    QVERIFY(nonDecreasing(session.videoTimes));
}

void SessionTest::ntscRateRunsAtThirty()
{
    Rig session;
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.rate = QStringLiteral("30000/1001");
    options.durationS = 1.5;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QCOMPARE(session.count(QStringLiteral("state:320x240 30fps")), 1);
    QCOMPARE(session.m_manager->fps(), 30);
}

void SessionTest::publisherKilledMidStream()
{
    // A camera that loses power: the connection drops without an RTMP close, mid-GOP.
    const int threadsBefore = threadCount();
    Rig session;
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.durationS = 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.videoTimes.size() >= 20 && session.audioTimes.size() >= 20,
                             20000);
    QVERIFY(!session.ended());
    publisher.kill();
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 10000);
    QCOMPARE(session.events.mid(session.events.size() - 2),
             (QStringList{QStringLiteral("state:"), QStringLiteral("stop")}));
    QTRY_VERIFY_WITH_TIMEOUT(session.m_manager->isFinished(), 5000);
    QVERIFY(session.m_manager->sessionReleased());
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, 5000);
    QCOMPARE(session.count(QStringLiteral("stop")), 1);
}

void SessionTest::requestStopUnblocksListening()
{
    const int threadsBefore = threadCount();
    Rig session;
    QVERIFY(session.listen());
    QElapsedTimer timer;
    timer.start();
    session.m_manager->requestStop();
    QVERIFY(timer.elapsed() < 4500);
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 5000);
    QCOMPARE(session.events, (QStringList{QStringLiteral("ready"), QStringLiteral("state:"),
                                          QStringLiteral("stop")}));
    QTRY_VERIFY_WITH_TIMEOUT(session.m_manager->isFinished(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, 5000);
    // A second stop is harmless.
    session.m_manager->requestStop();
    QCOMPARE(session.count(QStringLiteral("stop")), 1);
}

void SessionTest::busyPortDoesNotSpin()
{
    // Another program holds the port: each open fails at once. The manager pauses between
    // attempts instead of spinning a core, and after kPortBusyAttempts gives the port up, so
    // that the listener can put an intake on another one.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    Rig session;
    session.m_port = holder.serverPort();
    QElapsedTimer elapsed;
    elapsed.start();
    session.m_manager->startListen(QStringLiteral("rtmp://127.0.0.1:%1").arg(session.m_port),
                                   session.m_port);
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 10000);
    QVERIFY(session.m_manager->portUnavailable());
    QCOMPARE(session.count(QStringLiteral("ready")), Session::kPortBusyAttempts);
    QVERIFY(elapsed.elapsed() >= (Session::kPortBusyAttempts - 1) * Session::kListenRetryPauseMs);
    QVERIFY(!session.m_manager->listening());
    QTRY_VERIFY_WITH_TIMEOUT(session.m_manager->isFinished(), 5000);
    // A later start on a free port begins without the mark.
    holder.close();
    session.m_manager->startListen(QStringLiteral("rtmp://127.0.0.1:%1").arg(session.m_port),
                                   session.m_port);
    QVERIFY(!session.m_manager->portUnavailable());
    session.m_manager->requestStop();
    QTRY_VERIFY_WITH_TIMEOUT(session.m_manager->isFinished(), 5000);
}

void SessionTest::destroyedWhileReading()
{
    // Deleting a manager in the middle of a session ends its threads and frees everything.
    const int threadsBefore = threadCount();
    auto session = std::make_unique<Rig>();
    QVERIFY(session->listen());
    FfmpegPublisher::Options options;
    options.durationS = 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session->m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session->videoTimes.size() >= 10, 20000);
    QElapsedTimer timer;
    timer.start();
    session.reset();
    QVERIFY(timer.elapsed() < 3000);
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, 5000);
    publisher.stop();
}

QTEST_GUILESS_MAIN(SessionTest)
#include "SessionTest.moc"
