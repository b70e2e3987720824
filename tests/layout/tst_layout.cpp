// Every window shows all of its texts, at the application's default font and one step larger,
// in every state that changes a text: nothing cut by its widget or a holder, nothing lying
// under another widget, placeholders drawn as placeholders. The program's own style sheet is
// set, so the test sees what a user sees. Each window at the larger font is saved as a picture
// beside the test for a person to look at (layout-shots/, the path is printed).
#include "app/AppSettings.h"
#include "app/Application.h"
#include "support/RecordingOutput.h"
#include "support/TextFit.h"
#include "ui/GlobalSettings.h"
#include "ui/MainWindow.h"
#include "ui/ProgramStyle.h"
#include "ui/StatsText.h"
#include "ui/StatusNotices.h"
#include "ui/WebcamSetupDialog.h"
#include "ui/ZoomQRW.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QHash>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// How much larger "one step larger" is.
constexpr qreal kLargerFontStepPt = 2;

constexpr char kMainWindow[] = "main window";
constexpr char kSettings[] = "settings";
constexpr char kQr[] = "QR";
constexpr char kWebcamSetup[] = "webcam set-up";

// The states of each window that change its texts.
const QStringList kMainStates = {
    QStringLiteral("all well"),
    QStringLiteral("no webcam"),
    QStringLiteral("no microphone"),
    QStringLiteral("no webcam, no microphone"),
    QStringLiteral("all notices"),
    QStringLiteral("stream on"),
    QStringLiteral("SRT off"),
    QStringLiteral("key on"),
    QStringLiteral("SRT stream on, every figure"),
    QStringLiteral("Android, update out"),
    QStringLiteral("three cameras, two webcams"),
};
const QStringList kSettingsStates = {
    QStringLiteral("defaults"),
    QStringLiteral("SRT off"),
    QStringLiteral("key on"),
    QStringLiteral("everything shown, locked"),
};
const QStringList kQrStates = {
    QStringLiteral("iPhone, SRT off"),
    QStringLiteral("iPhone, SRT on"),
    QStringLiteral("Android, SRT off"),
    QStringLiteral("Android, SRT on"),
};
const QStringList kWebcamSetupStates = {
    QStringLiteral("module installed"),
    QStringLiteral("module missing"),
    QStringLiteral("key enrolment offered"),
    QStringLiteral("key enrolment requested"),
};

// The windows README shows, and their pictures' names.
const QHash<QString, QString> kReadmePictures = {
    {QStringLiteral("QR: Android, SRT off"), QStringLiteral("qr-android.png")},
    {QStringLiteral("webcam set-up: module installed"), QStringLiteral("webcam-setup.png")},
    {QStringLiteral("settings: defaults"), QStringLiteral("settings.png")},
    {QStringLiteral("main window: three cameras, two webcams"), QStringLiteral("webcams.png")},
};

void store(const char *key, const QVariant &value)
{
    auto s = AppSettings::openStore();
    s->setValue(QString::fromLatin1(key), value);
    s->sync();
}

} // namespace

class LayoutTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void textsShowWhole_data();
    void textsShowWhole();

private:
    // Builds `window` in `state`, shown and laid out; the objects it needs stay alive in the
    // members until cleanup().
    QWidget *build(const QString &window, const QString &state);
    QWidget *buildMainWindow(const QString &state);

    QFont m_defaultFont;
    QString m_shotDir;
    std::unique_ptr<RecordingOutput> m_output;
    std::unique_ptr<Application> m_app;
    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<QSettings> m_qrStore;
    QTemporaryDir m_scratch;
};

void LayoutTest::initTestCase()
{
    QVERIFY(m_scratch.isValid());
    m_defaultFont = QApplication::font();
    m_shotDir =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("layout-shots"));
    QVERIFY(QDir().mkpath(m_shotDir));
}

void LayoutTest::init()
{
    auto s = AppSettings::openStore();
    s->clear();
    s->sync();
}

void LayoutTest::cleanup()
{
    m_window.reset();
    m_app.reset();
    m_output.reset();
    m_qrStore.reset();
    QApplication::setFont(m_defaultFont);
}

void LayoutTest::textsShowWhole_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("larger");
    // Without the program's style sheet, whose pixel sizes keep labels at one size whatever the
    // font: the layouts must not rely on that.
    QTest::addColumn<bool>("styled");

    const QList<QPair<const char *, QStringList>> windows = {
        {kMainWindow, kMainStates},
        {kSettings, kSettingsStates},
        {kQr, kQrStates},
        {kWebcamSetup, kWebcamSetupStates},
    };
    for (const auto &window : windows) {
        for (const QString &state : window.second) {
            const struct
            {
                bool larger;
                bool styled;
                const char *name;
            } fonts[] = {{false, true, "default font"},
                         {true, true, "larger font"},
                         {true, false, "larger font, no style sheet"}};
            for (const auto &font : fonts) {
                const QByteArray row =
                    QStringLiteral("%1: %2, %3")
                        .arg(QLatin1String(window.first), state, QLatin1String(font.name))
                        .toUtf8();
                QTest::newRow(row.constData())
                    << QString::fromLatin1(window.first) << state << font.larger << font.styled;
            }
        }
    }
}

void LayoutTest::textsShowWhole()
{
    QFETCH(QString, window);
    QFETCH(QString, state);
    QFETCH(bool, larger);
    QFETCH(bool, styled);

    qApp->setStyleSheet(styled ? QString::fromLatin1(kProgramStyleSheet) : QString());
    // Before the window is built, as a user's desktop font would be.
    if (larger) {
        QFont font = m_defaultFont;
        font.setPointSizeF(m_defaultFont.pointSizeF() + kLargerFontStepPt);
        QApplication::setFont(font);
    }
    QWidget *shown = build(window, state);
    QVERIFY(shown);
    QVERIFY(QTest::qWaitForWindowExposed(shown));
    // Let every pending layout request run.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents();

    // QUORVIX_SCREENSHOT_DIR (scripts/screenshot.sh): the pictures README shows, at the default
    // font.
    const QString readmeShots = qEnvironmentVariable("QUORVIX_SCREENSHOT_DIR");
    const QString readmeName = kReadmePictures.value(window + QStringLiteral(": ") + state);
    if (!larger && styled && !readmeShots.isEmpty() && !readmeName.isEmpty())
        QVERIFY(shown->grab().save(QDir(readmeShots).filePath(readmeName)));

    if (larger && styled) {
        QString name = QStringLiteral("%1 - %2.png").arg(window, state);
        name.replace(QLatin1Char(','), QString()).replace(QLatin1Char(' '), QLatin1Char('-'));
        const QString path = QDir(m_shotDir).filePath(name);
        QVERIFY(shown->grab().save(path));
        qInfo("picture: %s", qPrintable(path));
    }

    const QStringList faults = TextFit::faults(shown);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

QWidget *LayoutTest::build(const QString &window, const QString &state)
{
    if (window == QLatin1String(kMainWindow))
        return buildMainWindow(state);

    if (window == QLatin1String(kSettings)) {
        const bool everything = state == QLatin1String("everything shown, locked");
        const QString image =
            everything ? m_scratch.filePath(QStringLiteral("a rather long card picture name.png"))
                       : QString();
        auto dialog = std::make_unique<GlobalSettings>(everything, 1935, image, 2000, 300,
                                                       everything, everything,
                                                       QStringLiteral("Quorvix \\n( no signal )"));
        dialog->setStreamKey(state == QLatin1String("key on") || everything,
                             QStringLiteral("k7Hq2xR9mPzL4vWc"));
        dialog->setSrt(state != QLatin1String("SRT off"), 9000, 120,
                       everything ? QStringLiteral("a passphrase of some length") : QString());
        dialog->show();
        m_window = std::move(dialog);
        return m_window.get();
    }

    if (window == QLatin1String(kQr)) {
        m_qrStore = std::make_unique<QSettings>(m_scratch.filePath(QStringLiteral("qr.ini")),
                                                QSettings::IniFormat);
        auto qr = std::make_unique<ZoomQRW>();
        qr->setSettings(m_qrStore.get());
        qr->setPhone(state.startsWith(QLatin1String("Android")) ? ZoomQRW::Phone::Android
                                                                : ZoomQRW::Phone::IPhone);
        qr->loadSettings();
        qr->setSrt(state.endsWith(QLatin1String("SRT on"))
                       ? QStringLiteral("srt://192.168.178.120:9000?streamid=k7Hq2xR9mPzL4vWc")
                       : QString(),
                   120, QString());
        qr->showQRForUrl(ZoomQRW::baseLink(QStringLiteral("rtmp://192.168.178.120/@/@")));
        m_window = std::move(qr);
        return m_window.get();
    }

    if (window == QLatin1String(kWebcamSetup)) {
        const bool installed = state != QLatin1String("module missing");
        // mokutil's answers with Secure Boot on and the key not enrolled; the enrolment is
        // accepted. Nothing runs for real.
        CommandRunner answers = [](const QString &, const QStringList &arguments,
                                   const QByteArray &, QObject *, CommandDone done) {
            CommandResult result;
            if (arguments.contains(QLatin1String("--sb-state"))) {
                result.output = "SecureBoot enabled\n";
            } else if (arguments.contains(QLatin1String("--test-key"))) {
                result.exitCode = 1;
                result.output = "/var/lib/dkms/mok.pub is not enrolled\n";
            }
            done(result);
        };
        auto dialog = std::make_unique<WebcamSetupDialog>(
            answers, [installed] { return installed; }, nullptr);
        dialog->show();
        if (state.startsWith(QLatin1String("key enrolment"))) {
            dialog->findChild<QPushButton *>(QStringLiteral("cmdLoad"))->click();
            if (state == QLatin1String("key enrolment requested")) {
                for (const char *name : {"edtMokPassword", "edtMokPasswordRepeat"})
                    dialog->findChild<QLineEdit *>(QLatin1String(name))
                        ->setText(QStringLiteral("quorvix1"));
                dialog->findChild<QPushButton *>(QStringLiteral("cmdEnrol"))->click();
            }
            // The state the row is about was reached, or the row checks nothing of it.
            const bool offered = state == QLatin1String("key enrolment offered");
            if (dialog->enrolOffered() != offered ||
                (!offered && !dialog->message().contains(QLatin1String("Enroll MOK"))))
                return nullptr;
        }
        m_window = std::move(dialog);
        return m_window.get();
    }
    return nullptr;
}

QWidget *LayoutTest::buildMainWindow(const QString &state)
{
    const bool noWebcam =
        state.contains(QLatin1String("no webcam")) || state == QLatin1String("all notices");
    const bool noMicrophone =
        state.contains(QLatin1String("no microphone")) || state == QLatin1String("all notices");
    store(AppSettings::kSrt, state != QLatin1String("SRT off"));
    if (state == QLatin1String("key on") || state == QLatin1String("all notices")) {
        store(AppSettings::kRequireStreamKey, true);
        store(AppSettings::kStreamKey, QStringLiteral("k7Hq2xR9mPzL4vWc"));
    }

    m_output = std::make_unique<RecordingOutput>();
    m_output->setWebcamAvailable(!noWebcam);
    m_output->setMicrophoneAvailable(
        !noMicrophone, noMicrophone ? QStringLiteral("no PipeWire server") : QString());
    m_app = std::make_unique<Application>();
    MainWindow &w = m_app->window();
    if (state == QLatin1String("all notices")) {
        m_app->notices().publisherRefused(QStringLiteral("192.168.178.67"));
        m_app->notices().publisherRefused(QStringLiteral("192.168.178.67"));
        m_app->notices().srtCallerRefused(QStringLiteral("192.168.178.68"));
    }
    if (state == QLatin1String("stream on")) {
        m_app->setStatsSource([](int &audioMs, int &videoMs, qint64 &bytes) {
            audioMs = 1120;
            videoMs = 1080;
            bytes = 3840000;
            return true;
        });
        m_app->onStreamState(QStringLiteral("1920x1080 29.97fps"));
        m_app->pollStatistics();
    }
    if (state == QLatin1String("SRT stream on, every figure")) {
        // The longest strip a stream shows: every figure the statistics tick can add.
        m_app->onStreamState(QStringLiteral("3840x2160 59.94fps"));
        const QString buffers = StatsText::buffers(false, 1120, 1080) + QStringLiteral("  ") +
                                StatsText::playout(180, 12, 3) + QStringLiteral("  ") +
                                StatsText::soundGaps(2, 1, 40);
        w.showStatistics(QStringLiteral("12000Kbs"), buffers, StatsText::srtLink(24.4, 13, 27),
                         StatsText::camera(QStringLiteral("192.168.178.67")));
    }
    if (state == QLatin1String("three cameras, two webcams")) {
        // Each camera on its own webcam, the module loaded with two: the third waits.
        const QStringList labels{QStringLiteral("Quorvix 1"), QStringLiteral("Quorvix 2")};
        const QList<StatsText::Camera> cameras{{QStringLiteral("192.168.178.67"), 0},
                                               {QStringLiteral("192.168.178.68"), 1},
                                               {QStringLiteral("192.168.178.69"), -1}};
        m_app->onStreamState(QStringLiteral("1920x1080 30fps"));
        w.showCameras(StatsText::webcams(labels, cameras,
                                         QStringLiteral("no free webcam; the webcam module has 2 "
                                                        "of 4, reload it in the set-up window")),
                      {{QStringLiteral("192.168.178.67 (Quorvix 1)"), 1},
                       {QStringLiteral("192.168.178.68 (Quorvix 2)"), 2},
                       {QStringLiteral("192.168.178.69 (waiting)"), 3}},
                      1);
    }
    if (state == QLatin1String("Android, update out")) {
        if (!w.selectCamera(QStringLiteral("Android")))
            return nullptr;
        m_app->notices().showUpdate(QStringLiteral("Quorvix 1.3.0 is out"),
                                    QStringLiteral("https://example.invalid/quorvix"));
    }
    w.show();
    return &w;
}

QTEST_MAIN(LayoutTest)
#include "tst_layout.moc"
