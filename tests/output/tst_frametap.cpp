// The frame tap read back by the real ffmpeg / ffprobe: what the virtual camera receives,
// after scaling, as YUV4MPEG2 in a file or a FIFO, never blocking the sender.

#include "FakeV4l2Io.h"
#include "../support/I420Frame.h"
#include "I420Picture.h"
#include "tests/support/LogCapture.h"
#include "output/V4l2Sink.h"
#include "output/OutputRouter.h"

#include <QtTest>

#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrameBytes = kWidth * kHeight * 3 / 2;

QByteArray run(const QString &program, const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.start(program, arguments);
    *ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
          process.exitCode() == 0;
    if (!*ok) {
        process.kill();
        process.waitForFinished(5000);
        qWarning() << program << arguments << process.readAllStandardError();
    }
    return process.readAllStandardOutput();
}

// Reads YUV4MPEG2 from a FIFO on its own thread as fast as it comes, and notes for each
// picture when its last byte arrived and whether it is one grey level throughout. Opened
// read-write so the tap finds a reader at once and the FIFO never reports end-of-file.
class FifoReader
{
public:
    struct Picture
    {
        int level;
        bool uniform;
        qint64 atMs;
    };

    FifoReader(const QString &path, int frameBytes, const QElapsedTimer &clock)
        : m_frameBytes(static_cast<size_t>(frameBytes)), m_clock(clock)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        m_thread.reset(QThread::create([this]() { run(); }));
        m_thread->setObjectName(QStringLiteral("FifoReader"));
        m_thread->start();
    }
    ~FifoReader()
    {
        m_stop.store(true);
        if (m_thread)
            m_thread->wait();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    int fd() const { return m_fd; }
    QVector<Picture> pictures() const
    {
        QMutexLocker locker(&m_lock);
        return m_pictures;
    }
    QByteArray header() const
    {
        QMutexLocker locker(&m_lock);
        return m_header;
    }

private:
    void run()
    {
        constexpr size_t kMarkerBytes = 6; // "FRAME\n"
        std::vector<uchar> frame(kMarkerBytes + m_frameBytes);
        QByteArray header;
        size_t have = 0;
        bool inHeader = true;
        while (!m_stop.load()) {
            pollfd fds = {m_fd, POLLIN, 0};
            if (::poll(&fds, 1, 50) <= 0)
                continue;
            if (inHeader) {
                char c;
                while (::read(m_fd, &c, 1) == 1) {
                    header.append(c);
                    if (c == '\n') {
                        inHeader = false;
                        QMutexLocker locker(&m_lock);
                        m_header = header;
                        break;
                    }
                }
                continue;
            }
            const ssize_t got = ::read(m_fd, frame.data() + have, frame.size() - have);
            if (got <= 0)
                continue;
            have += static_cast<size_t>(got);
            if (have < frame.size())
                continue;
            have = 0;
            const uchar *luma = frame.data() + kMarkerBytes;
            const bool marker = std::memcmp(frame.data(), "FRAME\n", kMarkerBytes) == 0;
            const bool uniform =
                marker && std::all_of(luma, luma + m_frameBytes * 2 / 3,
                                      [&](uchar value) { return value == luma[0]; });
            QMutexLocker locker(&m_lock);
            m_pictures.append({luma[0], uniform, m_clock.elapsed()});
        }
    }

    const size_t m_frameBytes;
    const QElapsedTimer &m_clock;
    int m_fd = -1;
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    // -- Protected by m_lock.
    mutable QMutex m_lock;
    QVector<Picture> m_pictures;
    QByteArray m_header;
};

int pipeMaxBytes()
{
    QFile file(QStringLiteral("/proc/sys/fs/pipe-max-size"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

} // namespace

class TestFrameTap : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fileReadBackByFfmpeg();
    void fifoWithoutReaderNeverBlocks();
    void fifoReaderGetsWholeFramesInOrder();
    void fifoReaderLeavingIsSurvived();
    void fifoReaderAtCardRateGetsEveryPicture_data();
    void fifoReaderAtCardRateGetsEveryPicture();
    void fifoReaderThatStallsNeverBlocksTheSender();

private:
    void makeSink();
    void put(const I420Picture &picture);

    QTemporaryDir m_dir;
    std::shared_ptr<FakeV4l2Io> m_io;
    std::unique_ptr<V4l2Sink> m_sink;
    QProcess *m_reader = nullptr;
};

void TestFrameTap::init()
{
    QVERIFY(m_dir.isValid());
    qputenv("QUORVIX_VCAM_SIZE", QByteArray::number(kWidth) + "x" + QByteArray::number(kHeight));
    m_io = std::make_shared<FakeV4l2Io>();
}

void TestFrameTap::cleanup()
{
    m_sink.reset();
    if (m_reader) {
        if (m_reader->state() != QProcess::NotRunning) {
            m_reader->terminate();
            if (!m_reader->waitForFinished(5000)) {
                m_reader->kill();
                m_reader->waitForFinished(5000);
            }
        }
        delete m_reader;
        m_reader = nullptr;
    }
    qunsetenv("QUORVIX_VCAM_TAP");
    qunsetenv("QUORVIX_VCAM_SIZE");
}

void TestFrameTap::makeSink()
{
    m_sink = std::make_unique<V4l2Sink>(m_io, 20);
    m_sink->init(QStringLiteral("Quorvix"));
}

void TestFrameTap::put(const I420Picture &picture)
{
    OutputFrame frame;
    frame.picture = picture.frame();
    m_sink->putLive(frame);
}

void TestFrameTap::fileReadBackByFfmpeg()
{
    const QString path = m_dir.filePath(QStringLiteral("tap.y4m"));
    qputenv("QUORVIX_VCAM_TAP", path.toLocal8Bit());
    {
        // The whole output object with its real backends; no v4l2 device exists here.
        OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
        I420Picture card(kWidth, kHeight);
        card.solid(41, 240, 110);
        cam.sendStub(card.data.data(), kWidth, kHeight);

        I420Picture red(640, 480, 704);
        red.solid(81, 90, 240);
        // Each picture is let through before the next: the output keeps only the newest one.
        sendI420(cam, red.data.data(), 640, 480, 704);
        QTRY_COMPARE_WITH_TIMEOUT(cam.statistics().picturesShown, qint64(1), 10000);

        I420Picture wide(640, 360);
        wide.solid(145, 54, 34);
        sendI420(cam, wide.data.data(), 640, 360, 640);
        QTRY_COMPARE_WITH_TIMEOUT(cam.statistics().picturesShown, qint64(2), 10000);

        I420Picture halves(1920, 1080);
        halves.fill([](int x, int) { return x < 960 ? 30 : 220; }, [](int, int) { return 128; },
                    [](int, int) { return 128; });
        sendI420(cam, halves.data.data(), 1920, 1080, 1920);
        QTRY_COMPARE_WITH_TIMEOUT(cam.statistics().picturesShown, qint64(3), 10000);
        // Dropped: the stream is active.
        cam.sendStub(card.data.data(), kWidth, kHeight);
    }

    bool ok = false;
    const QByteArray probe = run(QStringLiteral("ffprobe"),
                                 {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                  "-show_entries", "stream=width,height,pix_fmt,nb_read_frames",
                                  "-of", "default=noprint_wrappers=1", path},
                                 &ok);
    QVERIFY(ok);
    QVERIFY2(probe.contains("width=320\n"), probe.constData());
    QVERIFY2(probe.contains("height=240\n"), probe.constData());
    QVERIFY2(probe.contains("pix_fmt=yuv420p\n"), probe.constData());
    QVERIFY2(probe.contains("nb_read_frames=4\n"), probe.constData());

    const QByteArray raw =
        run(QStringLiteral("ffmpeg"),
            {"-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"}, &ok);
    QVERIFY(ok);
    QCOMPARE(raw.size(), 4 * kFrameBytes);
    auto frame = [&](int index) {
        return PackedI420{reinterpret_cast<const uchar *>(raw.constData()) + index * kFrameBytes,
                          kWidth, kHeight};
    };
    // The card, unchanged.
    QCOMPARE(frame(0).y(10, 10), 41);
    QCOMPARE(frame(0).u(100, 100), 240);
    QCOMPARE(frame(0).v(50, 20), 110);
    // 4:3 with padded rows, scaled to fill the 4:3 tap exactly.
    for (int y : {0, 120, 239})
        for (int x : {0, 160, 319})
            QVERIFY(qAbs(frame(1).y(x, y) - 81) <= 2);
    QVERIFY(qAbs(frame(1).v(80, 60) - 240) <= 2);
    // 16:9 into 4:3: 320x180 picture between 30-row black bars.
    QCOMPARE(frame(2).y(160, 5), 16);
    QCOMPARE(frame(2).y(160, 234), 16);
    QCOMPARE(frame(2).u(80, 2), 128);
    QVERIFY(qAbs(frame(2).y(160, 120) - 145) <= 2);
    QVERIFY(qAbs(frame(2).u(80, 60) - 54) <= 2);
    // 1080p halves survive the scaling.
    QVERIFY(qAbs(frame(3).y(40, 120) - 30) <= 2);
    QVERIFY(qAbs(frame(3).y(280, 120) - 220) <= 2);
}

void TestFrameTap::fifoWithoutReaderNeverBlocks()
{
    LogCapture log;
    const QString path = m_dir.filePath(QStringLiteral("nobody.fifo"));
    QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0600), 0);
    qputenv("QUORVIX_VCAM_TAP", path.toLocal8Bit());
    makeSink();
    I420Picture picture(1920, 1080);
    picture.solid(90, 90, 90);
    for (int i = 0; i < 30; ++i)
        put(picture);
    QCOMPARE(m_sink->tapFramesWritten(), 0);
    QCOMPARE(m_sink->tapFramesDropped(), 30);
    QCOMPARE(log.count(QStringLiteral("VCAM TAP: waiting for a reader")), 1);
}

void TestFrameTap::fifoReaderGetsWholeFramesInOrder()
{
    const QString path = m_dir.filePath(QStringLiteral("reader.fifo"));
    const QString out = m_dir.filePath(QStringLiteral("out.raw"));
    QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0600), 0);
    qputenv("QUORVIX_VCAM_TAP", path.toLocal8Bit());
    m_reader = new QProcess;
    m_reader->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_reader->start(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-f", "yuv4mpegpipe", "-i",
                                               path, "-f", "rawvideo", "-pix_fmt", "yuv420p", out});
    QVERIFY(m_reader->waitForStarted(10000));
    makeSink();

    // Each frame one grey level, rising: a reader that saw a torn frame would show two.
    int sent = 0;
    auto sendNext = [&] {
        I420Picture picture(kWidth, kHeight);
        picture.solid(20 + sent % 200, 128, 128);
        put(picture);
        ++sent;
    };
    QTRY_VERIFY_WITH_TIMEOUT((sendNext(), m_sink->tapFramesWritten() >= 40), 30000);
    const qint64 written = m_sink->tapFramesWritten();
    m_sink.reset(); // finishes a picture under way, closes the FIFO: the reader sees the end
    QVERIFY(m_reader->waitForFinished(30000));
    QCOMPARE(m_reader->exitCode(), 0);

    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = file.readAll();
    QCOMPARE(raw.size() % kFrameBytes, 0);
    const int frames = raw.size() / kFrameBytes;
    // A picture under way when the sink closed is finished first; nothing else comes later.
    QVERIFY2(
        frames >= written && frames <= sent,
        qPrintable(QString("%1 read, %2 written, %3 sent").arg(frames).arg(written).arg(sent)));
    int previous = -1;
    for (int i = 0; i < frames; ++i) {
        const PackedI420 picture{reinterpret_cast<const uchar *>(raw.constData()) + i * kFrameBytes,
                                 kWidth, kHeight};
        const int level = picture.y(0, 0);
        QCOMPARE(picture.y(kWidth - 1, kHeight - 1), level);
        QCOMPARE(picture.y(kWidth / 2, kHeight / 2), level);
        QCOMPARE(picture.u(10, 10), 128);
        QVERIFY(level > previous);
        previous = level;
    }
}

void TestFrameTap::fifoReaderLeavingIsSurvived()
{
    LogCapture log;
    const QString path = m_dir.filePath(QStringLiteral("leaving.fifo"));
    QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0600), 0);
    qputenv("QUORVIX_VCAM_TAP", path.toLocal8Bit());
    // A reader that takes a little more than one frame and leaves.
    m_reader = new QProcess;
    m_reader->setStandardOutputFile(QProcess::nullDevice());
    m_reader->start(QStringLiteral("head"), {"-c", QString::number(kFrameBytes + 1000), path});
    QVERIFY(m_reader->waitForStarted(10000));
    makeSink();
    I420Picture picture(kWidth, kHeight);
    picture.solid(60, 60, 60);
    // Writing on after the reader left must not end this process (SIGPIPE).
    QTRY_VERIFY_WITH_TIMEOUT(
        (put(picture), log.count(QStringLiteral("VCAM TAP: reader left")) >= 1), 30000);
    QVERIFY(m_reader->state() == QProcess::NotRunning || m_reader->waitForFinished(10000));
    const qint64 dropped = m_sink->tapFramesDropped();
    for (int i = 0; i < 5; ++i)
        put(picture);
    QCOMPARE(m_sink->tapFramesDropped(), dropped + 5);
}

void TestFrameTap::fifoReaderAtCardRateGetsEveryPicture_data()
{
    QTest::addColumn<int>("pipeBytes");
    // 0: as the tap sizes it (two pictures where allowed); 64 KiB: where enlarging is refused,
    // a 1280x720 picture is twenty times what the FIFO holds.
    QTest::newRow("enlarged FIFO") << 0;
    QTest::newRow("64 KiB FIFO") << 64 * 1024;
}

void TestFrameTap::fifoReaderAtCardRateGetsEveryPicture()
{
    QFETCH(int, pipeBytes);
    constexpr int kCardWidth = 1280;
    constexpr int kCardHeight = 720;
    constexpr int kCardFrameBytes = kCardWidth * kCardHeight * 3 / 2;
    constexpr int kPictures = 10;
    constexpr int kCardIntervalMs = 200;
    // Far above what a reader that keeps up needs, far below the seconds a picture waited
    // when only later sends pushed it out.
    constexpr qint64 kInTimeMs = 1000;

    qputenv("QUORVIX_VCAM_SIZE", "1280x720");
    const QString path = m_dir.filePath(QStringLiteral("card-%1.fifo").arg(pipeBytes));
    QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0600), 0);
    qputenv("QUORVIX_VCAM_TAP", path.toLocal8Bit());
    QElapsedTimer clock;
    clock.start();
    FifoReader reader(path, kCardFrameBytes, clock);
    QVERIFY(reader.fd() >= 0);
    makeSink(); // opens the tap at once: the FIFO has a reader

    const int capacity = ::fcntl(reader.fd(), F_GETPIPE_SZ);
    if (pipeBytes == 0) {
        // Two pictures, or as much as a process without CAP_SYS_RESOURCE may have.
        const int wanted = 2 * (kCardFrameBytes + 6);
        QVERIFY2(capacity >= qMin(wanted, pipeMaxBytes()),
                 qPrintable(QString("FIFO holds %1 bytes").arg(capacity)));
    } else {
        QVERIFY(::fcntl(reader.fd(), F_SETPIPE_SZ, pipeBytes) >= 0);
        QCOMPARE(::fcntl(reader.fd(), F_GETPIPE_SZ), pipeBytes);
    }

    QVector<qint64> sentAt;
    for (int i = 0; i < kPictures; ++i) {
        // Paced like the card timer: the next picture is due on the 200 ms grid.
        const qint64 due = static_cast<qint64>(i) * kCardIntervalMs;
        if (clock.elapsed() < due)
            QTest::qWait(static_cast<int>(due - clock.elapsed()));
        I420Picture picture(kCardWidth, kCardHeight);
        picture.solid(20 + 20 * i, 128, 128);
        sentAt.append(clock.elapsed());
        put(picture);
    }
    QTRY_COMPARE_WITH_TIMEOUT(reader.pictures().size(), kPictures, 10000);
    QVERIFY(reader.header().startsWith("YUV4MPEG2 W1280 H720 "));
    const QVector<FifoReader::Picture> got = reader.pictures();
    for (int i = 0; i < kPictures; ++i) {
        QVERIFY2(got[i].uniform, qPrintable(QString("picture %1 is torn").arg(i)));
        QCOMPARE(got[i].level, 20 + 20 * i);
        QVERIFY2(got[i].atMs - sentAt[i] < kInTimeMs,
                 qPrintable(QString("picture %1 arrived %2 ms after it was sent")
                                .arg(i)
                                .arg(got[i].atMs - sentAt[i])));
    }
    // The tap thread counts a picture once its write returns, which may be just after the
    // reader has taken the last bytes.
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->tapFramesWritten(), qint64(kPictures), 5000);
    QCOMPARE(m_sink->tapFramesDropped(), 0);
}

void TestFrameTap::fifoReaderThatStallsNeverBlocksTheSender()
{
    // A reader that opened the FIFO and never reads: every put returns, the pictures that
    // do not fit are dropped, and closing waits only a bounded time for the reader.
    const QString path = m_dir.filePath(QStringLiteral("stalled.fifo"));
    QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0600), 0);
    qputenv("QUORVIX_VCAM_TAP", path.toLocal8Bit());
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0);
    makeSink();
    QVERIFY(::fcntl(fd, F_SETPIPE_SZ, 64 * 1024) >= 0);
    I420Picture picture(kWidth, kHeight);
    picture.solid(70, 128, 128);
    constexpr int kPuts = 200;
    for (int i = 0; i < kPuts; ++i)
        put(picture);
    // 64 KiB hold less than one 320x240 picture: the first stays under way, the rest drop.
    QCOMPARE(m_sink->tapFramesWritten(), 0);
    QCOMPARE(m_sink->tapFramesDropped(), kPuts - 1);
    QElapsedTimer closing;
    closing.start();
    m_sink.reset();
    QVERIFY2(closing.elapsed() < 5000, qPrintable(QString::number(closing.elapsed())));
    ::close(fd);
}

QTEST_MAIN(TestFrameTap)
#include "tst_frametap.moc"
