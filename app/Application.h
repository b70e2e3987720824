#pragma once

#include "app/Settings.h"
#include "ui/CommandRunner.h"
#include "ui/StubCard.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class MainWindow;
class OutputRouter;
class OutputSwitch;
class QSettings;
class QWidget;
class QrPresenter;
class Server;
class SettingsController;
class StatusNotices;
class UpdateChecker;
class WebcamSetupDialog;
class ZoomQRW;
struct IngestSettings;

// Builds the program and runs it: the settings store and the Settings value, the outputs
// (an OutputRouter per webcam: one, or with each camera on its own webcam four, rebuilt at
// the next start of listening when that setting changed), the OutputSwitch that gives them to
// the streams, the listener
// (Server), the update check, the no-signal card (handed to the output once; its video-out
// thread repeats it while no camera streams), the statistics and the control window
// with its status notices, settings dialog, QR and preview windows. It answers the window's
// actions, hands the listener its settings as a value whenever they change, and ends
// everything in order: listening and every stream thread first (when the window closes),
// then the listener, the switch and the output.
//
// Threads: everything here runs on the GUI thread: the slots, both timers and the listener's
// signals (the streams' state texts reach the listener queued).
class Application : public QObject
{
    Q_OBJECT

public:
    static constexpr int kStatIntervalMs = 3000;
    // How often the status bar looks at the output's devices.
    static constexpr int kDeviceCheckIntervalMs = 200;
    // Webcams with each camera on its own: "Quorvix 1" ... "Quorvix 4".
    static constexpr int kMaxWebcams = 4;
    // The card label (and NDI and microphone name) of webcam `index` (0-based) of several.
    static QString webcamLabel(int index);
    // Those of the labels "Quorvix 1" ... "Quorvix 4" a video device has now, in that order.
    static QStringList webcamsPresent();
    // The labels of the webcams in use with each camera on its own (empty otherwise).
    QStringList webcamLabels() const { return m_webcamLabels; }

    // The listener's numbers for the statistics tick (Server::streamStats by default).
    using StatsSource = std::function<bool(int &audioMs, int &videoMs, qint64 &bytesReceived)>;
    // Shows the port warning: parent window, title and text. The default is the modal
    // QMessageBox::critical with a single Ok button; tests put a recorder in its place.
    using WarningBox =
        std::function<void(QWidget *parent, const QString &title, const QString &text)>;

    explicit Application(QObject *parent = nullptr);
    ~Application() override;

    MainWindow &window() const { return *m_window; }

    // `program [port [camera text]]`: a non-zero port replaces the one in use (not stored), a
    // camera text selects that camera, then listening starts. For the rest of the run the
    // address and camera are not stored on Start. Reads QCoreApplication::arguments().
    void startFromCommandLine();
    // The same with an explicit argument list (element 0 is the program).
    void startFromCommandLine(const QStringList &arguments);
    // Start or stop listening, as the start button does.
    void toggleListening();

    const Settings &settings() const;
    bool isRunning() const { return m_running; }
    int port() const;
    bool isMevo() const;
    // The stream name a camera must publish to: the key while one is required, else "".
    QByteArray requiredStreamKey() const;
    // What the listener needs of the settings, as they stand now.
    IngestSettings ingestSettings() const;
    // The publish URL for the chosen address and the current port, with the stream key in
    // the stream name's place while one is required.
    QString rtmpUrl() const;
    // The SRT address for the chosen address and the SRT port, "" while SRT is off.
    QString srtUrl() const;

    // -- For tests and diagnostics.
    Server *server() const { return m_server.get(); }
    // The first webcam's output (null only while the set-up window reloads the module); the
    // others by index (null beyond the last).
    OutputRouter *output() const { return output(0); }
    OutputRouter *output(int index) const;
    int outputCount() const { return static_cast<int>(m_outputs.size()); }
    ZoomQRW *zoomQR() const;
    QWidget *previewWindow() const { return m_preview.get(); }
    const StubCard &stubCard() const { return m_stubCard; }
    StatusNotices &notices() const { return *m_notices; }
    // The status bar's line, or "" while it is hidden.
    QString webcamNotice() const;
    WebcamSetupDialog *webcamSetupDialog() const;
    void setWebcamSetupHooks(CommandRunner runner, std::function<bool()> moduleInstalled);
    void setStatsSource(StatsSource source);
    // Replaces the port warning box (tests); an empty function restores the default.
    void setWarningBox(WarningBox box);
    // A stream's state text as the listener reports it ("" when none streams).
    void onStreamState(const QString &state);
    // One statistics tick (every kStatIntervalMs while listening).
    void pollStatistics();

signals:
    // The webcam and microphone were looked at and the status line follows what was found
    // (every kDeviceCheckIntervalMs).
    void devicesChecked();

private:
    void openSettings();
    void applySettings(const Settings &settings);
    void showQr();
    void setPreviewShown(bool shown);
    void updateDevices();
    void showPublishUrl();
    void pushIngestSettings();
    // The chosen webcam format to the output; the status bar says when a program holds it.
    void applyWebcamFormat();
    // One output per webcam as the setting asks, handed to the switch; the old ones go.
    void buildOutputs(bool eachCameraOwnWebcam);
    // Lets go of every webcam device (listening stops) so that the module can be reloaded.
    void releaseWebcams();
    // The switch lets go of the outputs, which then go (their devices closed).
    void releaseOutputs();
    // Listening stops and every stream thread ends; safe to call more than once.
    void stopServer();
    void onWindowClosing();
    // Which camera is on which webcam, and whose statistics are shown, in the window.
    void showCameras();

    // -- GUI thread only, all of them. Declared in the order they are built; the destructor
    // ends the listener, the switch and the output first, explicitly.
    std::unique_ptr<QSettings> m_store;
    std::unique_ptr<SettingsController> m_settings;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<StatusNotices> m_notices;
    std::unique_ptr<QrPresenter> m_qr;
    std::unique_ptr<QWidget> m_preview;
    std::unique_ptr<UpdateChecker> m_updateChecker;
    // Outlives the listener (whose streams deliver through it) and is outlived by the output.
    std::unique_ptr<OutputSwitch> m_outputSwitch;
    // One per webcam (empty only while the module is reloaded); handed to the switch, which
    // outlives none of them.
    std::vector<std::unique_ptr<OutputRouter>> m_outputs;
    bool m_eachCameraOwnWebcam = false; // what m_outputs were built for
    QStringList m_webcamLabels;
    std::unique_ptr<Server> m_server;
    StubCard m_stubCard;
    QTimer m_deviceTimer;
    QTimer m_statTimer;
    StatsSource m_statsSource;
    WarningBox m_warningBox;
    bool m_running = false;
    bool m_fromCommandLine = false;
    quint64 m_lastBytes = 0;
};
