#include "engine/DeliveryPolicy.h"
#include "engine/FfmpegPtr.h"
#include "engine/FrameFeeder.h"
#include "engine/FrameQueue.h"
#include "engine/H264SpsSize.h"
#include "engine/PictureLimit.h"
#include "engine/Session.h"
#include "support/FfmpegPublisher.h"
#include "support/ManagerSession.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// libavcodec checks a picture's width rounded up to its stride alignment against max_pixels.
constexpr int kStrideAlign = 64;

// A field of /proc/self/status in kB, -1 when it cannot be read.
qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Sets the peak RSS back to the current RSS, so that a later peak is this test's own.
bool resetPeakRss()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

// Encodes `seconds` of a flat colour as a raw H.264 stream (headers with each keyframe).
bool encodeH264(const QString &size, const QString &path)
{
    QProcess encoder;
    encoder.start(FfmpegPublisher::program(), {QStringLiteral("-hide_banner"),
                                               QStringLiteral("-nostdin"),
                                               QStringLiteral("-loglevel"),
                                               QStringLiteral("error"),
                                               QStringLiteral("-f"),
                                               QStringLiteral("lavfi"),
                                               QStringLiteral("-i"),
                                               QStringLiteral("color=c=blue:s=%1:r=10").arg(size),
                                               QStringLiteral("-t"),
                                               QStringLiteral("1"),
                                               QStringLiteral("-c:v"),
                                               QStringLiteral("libx264"),
                                               QStringLiteral("-preset"),
                                               QStringLiteral("ultrafast"),
                                               QStringLiteral("-g"),
                                               QStringLiteral("5"),
                                               QStringLiteral("-x264-params"),
                                               QStringLiteral("repeat-headers=1"),
                                               QStringLiteral("-pix_fmt"),
                                               QStringLiteral("yuv420p"),
                                               path});
    return encoder.waitForFinished(60000) && encoder.exitStatus() == QProcess::NormalExit &&
           encoder.exitCode() == 0;
}

// The first SPS of one picture of a flat colour in `pixFmt` encoded by libx264 with `args`,
// header byte included, as it is on the wire (escaped); empty when it could not be made.
QByteArray encodedSps(const QString &size, const QString &pixFmt, const QStringList &args)
{
    QProcess encoder;
    encoder.start(
        FfmpegPublisher::program(),
        QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
                    QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-f"),
                    QStringLiteral("lavfi"), QStringLiteral("-i"),
                    QStringLiteral("color=c=blue:s=%1,format=%2").arg(size, pixFmt),
                    QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-c:v"),
                    QStringLiteral("libx264"), QStringLiteral("-preset"),
                    QStringLiteral("ultrafast"), QStringLiteral("-pix_fmt"), pixFmt} +
            args + QStringList{QStringLiteral("-f"), QStringLiteral("h264"), QStringLiteral("-")});
    if (!encoder.waitForFinished(60000) || encoder.exitCode() != 0)
        return QByteArray();
    const QByteArray stream = encoder.readAllStandardOutput();
    const QByteArray startCode("\x00\x00\x01", 3);
    for (int at = stream.indexOf(startCode); at >= 0; at = stream.indexOf(startCode, at + 3)) {
        if ((stream.at(at + 3) & 0x1f) != 7)
            continue;
        int end = stream.indexOf(startCode, at + 3);
        end = end < 0 ? stream.size() : end;
        // A four-byte start code leaves its leading zero at the end of the unit before.
        while (end > at + 3 && stream.at(end - 1) == 0)
            --end;
        return stream.mid(at + 3, end - at - 3);
    }
    return QByteArray();
}

// Writes an SPS by the H.264 syntax, for what no encoder here writes (scaling lists in the
// SPS: libx264 puts them in the PPS).
class SpsWriter
{
public:
    void bits(quint32 value, int count)
    {
        for (int i = count - 1; i >= 0; --i)
            m_bits.push_back(((value >> i) & 1) != 0);
    }
    void ue(quint32 value)
    {
        const quint64 code = quint64(value) + 1;
        int length = 0;
        while ((code >> length) > 1)
            ++length;
        bits(0, length);
        bits(quint32(code), length + 1);
    }
    void se(qint32 value) { ue(value > 0 ? quint32(2 * value - 1) : quint32(-2 * value)); }
    // The NAL unit: header byte, the bits with a stop bit, escaped.
    QByteArray nal()
    {
        bits(1, 1);
        while (m_bits.size() % 8)
            m_bits.push_back(false);
        QByteArray out(1, char(0x67));
        int zeros = 0;
        for (int i = 0; i < m_bits.size(); i += 8) {
            quint8 byte = 0;
            for (int b = 0; b < 8; ++b)
                byte = quint8((byte << 1) | (m_bits[i + b] ? 1 : 0));
            if (zeros >= 2 && byte <= 3) {
                out.append(char(3));
                zeros = 0;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            out.append(char(byte));
        }
        return out;
    }

private:
    QVector<bool> m_bits;
};

} // namespace

class PictureLimitTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    // First: its peak RSS must be its own.
    void oversizedPublisherIsRefused_data();
    void oversizedPublisherIsRefused();
    void sizeBound_data();
    void sizeBound();
    void sequenceHeaderSize_data();
    void sequenceHeaderSize();
    void sequenceHeaderWithScalingLists();
    void poolBudget_data();
    void poolBudget();
    void largestPicturesAreAccepted_data();
    void largestPicturesAreAccepted();
    void sizeChangeBeyondTheBound_data();
    void sizeChangeBeyondTheBound();
};

void PictureLimitTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QFAIL("the ffmpeg command-line tool is needed as the RTMP publisher");
}

void PictureLimitTest::oversizedPublisherIsRefused_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("RTMP") << QStringLiteral("rtmp");
    // The SRT listener's intake: MPEG-TS over loopback TCP, streams announced before pictures.
    QTest::newRow("MPEG-TS") << QStringLiteral("tcp");
}

void PictureLimitTest::oversizedPublisherIsRefused()
{
    // A publisher of 8K pictures: 60 blocks of them would be 3 GB, one decoded picture 47 MB.
    // The session is refused from the size its stream announces, before a decoder or a pool
    // exists, and says so in the window.
    QFETCH(QString, scheme);
    const bool peakReset = resetPeakRss();
    const qint64 rssBeforeKb = statusKb("VmRSS:");
    QVERIFY(rssBeforeKb > 0);
    ManagerSession session;
    QVERIFY(session.listen(scheme));
    FfmpegPublisher::Options options;
    options.videoSource = QStringLiteral("color=c=blue");
    options.size = QSize(7680, 4320);
    options.rate = QStringLiteral("5");
    options.audio = false;
    options.durationS = 0; // until the intake lets it go
    FfmpegPublisher rtmp(options);
    QProcess ts;
    const auto stopTs = qScopeGuard([&] {
        ts.kill();
        ts.waitForFinished(5000);
    });
    if (scheme == QLatin1String("rtmp")) {
        QVERIFY(rtmp.start(session.m_port));
    } else {
        // The publisher's picture, muxed as MPEG-TS straight into the intake's socket.
        QStringList args = rtmp.arguments(session.m_port);
        args = args.mid(0, args.size() - rtmp.outputArguments(session.m_port).size());
        args << QStringLiteral("-f") << QStringLiteral("mpegts")
             << QStringLiteral("tcp://127.0.0.1:%1").arg(session.m_port);
        ts.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        ts.start(FfmpegPublisher::program(), args);
        QVERIFY(ts.waitForStarted(5000));
    }
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 60000);
    const QStringList expected{QStringLiteral("ready"), QStringLiteral("state:connecting ..."),
                               QStringLiteral("state:picture too large: 7680x4320 (at most "
                                              "4096x2304)"),
                               QStringLiteral("stop")};
    QCOMPARE(session.events, expected);
    QVERIFY(session.m_manager->pictureRefused());
    QVERIFY(!session.m_manager->outputStarted());
    QVERIFY(session.videoTimes.isEmpty());
    // The publisher loses its connection.
    QVERIFY(scheme == QLatin1String("rtmp") ? rtmp.waitForFinished(20000)
                                            : ts.waitForFinished(20000));

    const qint64 peakKb = peakReset ? statusKb("VmHWM:") : statusKb("VmRSS:");
    const qint64 growthMb = (peakKb - rssBeforeKb) / 1024;
    qDebug() << "RSS before" << rssBeforeKb / 1024 << "MB, peak" << peakKb / 1024
             << "MB, peak measured" << peakReset;
    // Less than one decoded 8K picture (47 MB): neither the pool nor stream discovery's own
    // decoding ever held one.
    QVERIFY2(growthMb < 45, qPrintable(QStringLiteral("RSS grew by %1 MB").arg(growthMb)));
}

void PictureLimitTest::sizeBound_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("fits");
    QTest::newRow("1080p") << 1920 << 1080 << true;
    QTest::newRow("UHD") << 3840 << 2160 << true;
    QTest::newRow("the bound") << 4096 << 2304 << true;
    QTest::newRow("the bound upright") << 2304 << 4096 << true;
    QTest::newRow("odd, just inside") << 4095 << 2303 << true;
    QTest::newRow("a column too wide") << 4097 << 2304 << false;
    QTest::newRow("a row too high") << 4096 << 2305 << false;
    QTest::newRow("upright, a column too wide") << 2305 << 4096 << false;
    QTest::newRow("upright, a row too high") << 2304 << 4097 << false;
    QTest::newRow("8K") << 7680 << 4320 << false;
    // Fewer pixels than the bound, but wider than any picture the output takes.
    QTest::newRow("a strip") << 8192 << 1024 << false;
    QTest::newRow("a tall strip") << 1024 << 8192 << false;
    QTest::newRow("not known yet") << 0 << 0 << true;
}

void PictureLimitTest::sizeBound()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, fits);
    QCOMPARE(PictureLimit::fits(width, height), fits);
    if (fits) {
        // libavcodec's own bound must never refuse a picture that fits.
        const qint64 aligned = (qint64(width) + kStrideAlign - 1) / kStrideAlign * kStrideAlign;
        QVERIFY(aligned * height <= PictureLimit::kMaxPixels);
    } else {
        const QString text = PictureLimit::refusal(width, height);
        QVERIFY2(text.contains(QStringLiteral("%1x%2").arg(width).arg(height)), qPrintable(text));
    }
}

void PictureLimitTest::sequenceHeaderSize_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("pixFmt");
    QTest::addColumn<QStringList>("args");
    const QString planar = QStringLiteral("yuv420p");
    QTest::newRow("baseline") << QStringLiteral("320x240") << planar << QStringList();
    QTest::newRow("odd size, cropped") << QStringLiteral("1030x580") << planar << QStringList();
    QTest::newRow("1080p, cropped rows") << QStringLiteral("1920x1080") << planar << QStringList();
    QTest::newRow("8K") << QStringLiteral("7680x4320") << planar << QStringList();
    QTest::newRow("upright") << QStringLiteral("2304x4096") << planar << QStringList();
    QTest::newRow("4:4:4, odd") << QStringLiteral("1031x581") << QStringLiteral("yuv444p")
                                << QStringList();
    QTest::newRow("4:2:2 10 bit") << QStringLiteral("1030x580") << QStringLiteral("yuv422p10le")
                                  << QStringList();
    QTest::newRow("monochrome") << QStringLiteral("1030x581") << QStringLiteral("gray")
                                << QStringList();
    QTest::newRow("interlaced") << QStringLiteral("1030x580") << planar
                                << QStringList{QStringLiteral("-flags"),
                                               QStringLiteral("+ildct+ilme"),
                                               QStringLiteral("-x264-params"),
                                               QStringLiteral("interlaced=1")};
}

void PictureLimitTest::sequenceHeaderSize()
{
    // The size read from a real encoder's sequence header, bare and in the "avcC" record FLV
    // carries, is the size it encoded; a cut header is no size at all.
    QFETCH(QString, size);
    QFETCH(QString, pixFmt);
    QFETCH(QStringList, args);
    const QByteArray sps = encodedSps(size, pixFmt, args);
    QVERIFY(!sps.isEmpty());
    const auto *bytes = reinterpret_cast<const uint8_t *>(sps.constData());
    int width = 0;
    int height = 0;
    QVERIFY(H264SpsSize::fromSps(bytes, sps.size(), &width, &height));
    QCOMPARE(QStringLiteral("%1x%2").arg(width).arg(height), size);

    QByteArray avcC;
    avcC.append(char(1)).append(sps.mid(1, 3)).append(char(0xff)).append(char(0xe1));
    avcC.append(char(sps.size() >> 8)).append(char(sps.size() & 0xff)).append(sps);
    width = height = 0;
    QVERIFY(H264SpsSize::fromAvcC(reinterpret_cast<const uint8_t *>(avcC.constData()), avcC.size(),
                                  &width, &height));
    QCOMPARE(QStringLiteral("%1x%2").arg(width).arg(height), size);
    QVERIFY(!H264SpsSize::fromAvcC(reinterpret_cast<const uint8_t *>(avcC.constData()),
                                   avcC.size() - 1, &width, &height));
    QVERIFY(!H264SpsSize::fromSps(bytes, 6, &width, &height));
}

void PictureLimitTest::sequenceHeaderWithScalingLists()
{
    // High profile, 1920x1080, with scaling matrices in the SPS: a 4x4 and an 8x8 list given
    // in full, a 4x4 list that ends early (a delta to 0), the rest absent.
    SpsWriter sps;
    sps.bits(100, 8); // profile
    sps.bits(0, 8);   // constraints
    sps.bits(40, 8);  // level
    sps.ue(0);        // sps id
    sps.ue(1);        // 4:2:0
    sps.ue(0);        // bit depths
    sps.ue(0);
    sps.bits(0, 1);
    sps.bits(1, 1); // scaling matrices present
    for (int list = 0; list < 8; ++list) {
        const bool present = list == 0 || list == 3 || list == 6;
        sps.bits(present ? 1 : 0, 1);
        if (list == 0 || list == 6) {
            for (int j = 0; j < (list == 0 ? 16 : 64); ++j)
                sps.se(j % 2 ? 3 : -2);
        } else if (list == 3) {
            sps.se(5);   // 13
            sps.se(-13); // 0: the rest of the list is the default
        }
    }
    sps.ue(0);      // log2 frame number
    sps.ue(0);      // picture order count type 0
    sps.ue(2);      // its log2 lsb
    sps.ue(1);      // reference frames
    sps.bits(0, 1); // gaps
    sps.ue(119);    // 120 macroblocks wide
    sps.ue(67);     // 68 high
    sps.bits(1, 1); // frames only
    sps.bits(1, 1); // direct 8x8
    sps.bits(1, 1); // cropping: 4 chroma rows at the bottom
    sps.ue(0);
    sps.ue(0);
    sps.ue(0);
    sps.ue(4);
    sps.bits(0, 1); // no VUI
    const QByteArray nal = sps.nal();
    int width = 0;
    int height = 0;
    QVERIFY(H264SpsSize::fromSps(reinterpret_cast<const uint8_t *>(nal.constData()), nal.size(),
                                 &width, &height));
    QCOMPARE(width, 1920);
    QCOMPARE(height, 1080);
}

void PictureLimitTest::poolBudget_data()
{
    // Pictures as a decoder allocates them (aligned rows, and 16 more rows for the largest
    // macroblock row), and how many of them the picture queue must take at least.
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("atLeast");
    QTest::newRow("QVGA: the most pictures, not more")
        << 320 << 240 << FrameFeeder::kMaxVideoFrames;
    QTest::newRow("720p") << 1280 << 720 << 40;
    QTest::newRow("1080p") << 1920 << 1080 << 18;
    QTest::newRow("UHD") << 3840 << 2160 << 4;
    QTest::newRow("the bound") << 4096 << 2304 << 4;
    QTest::newRow("the bound upright") << 2304 << 4096 << 4;
}

void PictureLimitTest::poolBudget()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, atLeast);
    AVFramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width;
    picture->height = height + 16;
    QCOMPARE(av_frame_get_buffer(picture.get(), 64), 0);
    picture->height = height;
    FrameQueue queue(FrameQueue::kKindVideo);
    QVERIFY(queue.setBudget(FrameFeeder::kVideoBudgetBytes, FrameFeeder::kMaxVideoFrames));
    int queued = 0;
    for (int i = 0; i < FrameFeeder::kMaxVideoFrames + 5; ++i) {
        AVFramePtr reference(av_frame_clone(picture.get()));
        queued += queue.push(reference.get(), i, 33.3) ? 1 : 0;
    }
    QVERIFY2(queued >= atLeast, qPrintable(QString::number(queued)));
    QVERIFY(queued <= FrameFeeder::kMaxVideoFrames);
    QVERIFY(queue.queuedBytes() <= FrameFeeder::kVideoBudgetBytes);
    // At 1080p and below, a 30 fps session keeps the largest playout delay with audio, plus
    // the picture on show and the one being decoded.
    if (height <= 1080) {
        const double frameMs = 1000.0 / 30;
        QVERIFY(queued * frameMs >= DeliveryPolicy::kMaxDelayWithAudioMs + 2 * frameMs);
    }
}

void PictureLimitTest::largestPicturesAreAccepted_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("landscape") << QSize(4096, 2304);
    QTest::newRow("upright") << QSize(2304, 4096);
}

void PictureLimitTest::largestPicturesAreAccepted()
{
    QFETCH(QSize, size);
    ManagerSession session;
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.videoSource = QStringLiteral("color=c=blue");
    options.size = size;
    options.rate = QStringLiteral("5");
    options.audio = false;
    options.durationS = 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.videoTimes.size() >= 2, 60000);
    const QString state = QStringLiteral("state:%1x%2 5fps").arg(size.width()).arg(size.height());
    QVERIFY2(session.events.contains(state), qPrintable(session.events.join(QLatin1Char('|'))));
    // The largest pictures are queued within the budget.
    Session &manager = *session.m_manager;
    QCOMPARE(manager.videoQueue().budgetBytes(), FrameFeeder::kVideoBudgetBytes);
    QVERIFY(manager.videoQueue().queuedBytes() <= FrameFeeder::kVideoBudgetBytes);
    QVERIFY(!manager.pictureRefused());
    QVERIFY(!session.ended());
    publisher.stop();
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 20000);
    QVERIFY(!session.events.join(QLatin1Char('|')).contains(QStringLiteral("too large")));
}

void PictureLimitTest::sizeChangeBeyondTheBound_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("state");
    // Fewer pixels than libavcodec's bound: the decoded picture is refused.
    QTest::newRow("a strip") << QStringLiteral("8192x1024")
                             << QStringLiteral("picture too large: 8192x1024 (at most 4096x2304)");
    // More: libavcodec refuses to allocate the picture, the size its header named is refused.
    QTest::newRow("beyond max_pixels")
        << QStringLiteral("4352x2448")
        << QStringLiteral("picture too large: 4352x2448 (at most 4096x2304)");
}

void PictureLimitTest::sizeChangeBeyondTheBound()
{
    // A stream that starts small and then announces a picture beyond the bound in a new
    // sequence header: the session shown so far ends with the refusal.
    QFETCH(QString, size);
    QFETCH(QString, state);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString small = dir.filePath(QStringLiteral("small.h264"));
    const QString large = dir.filePath(QStringLiteral("large.h264"));
    QVERIFY(encodeH264(QStringLiteral("320x240"), small));
    QVERIFY(encodeH264(size, large));
    QFile first(small);
    QFile second(large);
    QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    const QString joined = dir.filePath(QStringLiteral("joined.h264"));
    QFile out(joined);
    QVERIFY(out.open(QIODevice::WriteOnly));
    const QByteArray stream = first.readAll() + second.readAll();
    QCOMPARE(out.write(stream), qint64(stream.size()));
    out.close();

    ManagerSession session;
    QVERIFY(session.listen());
    FfmpegPublisher::Options options;
    options.inputFile = joined;
    options.inputFileArgs = QStringList{QStringLiteral("-f"), QStringLiteral("h264"),
                                        QStringLiteral("-framerate"), QStringLiteral("10")};
    options.durationS = 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(session.m_port));
    QTRY_VERIFY_WITH_TIMEOUT(session.ended(), 60000);
    QVERIFY2(session.events.contains(QStringLiteral("state:320x240 10fps")),
             qPrintable(session.events.join(QLatin1Char('|'))));
    QCOMPARE(session.events.mid(session.events.size() - 2),
             (QStringList{QStringLiteral("state:") + state, QStringLiteral("stop")}));
    QVERIFY(session.m_manager->pictureRefused());
    QVERIFY(!session.videoTimes.isEmpty());
}

QTEST_GUILESS_MAIN(PictureLimitTest)
#include "PictureLimitTest.moc"
