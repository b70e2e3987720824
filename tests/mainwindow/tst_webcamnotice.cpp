// The status bar's "no virtual webcam" line and its "Set up virtual webcam" button: they follow
// the output's device state while the window is stopped and while a camera streams, keep the
// controls' size, survive status tips, fit the window's width in the application's bold
// status-bar font, and show with the real v4l2 sink when there is no device. The button opens
// the set-up dialog, whose privileged commands are recorded here, never run.
#include "WindowTestUtil.h"

#include "output/OutputRouter.h"
#include "ui/SecureBoot.h"
#include "ui/StatusNotices.h"
#include "ui/WebcamModule.h"
#include "ui/WebcamSetupDialog.h"
#include "support/FfmpegPublisher.h"
#include "support/TextFit.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMenuBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace windowtest;

namespace {

constexpr int kWaitMs = 5000;
// The status-bar rules of the program's style sheet (app/main.cpp), which tests do not load.
constexpr char kStatusBarSheet[] = "QStatusBar {background-color:transparent; color:white;"
                                   "font-weight: bold;}QStatusBar::item {border:none;}";
const QString kNotice = QStringLiteral("No virtual cam");
const QString kSetupText = QStringLiteral("Set up virtual webcam");

QPushButton *setupButton(const MainWindow &w)
{
    return child<QPushButton>(w, "cmdSetupWebcam");
}

// The privileged commands the set-up dialog asks for, kept instead of run.
struct RecordedCommand
{
    QString program;
    QStringList arguments;
    QByteArray input;
};

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
    void setupButtonRunsOnlyTheFixedCommands();
    void microphoneLineFollowsItsState();
    void microphoneSwitchedOffIsQuietAndStored();
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
    Application app;
    MainWindow &w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QStatusBar *bar = w.statusBar();
    QVERIFY(app.output()->webcamAvailable());
    QVERIFY(app.webcamNotice().isEmpty());
    QVERIFY(bar->isHidden());
    QCOMPARE(w.size(), QSize(379, 222));
    const QSize controls = w.centralWidget()->size();
    QVERIFY(!app.isRunning()); // the statistics tick does not run: the card tick must do

    // Twice round: the line is not a one-off.
    for (int round = 0; round < 2; ++round) {
        output.setWebcamAvailable(false);
        QTRY_VERIFY_WITH_TIMEOUT(!app.webcamNotice().isEmpty(), kWaitMs);
        QCOMPARE(app.webcamNotice(), kNotice);
        QVERIFY(bar->isVisible());
        QVERIFY(setupButton(w)->isVisible());
        QCOMPARE(setupButton(w)->text(), kSetupText);
        QVERIFY(bar->toolTip().contains(QLatin1String(StatusNotices::kLoopbackLoadCommand)));
        QCOMPARE(w.size(), QSize(379, 222 + bar->sizeHint().height()));
        QTRY_COMPARE_WITH_TIMEOUT(w.centralWidget()->size(), controls, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(bar->geometry().top(), w.centralWidget()->geometry().bottom() + 1,
                                  kWaitMs);

        output.setWebcamAvailable(true);
        QTRY_VERIFY_WITH_TIMEOUT(app.webcamNotice().isEmpty(), kWaitMs);
        QVERIFY(bar->isHidden());
        QVERIFY(!setupButton(w)->isVisible());
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
        Application withApp;
        MainWindow &with = withApp.window();
        with.show();
        QVERIFY(QTest::qWaitForWindowExposed(&with));
        controls = with.centralWidget()->size();
    }

    // No device when the window is built: the line is there before the first event loop
    // turn, so the first paint already has it, and the window is taller by the line alone.
    output.setWebcamAvailable(false);
    Application withoutApp;
    MainWindow &without = withoutApp.window();
    QVERIFY(!withoutApp.webcamNotice().isEmpty());
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
    Application app;
    MainWindow &w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QString notice = app.webcamNotice();
    QVERIFY(!notice.isEmpty());

    // Hovering anything with a status tip writes into the status bar; leaving clears it.
    QStatusTipEvent hover(QStringLiteral("some tip"));
    QCoreApplication::sendEvent(&w, &hover);
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("some tip"));
    QTRY_COMPARE_WITH_TIMEOUT(app.webcamNotice(), notice, kWaitMs);

    QStatusTipEvent leave{QString()};
    QCoreApplication::sendEvent(&w, &leave);
    QTRY_COMPARE_WITH_TIMEOUT(app.webcamNotice(), notice, kWaitMs);
    QVERIFY(w.statusBar()->isVisible());
    QVERIFY(setupButton(w)->isVisible());
}

void TestWebcamNotice::realSinkWithoutDeviceShowsAFittingLine()
{
    // The suite points the sink at a device that does not exist; the sink still starts.
    QVERIFY(qEnvironmentVariable("QUORVIX_VCAM_DEVICE").startsWith(QLatin1String("/nonexistent/")));
    qApp->setStyleSheet(QString::fromLatin1(kStatusBarSheet));
    // The webcam's line alone: the real microphone would find no sound server here.
    store(AppSettings::kMicrophone, false);
    Application app;
    MainWindow &w = app.window();
    QVERIFY(!app.output()->webcamAvailable());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QStatusBar *bar = w.statusBar();
    QVERIFY(bar->isVisible());
    const QString notice = app.webcamNotice();
    QCOMPARE(notice, kNotice);
    QCOMPARE(w.width(), 379);

    // The application's bold status-bar font, and the line and the whole button are in the
    // window's width.
    QVERIFY(bar->font().bold());
    QPushButton *button = setupButton(w);
    QVERIFY(button->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(button->width() >= button->sizeHint().width(), kWaitMs);
    QVERIFY(button->geometry().right() < bar->width());
    // The line shows whole, beside the button.
    const QStringList faults = TextFit::faults(&w);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));

    // Still there ticks later: the sink keeps looking and finds nothing.
    QSignalSpy checks(&app, &Application::devicesChecked);
    QTRY_VERIFY_WITH_TIMEOUT(checks.size() >= 3, kWaitMs);
    QCOMPARE(app.webcamNotice(), notice);
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
    auto application = std::make_unique<Application>();
    Application &app = *application;
    MainWindow &w = app.window();
    w.show();
    app.startFromCommandLine(
        {QStringLiteral("quorvix"), QString::number(port), QStringLiteral("Other")});
    QVERIFY(app.isRunning());

    FfmpegPublisher::Options options;
    options.durationS = 0; // until stopped
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(port));
    // Live pictures reach the webcam, so the card frames are no longer sent.
    QTRY_COMPARE_WITH_TIMEOUT(child<QStackedWidget>(w, "stackedWidget")->currentIndex(), 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(app.output()->streamActive(), 20000);
    QVERIFY(app.webcamNotice().isEmpty());

    output.setWebcamAvailable(false);
    QTRY_VERIFY_WITH_TIMEOUT(!app.webcamNotice().isEmpty(), kWaitMs);
    QVERIFY(app.output()->streamActive());
    output.setWebcamAvailable(true);
    QTRY_VERIFY_WITH_TIMEOUT(app.webcamNotice().isEmpty(), kWaitMs);
    QVERIFY(publisher.isRunning());

    QVERIFY(w.close());
    application.reset();
    publisher.stop();
    QVERIFY(!FreePort::isListening(port));
}

void TestWebcamNotice::setupButtonRunsOnlyTheFixedCommands()
{
    // Everything the user types or picks in the window; none of it may reach a root command.
    store(AppSettings::kPort, 45678);
    store(AppSettings::kStubText, QStringLiteral("typed card text"));
    store(AppSettings::kCam, QStringLiteral("Android"));
    RecordingOutput output;
    output.setWebcamAvailable(false);
    Application app;
    MainWindow &w = app.window();
    QList<RecordedCommand> commands;
    QList<CommandDone> pending;
    // The unprivileged Secure Boot check before each load answers at once: off.
    QList<RecordedCommand> checks;
    app.setWebcamSetupHooks(
        [&](const QString &program, const QStringList &arguments, const QByteArray &input,
            QObject *, CommandDone done) {
            if (program == QLatin1String(SecureBoot::kMokutil)) {
                checks.append({program, arguments, input});
                CommandResult off;
                off.output = "SecureBoot disabled\n";
                done(off);
                return;
            }
            commands.append({program, arguments, input});
            pending.append(std::move(done));
        },
        []() { return true; });
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(!app.webcamSetupDialog());

    setupButton(w)->click();
    WebcamSetupDialog *dialog = app.webcamSetupDialog();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    CommandResult success;
    child<QPushButton>(*dialog, "cmdLoad")->click();
    QCOMPARE(pending.size(), 1);
    pending.takeLast()(success);
    child<QPushButton>(*dialog, "cmdLoadPermanent")->click();
    QCOMPARE(pending.size(), 1);
    pending.takeLast()(success);

    QCOMPARE(commands.size(), 2);
    QCOMPARE(commands.at(0).program, QStringLiteral("/usr/bin/pkexec"));
    QCOMPARE(commands.at(0).arguments, QStringList({"/usr/sbin/modprobe", "v4l2loopback",
                                                    "card_label=Quorvix", "exclusive_caps=1"}));
    QCOMPARE(commands.at(1).program, QStringLiteral("/usr/bin/pkexec"));
    QCOMPARE(commands.at(1).arguments, WebcamModule::permanentCommand().arguments);
    const QStringList typed{QStringLiteral("45678"), QStringLiteral("typed card text"),
                            app.rtmpUrl(), QStringLiteral("Android")};
    QCOMPARE(checks.size(), 2);
    for (const RecordedCommand &command : commands + checks) {
        QVERIFY(command.input.isEmpty());
        const QString all = command.program + command.arguments.join(QLatin1Char('\n'));
        for (const QString &value : typed)
            QVERIFY2(!all.contains(value), qPrintable(value));
    }

    // Closed and opened again: the same dialog.
    dialog->close();
    setupButton(w)->click();
    QCOMPARE(app.webcamSetupDialog(), dialog);
    QVERIFY(dialog->isVisible());

    // The device turns up: notice and button go, the dialog says so.
    output.setWebcamAvailable(true);
    QTRY_VERIFY_WITH_TIMEOUT(app.webcamNotice().isEmpty(), kWaitMs);
    QVERIFY(!setupButton(w)->isVisible());
    QCOMPARE(dialog->message(), QStringLiteral("The virtual webcam is ready."));
    output.setWebcamAvailable(false);
    QTRY_VERIFY_WITH_TIMEOUT(setupButton(w)->isVisible(), kWaitMs);

    QVERIFY(w.close());
    QVERIFY(!dialog->isVisible());
}

void TestWebcamNotice::microphoneLineFollowsItsState()
{
    RecordingOutput output;
    output.setWebcamAvailable(true);
    output.setMicrophoneAvailable(true);
    Application app;
    MainWindow &w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(app.webcamNotice().isEmpty());
    QCOMPARE(output.microphoneSwitches(), QList<bool>{true});

    // No server: the line says so, the reason is in the tooltip, no webcam button.
    const QString reason = QStringLiteral("no PipeWire server (it looks again every 3 s)");
    output.setMicrophoneAvailable(false, reason);
    QTRY_COMPARE_WITH_TIMEOUT(app.webcamNotice(), QStringLiteral("No microphone"), kWaitMs);
    QVERIFY(w.statusBar()->toolTip().contains(reason));
    QVERIFY(!setupButton(w)->isVisible());

    // Both missing: one line for both, and the button for the webcam.
    output.setWebcamAvailable(false);
    QTRY_VERIFY_WITH_TIMEOUT(app.webcamNotice().startsWith(kNotice), kWaitMs);
    QVERIFY(app.webcamNotice().contains(QStringLiteral("No microphone")));
    QVERIFY(setupButton(w)->isVisible());

    output.setWebcamAvailable(true);
    output.setMicrophoneAvailable(true);
    QTRY_VERIFY_WITH_TIMEOUT(app.webcamNotice().isEmpty(), kWaitMs);
    QVERIFY(w.statusBar()->isHidden());
}

void TestWebcamNotice::microphoneSwitchedOffIsQuietAndStored()
{
    // Switched off in the settings: the output is told at start, and a missing microphone is
    // no news for the status bar.
    store(AppSettings::kMicrophone, false);
    RecordingOutput output;
    output.setWebcamAvailable(true);
    output.setMicrophoneAvailable(false, QStringLiteral("switched off"));
    Application app;
    MainWindow &w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(output.microphoneSwitches(), QList<bool>{false});
    // Several card ticks pass without a line.
    const int frames = output.frameCount(RecordingOutput::Sink);
    QTRY_VERIFY_WITH_TIMEOUT(output.frameCount(RecordingOutput::Sink) >= frames + 3, kWaitMs);
    QVERIFY(app.webcamNotice().isEmpty());
}

QTEST_MAIN(TestWebcamNotice)
#include "tst_webcamnotice.moc"
