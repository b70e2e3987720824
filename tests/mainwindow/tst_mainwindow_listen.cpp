// The control window with a real listener: Start and Stop, the command line, a port that is
// taken, the settings dialog while running, statistics of a real camera, and closing the window
// while a camera publishes (listening stops and every thread ends within a few seconds).
#include "WindowTestUtil.h"

#include "ingest/Server.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace windowtest;

namespace {

// Threads of this process: id -> name, from /proc.
QHash<QString, QString> processThreads()
{
    QHash<QString, QString> threads;
    const QStringList ids =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &id : ids) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(id));
        if (comm.open(QIODevice::ReadOnly))
            threads.insert(id, QString::fromUtf8(comm.readAll()).trimmed());
    }
    return threads;
}

// Threads that were not there at `baseline`.
QStringList newThreads(const QHash<QString, QString> &baseline)
{
    QStringList names;
    const auto now = processThreads();
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (!baseline.contains(it.key()))
            names << it.value();
    names.sort();
    return names;
}

} // namespace

class TestMainWindowListen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void manualStartStoresAddressAndCamera();
    void commandLineStartsWithoutStoring();
    void commandLineIgnoresBadValues();
    void androidFromCommandLineAndStore();
    void portTakenWarnsAndStillToggles();
    void defaultWarningBoxIsWhatUsersSee();
    void settingsWhileRunningLockPort();
    void closingWithCameraPublishingEndsEverything();

private:
    std::unique_ptr<Application> m_app;
    quint16 m_port = 0;
};

void TestMainWindowListen::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is needed for a real publisher");
}

void TestMainWindowListen::init()
{
    clearStore();
    m_port = FreePort::loopback();
    QVERIFY(m_port != 0);
}

void TestMainWindowListen::cleanup()
{
    m_app.reset();
    QVERIFY(!FreePort::isListening(m_port));
}

void TestMainWindowListen::manualStartStoresAddressAndCamera()
{
    store(AppSettings::kPort, m_port);
    m_app = std::make_unique<Application>();
    Application &app = *m_app;
    MainWindow &w = app.window();
    child<QComboBox>(w, "cmbCams")->setCurrentText(QStringLiteral("Other"));
    auto *start = child<QPushButton>(w, "cmdStart");
    auto *network = child<QComboBox>(w, "cmbNetwork");

    start->click();
    QVERIFY(app.isRunning());
    QVERIFY(FreePort::isListening(m_port));
    QVERIFY(showsIcon(start->icon(), ":STOP"));
    QVERIFY(!network->isEnabled());
    QVERIFY(child<QComboBox>(w, "cmbCams")->isEnabled());
    QCOMPARE(stored(AppSettings::kCam).toString(), QStringLiteral("Other"));
    QCOMPARE(stored(AppSettings::kIp).toString(), network->currentText());
    // No stream yet: a tick empties the labels.
    app.pollStatistics();
    QCOMPARE(child<QLabel>(w, "lblBitrate")->text(), QString());

    start->click();
    QVERIFY(!app.isRunning());
    QVERIFY(!FreePort::isListening(m_port));
    QVERIFY(showsIcon(start->icon(), ":START"));
    QVERIFY(network->isEnabled());
}

void TestMainWindowListen::commandLineStartsWithoutStoring()
{
    m_app = std::make_unique<Application>();
    Application &app = *m_app;
    MainWindow &w = app.window();
    w.show();
    app.startFromCommandLine(
        {QStringLiteral("quorvix"), QString::number(m_port), QStringLiteral("Mevo")});
    QVERIFY(app.isRunning());
    QCOMPARE(app.port(), int(m_port));
    QVERIFY(child<QLabel>(w, "lblRTMP")->text().endsWith(QStringLiteral(":%1/@/@").arg(m_port)));
    QVERIFY(FreePort::isListening(m_port));
    QVERIFY(app.isMevo());

    // Stop and start by hand in the same run: still nothing stored.
    auto *start = child<QPushButton>(w, "cmdStart");
    start->click();
    QVERIFY(!FreePort::isListening(m_port));
    start->click();
    QVERIFY(FreePort::isListening(m_port));
    start->click();
    QVERIFY(!stored(AppSettings::kPort).isValid());
    QVERIFY(!stored(AppSettings::kIp).isValid());
    QVERIFY(!stored(AppSettings::kCam).isValid());

    // The next program start without arguments sees the defaults again.
    m_app = std::make_unique<Application>();
    QCOMPARE(m_app->port(), 1935);
    QCOMPARE(child<QComboBox>(m_app->window(), "cmbCams")->currentText(),
             QStringLiteral("GoPro 9"));
}

void TestMainWindowListen::commandLineIgnoresBadValues()
{
    store(AppSettings::kPort, m_port);
    const QStringList badPorts{QStringLiteral("abc"), QStringLiteral("0"), QStringLiteral("70000"),
                               QStringLiteral("-5"), QString()};
    for (const QString &bad : badPorts) {
        m_app = std::make_unique<Application>();
        m_app->startFromCommandLine({QStringLiteral("quorvix"), bad, QStringLiteral("Nokia")});
        QCOMPARE(m_app->port(), int(m_port));
        QCOMPARE(child<QComboBox>(m_app->window(), "cmbCams")->currentText(),
                 QStringLiteral("GoPro 9"));
        QVERIFY2(FreePort::isListening(m_port), qPrintable(bad));
        m_app.reset();
        QVERIFY(!FreePort::isListening(m_port));
    }
}

void TestMainWindowListen::androidFromCommandLineAndStore()
{
    // On the command line: chosen and listening, nothing stored; matched exactly, as the
    // other types are.
    for (const QString &text : {QStringLiteral("android"), QStringLiteral("Android")}) {
        m_app = std::make_unique<Application>();
        m_app->startFromCommandLine({QStringLiteral("quorvix"), QString::number(m_port), text});
        QVERIFY(m_app->isRunning());
        QCOMPARE(child<QComboBox>(m_app->window(), "cmbCams")->currentText(),
                 text == QLatin1String("Android") ? text : QStringLiteral("GoPro 9"));
        m_app.reset();
        QVERIFY(!stored(AppSettings::kCam).isValid());
    }

    // Started by hand: stored, and the next start picks it with its QR button.
    store(AppSettings::kPort, m_port);
    m_app = std::make_unique<Application>();
    child<QComboBox>(m_app->window(), "cmbCams")->setCurrentText(QStringLiteral("Android"));
    child<QPushButton>(m_app->window(), "cmdStart")->click();
    QVERIFY(m_app->isRunning());
    QCOMPARE(stored(AppSettings::kCam).toString(), QStringLiteral("Android"));
    m_app.reset();
    m_app = std::make_unique<Application>();
    QCOMPARE(child<QComboBox>(m_app->window(), "cmbCams")->currentText(),
             QStringLiteral("Android"));
    QVERIFY(!child<QPushButton>(m_app->window(), "cmdQR")->isHidden());
    QVERIFY(!m_app->isMevo());
}

void TestMainWindowListen::portTakenWarnsAndStillToggles()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, m_port));
    store(AppSettings::kPort, m_port);
    m_app = std::make_unique<Application>();
    Application &app = *m_app;
    MainWindow &w = app.window();
    QStringList warnings;
    app.setWarningBox([&](QWidget *parent, const QString &title, const QString &text) {
        QCOMPARE(parent, static_cast<QWidget *>(&w));
        warnings << title << text;
    });
    auto *start = child<QPushButton>(w, "cmdStart");
    start->click();
    QCOMPARE(warnings, QStringList({QStringLiteral("Warning"),
                                    QStringLiteral("Port %1 not available\nPlease enter other "
                                                   "port ( Settings )")
                                        .arg(m_port)}));
    // The window still counts as running; a second click stops it.
    QVERIFY(app.isRunning());
    QVERIFY(showsIcon(start->icon(), ":STOP"));
    start->click();
    QVERIFY(!app.isRunning());
    QVERIFY(showsIcon(start->icon(), ":START"));
    holder.close();
}

void TestMainWindowListen::defaultWarningBoxIsWhatUsersSee()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, m_port));
    store(AppSettings::kPort, m_port);
    m_app = std::make_unique<Application>();
    Application &app = *m_app;
    MainWindow &w = app.window();

    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget *boxParent = nullptr;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, &poll, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        boxParent = box->parentWidget();
        poll.stop();
        box->button(QMessageBox::Ok)->click();
    });
    poll.start();
    child<QPushButton>(w, "cmdStart")->click(); // returns once Ok is clicked
    QCOMPARE(title, QStringLiteral("Warning"));
    QCOMPARE(
        text,
        QStringLiteral("Port %1 not available\nPlease enter other port ( Settings )").arg(m_port));
    QCOMPARE(icon, QMessageBox::Critical);
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(boxParent, static_cast<QWidget *>(&w));
    QCOMPARE(app.server()->managerCount(), 0);
    holder.close();
}

void TestMainWindowListen::settingsWhileRunningLockPort()
{
    store(AppSettings::kPort, m_port);
    m_app = std::make_unique<Application>();
    Application &app = *m_app;
    MainWindow &w = app.window();
    child<QPushButton>(w, "cmdStart")->click();
    QVERIFY(app.isRunning());
    bool portEnabled = true;
    const bool seen = driveSettingsDialog(
        [&]() { child<QPushButton>(w, "cmdSettings")->click(); },
        [&](GlobalSettings *dialog) {
            portEnabled = child<QSpinBox>(*dialog, "spbPort")->isEnabled();
            child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
    QVERIFY(seen);
    QVERIFY(!portEnabled);
    QCOMPARE(app.port(), int(m_port));
    QVERIFY(FreePort::isListening(m_port));
    QVERIFY(showsIcon(child<QPushButton>(w, "cmdSettings")->icon(), ":SETTINGS"));
}

void TestMainWindowListen::closingWithCameraPublishingEndsEverything()
{
    const auto baseline = processThreads();
    m_app = std::make_unique<Application>();
    Application &app = *m_app;
    MainWindow &w = app.window();
    w.show();
    app.startFromCommandLine(
        {QStringLiteral("quorvix"), QString::number(m_port), QStringLiteral("Other")});
    QVERIFY(FreePort::isListening(m_port));

    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 0; // until stopped
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(m_port));

    auto *stack = child<QStackedWidget>(w, "stackedWidget");
    auto *state = child<QLabel>(w, "lblState");
    QTRY_COMPARE_WITH_TIMEOUT(stack->currentIndex(), 1, 20000);
    QVERIFY(state->text() == QLatin1String("connecting ...") ||
            state->text() == QLatin1String("320x240 30fps"));

    // Real statistics through the listener: bytes arrive, levels are shown.
    auto *bitrate = child<QLabel>(w, "lblBitrate");
    auto *buffers = child<QLabel>(w, "lblBuffers");
    const QRegularExpression rate(QStringLiteral("^[1-9][0-9]*Kbs$"));
    // Each tick measures the bytes since the previous one, so poll tick by tick.
    bool sawRate = false;
    QElapsedTimer polling;
    polling.start();
    while (!sawRate && polling.elapsed() < 15000) {
        QTest::qWait(250);
        app.pollStatistics();
        sawRate = rate.match(bitrate->text()).hasMatch();
    }
    QVERIFY2(sawRate, qPrintable(bitrate->text()));
    // The queued amounts, and what the playout does once it has a delay to report.
    QVERIFY2(
        QRegularExpression(QStringLiteral("^a:[0-9]+ms  v:[0-9]+ms"
                                          "(  delay:[0-9]+ms  skipped:[0-9]+  repeated:[0-9]+)?$"))
            .match(buffers->text())
            .hasMatch(),
        qPrintable(buffers->text()));
    QVERIFY(publisher.isRunning());
    const QStringList during = newThreads(baseline);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(w.close());
    QVERIFY(!app.isRunning());
    QVERIFY(!FreePort::isListening(m_port));
    m_app.reset();
    const qint64 closeMs = clock.elapsed();
    QVERIFY2(closeMs < 5000, qPrintable(QStringLiteral("closing took %1 ms").arg(closeMs)));

    // Every thread the window started has ended. The publisher's QProcess helper thread is
    // the test's own.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&]() {
            QStringList left = newThreads(baseline);
            left.removeAll(QStringLiteral("QProcessManager"));
            return left.isEmpty();
        }(),
        5000);
    qDebug() << "threads while streaming:" << during << "closed in" << closeMs << "ms";
    publisher.stop();
}

QTEST_MAIN(TestMainWindowListen)
#include "tst_mainwindow_listen.moc"
