// SRT in the control window: the address line, the settings (port, latency, passphrase with
// its length rule, locked while running), an SRT camera's state and link figures in the
// statistics strip, and an SRT port that another program holds.
#include "../mainwindow/WindowTestUtil.h"

#include "ingest/Server.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStackedWidget>
#include <QUdpSocket>
#include <QtTest>

using namespace windowtest;

class TestSrtWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void addressLineAndSettings();
    void srtCameraShowsStateAndLink();
    void srtPortTakenLeavesRtmpRunning();

private:
    quint16 m_port = 0;
    quint16 m_srtPort = 0;
};

void TestSrtWindow::init()
{
    clearStore();
    m_port = FreePort::loopback();
    m_srtPort = FreePort::udpLoopback();
    QVERIFY(m_port != 0 && m_srtPort != 0);
    store(AppSettings::kPort, m_port);
    store(AppSettings::kSrtPort, m_srtPort);
}

void TestSrtWindow::addressLineAndSettings()
{
    Application app;
    MainWindow &w = app.window();
    auto *srt = child<QLabel>(w, "lblSRT");
    QVERIFY(srt);
    const QString host =
        child<QComboBox>(w, "cmbNetwork")->currentText().split(QLatin1Char(' ')).first();
    QCOMPARE(srt->text(), QStringLiteral("srt://%1:%2").arg(host).arg(m_srtPort));
    // The RTMP address is untouched by SRT.
    QCOMPARE(child<QLabel>(w, "lblRTMP")->text(),
             QStringLiteral("rtmp://%1:%2/@/@").arg(host).arg(m_port));

    // A passphrase outside 10 to 79 characters cannot be saved; a good one is stored with the
    // latency and the new port, and the address line follows.
    bool shortRefused = false;
    bool seen = driveSettingsDialog(
        [&] { child<QPushButton>(w, "cmdSettings")->click(); },
        [&](GlobalSettings *dialog) {
            auto *ok = child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok);
            auto *phrase = child<QLineEdit>(*dialog, "txtSrtPassphrase");
            phrase->setText(QStringLiteral("too short"));
            shortRefused = !ok->isEnabled();
            phrase->setText(QStringLiteral("long enough now"));
            child<QSpinBox>(*dialog, "spbSrtLatency")->setValue(250);
            child<QSpinBox>(*dialog, "spbSrtPort")->setValue(9710);
            QVERIFY(ok->isEnabled());
            ok->click();
        });
    QVERIFY(seen);
    QVERIFY(shortRefused);
    QCOMPARE(stored(AppSettings::kSrtPassphrase).toString(), QStringLiteral("long enough now"));
    QCOMPARE(stored(AppSettings::kSrtLatencyMs).toInt(), 250);
    QCOMPARE(stored(AppSettings::kSrtPort).toInt(), 9710);
    QCOMPARE(srt->text(), QStringLiteral("srt://%1:9710").arg(host));

    // SRT switched off: no SRT address.
    seen = driveSettingsDialog(
        [&] { child<QPushButton>(w, "cmdSettings")->click(); },
        [&](GlobalSettings *dialog) {
            child<QCheckBox>(*dialog, "chkSrt")->setChecked(false);
            child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
    QVERIFY(seen);
    QCOMPARE(stored(AppSettings::kSrt).toBool(), false);
    QVERIFY(app.srtUrl().isEmpty());
    child<QPushButton>(w, "cmdStart")->click();
    QVERIFY(!app.server()->srtListening());
    child<QPushButton>(w, "cmdStart")->click();
}

void TestSrtWindow::srtCameraShowsStateAndLink()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
    Application app;
    MainWindow &w = app.window();
    w.show();
    child<QPushButton>(w, "cmdStart")->click();
    QVERIFY(app.server()->srtListening());
    QVERIFY(FreePort::isUdpBound(m_srtPort));
    // While running the SRT settings cannot change, like the port.
    bool locked = false;
    QVERIFY(driveSettingsDialog([&] { child<QPushButton>(w, "cmdSettings")->click(); },
                                [&](GlobalSettings *dialog) {
                                    locked =
                                        !child<QSpinBox>(*dialog, "spbSrtPort")->isEnabled() &&
                                        !child<QLineEdit>(*dialog, "txtSrtPassphrase")->isEnabled();
                                    dialog->reject();
                                }));
    QVERIFY(locked);

    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 0;
    options.srt = true;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(m_srtPort));
    auto *stack = child<QStackedWidget>(w, "stackedWidget");
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(w, "lblState")->text(), QStringLiteral("320x240 30fps"),
                              30000);
    QCOMPARE(stack->currentIndex(), 1);
    // The statistics tick (every 3 s) shows the bitrate and the SRT link's figures.
    auto *link = child<QLabel>(w, "lblSrtStats");
    QVERIFY(link);
    const QRegularExpression figures(QStringLiteral("^RTT \\d+ms  lost \\d+  resent \\d+$"));
    QTRY_VERIFY_WITH_TIMEOUT(figures.match(link->text()).hasMatch(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(w, "lblBitrate")->text().endsWith(QStringLiteral("Kbs")),
                             20000);
    QCOMPARE(child<QLabel>(w, "lblBuffers")->text().startsWith(QStringLiteral("a:")), true);

    // The camera goes: the address page comes back.
    publisher.kill();
    QTRY_COMPARE_WITH_TIMEOUT(stack->currentIndex(), 0, 30000);
    child<QPushButton>(w, "cmdStart")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!FreePort::isUdpBound(m_srtPort), 5000);
}

void TestSrtWindow::srtPortTakenLeavesRtmpRunning()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress(QHostAddress::AnyIPv4), m_srtPort));
    Application app;
    MainWindow &w = app.window();
    child<QPushButton>(w, "cmdStart")->click();
    QVERIFY(app.isRunning());
    QVERIFY(FreePort::isListening(m_port));
    QVERIFY(!app.server()->srtListening());
    QVERIFY(child<QLabel>(w, "lblSRT")->text().contains(QStringLiteral("not available")));
    child<QPushButton>(w, "cmdStart")->click();
    QVERIFY(!app.isRunning());
}

QTEST_MAIN(TestSrtWindow)
#include "tst_srt_window.moc"
