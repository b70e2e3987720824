#include "app/Application.h"

#include "app/AppLog.h"
#include "app/AppSettings.h"
#include "app/Environment.h"
#include "app/Version.h"
#include "engine/OutputSwitch.h"
#include "ingest/Server.h"
#include "output/OutputBackends.h"
#include "output/OutputRouter.h"
#include "ui/MainWindow.h"
#include "ui/NetworkAddresses.h"
#include "ui/QrPresenter.h"
#include "ui/SettingsController.h"
#include "ui/StatsText.h"
#include "ui/StatusNotices.h"
#include "ui/UpdateChecker.h"
#include "ui/WebcamModule.h"
#include "ui/ZoomQRW.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QMessageBox>
#include <QSettings>

#include <algorithm>

namespace {

constexpr char kPreviewStyle[] = "background:#0E2B47;";

QString settingKey(const char *key)
{
    return QString::fromLatin1(key);
}

} // namespace

Application::Application(QObject *parent)
    : QObject(parent), m_store(AppSettings::openStore()),
      m_settings(std::make_unique<SettingsController>(*m_store)),
      m_window(std::make_unique<MainWindow>()),
      m_notices(std::make_unique<StatusNotices>(*m_window, *m_window->updateLabel())),
      m_qr(std::make_unique<QrPresenter>(*m_store)), m_preview(std::make_unique<QWidget>()),
      m_updateChecker(std::make_unique<UpdateChecker>()),
      m_outputSwitch(std::make_unique<OutputSwitch>(nullptr)),
      m_server(std::make_unique<Server>(*m_outputSwitch))
{
    const Settings &settings = m_settings->settings();
    const QStringList addresses = NetworkAddresses::networkAddressItems();
    m_window->setNetworkAddresses(addresses);

    MainWindow *const window = m_window.get();
    connect(window, &MainWindow::startClicked, this, &Application::toggleListening);
    connect(window, &MainWindow::cameraChanged, this, &Application::pushIngestSettings);
    connect(window, &MainWindow::networkChanged, this, &Application::showPublishUrl);
    connect(window, &MainWindow::previewToggled, this, &Application::setPreviewShown);
    connect(window, &MainWindow::resetClicked, m_server.get(), &Server::resetActiveBuffers);
    connect(window, &MainWindow::qrClicked, this, &Application::showQr);
    connect(window, &MainWindow::settingsClicked, this, &Application::openSettings);
    connect(window, &MainWindow::closing, this, &Application::onWindowClosing);
    connect(window, &MainWindow::statsCameraPicked, this, [this](quintptr id) {
        m_server->pickStatsCamera(id);
        m_lastBytes = 0; // another camera's byte count
        pollStatistics();
    });
    connect(m_settings.get(), &SettingsController::changed, this, &Application::applySettings);

    StatusNotices *const notices = m_notices.get();
    connect(m_updateChecker.get(), &UpdateChecker::newVersionAvailable, notices,
            &StatusNotices::showUpdate);
    connect(notices, &StatusNotices::devicesMayHaveChanged, this, &Application::updateDevices);
    connect(notices, &StatusNotices::releaseWebcams, this, &Application::releaseWebcams);
    connect(notices, &StatusNotices::reloadEnded, this,
            [this] { buildOutputs(m_settings->settings().eachCameraOwnWebcam); });

    Server *const server = m_server.get();
    connect(server, &Server::streamStateChanged, this, &Application::onStreamState);
    connect(server, &Server::publisherAccepted, notices, &StatusNotices::publisherAccepted);
    connect(server, &Server::publisherRefused, notices, &StatusNotices::publisherRefused);
    connect(server, &Server::srtCallerAccepted, notices, &StatusNotices::srtCallerAccepted);
    connect(server, &Server::srtCallerRefused, notices, &StatusNotices::srtCallerRefused);
    setStatsSource(nullptr);
    setWarningBox(nullptr);

    // The card keeps its start-up picture and text until the next start, so it is handed
    // over once.
    m_stubCard.compose(*m_store);
    // Before the first status-bar update, which shows the microphone's line only while on.
    buildOutputs(settings.eachCameraOwnWebcam);
    // A device can come or go at any time (the module loaded, a camera app holding it), so the
    // status line looks whether or not the window listens.
    connect(&m_deviceTimer, &QTimer::timeout, this, &Application::updateDevices);
    m_deviceTimer.start(kDeviceCheckIntervalMs);
    updateDevices();

    onStreamState(QString());

    m_preview->setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint);
    m_preview->setWindowTitle(QString::fromLatin1(kProductName) + tr(": Preview"));
    m_preview->setStyleSheet(QString::fromLatin1(kPreviewStyle));

    // One check per start. The address can be moved (or the check skipped with an empty
    // value) for offline installs and for tests, which must not reach the internet.
    const QString manifestUrl =
        Environment::manifestUrlSet() ? Environment::manifestUrl() : UpdateChecker::manifestUrl();
    if (!manifestUrl.isEmpty())
        m_updateChecker->checkForUpdate(UpdateChecker::kProgramBuild, manifestUrl);

    m_statTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_statTimer, &QTimer::timeout, this, &Application::pollStatistics);

    // An absent key reads as "", which matches no item and keeps the first one. A USB cable
    // plugged in goes before the stored choice.
    m_window->selectNetworkAddress(NetworkAddresses::initialItem(addresses, settings.ip));
    m_window->selectCamera(settings.cam);
    showPublishUrl();
    pushIngestSettings();
}

Application::~Application()
{
    m_deviceTimer.stop();
    m_statTimer.stop();
    // The listener goes first: its stream threads deliver into the output, so none of them
    // may outlive it.
    stopServer();
    m_server.reset();
    m_outputSwitch.reset();
    for (const std::unique_ptr<OutputRouter> &output : m_outputs)
        output->setPreviewWindow(0);
    m_outputs.clear();
}

void Application::releaseOutputs()
{
    m_outputSwitch->reconfigure({}, OutputSwitch::Mode::NewestOwnsOne);
    for (const std::unique_ptr<OutputRouter> &output : m_outputs)
        output->setPreviewWindow(0);
    m_outputs.clear();
}

void Application::releaseWebcams()
{
    if (m_running)
        qCInfo(lcApp) << "Listening stops: the webcam module is reloaded";
    stopServer();
    releaseOutputs();
}

QString Application::webcamLabel(int index)
{
    return QStringLiteral("%1 %2").arg(QString::fromLatin1(kProductName)).arg(index + 1);
}

OutputRouter *Application::output(int index) const
{
    return index >= 0 && index < outputCount() ? m_outputs[static_cast<size_t>(index)].get()
                                               : nullptr;
}

QStringList Application::webcamsPresent()
{
    const QStringList labels = OutputBackends::deviceLabels();
    QStringList present;
    for (int i = 0; i < kMaxWebcams; ++i) {
        if (labels.contains(webcamLabel(i)))
            present << webcamLabel(i);
    }
    return present;
}

void Application::buildOutputs(bool eachCameraOwnWebcam)
{
    // One webcam per device the module has, in label order; without any, the first, which
    // takes its device when the module is loaded.
    QStringList labels;
    if (eachCameraOwnWebcam) {
        labels = webcamsPresent();
        if (labels.isEmpty())
            labels << webcamLabel(0);
    }
    // The switch lets go of the old outputs first (a frame under way is waited for); streams
    // still winding down are handed the new ones.
    const bool previewShown = m_preview->isVisible();
    // The old devices are closed before the new outputs look for theirs.
    releaseOutputs();
    m_eachCameraOwnWebcam = eachCameraOwnWebcam;
    m_webcamLabels = labels;
    const Settings &s = settings();
    std::vector<OutputSink *> sinks;
    for (int i = 0; i < (eachCameraOwnWebcam ? labels.size() : 1); ++i) {
        auto output =
            eachCameraOwnWebcam
                ? std::make_unique<OutputRouter>(labels.at(i), s.webcam, nullptr, true)
                : std::make_unique<OutputRouter>(QString::fromLatin1(kProductName), s.webcam);
        output->setMicrophoneEnabled(s.microphone);
        output->setNdiEnabled(s.ndiMode);
        output->setCard(m_stubCard.buffer(), m_stubCard.width(), m_stubCard.height());
        sinks.push_back(output.get());
        m_outputs.push_back(std::move(output));
    }
    m_outputSwitch->reconfigure(sinks, eachCameraOwnWebcam ? OutputSwitch::Mode::EachOwnWebcam
                                                           : OutputSwitch::Mode::NewestOwnsOne);
    if (previewShown)
        m_outputs.front()->setPreviewWindow(m_preview->winId());
    qCInfo(lcApp).noquote() << (eachCameraOwnWebcam
                                    ? QStringLiteral("Each camera its own webcam: %1")
                                          .arg(labels.join(QStringLiteral(", ")))
                                    : QStringLiteral("One webcam, the newest camera's"));
}

const Settings &Application::settings() const
{
    return m_settings->settings();
}

int Application::port() const
{
    return settings().port;
}

bool Application::isMevo() const
{
    return m_window->cameraKey() == QLatin1String(MainWindow::kCameraMevo);
}

QByteArray Application::requiredStreamKey() const
{
    return settings().requiredStreamKey();
}

IngestSettings Application::ingestSettings() const
{
    const Settings &s = settings();
    IngestSettings ingest;
    ingest.ignoreAudio = s.ignoreAudio;
    ingest.mevo = isMevo();
    ingest.maxBufferMs = s.maxBufferMs;
    ingest.maxBufferIgnoreAudioMs = s.maxBufferIgnoreAudioMs;
    ingest.streamKey = s.requiredStreamKey();
    if (s.srt && s.srtPort > 0 && s.srtPort <= 65535)
        ingest.srt.port = static_cast<quint16>(s.srtPort);
    ingest.srt.latencyMs = s.srtLatencyMs;
    ingest.srt.passphrase = s.srtPassphrase.toUtf8();
    return ingest;
}

QString Application::rtmpUrl() const
{
    const Settings &s = settings();
    return NetworkAddresses::rtmpUrl(m_window->networkAddress(), s.port,
                                     s.requiredStreamKey().isEmpty() ? QString() : s.streamKey);
}

QString Application::srtUrl() const
{
    const Settings &s = settings();
    if (!s.srt || s.srtPort <= 0)
        return QString();
    const QString url = NetworkAddresses::srtUrl(m_window->networkAddress(), s.srtPort);
    const QByteArray key = s.requiredStreamKey();
    // SRT callers name the key as their stream id; its letters and digits need no escaping.
    return key.isEmpty() ? url : url + QStringLiteral("?streamid=") + QString::fromLatin1(key);
}

ZoomQRW *Application::zoomQR() const
{
    return m_qr->window();
}

QString Application::webcamNotice() const
{
    return m_notices->text();
}

WebcamSetupDialog *Application::webcamSetupDialog() const
{
    return m_notices->webcamSetupDialog();
}

void Application::setWebcamSetupHooks(CommandRunner runner, std::function<bool()> moduleInstalled)
{
    m_notices->setWebcamSetupHooks(std::move(runner), std::move(moduleInstalled));
}

void Application::setStatsSource(StatsSource source)
{
    if (source) {
        m_statsSource = std::move(source);
        return;
    }
    m_statsSource = [this](int &audioMs, int &videoMs, qint64 &bytes) {
        return m_server->streamStats(audioMs, videoMs, bytes);
    };
}

void Application::setWarningBox(WarningBox box)
{
    m_warningBox = box ? std::move(box)
                       : WarningBox([](QWidget *parent, const QString &title, const QString &text) {
                             QMessageBox::critical(parent, title, text, QMessageBox::Ok);
                         });
}

void Application::startFromCommandLine()
{
    startFromCommandLine(QCoreApplication::arguments());
}

void Application::startFromCommandLine(const QStringList &arguments)
{
    m_fromCommandLine = true;
    if (arguments.size() > 1 && !arguments.at(1).isEmpty()) {
        bool ok = false;
        const int port = arguments.at(1).toInt(&ok, 10);
        // Not a number, 0, or no TCP port at all: the port in use stays.
        if (ok && port > 0 && port <= 65535) {
            m_settings->overridePort(port);
            showPublishUrl();
        }
    }
    if (arguments.size() > 2 && !arguments.at(2).isEmpty())
        m_window->selectCamera(arguments.at(2));
    toggleListening();
}

void Application::toggleListening()
{
    m_lastBytes = 0;
    if (m_running) {
        stopServer();
        return;
    }
    if (!m_fromCommandLine) {
        m_store->setValue(settingKey(AppSettings::kIp), m_window->networkAddress());
        m_store->setValue(settingKey(AppSettings::kCam), m_window->cameraText());
    }
    m_window->setListening(true);
    // The webcams follow the setting and the module's devices as they are now.
    const bool each = settings().eachCameraOwnWebcam;
    if (each != m_eachCameraOwnWebcam) {
        buildOutputs(each);
    } else if (each) {
        const QStringList present = webcamsPresent();
        if (!present.isEmpty() && present != m_webcamLabels)
            buildOutputs(each);
    }
    pushIngestSettings();
    applyWebcamFormat();
    QString error;
    if (!m_server->startListening(QHostAddress::Any, static_cast<quint16>(port()), &error))
        m_warningBox(m_window.get(), tr("Warning"), error);
    m_running = true;
    showPublishUrl(); // the SRT line says whether its port could be opened
    m_statTimer.start(kStatIntervalMs);
}

void Application::onStreamState(const QString &state)
{
    m_window->showStreamState(state);
    if (state.isEmpty())
        m_lastBytes = 0;
    showCameras();
}

void Application::showCameras()
{
    QList<IntakeSet::Camera> cameras = m_server->cameras();
    // With one webcam the list says something only when a camera waits.
    if (cameras.isEmpty() || (!m_eachCameraOwnWebcam && cameras.size() < 2)) {
        m_window->showCameras({}, {}, 0);
        return;
    }
    std::sort(cameras.begin(), cameras.end(),
              [](const IntakeSet::Camera &a, const IntakeSet::Camera &b) {
                  return unsigned(a.output) < unsigned(b.output); // the waiting ones last
              });
    const QStringList labels =
        m_eachCameraOwnWebcam ? m_webcamLabels : QStringList{QString::fromLatin1(kProductName)};
    QString why;
    if (!m_eachCameraOwnWebcam)
        why = tr("the newest camera has the webcam");
    else if (labels.size() < kMaxWebcams)
        why = tr("no free webcam; the webcam module has %1 of %2, reload it in the set-up window")
                  .arg(labels.size())
                  .arg(kMaxWebcams);
    else
        why = tr("no free webcam; all %1 are in use").arg(labels.size());
    QList<StatsText::Camera> rows;
    QList<MainWindow::StatsCamera> picks;
    for (const IntakeSet::Camera &camera : cameras) {
        rows.append({camera.peer, camera.output});
        const QString on = camera.output >= 0 && camera.output < labels.size()
                               ? labels.at(camera.output)
                               : tr("waiting");
        picks.append({QStringLiteral("%1 (%2)").arg(camera.peer, on), camera.id});
    }
    m_window->showCameras(StatsText::webcams(labels, rows, why), picks, m_server->statsCamera());
}

void Application::openSettings()
{
    m_window->setSettingsOpen(true);
    m_settings->edit(m_running, m_window->cameraKey(), m_window->cameraText());
    m_window->setSettingsOpen(false);
}

void Application::applySettings(const Settings &settings)
{
    if (!settings.requireStreamKey)
        m_notices->forgetRefusedPublishers();
    showPublishUrl();
    for (const std::unique_ptr<OutputRouter> &output : m_outputs) {
        output->setNdiEnabled(settings.ndiMode);
        output->setMicrophoneEnabled(settings.microphone);
    }
    pushIngestSettings();
}

void Application::applyWebcamFormat()
{
    const WebcamFormat &format = settings().webcam;
    bool held = false;
    for (const std::unique_ptr<OutputRouter> &output : m_outputs)
        held = output->setWebcamFormat(format) == WebcamOutput::FormatChange::Held || held;
    m_notices->setWebcamFormatHeld(held ? format.text() : QString());
}

void Application::showQr()
{
    const Settings &s = settings();
    m_qr->show(m_window->cameraKey(), m_window->publishUrl(), srtUrl(), s.srtLatencyMs,
               s.srtPassphrase);
}

void Application::setPreviewShown(bool shown)
{
    if (shown) {
        m_preview->showNormal();
        if (OutputRouter *first = output())
            first->setPreviewWindow(m_preview->winId());
    } else {
        if (OutputRouter *first = output())
            first->setPreviewWindow(0);
        m_preview->hide();
    }
    m_window->setPreviewShown(shown);
}

void Application::updateDevices()
{
    if (m_outputs.empty())
        return;
    if (settings().eachCameraOwnWebcam)
        m_notices->setWebcams(kMaxWebcams, static_cast<int>(webcamsPresent().size()),
                              WebcamModule::isLoaded());
    else
        m_notices->setWebcams(1, 0, WebcamModule::isLoaded());
    // The microphone line only while it is switched on and has something to say.
    const QString micReason = settings().microphone && !output()->microphoneAvailable()
                                  ? output()->microphoneUnavailableReason()
                                  : QString();
    m_notices->setDevices(output()->webcamAvailable(), micReason);
    emit devicesChecked();
}

void Application::pollStatistics()
{
    showCameras();
    const bool ignoreAudio = settings().ignoreAudio;
    QString buffers;
    QString bitrate;
    int audioMs = 0;
    int videoMs = 0;
    qint64 bytes = 0;
    if (m_statsSource && m_statsSource(audioMs, videoMs, bytes)) {
        buffers = StatsText::buffers(ignoreAudio, audioMs, videoMs);
        qint64 delayMs = -1;
        qint64 skipped = 0;
        qint64 repeated = 0;
        qint64 lateAudio = 0;
        if (m_server->playoutStats(delayMs, skipped, repeated, &lateAudio) && delayMs >= 0)
            buffers += QStringLiteral("  ") + StatsText::playout(delayMs, skipped, repeated);
        if (!ignoreAudio) {
            const MicrophoneOutput::SoundGaps gaps =
                output() ? output()->microphoneSoundGaps() : MicrophoneOutput::SoundGaps();
            const QString text = StatsText::soundGaps(lateAudio, gaps.ranDry, gaps.cutMs);
            if (!text.isEmpty())
                buffers += QStringLiteral("  ") + text;
        }
        bitrate = StatsText::bitrate(static_cast<quint64>(std::max<qint64>(bytes, 0)), m_lastBytes);
    }
    SrtRelay::LinkStats link;
    const bool srtSession = m_server->srtStats(link);
    m_window->showStatistics(
        bitrate, buffers,
        srtSession ? StatsText::srtLink(link.rttMs, link.lost, link.retransmitted) : QString(),
        StatsText::camera(m_server->streamPeer()));
}

void Application::showPublishUrl()
{
    const Settings &s = settings();
    const QString url = rtmpUrl();
    const bool keyed = !s.requiredStreamKey().isEmpty();
    // Apps with separate server and key fields (OBS, some camera apps) take the URL in two.
    m_window->showPublishUrl(
        url, keyed ? tr("Apps with separate fields: server %1, stream key %2")
                         .arg(url.left(url.size() - s.streamKey.size() - 1), s.streamKey)
                   : QString());
    const bool failed = m_running && s.srt && !m_server->srtListening();
    const QString srt = srtUrl();
    QString tip;
    if (s.srt) {
        tip =
            s.srtPassphrase.isEmpty()
                ? tr("SRT, latency %1 ms, no passphrase").arg(s.srtLatencyMs)
                : tr("SRT, latency %1 ms, with the passphrase set in Settings").arg(s.srtLatencyMs);
        // Apps with a stream id field of their own (Larix, for one) take the address in two.
        if (keyed)
            tip +=
                QLatin1Char('\n') + tr("Apps with separate fields: server %1, stream id %2")
                                        .arg(srt.left(srt.indexOf(QLatin1Char('?'))), s.streamKey);
    }
    m_window->showSrtLine(
        s.srt, failed ? tr("SRT port %1 not available ( Settings )").arg(s.srtPort) : srt, tip);
}

void Application::pushIngestSettings()
{
    m_server->setSettings(ingestSettings());
    // The picture turns as chosen for the camera type now selected, from the next picture on.
    const PictureOrientation orientation = settings().orientation(m_window->cameraKey());
    for (const std::unique_ptr<OutputRouter> &output : m_outputs)
        output->setWebcamOrientation(orientation);
}

void Application::stopServer()
{
    if (!m_running)
        return;
    m_server->stopListening();
    m_running = false;
    showPublishUrl();
    m_statTimer.stop();
    m_window->setListening(false);
}

void Application::onWindowClosing()
{
    m_qr->hide();
    m_notices->hideDialogs();
    m_preview->close();
    // Closing ends the program: listening stops and every stream thread ends here, while the
    // window and the output still exist, rather than in the destructors.
    stopServer();
}
