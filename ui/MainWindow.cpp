#include "ui/MainWindow.h"

#include "app/AppSettings.h"
#include "engine/OutputSwitch.h"
#include "ingest/Server.h"
#include "output/OutputRouter.h"
#include "ui/GlobalSettings.h"
#include "ui/NetworkAddresses.h"
#include "ui/ProductSite.h"
#include "ui/StatsText.h"
#include "ui/UiLog.h"
#include "ui/UpdateChecker.h"
#include "ui/WebcamSetupDialog.h"
#include "ui/ZoomQRW.h"

#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHostAddress>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>

#include <algorithm>

namespace {

struct Camera
{
    const char *text;
    const char *key;
};

// The camera types offered, in this order. The text is what CAM stores; the key is what the
// listener (Mevo) and the guide link use.
constexpr Camera kCameras[] = {
    {"GoPro 9", "GOPRO"}, {"GoPro 8", "GOPRO"}, {"GoPro 7", "GOPRO"},   {"GoPro Max", "GOPRO"},
    {"Mevo", "MEVO"},     {"iPhone", "IPHONE"}, {"Android", "ANDROID"}, {"Other", "OTHER"},
};

// Both run Larix Broadcaster, which reads the same QR link on either system.
constexpr char kIPhoneKey[] = "IPHONE";
constexpr char kAndroidKey[] = "ANDROID";
constexpr char kMevoKey[] = "MEVO";
constexpr char kIconStart[] = ":START";
constexpr char kIconStop[] = ":STOP";
constexpr char kIconPreview[] = ":PREVIEW";
constexpr char kIconPreviewOff[] = ":PREVIEW_OFF";
constexpr char kIconSettings[] = ":SETTINGS";
constexpr char kIconSettingsOff[] = ":SETTINGS_OFF";
constexpr char kIconButtonStyle[] = "border:none;padding:0;margin:0;";
constexpr char kPreviewStyle[] = "background:#0E2B47;";
// The status bar's set-up button reads as a link beside the notice.
constexpr char kLinkButtonStyle[] = "QPushButton{border:none;padding:0 4px;background:transparent;"
                                    "color:#EA700C;text-decoration:underline;}";

QString settingKey(const char *key)
{
    return QString::fromLatin1(key);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>()),
      m_preview(std::make_unique<QWidget>()), m_zoomQR(std::make_unique<ZoomQRW>())
{
    m_fromCommandLine = false;
    // Builds the tree and binds the on_<object>_<signal> slots by name.
    m_ui->setupUi(this);
    m_ui->stackedWidget->setCurrentIndex(0);

    m_running = false;
    m_vcam = new OutputRouter(QString::fromLatin1(kProductName), this);

    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);

    m_settings = AppSettings::openStore();
    // Before the first status-bar update, which shows the microphone's line only while on.
    m_microphone = AppSettings::readBool(*m_settings, AppSettings::kMicrophone);
    m_vcam->setMicrophoneEnabled(m_microphone);
    m_zoomQR->setSettings(m_settings.get());

    // The first insertion makes "GoPro 9" current, which shows the guide link.
    for (const Camera &camera : kCameras)
        m_ui->cmbCams->addItem(QString::fromLatin1(camera.text), QString::fromLatin1(camera.key));

    styleButtons();

    m_ui->cmbNetwork->addItems(NetworkAddresses::networkAddressItems());

    setWindowTitle(QString::fromLatin1(kProductName) +
                   tr(" (ver %1)").arg(QString::fromLatin1(kVersion)));

    m_updateChecker = std::make_unique<UpdateChecker>();
    connect(m_updateChecker.get(), &UpdateChecker::newVersionAvailable, this,
            [this](const QString &msg, const QString &url) {
                UpdateChecker::showNotice(m_ui->lblUpdate, msg, url);
            });

    m_outputSwitch = std::make_unique<OutputSwitch>(m_vcam);
    m_server = new Server(*m_outputSwitch, this);
    connect(m_server, &Server::streamStateChanged, this, &MainWindow::onUpdateStreamState);
    connect(m_server, &Server::publisherAccepted, this, &MainWindow::onPublisherAccepted);
    connect(m_server, &Server::publisherRefused, this, &MainWindow::onPublisherRefused);
    connect(m_server, &Server::srtCallerAccepted, this, &MainWindow::onSrtCallerAccepted);
    connect(m_server, &Server::srtCallerRefused, this, &MainWindow::onSrtCallerRefused);
    m_statsSource = [this](int &audioMs, int &videoMs, qint64 &bytes) {
        return m_server->streamStats(audioMs, videoMs, bytes);
    };

    m_stubCard.compose(*m_settings);
    connect(&m_stubTimer, &QTimer::timeout, this, &MainWindow::sendStub);
    // The card tick runs whether or not the window listens, and the card frames are what
    // makes the output look for a device again, so the webcam line follows the same tick.
    connect(&m_stubTimer, &QTimer::timeout, this, &MainWindow::updateWebcamNotice);
    m_stubTimer.start(kStubIntervalMs);
    m_setupWebcam = new QPushButton(tr("Set up virtual webcam"), m_ui->statusbar);
    m_setupWebcam->setObjectName(QStringLiteral("cmdSetupWebcam"));
    m_setupWebcam->setFlat(true);
    m_setupWebcam->setCursor(Qt::PointingHandCursor);
    m_setupWebcam->setStyleSheet(QString::fromLatin1(kLinkButtonStyle));
    m_setupWebcam->setToolTip(tr("Load the v4l2loopback module (asks for a password)"));
    // Permanent, so status tips never cover it; it goes with the bar.
    m_ui->statusbar->addPermanentWidget(m_setupWebcam);
    connect(m_setupWebcam, &QPushButton::clicked, this, &MainWindow::onSetupWebcamClicked);
    m_ui->statusbar->hide();
    updateWebcamNotice();

    onUpdateStreamState(QString());

    m_preview->setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint);
    m_preview->setWindowTitle(QString::fromLatin1(kProductName) + tr(": Preview"));
    m_preview->setStyleSheet(QString::fromLatin1(kPreviewStyle));

    // One check per start. The address can be moved (or the check skipped with an empty
    // value) for offline installs and for tests, which must not reach the internet.
    const QByteArray manifestVariable = kManifestUrlVariable;
    const QString manifestUrl = qEnvironmentVariableIsSet(manifestVariable.constData())
                                    ? qEnvironmentVariable(manifestVariable.constData())
                                    : UpdateChecker::manifestUrl();
    if (!manifestUrl.isEmpty())
        m_updateChecker->checkForUpdate(UpdateChecker::kProgramBuild, manifestUrl);

    m_statTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_statTimer, &QTimer::timeout, this, &MainWindow::onStatTimer);

    m_ui->lblBuffers->setText(QString());
    // The SRT address under the RTMP one, and the SRT link's figures beside the bitrate.
    m_lblSrt = new QLabel(m_ui->page);
    m_lblSrt->setObjectName(QStringLiteral("lblSRT"));
    m_lblSrt->setFont(m_ui->lblRTMP->font());
    m_lblSrt->setAlignment(Qt::AlignCenter);
    m_lblSrt->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_ui->verticalLayout_3->addWidget(m_lblSrt);
    m_lblSrtStats = new QLabel(m_ui->page_2);
    m_lblSrtStats->setObjectName(QStringLiteral("lblSrtStats"));
    m_lblSrtStats->setToolTip(tr("SRT link: round-trip time, packets lost on the way and packets "
                                 "sent again"));
    m_ui->horizontalLayout_5->insertWidget(m_ui->horizontalLayout_5->indexOf(m_ui->lblBitrate) + 1,
                                           m_lblSrtStats);

    // An absent key reads as "", which matches no item and keeps the first one.
    m_ui->cmbNetwork->setCurrentText(AppSettings::readString(*m_settings, AppSettings::kIp));
    m_ui->cmbCams->setCurrentText(AppSettings::readString(*m_settings, AppSettings::kCam));

    m_maxBufferMs = AppSettings::readInt(*m_settings, AppSettings::kMaxBufferMs);
    m_maxBufferIgnoreAudioMs =
        AppSettings::readInt(*m_settings, AppSettings::kMaxBufferIgnoreAudioMs);
    m_ignoreAudio = AppSettings::readBool(*m_settings, AppSettings::kIgnoreAudio);
    m_ndiMode = AppSettings::readBool(*m_settings, AppSettings::kNdiMode);
    m_vcam->setNdiEnabled(m_ndiMode);
    m_port = AppSettings::readInt(*m_settings, AppSettings::kPort);
    m_requireStreamKey = AppSettings::readBool(*m_settings, AppSettings::kRequireStreamKey);
    m_streamKey = AppSettings::readString(*m_settings, AppSettings::kStreamKey);
    m_srt = AppSettings::readBool(*m_settings, AppSettings::kSrt);
    m_srtPort = AppSettings::readInt(*m_settings, AppSettings::kSrtPort);
    m_srtLatencyMs = AppSettings::readInt(*m_settings, AppSettings::kSrtLatencyMs);
    m_srtPassphrase = AppSettings::readString(*m_settings, AppSettings::kSrtPassphrase);
    // A passphrase libsrt would refuse (edited by hand) is dropped rather than keeping SRT off.
    if (!GlobalSettings::srtPassphraseValid(m_srtPassphrase)) {
        qCWarning(lcUi) << "SRT passphrase in the settings is not 10 to 79 characters; ignored";
        m_srtPassphrase.clear();
    }

    setWarningBox(nullptr);
    showPublishUrl();
    pushIngestSettings();
}

MainWindow::~MainWindow()
{
    m_stubTimer.stop();
    m_statTimer.stop();
    // The listener goes first: its stream threads deliver into the output, so none of them
    // may outlive it (the window's children would otherwise die in creation order, output
    // first).
    stopServer();
    delete m_server;
    m_server = nullptr;
    m_outputSwitch.reset();
    if (m_vcam)
        m_vcam->setPreviewWindow(0);
    delete m_vcam;
    m_vcam = nullptr;
}

IngestSettings MainWindow::ingestSettings() const
{
    IngestSettings settings;
    settings.ignoreAudio = m_ignoreAudio;
    settings.mevo = isMevo();
    settings.maxBufferMs = m_maxBufferMs;
    settings.maxBufferIgnoreAudioMs = m_maxBufferIgnoreAudioMs;
    settings.streamKey = requiredStreamKey();
    if (m_srt && m_srtPort > 0 && m_srtPort <= 65535)
        settings.srt.port = static_cast<quint16>(m_srtPort);
    settings.srt.latencyMs = m_srtLatencyMs;
    settings.srt.passphrase = m_srtPassphrase.toUtf8();
    return settings;
}

void MainWindow::pushIngestSettings()
{
    if (m_server)
        m_server->setSettings(ingestSettings());
}

void MainWindow::setWarningBox(WarningBox box)
{
    m_warningBox = box ? std::move(box)
                       : WarningBox([](QWidget *parent, const QString &title, const QString &text) {
                             QMessageBox::critical(parent, title, text, QMessageBox::Ok);
                         });
}

bool MainWindow::isMevo() const
{
    return m_ui->cmbCams->currentData(Qt::UserRole).toString() == QLatin1String(kMevoKey);
}

QString MainWindow::rtmpUrl() const
{
    return NetworkAddresses::rtmpUrl(m_ui->cmbNetwork->currentText(), m_port,
                                     requiredStreamKey().isEmpty() ? QString() : m_streamKey);
}

QString MainWindow::srtUrl() const
{
    if (!m_srt || m_srtPort <= 0)
        return QString();
    const QString url = NetworkAddresses::srtUrl(m_ui->cmbNetwork->currentText(), m_srtPort);
    const QByteArray key = requiredStreamKey();
    // SRT callers name the key as their stream id; its letters and digits need no escaping.
    return key.isEmpty() ? url : url + QStringLiteral("?streamid=") + QString::fromLatin1(key);
}

void MainWindow::showPublishUrl()
{
    // "Require" always means a key. A store edited by hand can say require with none, which
    // would check nothing: one is made and kept here, on the first refresh at construction,
    // before anything listens.
    const QString kept = GlobalSettings::keptStreamKey(m_requireStreamKey, m_streamKey);
    if (kept != m_streamKey) {
        qCWarning(lcUi) << "stream key required but none stored; a new key was made";
        m_streamKey = kept;
        m_settings->setValue(settingKey(AppSettings::kStreamKey), m_streamKey);
        m_settings->sync();
    }
    const QString url = rtmpUrl();
    m_ui->lblRTMP->setText(url);
    if (m_lblSrt) {
        const bool failed = m_running && m_srt && m_server && !m_server->srtListening();
        const QString srt = srtUrl();
        m_lblSrt->setText(failed ? tr("SRT port %1 not available ( Settings )").arg(m_srtPort)
                                 : srt);
        m_lblSrt->setVisible(m_srt);
        QString tip;
        if (m_srt) {
            tip = m_srtPassphrase.isEmpty()
                      ? tr("SRT, latency %1 ms, no passphrase").arg(m_srtLatencyMs)
                      : tr("SRT, latency %1 ms, with the passphrase set in Settings")
                            .arg(m_srtLatencyMs);
            // Apps with a stream id field of their own (Larix, for one) take the address in
            // two.
            if (!requiredStreamKey().isEmpty())
                tip += QLatin1Char('\n') +
                       tr("Apps with separate fields: server %1, stream id %2")
                           .arg(srt.left(srt.indexOf(QLatin1Char('?'))), m_streamKey);
        }
        m_lblSrt->setToolTip(tip);
    }
    // Apps with separate server and key fields (OBS, some camera apps) take the URL in two.
    m_ui->lblRTMP->setToolTip(
        requiredStreamKey().isEmpty()
            ? QString()
            : tr("Apps with separate fields: server %1, stream key %2")
                  .arg(url.left(url.size() - m_streamKey.size() - 1), m_streamKey));
}

QByteArray MainWindow::requiredStreamKey() const
{
    return m_requireStreamKey ? m_streamKey.toLatin1() : QByteArray();
}

void MainWindow::onPublisherAccepted(const QString &)
{
    m_refusedPublishers = 0;
    updateWebcamNotice();
}

void MainWindow::onPublisherRefused(const QString &peer)
{
    ++m_refusedPublishers;
    m_lastRefusedPeer = peer;
    updateWebcamNotice();
}

void MainWindow::onSrtCallerAccepted(const QString &)
{
    m_refusedSrtCallers = 0;
    updateWebcamNotice();
}

void MainWindow::onSrtCallerRefused(const QString &peer)
{
    ++m_refusedSrtCallers;
    m_lastRefusedSrtPeer = peer;
    updateWebcamNotice();
}

void MainWindow::startFromCommandLine()
{
    startFromCommandLine(QCoreApplication::arguments());
}

void MainWindow::startFromCommandLine(const QStringList &arguments)
{
    m_fromCommandLine = true;
    if (arguments.size() > 1 && !arguments.at(1).isEmpty()) {
        bool ok = false;
        const int port = arguments.at(1).toInt(&ok, 10);
        // Not a number, 0, or no TCP port at all: the port in use stays.
        if (ok && port > 0 && port <= 65535) {
            m_port = port;
            showPublishUrl();
        }
    }
    if (arguments.size() > 2 && !arguments.at(2).isEmpty()) {
        const int index = m_ui->cmbCams->findText(arguments.at(2), Qt::MatchExactly);
        if (index >= 0)
            m_ui->cmbCams->setCurrentIndex(index);
    }
    on_cmdStart_clicked();
}

void MainWindow::setStatsSource(StatsSource source)
{
    if (source) {
        m_statsSource = std::move(source);
        return;
    }
    m_statsSource = [this](int &audioMs, int &videoMs, qint64 &bytes) {
        return m_server->streamStats(audioMs, videoMs, bytes);
    };
}

void MainWindow::onUpdateStreamState(QString msg)
{
    qCInfo(lcUi) << "Stream State:" << msg;
    if (!msg.isEmpty()) {
        m_ui->stackedWidget->setCurrentIndex(1);
        m_ui->lblState->setText(msg);
    } else {
        m_ui->stackedWidget->setCurrentIndex(0);
        m_lastBytes = 0;
    }
}

void MainWindow::on_cmdStart_clicked()
{
    m_lastBytes = 0;
    if (m_running) {
        m_ui->cmdStart->setIcon(QIcon(QString::fromLatin1(kIconStart)));
        m_server->stopListening();
        m_running = false;
        showPublishUrl();
        m_statTimer.stop();
        m_ui->cmbNetwork->setEnabled(true);
        return;
    }
    if (!m_fromCommandLine) {
        m_settings->setValue(settingKey(AppSettings::kIp), m_ui->cmbNetwork->currentText());
        m_settings->setValue(settingKey(AppSettings::kCam), m_ui->cmbCams->currentText());
    }
    m_ui->cmdStart->setIcon(QIcon(QString::fromLatin1(kIconStop)));
    pushIngestSettings();
    QString error;
    if (!m_server->startListening(QHostAddress::Any, static_cast<quint16>(m_port), &error))
        m_warningBox(this, tr("Warning"), error);
    m_running = true;
    showPublishUrl(); // the SRT line says whether its port could be opened
    m_statTimer.start(kStatIntervalMs);
    m_ui->cmbNetwork->setEnabled(false);
}

void MainWindow::on_cmbCams_currentIndexChanged(QString)
{
    const QString key = m_ui->cmbCams->currentData(Qt::UserRole).toString();
    m_ui->cmdQR->setVisible(key == QLatin1String(kIPhoneKey) || key == QLatin1String(kAndroidKey));
    updateGuideLink();
    pushIngestSettings();
}

void MainWindow::on_cmbNetwork_currentIndexChanged(QString)
{
    showPublishUrl();
}

void MainWindow::onStatTimer()
{
    QString buffers;
    QString bitrate;
    int audioMs = 0;
    int videoMs = 0;
    qint64 bytes = 0;
    if (m_statsSource && m_statsSource(audioMs, videoMs, bytes)) {
        buffers = StatsText::buffers(m_ignoreAudio, audioMs, videoMs);
        qint64 delayMs = -1;
        qint64 skipped = 0;
        qint64 repeated = 0;
        qint64 lateAudio = 0;
        if (m_server && m_server->playoutStats(delayMs, skipped, repeated, &lateAudio) &&
            delayMs >= 0)
            buffers += QStringLiteral("  ") + StatsText::playout(delayMs, skipped, repeated);
        if (!m_ignoreAudio && m_vcam) {
            const MicrophoneOutput::SoundGaps gaps = m_vcam->microphoneSoundGaps();
            const QString text = StatsText::soundGaps(lateAudio, gaps.ranDry, gaps.cutMs);
            if (!text.isEmpty())
                buffers += QStringLiteral("  ") + text;
        }
        bitrate = StatsText::bitrate(static_cast<quint64>(std::max<qint64>(bytes, 0)), m_lastBytes);
    }
    SrtRelay::LinkStats link;
    const bool srtSession = m_server && m_server->srtStats(link);
    m_lblSrtStats->setText(
        srtSession ? StatsText::srtLink(link.rttMs, link.lost, link.retransmitted) : QString());
    m_lblSrtStats->setVisible(srtSession);
    m_ui->lblBitrate->setText(bitrate);
    m_ui->lblBuffers->setText(buffers);
    m_ui->page_2->setToolTip(StatsText::camera(m_server ? m_server->streamPeer() : QString()));
}

void MainWindow::onSettingsTriggered()
{
    const QString image =
        AppSettings::readString(*m_settings, AppSettings::kDisplayedColorbarImage);
    const QString stubText = AppSettings::readString(*m_settings, AppSettings::kStubText);
    m_ui->cmdSettings->setIcon(QIcon(QString::fromLatin1(kIconSettingsOff)));

    GlobalSettings dialog(
        m_running, m_port, image == QLatin1String(StubCard::kBuiltInImage) ? QString() : image,
        m_maxBufferMs, m_maxBufferIgnoreAudioMs, m_ignoreAudio, m_ndiMode, stubText, nullptr);
    dialog.setMicrophone(m_microphone);
    dialog.setStreamKey(m_requireStreamKey, m_streamKey);
    dialog.setSrt(m_srt, m_srtPort, m_srtLatencyMs, m_srtPassphrase);
    if (dialog.exec() == QDialog::Accepted) {
        m_srt = dialog.srt();
        m_srtPort = dialog.srtPort();
        m_srtLatencyMs = dialog.srtLatencyMs();
        m_srtPassphrase = dialog.srtPassphrase();
        m_settings->setValue(settingKey(AppSettings::kSrt), m_srt);
        m_settings->setValue(settingKey(AppSettings::kSrtPort), m_srtPort);
        m_settings->setValue(settingKey(AppSettings::kSrtLatencyMs), m_srtLatencyMs);
        m_settings->setValue(settingKey(AppSettings::kSrtPassphrase), m_srtPassphrase);

        // The card itself keeps its start-up picture and text until the next start.
        StubCard::storeChoice(*m_settings, dialog.imagePath());

        m_requireStreamKey = dialog.requireStreamKey();
        m_streamKey = dialog.streamKey();
        m_settings->setValue(settingKey(AppSettings::kRequireStreamKey), m_requireStreamKey);
        m_settings->setValue(settingKey(AppSettings::kStreamKey), m_streamKey);
        if (!m_requireStreamKey)
            m_refusedPublishers = 0;

        m_port = dialog.port();
        showPublishUrl();
        m_settings->setValue(settingKey(AppSettings::kPort), m_port);

        m_maxBufferMs = dialog.maxBufferMs();
        m_settings->setValue(settingKey(AppSettings::kMaxBufferMs), m_maxBufferMs);

        m_maxBufferIgnoreAudioMs = dialog.maxBufferIgnoreAudioMs();
        m_settings->setValue(settingKey(AppSettings::kMaxBufferIgnoreAudioMs),
                             m_maxBufferIgnoreAudioMs);

        m_ignoreAudio = dialog.ignoreAudio();
        m_settings->setValue(settingKey(AppSettings::kIgnoreAudio), m_ignoreAudio);

        m_ndiMode = dialog.ndiMode();
        m_vcam->setNdiEnabled(m_ndiMode);
        m_settings->setValue(settingKey(AppSettings::kNdiMode), m_ndiMode);

        m_microphone = dialog.microphone();
        m_vcam->setMicrophoneEnabled(m_microphone);
        m_settings->setValue(settingKey(AppSettings::kMicrophone), m_microphone);

        m_settings->setValue(settingKey(AppSettings::kStubText),
                             AppSettings::stubTextFromTyped(dialog.stubText()));
        m_settings->sync();
        pushIngestSettings();
    }
    m_ui->cmdSettings->setIcon(QIcon(QString::fromLatin1(kIconSettings)));
}

void MainWindow::on_cmdPreview_clicked(bool checked)
{
    if (checked) {
        m_preview->showNormal();
        m_vcam->setPreviewWindow(m_preview->winId());
        m_ui->cmdPreview->setIcon(QIcon(QString::fromLatin1(kIconPreviewOff)));
    } else {
        m_vcam->setPreviewWindow(0);
        m_preview->hide();
        m_ui->cmdPreview->setIcon(QIcon(QString::fromLatin1(kIconPreview)));
    }
}

void MainWindow::on_cmdReset_clicked()
{
    m_server->resetActiveBuffers();
}

void MainWindow::on_cmdQR_clicked()
{
    m_zoomQR->setPhone(m_ui->cmbCams->currentData(Qt::UserRole).toString() ==
                               QLatin1String(kAndroidKey)
                           ? ZoomQRW::Phone::Android
                           : ZoomQRW::Phone::IPhone);
    m_zoomQR->loadSettings();
    m_zoomQR->setSrt(srtUrl(), m_srtLatencyMs, m_srtPassphrase);
    m_zoomQR->showQRForUrl(ZoomQRW::baseLink(m_ui->lblRTMP->text()));
}

void MainWindow::on_cmdSettings_clicked()
{
    onSettingsTriggered();
}

void MainWindow::onSetupWebcamClicked()
{
    if (!m_webcamSetup) {
        m_webcamSetup = new WebcamSetupDialog(m_setupRunner, m_setupModuleInstalled, this);
        // The output has no call to look for a device at once: its sink looks again every
        // few seconds while card frames flow, and the card tick takes the notice away then.
        // Looking here as well catches a device the sink found in the meantime.
        connect(m_webcamSetup, &WebcamSetupDialog::moduleLoaded, this,
                &MainWindow::updateWebcamNotice);
    } else {
        // The package may have been installed since the dialog was last open.
        m_webcamSetup->checkInstalled();
    }
    m_webcamSetup->show();
    m_webcamSetup->raise();
    m_webcamSetup->activateWindow();
}

void MainWindow::setWebcamSetupHooks(CommandRunner runner, std::function<bool()> moduleInstalled)
{
    m_setupRunner = std::move(runner);
    m_setupModuleInstalled = std::move(moduleInstalled);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    m_zoomQR->hide();
    if (m_webcamSetup)
        m_webcamSetup->hide();
    m_preview->close();
    // Closing ends the program: listening stops and every stream thread ends here, while the
    // window and the output still exist, rather than in the destructors.
    stopServer();
    event->accept();
}

void MainWindow::styleButtons()
{
    QPushButton *const buttons[] = {m_ui->cmdStart, m_ui->cmdPreview, m_ui->cmdSettings,
                                    m_ui->cmdReset};
    for (QPushButton *button : buttons) {
        button->setText(QString());
        button->setStyleSheet(QString::fromLatin1(kIconButtonStyle));
        button->setCursor(Qt::PointingHandCursor);
    }
}

void MainWindow::updateGuideLink()
{
    ProductSite::showGuideLink(m_ui->lblHelp, m_ui->cmbCams->currentData(Qt::UserRole).toString(),
                               m_ui->cmbCams->currentText());
}

void MainWindow::sendStub()
{
    if (m_stubCard.width() > 0 && m_stubCard.height() > 0)
        m_vcam->sendStub(m_stubCard.buffer(), m_stubCard.width(), m_stubCard.height());
}

QString MainWindow::webcamNotice() const
{
    return m_ui->statusbar->isHidden() ? QString() : m_ui->statusbar->currentMessage();
}

void MainWindow::updateWebcamNotice()
{
    QStatusBar *const bar = m_ui->statusbar;
    const bool grows = !(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen));
    const bool webcam = m_vcam && m_vcam->webcamAvailable();
    // The microphone line only while it is switched on and has something to say.
    const QString micReason = m_vcam && m_microphone && !m_vcam->microphoneAvailable()
                                  ? m_vcam->microphoneUnavailableReason()
                                  : QString();
    if (webcam && m_webcamMissing && m_webcamSetup)
        m_webcamSetup->webcamFound();
    m_webcamMissing = !webcam;
    m_setupWebcam->setVisible(!webcam);
    if (webcam && micReason.isEmpty() && m_refusedPublishers == 0 && m_refusedSrtCallers == 0) {
        if (bar->isHidden())
            return;
        const int heightWith = height();
        bar->clearMessage();
        bar->setToolTip(QString());
        bar->hide();
        // The window's minimum still counts the bar until its layout runs again.
        layout()->activate();
        if (m_noticeHeight > 0 && grows)
            resize(width(), heightWith - m_noticeHeight);
        m_noticeHeight = 0;
        return;
    }
    // Short enough for the window's width beside the set-up button; the tooltip says more.
    QStringList texts;
    QStringList tips;
    if (!webcam) {
        texts << tr("No virtual cam");
        tips << tr("No v4l2loopback device was found, so the virtual webcam is off.\n"
                   "Press \"Set up virtual webcam\", or load the module with:\n%1\n"
                   "The webcam starts by itself within a few seconds.")
                    .arg(QString::fromLatin1(kLoopbackLoadCommand));
    }
    if (!micReason.isEmpty()) {
        texts << tr("No microphone");
        tips << tr("The camera's sound is not offered as a microphone: %1").arg(micReason);
    }
    if (m_refusedPublishers > 0) {
        texts << (m_refusedPublishers == 1
                      ? tr("1 camera refused: wrong stream key")
                      : tr("%1 cameras refused: wrong stream key").arg(m_refusedPublishers));
        tips << tr("The last one came from %1. Cameras must publish with the stream key shown "
                   "in Settings.")
                    .arg(m_lastRefusedPeer);
    }
    if (m_refusedSrtCallers > 0) {
        texts << (m_refusedSrtCallers == 1
                      ? tr("1 SRT camera refused: passphrase")
                      : tr("%1 SRT cameras refused: passphrase").arg(m_refusedSrtCallers));
        tips << tr("The last one came from %1. SRT cameras must use the passphrase set in "
                   "Settings (or none when none is set).")
                    .arg(m_lastRefusedSrtPeer);
    }
    const QString text = texts.join(QStringLiteral(" · "));
    // A status tip may have replaced the message; put it back on the next tick.
    if (bar->currentMessage() != text)
        bar->showMessage(text);
    bar->setToolTip(tips.join(QStringLiteral("\n\n")));
    if (!bar->isHidden())
        return;
    // Showing the bar may already stretch the window to its new minimum; grow from the
    // height it had without the bar.
    const int heightWithout = height();
    bar->show();
    if (grows) {
        m_noticeHeight = bar->sizeHint().height();
        resize(width(), heightWithout + m_noticeHeight);
    }
}

void MainWindow::stopServer()
{
    if (!m_server)
        return;
    if (m_running) {
        m_server->stopListening();
        m_running = false;
        showPublishUrl();
        m_statTimer.stop();
        m_ui->cmdStart->setIcon(QIcon(QString::fromLatin1(kIconStart)));
        m_ui->cmbNetwork->setEnabled(true);
    }
}
