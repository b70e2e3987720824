#pragma once

#include "ui/CommandRunner.h"
#include "ui/StubCard.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class QCloseEvent;
class QLabel;
class QPushButton;
class OutputSwitch;
class QSettings;
class Server;
struct IngestSettings;
class UpdateChecker;
class OutputRouter;
class WebcamSetupDialog;
class ZoomQRW;

namespace Ui {
class MainWindow;
}

// The control window and the owner of everything that runs: the settings store, the output
// (OutputRouter), the ingest listener (Server), the QR window, the update check, the preview window
// and the no-signal card. The user picks the address the camera sends to and the camera type,
// reads the publish URL, starts and stops listening; while a stream arrives the lower strip
// shows its state, bitrate and buffer levels.
//
// While the output has no virtual webcam device (no v4l2loopback node), a line in the status
// bar says so and how to load the module, with a "Set up virtual webcam" button that opens the
// set-up dialog (the module loaded through pkexec); the card timer looks at the output's device
// state on every tick, so the line goes as soon as a device turns up (and comes back if it
// goes).
//
// The window puts the program together: it creates the output, the OutputSwitch that gives it
// to one stream at a time and the listener, hands the listener its settings as a value
// whenever they change, and ends them in the right order.
//
// Threads: everything here runs on the GUI thread: the slots, both timers, and the listener's
// signals (the streams' state texts reach the listener queued).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr const char *kVersion = "1.2.5";
    static constexpr const char *kProductName = "Quorvix";
    static constexpr int kStatIntervalMs = 3000;
    static constexpr int kStubIntervalMs = 200;
    // Overrides the update manifest's address; set but empty skips the update check.
    static constexpr const char *kManifestUrlVariable = "QUORVIX_MANIFEST_URL";
    // The module load line the status bar's tooltip shows when there is no virtual webcam.
    static constexpr const char *kLoopbackLoadCommand =
        "sudo modprobe v4l2loopback card_label=Quorvix exclusive_caps=1";

    // The listener's numbers for the statistics tick (Server::streamStats by default).
    using StatsSource = std::function<bool(int &audioMs, int &videoMs, qint64 &bytesReceived)>;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows the port warning: parent window, title and text. The default is the modal
    // QMessageBox::critical with a single Ok button; tests put a recorder in its place.
    using WarningBox =
        std::function<void(QWidget *parent, const QString &title, const QString &text)>;

    bool isMevo() const;
    // The stream name a camera must publish to: the key while one is required, else "".
    QByteArray requiredStreamKey() const;
    // What the listener needs of the settings, as they stand now.
    IngestSettings ingestSettings() const;
    // A publisher or SRT caller was served, or refused for the key or passphrase.
    void onPublisherAccepted(const QString &peer);
    void onPublisherRefused(const QString &peer);
    void onSrtCallerAccepted(const QString &peer);
    void onSrtCallerRefused(const QString &peer);

    // The publish URL for the chosen address and the current port, with the stream key in
    // the stream name's place while one is required.
    QString rtmpUrl() const;
    // The SRT address for the chosen address and the SRT port, "" while SRT is off.
    QString srtUrl() const;

    // `program [port [camera text]]`: a non-zero port replaces the one in use (not stored), a
    // camera text selects that camera, then listening starts. For the rest of the run the
    // address and camera are not stored on Start. Reads QCoreApplication::arguments().
    void startFromCommandLine();
    // The same with an explicit argument list (element 0 is the program).
    void startFromCommandLine(const QStringList &arguments);

    // -- For tests and diagnostics.
    bool isRunning() const { return m_running; }
    int port() const { return m_port; }
    const StubCard &stubCard() const { return m_stubCard; }
    Server *server() const { return m_server; }
    OutputRouter *vcam() const { return m_vcam; }
    ZoomQRW *zoomQR() const { return m_zoomQR.get(); }
    QWidget *previewWindow() const { return m_preview.get(); }
    // The status bar's line about a missing webcam device or microphone, or "" while both
    // are there (or the microphone is switched off).
    QString webcamNotice() const;
    void setStatsSource(StatsSource source);
    // Replaces the port warning box (tests); an empty function restores the default.
    void setWarningBox(WarningBox box);
    // What the webcam set-up dialog runs its privileged commands with and how it learns
    // whether the module is installed; empty means the real ones. Before the dialog opens.
    void setWebcamSetupHooks(CommandRunner runner, std::function<bool()> moduleInstalled);
    // The set-up dialog, once the status bar's button has opened it.
    WebcamSetupDialog *webcamSetupDialog() const { return m_webcamSetup; }

public slots:
    void onUpdateStreamState(QString msg);

private slots:
    void on_cmdStart_clicked();
    void on_cmbCams_currentIndexChanged(QString arg1);
    void on_cmbNetwork_currentIndexChanged(QString arg1);
    void onStatTimer();
    void onSettingsTriggered();
    void on_cmdPreview_clicked(bool checked);
    void on_cmdReset_clicked();
    void on_cmdQR_clicked();
    void on_cmdSettings_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void styleButtons();
    // Opens the webcam set-up dialog (made on first use, re-checked on every later use).
    void onSetupWebcamClicked();
    void updateGuideLink();
    // The publish URL in the window, with the two-field form as its tooltip.
    void showPublishUrl();
    void sendStub();
    // Shows or removes the status bar's "no virtual webcam" line after the output's device
    // state; called at construction and on every card tick.
    void updateWebcamNotice();
    // Stops listening and ends every stream thread; safe to call more than once.
    void stopServer();
    // Hands the listener the settings as they stand now.
    void pushIngestSettings();

    // -- GUI thread only, all of them.
    std::unique_ptr<Ui::MainWindow> m_ui;
    // Declared before the QR window, which keeps a pointer to it.
    std::unique_ptr<QSettings> m_settings;
    bool m_running = false;
    int m_port = 1935;
    int m_maxBufferMs = 2000;
    int m_maxBufferIgnoreAudioMs = 300;
    bool m_ignoreAudio = false;
    bool m_ndiMode = false;
    bool m_microphone = true;
    bool m_webcamMissing = false; // as the last notice update found it
    bool m_requireStreamKey = false;
    QString m_streamKey;
    bool m_srt = true;
    int m_srtPort = 9000;
    int m_srtLatencyMs = 120;
    QString m_srtPassphrase;
    QLabel *m_lblSrt = nullptr;      // under the RTMP address, child of its page
    QLabel *m_lblSrtStats = nullptr; // in the statistics strip
    int m_refusedPublishers = 0;     // since the last publisher that named the key
    QString m_lastRefusedPeer;
    int m_refusedSrtCallers = 0; // since the last SRT caller served
    QString m_lastRefusedSrtPeer;
    quint64 m_lastBytes = 0;
    bool m_fromCommandLine = false;
    QTimer m_statTimer;
    QTimer m_stubTimer;
    std::unique_ptr<QWidget> m_preview;
    std::unique_ptr<ZoomQRW> m_zoomQR;
    StubCard m_stubCard;
    std::unique_ptr<UpdateChecker> m_updateChecker;
    StatsSource m_statsSource;
    // Height the window grew by when the status bar appeared; given back when it goes, so the
    // controls keep their size either way. 0 while the status bar is hidden.
    int m_noticeHeight = 0;
    QPushButton *m_setupWebcam = nullptr;       // in the status bar
    WebcamSetupDialog *m_webcamSetup = nullptr; // child of the window, made on first use
    CommandRunner m_setupRunner;
    std::function<bool()> m_setupModuleInstalled;
    WarningBox m_warningBox;
    OutputRouter *m_vcam = nullptr; // child of the window
    // Outlives the listener (whose streams deliver through it) and is outlived by the output.
    std::unique_ptr<OutputSwitch> m_outputSwitch;
    Server *m_server = nullptr; // child of the window
};
