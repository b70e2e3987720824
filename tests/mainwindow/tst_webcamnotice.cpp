// The status bar's "no virtual webcam" line: it follows the output's device state while the
// window is stopped and while a camera streams, keeps the controls' size, survives status tips,
// fits the window's width in the application's bold status-bar font, and shows with the real
// v4l2 sink when there is no device.
#include "WindowTestUtil.h"

#include "output/VCam.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMenuBar>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QtTest>

#include <memory>

using namespace windowtest;

namespace {

constexpr int kWaitMs = 5000;
// The status-bar rules of the program's style sheet (app/main.cpp), which tests do not load.
constexpr char kStatusBarSheet[] = "QStatusBar {background-color:transparent; color:white;"
                                   "font-weight: bold;}QStatusBar::item {border:none;}";

} // namespace

class TestWebcamNotice : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void comesAndGoesWithTheDevice();
    void shownFromTheFirstPaintKeepingTheControlsSize();
    void statusTipsDoNotEraseIt();
    void realSinkWithoutDeviceShowsAFittingLine();
    void followsTheDeviceWhileACameraStreams();
};

void TestWebcamNotice::init()
{
    clearStore();
    qApp->setStyleSheet(QString());
}

void TestWebcamNotice::cleanup()
{
    qApp->setStyleSheet(QString());
}

void TestWebcamNotice::comesAndGoesWithTheDevice()
{
    RecordingOutput output;
    output.setWebcamAvailable(true);
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QStatusBar *bar = w.statusBar();
    QVERIFY(w.vcam()->webcamAvailable());
    QVERIFY(w.webcamNotice().isEmpty());
    QVERIFY(bar->isHidden());
    QCOMPARE(w.size(), QSize(379, 222));
    const QSize controls = w.centralWidget()->size();
    QVERIFY(!w.isRunning()); // the statistics tick does not run: the card tick must do

    // Twice round: the line is not a one-off.
    for (int round = 0; round < 2; ++round) {
        output.setWebcamAvailable(false);
        QTRY_VERIFY_WITH_TIMEOUT(!w.webcamNotice().isEmpty(), kWaitMs);
        QVERIFY(w.webcamNotice().contains(QLatin1String("v4l2loopback")));
        QVERIFY(bar->isVisible());
        QVERIFY(bar->toolTip().contains(QLatin1String(MainWindow::kLoopbackLoadCommand)));
        QCOMPARE(w.size(), QSize(379, 222 + bar->sizeHint().height()));
        QTRY_COMPARE_WITH_TIMEOUT(w.centralWidget()->size(), controls, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(bar->geometry().top(), w.centralWidget()->geometry().bottom() + 1,
                                  kWaitMs);

        output.setWebcamAvailable(true);
        QTRY_VERIFY_WITH_TIMEOUT(w.webcamNotice().isEmpty(), kWaitMs);
        QVERIFY(bar->isHidden());
        QVERIFY(bar->currentMessage().isEmpty());
        QVERIFY(bar->toolTip().isEmpty());
        QCOMPARE(w.size(), QSize(379, 222));
        QTRY_COMPARE_WITH_TIMEOUT(w.centralWidget()->size(), controls, kWaitMs);
    }
}

void TestWebcamNotice::shownFromTheFirstPaintKeepingTheControlsSize()
{
    RecordingOutput output;
    QSize controls;
    {
        output.setWebcamAvailable(true);
        MainWindow with;
        with.show();
        QVERIFY(QTest::qWaitForWindowExposed(&with));
        controls = with.centralWidget()->size();
    }

    // No device when the window is built: the line is there before the first event loop
    // turn, so the first paint already has it, and the window is taller by the line alone.
    output.setWebcamAvailable(false);
    MainWindow without;
    QVERIFY(!without.webcamNotice().isEmpty());
    QCOMPARE(without.size(), QSize(379, 222 + without.statusBar()->sizeHint().height()));
    without.show();
    QVERIFY(QTest::qWaitForWindowExposed(&without));
    QCOMPARE(without.centralWidget()->size(), controls);
    QCOMPARE(without.menuBar()->geometry().height(), without.centralWidget()->geometry().top());
}

void TestWebcamNotice::statusTipsDoNotEraseIt()
{
    RecordingOutput output;
    output.setWebcamAvailable(false);
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QString notice = w.webcamNotice();
    QVERIFY(!notice.isEmpty());

    // Hovering anything with a status tip writes into the status bar; leaving clears it.
    QStatusTipEvent hover(QStringLiteral("some tip"));
    QCoreApplication::sendEvent(&w, &hover);
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("some tip"));
    QTRY_COMPARE_WITH_TIMEOUT(w.webcamNotice(), notice, kWaitMs);

    QStatusTipEvent leave{QString()};
    QCoreApplication::sendEvent(&w, &leave);
    QTRY_COMPARE_WITH_TIMEOUT(w.webcamNotice(), notice, kWaitMs);
    QVERIFY(w.statusBar()->isVisible());
}

void TestWebcamNotice::realSinkWithoutDeviceShowsAFittingLine()
{
    // The suite points the sink at a device that does not exist; the sink still starts.
    QVERIFY(qEnvironmentVariable("QUORVIX_VCAM_DEVICE").startsWith(QLatin1String("/nonexistent/")));
    qApp->setStyleSheet(QString::fromLatin1(kStatusBarSheet));
    MainWindow w;
    QVERIFY(!w.vcam()->webcamAvailable());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QStatusBar *bar = w.statusBar();
    QVERIFY(bar->isVisible());
    const QString notice = w.webcamNotice();
    QVERIFY(notice.contains(QLatin1String("v4l2loopback")));
    QCOMPARE(w.width(), 379);

    // The application's bold status-bar font, and the line is whole in the window's width.
    QVERIFY(bar->font().bold());
    // The bar draws its message from 6 px in to 12 px before the right edge.
    const int needed = QFontMetrics(bar->font()).horizontalAdvance(notice);
    QVERIFY2(needed <= bar->width() - 18,
             qPrintable(QStringLiteral("%1 px for a %2 px bar").arg(needed).arg(bar->width())));

    // Still there ticks later: the sink keeps looking and finds nothing.
    QTest::qWait(3 * MainWindow::kStubIntervalMs);
    QCOMPARE(w.webcamNotice(), notice);
}

void TestWebcamNotice::followsTheDeviceWhileACameraStreams()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is needed for a real publisher");
    const quint16 port = FreePort::loopback();
    QVERIFY(port != 0);

    RecordingOutput output;
    output.setCopyPictures(false);
    output.setWebcamAvailable(true);
    auto window = std::make_unique<MainWindow>();
    MainWindow &w = *window;
    w.show();
    w.startFromCommandLine(
        {QStringLiteral("quorvix"), QString::number(port), QStringLiteral("Other")});
    QVERIFY(w.isRunning());

    FfmpegPublisher::Options options;
    options.durationS = 0; // until stopped
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(port));
    // Live pictures reach the webcam, so the card frames are no longer sent.
    QTRY_COMPARE_WITH_TIMEOUT(child<QStackedWidget>(w, "stackedWidget")->currentIndex(), 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(w.vcam()->streamActive(), 20000);
    QVERIFY(w.webcamNotice().isEmpty());

    output.setWebcamAvailable(false);
    QTRY_VERIFY_WITH_TIMEOUT(!w.webcamNotice().isEmpty(), kWaitMs);
    QVERIFY(w.vcam()->streamActive());
    output.setWebcamAvailable(true);
    QTRY_VERIFY_WITH_TIMEOUT(w.webcamNotice().isEmpty(), kWaitMs);
    QVERIFY(publisher.isRunning());

    QVERIFY(w.close());
    window.reset();
    publisher.stop();
    QVERIFY(!FreePort::isListening(port));
}

QTEST_MAIN(TestWebcamNotice)
#include "tst_webcamnotice.moc"
