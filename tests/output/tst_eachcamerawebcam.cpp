// Several cameras on several webcams, through the whole program: the listener, real publishers
// of different colours over 127.0.0.1, the switch, one output per webcam and the real sink on
// stand-in v4l2loopback devices labelled "Quorvix 1" and "Quorvix 2".
#include "FakeV4l2Io.h"

#include "app/AppSettings.h"
#include "app/Application.h"
#include "ingest/Server.h"
#include "ui/MainWindow.h"
#include "output/OutputRouter.h"
#include "output/V4l2Sink.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/LabelledWebcams.h"

#include <QComboBox>
#include <QLabel>
#include <QtTest>

#include <memory>

namespace {

const QString kFirst = QStringLiteral("/dev/video0");
const QString kSecond = QStringLiteral("/dev/video1");
constexpr int kWaitMs = 20000;
constexpr int kProbeMs = 100;
// Flat colours as limited-range luma; compression keeps a flat picture within a few.
constexpr int kRedLuma = 81;
constexpr int kBlueLuma = 41;
constexpr int kWhiteLuma = 235;
constexpr int kLumaTolerance = 6;

void writeSetting(const char *key, const QVariant &value)
{
    auto store = AppSettings::openStore();
    store->setValue(QString::fromLatin1(key), value);
    store->sync();
}

std::unique_ptr<FfmpegPublisher> colourPublisher(const QString &colour)
{
    FfmpegPublisher::Options options;
    options.lavfiVideo = QStringLiteral("color=c=%1:s=320x240:r=25").arg(colour);
    options.rate = QStringLiteral("25");
    options.durationS = 0; // until stopped
    return std::make_unique<FfmpegPublisher>(options);
}

} // namespace

class TestEachCameraWebcam : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void eachCameraShowsOnItsOwnWebcam();
    void settingOffGivesTheNewestCameraTheOneWebcam();

private:
    // The luma in the middle of the last picture written to the device, -1 before any.
    int centreLuma(const QString &device) const;
    bool shows(const QString &device, int luma) const
    {
        return qAbs(centreLuma(device) - luma) <= kLumaTolerance;
    }
    std::unique_ptr<Application> startApp();
    // The window's lines saying which camera is on which webcam.
    QStringList webcamLines() const;

    std::shared_ptr<FakeV4l2Io> m_io;
    std::unique_ptr<Application> m_app;
    quint16 m_port = 0;
};

void TestEachCameraWebcam::initTestCase()
{
    if (!FfmpegPublisher::available())
        QFAIL("the ffmpeg command-line tool is needed as the RTMP publisher");
    // Every device here is a stand-in: the webcam may look for any of them.
    qunsetenv("QUORVIX_VCAM_DEVICE");
}

void TestEachCameraWebcam::init()
{
    AppSettings::openStore()->clear();
    m_io = std::make_shared<FakeV4l2Io>();
    m_io->addLoopback(kFirst, "Quorvix 1");
    m_io->addLoopback(kSecond, "Quorvix 2");
    installLabelledWebcams(m_io, kProbeMs);
    m_port = FreePort::loopback();
    QVERIFY(m_port != 0);
    writeSetting(AppSettings::kPort, m_port);
}

void TestEachCameraWebcam::cleanup()
{
    m_app.reset();
    clearLabelledWebcams();
    m_io.reset();
}

int TestEachCameraWebcam::centreLuma(const QString &device) const
{
    const FakeV4l2Io::Device state = m_io->device(device);
    const int width = V4l2Sink::kDefaultWidth;
    const int height = V4l2Sink::kDefaultHeight;
    if (state.lastFrame.size() < width * height)
        return -1;
    return static_cast<uchar>(state.lastFrame.at(height / 2 * width + width / 2));
}

QStringList TestEachCameraWebcam::webcamLines() const
{
    const auto *label = m_app->window().findChild<QLabel *>(QStringLiteral("lblWebcams"));
    return label ? label->text().split(QLatin1Char('\n')) : QStringList();
}

std::unique_ptr<Application> TestEachCameraWebcam::startApp()
{
    auto app = std::make_unique<Application>();
    app->toggleListening();
    return app;
}

void TestEachCameraWebcam::eachCameraShowsOnItsOwnWebcam()
{
    writeSetting(AppSettings::kEachCameraOwnWebcam, true);
    m_app = startApp();
    QVERIFY(FreePort::waitUntilListening(m_port, kWaitMs));
    // One webcam per labelled device.
    QCOMPARE(m_app->outputCount(), 2);
    QCOMPARE(m_app->webcamLabels(),
             (QStringList{QStringLiteral("Quorvix 1"), QStringLiteral("Quorvix 2")}));
    // Both show the card before any camera comes.
    QTRY_VERIFY_WITH_TIMEOUT(
        m_io->device(kFirst).framesWritten > 0 && m_io->device(kSecond).framesWritten > 0, kWaitMs);
    const QByteArray card = m_io->device(kSecond).lastFrame;
    QCOMPARE(m_io->device(kFirst).lastFrame, card);

    // The first camera takes the first webcam, the second the next one.
    std::unique_ptr<FfmpegPublisher> red = colourPublisher(QStringLiteral("red"));
    QVERIFY(red->start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(shows(kFirst, kRedLuma), kWaitMs);
    QCOMPARE(m_io->device(kSecond).lastFrame, card);
    std::unique_ptr<FfmpegPublisher> blue = colourPublisher(QStringLiteral("blue"));
    QVERIFY(blue->start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(shows(kSecond, kBlueLuma), kWaitMs);
    // Each keeps its own colour while both stream.
    const int redFrames = m_io->device(kFirst).framesWritten;
    const int blueFrames = m_io->device(kSecond).framesWritten;
    QTRY_VERIFY_WITH_TIMEOUT(m_io->device(kFirst).framesWritten > redFrames + 25 &&
                                 m_io->device(kSecond).framesWritten > blueFrames + 25,
                             kWaitMs);
    QVERIFY(shows(kFirst, kRedLuma));
    QVERIFY(shows(kSecond, kBlueLuma));

    // A third camera waits: there are only two webcams. The window says so, and why.
    std::unique_ptr<FfmpegPublisher> white = colourPublisher(QStringLiteral("white"));
    QVERIFY(white->start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT((m_app->pollStatistics(), m_app->server()->cameras().size() == 3),
                             kWaitMs);
    const QStringList lines = webcamLines();
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).startsWith(QStringLiteral("Quorvix 1: ")));
    QVERIFY(lines.at(1).startsWith(QStringLiteral("Quorvix 2: ")));
    QVERIFY2(lines.at(2).contains(QStringLiteral("waits")) &&
                 lines.at(2).contains(QStringLiteral("2 of 4")),
             qPrintable(lines.at(2)));
    QVERIFY(shows(kFirst, kRedLuma));
    QVERIFY(shows(kSecond, kBlueLuma));

    // The statistics follow the camera the user picks: the waiting one here.
    auto *pick = m_app->window().findChild<QComboBox *>(QStringLiteral("cmbStatsCamera"));
    QVERIFY(pick);
    QCOMPARE(pick->count(), 3);
    const int waiting = pick->findText(QStringLiteral("(waiting)"), Qt::MatchEndsWith);
    QVERIFY(waiting >= 0);
    const quintptr waitingId = pick->itemData(waiting).value<quintptr>();
    QVERIFY(m_app->server()->statsCamera() != waitingId);
    pick->setCurrentIndex(waiting);
    emit pick->activated(waiting);
    QCOMPARE(m_app->server()->statsCamera(), waitingId);

    // The first camera leaves: the waiting one takes its webcam, the other is unaffected.
    red->stop();
    QTRY_VERIFY_WITH_TIMEOUT(shows(kFirst, kWhiteLuma), kWaitMs);
    QVERIFY(shows(kSecond, kBlueLuma));
    // Still the picked camera's statistics, now that it is on a webcam.
    QCOMPARE(m_app->server()->statsCamera(), waitingId);

    // It leaves too: its webcam shows the card, the other goes on unaffected.
    white->stop();
    QTRY_COMPARE_WITH_TIMEOUT(m_io->device(kFirst).lastFrame, card, kWaitMs);
    const int blueBefore = m_io->device(kSecond).framesWritten;
    QTRY_VERIFY_WITH_TIMEOUT(m_io->device(kSecond).framesWritten > blueBefore + 25, kWaitMs);
    QVERIFY(shows(kSecond, kBlueLuma));
    QVERIFY(m_app->output(1)->streamActive());
    QVERIFY(!m_app->output(0)->streamActive());
    blue->stop();
    QTRY_COMPARE_WITH_TIMEOUT(m_io->device(kSecond).lastFrame, card, kWaitMs);
}

void TestEachCameraWebcam::settingOffGivesTheNewestCameraTheOneWebcam()
{
    m_app = startApp();
    QVERIFY(FreePort::waitUntilListening(m_port, kWaitMs));
    QCOMPARE(m_app->outputCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(m_io->device(kFirst).framesWritten > 0, kWaitMs);

    std::unique_ptr<FfmpegPublisher> red = colourPublisher(QStringLiteral("red"));
    QVERIFY(red->start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(shows(kFirst, kRedLuma), kWaitMs);
    std::unique_ptr<FfmpegPublisher> blue = colourPublisher(QStringLiteral("blue"));
    QVERIFY(blue->start(m_port));
    QTRY_VERIFY_WITH_TIMEOUT(shows(kFirst, kBlueLuma), kWaitMs);
    // The newest camera leaves: the other one is back on the one webcam.
    blue->stop();
    QTRY_VERIFY_WITH_TIMEOUT(shows(kFirst, kRedLuma), kWaitMs);
    red->stop();
    // The second device was never used.
    QCOMPARE(m_io->device(kSecond).framesWritten, 0);
}

QTEST_MAIN(TestEachCameraWebcam)
#include "tst_eachcamerawebcam.moc"
