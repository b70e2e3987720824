// The control window without listening: widget tree, start-up from the store, camera choice,
// settings dialog flow, state page and statistics, preview, QR window and the update notice.
#include "WindowTestUtil.h"
#include "app/Environment.h"
#include "app/Settings.h"
#include "app/Version.h"
#include "ingest/IngestSettings.h"
#include "ingest/Server.h"

#include "output/OutputRouter.h"
#include "ui/NetworkAddresses.h"
#include "ui/ProductSite.h"
#include "ui/StubCard.h"
#include "ui/ZoomQRW.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace windowtest;

namespace {

const QStringList kCameraTexts{"GoPro 9", "GoPro 8", "GoPro 7", "GoPro Max",
                               "Mevo",    "iPhone",  "Android", "Other"};
const QStringList kCameraKeys{"GOPRO", "GOPRO",  "GOPRO",   "GOPRO",
                              "MEVO",  "IPHONE", "ANDROID", "OTHER"};
// The phones that run Larix Broadcaster get the QR button.
const QStringList kQrCameras{"iPhone", "Android"};

// Answers every request with one canned HTTP response, on 127.0.0.1.
class ManifestServer : public QTcpServer
{
public:
    explicit ManifestServer(const QByteArray &body) : m_body(body)
    {
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
                    m_request += socket->readAll();
                    if (!m_request.contains("\r\n\r\n"))
                        return;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  "Connection: close\r\nContent-Length: " +
                                  QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QByteArray m_request;

private:
    QByteArray m_body;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void widgetTreeAsBuilt();
    void startUpWithEmptyStore();
    void startUpRestoresStoredChoices();
    void qrButtonFollowsCamera();
    void stateMessagesSwitchPages();
    void statisticsTick();
    void settingsAcceptedWhileStopped();
    void settingsCancelledChangesNothing();
    void settingsImageChoiceTakesEffectNextStart();
    void previewOnOff();
    void closeHidesQrAndPreview();
    void updateNoticeShowsWhiteLink();

private:
    std::unique_ptr<Application> makeApp();
    std::unique_ptr<Application> m_app;
};

void TestMainWindow::init()
{
    clearStore();
    QDir(QFileInfo(StubCard::imageCopyPath(QStringLiteral("x"))).absolutePath())
        .removeRecursively();
}

void TestMainWindow::cleanup()
{
    m_app.reset();
}

std::unique_ptr<Application> TestMainWindow::makeApp()
{
    return std::make_unique<Application>();
}

void TestMainWindow::widgetTreeAsBuilt()
{
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    // The suite's webcam device does not exist, so the status bar shows its line below the
    // controls and the window is taller by just that line (tst_webcamnotice has the rest).
    QStatusBar *bar = w.statusBar();
    QCOMPARE(bar->objectName(), QStringLiteral("statusbar"));
    QVERIFY(!bar->isSizeGripEnabled());
    QVERIFY(!bar->isHidden());
    QVERIFY(!app.webcamNotice().isEmpty());
    QCOMPARE(w.size(), QSize(379, 222 + bar->sizeHint().height()));
    QCOMPARE(w.windowTitle(),
             QStringLiteral("Quorvix (ver %1)").arg(QLatin1String(kProductVersion)));
    QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(w.menuBar()->actions().isEmpty());
    QCOMPARE(w.menuBar()->objectName(), QStringLiteral("menubar"));
    QCOMPARE(w.centralWidget()->objectName(), QStringLiteral("centralwidget"));

    auto *outer = child<QVBoxLayout>(w, "verticalLayout");
    QVERIFY(outer);
    QCOMPARE(outer->sizeConstraint(), QLayout::SetMinimumSize);
    QCOMPARE(outer->contentsMargins().bottom(), 0);
    QCOMPARE(outer->itemAt(0)->widget()->objectName(), QStringLiteral("groupBox"));
    QCOMPARE(outer->itemAt(1)->widget()->objectName(), QStringLiteral("groupBox_2"));
    QCOMPARE(outer->itemAt(2)->widget()->objectName(), QStringLiteral("stackedWidget"));

    auto *cams = child<QComboBox>(w, "cmbCams");
    QCOMPARE(cams->maximumWidth(), 120);
    QCOMPARE(cams->count(), kCameraTexts.size());
    for (int i = 0; i < cams->count(); ++i) {
        QCOMPARE(cams->itemText(i), kCameraTexts.at(i));
        QCOMPARE(cams->itemData(i, Qt::UserRole).toString(), kCameraKeys.at(i));
        QVERIFY(cams->itemIcon(i).isNull());
    }

    auto *qr = child<QPushButton>(w, "cmdQR");
    // As tall as its text needs (a larger font would be cut at 20 px).
    QCOMPARE(qr->maximumWidth(), 40);
    QCOMPARE(qr->text(), QStringLiteral("QR"));
    QCOMPARE(qr->styleSheet(), QStringLiteral("color:gray;border:none;padding:0;margin:0;"));
    QCOMPARE(qr->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(qr->toolTip(), QStringLiteral("QR code"));
    QCOMPARE(child<QLabel>(w, "lblHelp")->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    QVERIFY(child<QLabel>(w, "lblUpdate")->text().isEmpty());

    struct IconButton
    {
        const char *name;
        QSize maximum;
        QSize iconSize;
        const char *icon;
        const char *toolTip;
        bool checkable;
    };
    const IconButton buttons[] = {
        {"cmdSettings", QSize(50, QWIDGETSIZE_MAX), QSize(25, 25), ":SETTINGS", "Settings", false},
        {"cmdPreview", QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX), QSize(36, 36), ":PREVIEW",
         "Preview", true},
        {"cmdStart", QSize(50, QWIDGETSIZE_MAX), QSize(36, 36), ":START", "Start", false},
        {"cmdReset", QSize(100, 20), QSize(10, 10), ":CLEAR", "Clear buffers", false},
    };
    for (const IconButton &b : buttons) {
        auto *button = child<QPushButton>(w, b.name);
        QVERIFY2(button, b.name);
        QCOMPARE(button->maximumSize(), b.maximum);
        QCOMPARE(button->iconSize(), b.iconSize);
        QVERIFY2(showsIcon(button->icon(), b.icon), b.name);
        QCOMPARE(button->toolTip(), QString::fromLatin1(b.toolTip));
        QCOMPARE(button->isCheckable(), b.checkable);
        QVERIFY(button->text().isEmpty());
        QCOMPARE(button->styleSheet(), QStringLiteral("border:none;padding:0;margin:0;"));
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
    }

    auto *stack = child<QStackedWidget>(w, "stackedWidget");
    QCOMPARE(stack->maximumHeight(), 50);
    QCOMPARE(stack->widget(0)->objectName(), QStringLiteral("pageAddress"));
    QCOMPARE(stack->widget(1)->objectName(), QStringLiteral("pageStream"));
    auto *pageLayout = child<QVBoxLayout>(w, "addressLayout");
    QCOMPARE(pageLayout->spacing(), 0);
    QCOMPARE(pageLayout->contentsMargins().top(), 0);
    QCOMPARE(child<QHBoxLayout>(w, "streamLayout")->contentsMargins().top(), 0);
    auto *rtmp = child<QLabel>(w, "lblRTMP");
    QCOMPARE(rtmp->alignment(), Qt::AlignCenter);
    QCOMPARE(rtmp->font().pointSize(), 8);
    auto *buffers = child<QLabel>(w, "lblBuffers");
    QCOMPARE(buffers->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(buffers->toolTip(), QStringLiteral("audio & video buffers for play"));

    QWidget *preview = app.previewWindow();
    QVERIFY(!preview->parent());
    QVERIFY(preview->isHidden());
    QVERIFY(preview->windowFlags() & Qt::Window);
    QVERIFY(preview->windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(preview->windowTitle(), QStringLiteral("Quorvix: Preview"));
    QCOMPARE(preview->styleSheet(), QStringLiteral("background:#0E2B47;"));
    QVERIFY(preview->children().isEmpty());

    // Every connection is made by pointer: nothing is left for connect-by-name to find, so a
    // renamed widget cannot silently lose its handler.
    GlobalSettings dialog(false, 1935, QString(), 2000, 300, false, false, QString());
    ZoomQRW qrWindow;
    for (const QMetaObject *meta : {w.metaObject(), dialog.metaObject(), qrWindow.metaObject()}) {
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            QVERIFY2(!meta->method(i).name().startsWith("on_"),
                     meta->method(i).methodSignature().constData());
    }
}

void TestMainWindow::startUpWithEmptyStore()
{
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    auto *network = child<QComboBox>(w, "cmbNetwork");
    QCOMPARE(network->count(), NetworkAddresses::networkAddressItems().size());
    if (network->count() > 0)
        QCOMPARE(network->currentIndex(), 0);
    QCOMPARE(child<QComboBox>(w, "cmbCams")->currentText(), QStringLiteral("GoPro 9"));
    QCOMPARE(app.port(), 1935);
    QVERIFY(!app.isRunning());
    const QString url = child<QLabel>(w, "lblRTMP")->text();
    QCOMPARE(url, NetworkAddresses::rtmpUrl(network->currentText(), 1935));
    QVERIFY(url.startsWith(QStringLiteral("rtmp://")));
    QVERIFY(url.endsWith(QStringLiteral("/@/@")));
    QVERIFY(!url.contains(QStringLiteral(":1935")));
    QCOMPARE(child<QStackedWidget>(w, "stackedWidget")->currentIndex(), 0);
    QCOMPARE(child<QLabel>(w, "lblBitrate")->text(), QStringLiteral("--"));
    QVERIFY(child<QLabel>(w, "lblBuffers")->text().isEmpty());
    QCOMPARE(app.stubCard().width(), 1280);
    QCOMPARE(app.stubCard().height(), 720);
    QVERIFY(child<QPushButton>(w, "cmdQR")->isHidden());
    QCOMPARE(child<QLabel>(w, "lblHelp")->text(),
             ProductSite::guideLinkText(QStringLiteral("GOPRO"), QStringLiteral("GoPro 9")));
    QCOMPARE(app.ingestSettings().maxBufferMs, 2000);
    QCOMPARE(app.ingestSettings().maxBufferIgnoreAudioMs, 300);
    QVERIFY(!app.ingestSettings().ignoreAudio);
    QVERIFY(!app.isMevo());
    QVERIFY(!app.output()->ndiEnabled());
    // Reading the defaults stores nothing.
    QVERIFY(AppSettings::openStore()->allKeys().isEmpty());
}

void TestMainWindow::startUpRestoresStoredChoices()
{
    store(AppSettings::kPort, 1936);
    store(AppSettings::kCam, QStringLiteral("Mevo"));
    store(AppSettings::kIp, QStringLiteral("203.0.113.9 gone..."));
    store(AppSettings::kMaxBufferMs, 1500);
    store(AppSettings::kMaxBufferIgnoreAudioMs, 250);
    store(AppSettings::kIgnoreAudio, true);
    store(AppSettings::kNdiMode, true);
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    QCOMPARE(app.port(), 1936);
    QVERIFY(child<QLabel>(w, "lblRTMP")->text().endsWith(QStringLiteral(":1936/@/@")));
    QCOMPARE(app.rtmpUrl(), child<QLabel>(w, "lblRTMP")->text());
    QVERIFY(app.isMevo());
    QCOMPARE(app.ingestSettings().maxBufferMs, 1500);
    QCOMPARE(app.ingestSettings().maxBufferIgnoreAudioMs, 250);
    QVERIFY(app.ingestSettings().ignoreAudio);
    QVERIFY(app.output()->ndiEnabled());
    // An address that no longer exists leaves the first item.
    auto *network = child<QComboBox>(w, "cmbNetwork");
    if (network->count() > 0)
        QCOMPARE(network->currentIndex(), 0);
}

void TestMainWindow::qrButtonFollowsCamera()
{
    store(AppSettings::kCam, QStringLiteral("iPhone"));
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    auto *cams = child<QComboBox>(w, "cmbCams");
    auto *qr = child<QPushButton>(w, "cmdQR");
    auto *help = child<QLabel>(w, "lblHelp");
    QCOMPARE(cams->currentText(), QStringLiteral("iPhone"));
    QVERIFY(!qr->isHidden());
    for (int i = 0; i < cams->count(); ++i) {
        cams->setCurrentIndex(i);
        QCOMPARE(qr->isHidden(), !kQrCameras.contains(kCameraTexts.at(i)));
        QCOMPARE(help->text(), ProductSite::guideLinkText(kCameraKeys.at(i), kCameraTexts.at(i)));
        QCOMPARE(app.isMevo(), kCameraKeys.at(i) == QLatin1String("MEVO"));
    }
    QVERIFY(help->text().contains(QStringLiteral("/how_to_other.html")));
    QVERIFY(help->openExternalLinks());
    cams->setCurrentText(QStringLiteral("Android"));
    QVERIFY(help->text().contains(ProductSite::address() + QStringLiteral("/how_to_android.html")));
    QVERIFY(help->text().contains(QStringLiteral("guide for Android")));
}

void TestMainWindow::stateMessagesSwitchPages()
{
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    auto *stack = child<QStackedWidget>(w, "stackedWidget");
    app.onStreamState(QStringLiteral("connecting ..."));
    QCOMPARE(stack->currentIndex(), 1);
    QCOMPARE(child<QLabel>(w, "lblState")->text(), QStringLiteral("connecting ..."));
    // Queued from another thread, as the streams send it.
    // Queued from the listener, as the streams send it.
    emit app.server()->streamStateChanged(QStringLiteral("1280x720 30fps"));
    QTRY_COMPARE(child<QLabel>(w, "lblState")->text(), QStringLiteral("1280x720 30fps"));
    app.onStreamState(QString());
    QCOMPARE(stack->currentIndex(), 0);
}

void TestMainWindow::statisticsTick()
{
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    bool current = false;
    int audio = 0;
    int video = 0;
    qint64 bytes = 0;
    app.setStatsSource([&](int &a, int &v, qint64 &b) {
        a = audio;
        v = video;
        b = bytes;
        return current;
    });
    auto *bitrate = child<QLabel>(w, "lblBitrate");
    auto *buffers = child<QLabel>(w, "lblBuffers");
    auto tick = [&]() { app.pollStatistics(); };

    // No current stream: both labels empty.
    tick();
    QCOMPARE(bitrate->text(), QString());
    QCOMPARE(buffers->text(), QString());

    current = true;
    audio = 120;
    video = 80;
    bytes = 384000;
    tick();
    QCOMPARE(bitrate->text(), QStringLiteral("1000Kbs"));
    QCOMPARE(buffers->text(), QStringLiteral("a:120ms  v:80ms"));

    // Nothing arrived: no rate, levels still shown.
    tick();
    QCOMPARE(bitrate->text(), QString());
    QCOMPARE(buffers->text(), QStringLiteral("a:120ms  v:80ms"));

    // Another connection with fewer bytes became current: new base, no rate this tick.
    bytes = 5000;
    tick();
    QCOMPARE(bitrate->text(), QString());
    bytes = 5000 + 768000;
    tick();
    QCOMPARE(bitrate->text(), QStringLiteral("2000Kbs"));

    // An ended stream restarts the count from zero.
    app.onStreamState(QString());
    tick();
    QCOMPARE(bitrate->text(), QStringLiteral("2013Kbs")); // (5000 + 768000) * 8 / 3072

    // Audio ignored (from the store at start-up): video level only.
    store(AppSettings::kIgnoreAudio, true);
    m_app = makeApp();
    m_app->setStatsSource([&](int &a, int &v, qint64 &b) {
        a = audio;
        v = video;
        b = bytes;
        return true;
    });
    m_app->pollStatistics();
    QCOMPARE(child<QLabel>(m_app->window(), "lblBuffers")->text(), QStringLiteral("v:80ms"));
}

void TestMainWindow::settingsAcceptedWhileStopped()
{
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    auto *settingsButton = child<QPushButton>(w, "cmdSettings");
    bool dimmed = false;
    bool portEnabled = false;
    QString imageShown = QStringLiteral("unset");
    const bool seen = driveSettingsDialog(
        [&]() { settingsButton->click(); },
        [&](GlobalSettings *dialog) {
            dimmed = showsIcon(settingsButton->icon(), ":SETTINGS_OFF");
            auto *port = child<QSpinBox>(*dialog, "spbPort");
            portEnabled = port->isEnabled();
            imageShown = dialog->imagePath();
            port->setValue(1940);
            child<QLineEdit>(*dialog, "txtStubText")->setText(QStringLiteral("Live\\nsoon"));
            child<QCheckBox>(*dialog, "chkNDI")->setChecked(true);
            child<QSpinBox>(*dialog, "spbSrtPort")->setValue(9123);
            child<QSpinBox>(*dialog, "spbSrtLatency")->setValue(250);
            child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
    QVERIFY(seen);
    QVERIFY(dimmed);
    // The saved value reaches the listener, the SRT line and the next start alike.
    QCOMPARE(app.ingestSettings().srt.port, quint16(9123));
    QCOMPARE(app.ingestSettings().srt.latencyMs, 250);
    QVERIFY(app.srtUrl().endsWith(QStringLiteral(":9123")));
    QCOMPARE(child<QLabel>(w, "lblSRT")->text(), app.srtUrl());
    QCOMPARE(Settings::read(*AppSettings::openStore()).srtPort, app.settings().srtPort);
    QVERIFY(portEnabled);
    QCOMPARE(imageShown, QString()); // the built-in card is shown as no choice
    QVERIFY(showsIcon(settingsButton->icon(), ":SETTINGS"));
    QCOMPARE(app.port(), 1940);
    QVERIFY(child<QLabel>(w, "lblRTMP")->text().endsWith(QStringLiteral(":1940/@/@")));
    QCOMPARE(stored(AppSettings::kPort).toInt(), 1940);
    QCOMPARE(stored(AppSettings::kStubText).toString(), QStringLiteral("Live\nsoon"));
    QCOMPARE(stored(AppSettings::kNdiMode).toBool(), true);
    QVERIFY(app.output()->ndiEnabled());
    QCOMPARE(stored(AppSettings::kMaxBufferMs).toInt(), 2000);
    QCOMPARE(stored(AppSettings::kMaxBufferIgnoreAudioMs).toInt(), 300);
    QCOMPARE(stored(AppSettings::kIgnoreAudio).toBool(), false);
    QCOMPARE(stored(AppSettings::kDisplayedColorbarImage).toString(), QStringLiteral(":BKG"));
    // Start was never pressed.
    QVERIFY(!stored(AppSettings::kIp).isValid());
    QVERIFY(!stored(AppSettings::kCam).isValid());
}

void TestMainWindow::settingsCancelledChangesNothing()
{
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    auto *settingsButton = child<QPushButton>(w, "cmdSettings");
    const QString url = child<QLabel>(w, "lblRTMP")->text();
    const bool seen = driveSettingsDialog([&]() { settingsButton->click(); },
                                          [&](GlobalSettings *dialog) {
                                              child<QSpinBox>(*dialog, "spbPort")->setValue(1999);
                                              child<QCheckBox>(*dialog, "chkNDI")->setChecked(true);
                                              dialog->reject();
                                          });
    QVERIFY(seen);
    QCOMPARE(app.port(), 1935);
    QCOMPARE(child<QLabel>(w, "lblRTMP")->text(), url);
    QVERIFY(!app.output()->ndiEnabled());
    QVERIFY(AppSettings::openStore()->allKeys().isEmpty());
    QVERIFY(showsIcon(settingsButton->icon(), ":SETTINGS"));
}

void TestMainWindow::settingsImageChoiceTakesEffectNextStart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString picture = dir.filePath(QStringLiteral("stage.png"));
    QImage image(640, 360, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QVERIFY(image.save(picture));

    m_app = makeApp();
    auto *settingsButton = child<QPushButton>(m_app->window(), "cmdSettings");
    const bool seen = driveSettingsDialog(
        [&]() { settingsButton->click(); },
        [&](GlobalSettings *dialog) {
            dialog->setFileChooser([&](QWidget *, const QString &, const QString &, const QString &,
                                       QString *) { return picture; });
            child<QPushButton>(*dialog, "cmdChooseImage")->click();
            child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
    QVERIFY(seen);
    const QString copy = StubCard::imageCopyPath(picture);
    QCOMPARE(stored(AppSettings::kDisplayedColorbarImage).toString(), picture);
    QCOMPARE(stored(AppSettings::kLastTempColorbarImage).toString(), copy);
    QCOMPARE(QDir(QFileInfo(copy).absolutePath()).entryList(QDir::Files | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("stage.png")});
    // This run keeps its card; the next one uses the new picture.
    QCOMPARE(m_app->stubCard().width(), 1280);
    m_app = makeApp();
    QCOMPARE(m_app->stubCard().width(), 640);
    QCOMPARE(m_app->stubCard().height(), 360);

    // The dialog opens with the stored choice.
    QString shown;
    QVERIFY(
        driveSettingsDialog([&]() { child<QPushButton>(m_app->window(), "cmdSettings")->click(); },
                            [&](GlobalSettings *dialog) {
                                shown = dialog->imagePath();
                                dialog->reject();
                            }));
    QCOMPARE(shown, picture);
}

void TestMainWindow::previewOnOff()
{
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    w.show();
    auto *button = child<QPushButton>(w, "cmdPreview");
    button->click();
    QVERIFY(button->isChecked());
    QVERIFY(app.previewWindow()->isVisible());
    QVERIFY(app.output()->previewEnabled());
    QVERIFY(showsIcon(button->icon(), ":PREVIEW_OFF"));

    // Its own close button only hides it; the button stays on.
    app.previewWindow()->close();
    QVERIFY(!app.previewWindow()->isVisible());
    QVERIFY(button->isChecked());
    QVERIFY(showsIcon(button->icon(), ":PREVIEW_OFF"));

    button->click();
    QVERIFY(!button->isChecked());
    QVERIFY(!app.output()->previewEnabled());
    QVERIFY(!app.previewWindow()->isVisible());
    QVERIFY(showsIcon(button->icon(), ":PREVIEW"));
}

void TestMainWindow::closeHidesQrAndPreview()
{
    store(AppSettings::kCam, QStringLiteral("iPhone"));
    m_app = makeApp();
    Application &app = *m_app;
    MainWindow &w = app.window();
    w.show();
    child<QPushButton>(w, "cmdQR")->click();
    QVERIFY(app.zoomQR()->isVisible());
    QCOMPARE(app.zoomQR()->currentLink().left(ZoomQRW::baseLink(app.rtmpUrl()).size()),
             ZoomQRW::baseLink(app.rtmpUrl()));
    child<QPushButton>(w, "cmdPreview")->click();
    QVERIFY(app.previewWindow()->isVisible());

    QVERIFY(w.close());
    QVERIFY(!app.zoomQR()->isVisible());
    QVERIFY(!app.previewWindow()->isVisible());
    QVERIFY(!w.isVisible());
}

void TestMainWindow::updateNoticeShowsWhiteLink()
{
    ManifestServer server(
        R"({"build": 29, "msg": "Quorvix 1.3 is out", "url": "https://example.invalid/new"})");
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QByteArray variable = Environment::kManifestUrl;
    const QByteArray previous = qgetenv(variable.constData());
    qputenv(variable.constData(),
            QStringLiteral("http://127.0.0.1:%1/qvdesk.json").arg(server.serverPort()).toUtf8());
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^NEW VERSION:")));
    m_app = makeApp();
    qputenv(variable.constData(), previous);

    auto *label = child<QLabel>(m_app->window(), "lblUpdate");
    QTRY_COMPARE_WITH_TIMEOUT(
        label->text(),
        QStringLiteral(
            "<a href='https://example.invalid/new' style='color:white;'>Quorvix 1.3 is out</a>"),
        10000);
    QVERIFY(label->openExternalLinks());
    QVERIFY(server.m_request.startsWith("GET /qvdesk.json "));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
