#pragma once

#include "ui/CommandRunner.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QEvent;
class QLabel;
class QMainWindow;
class QPushButton;
class WebcamSetupDialog;

// The window's status bar and update notice. The bar shows, joined by " · " on one line where
// they fit beside the set-up link and one line each where they do not, what the user should know
// about: no virtual webcam device (no v4l2loopback node, with a "Set up virtual
// webcam" link that opens the set-up dialog), no microphone while it is switched on, and
// cameras refused for a wrong stream key or SRT passphrase. The bar is hidden while there is
// nothing to say; the window grows by the bar's height when it appears and gives it back when
// it goes, so the controls keep their size.
//
// Threads: GUI thread only.
class StatusNotices : public QObject
{
    Q_OBJECT

public:
    // The module load line the tooltip shows when there is no virtual webcam.
    static constexpr const char *kLoopbackLoadCommand =
        "sudo modprobe v4l2loopback card_label=Quorvix exclusive_caps=1";

    // What the bar is about.
    struct State
    {
        bool webcam = true;
        // With each camera on its own webcam: the webcams wanted and the devices there are.
        int webcamsWanted = 1;
        int webcamsPresent = 0;
        QString microphoneReason;  // "" while there is a microphone (or it is switched off)
        int refusedPublishers = 0; // since the last publisher that named the key
        QString lastRefusedPeer;
        int refusedSrtCallers = 0; // since the last SRT caller served
        QString lastRefusedSrtPeer;
        // The webcam format chosen in Settings waits: a program had the webcam open at start.
        QString webcamFormatHeld; // the waiting format ("1920x1080 YUYV"), "" when none waits
    };
    // The bar's line and its tooltip for `state`; an empty line means the bar goes.
    struct Texts
    {
        QString text; // the notices joined by " · "
        QString tip;
        QStringList notices;
    };
    static Texts texts(const State &state);

    // `window` owns the status bar; `updateLabel` shows the update notice.
    StatusNotices(QMainWindow &window, QLabel &updateLabel);
    ~StatusNotices() override;

    // The devices as the output finds them now; called on every card tick.
    void setDevices(bool webcam, const QString &microphoneReason);
    // The chosen webcam format (its text) could not be taken at the start of listening, or
    // "" once it was.
    void setWebcamFormatHeld(const QString &format);
    // The webcams the settings ask for (1, or WebcamModule::kEachWebcams), the devices with
    // their labels there now, and whether the module is loaded; handed on to the set-up
    // dialog, which offers a reload when there are fewer.
    void setWebcams(int wanted, int present, bool moduleLoaded);
    void publisherAccepted();
    void publisherRefused(const QString &peer);
    void srtCallerAccepted();
    void srtCallerRefused(const QString &peer);
    // No key is required any more: refusals for a wrong key are over.
    void forgetRefusedPublishers();
    // A newer build: the update label becomes a link to it.
    void showUpdate(const QString &msg, const QString &url);

    // The bar's line (its notices joined by " · "), or "" while it is hidden.
    QString text() const;
    // What the set-up dialog runs its privileged commands with and how it learns whether the
    // module is installed; empty means the real ones. Before the dialog opens.
    void setWebcamSetupHooks(CommandRunner runner, std::function<bool()> moduleInstalled);
    // The set-up dialog, once the link has opened it.
    WebcamSetupDialog *webcamSetupDialog() const { return m_webcamSetup; }
    void hideDialogs();

signals:
    // The set-up dialog loaded the module: the devices are worth looking at again.
    void devicesMayHaveChanged();
    // The set-up dialog's reload is about to run: the webcam devices must be let go; and it
    // ended (either way): they may be opened again.
    void releaseWebcams();
    void reloadEnded();

protected:
    // The notice label's resizes: one line or one line per notice.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void openWebcamSetup();
    void refresh();
    // Puts the notices on one line when the label is wide enough, else one per line.
    void arrangeNotices();

    QMainWindow &m_window;
    QLabel &m_updateLabel;
    State m_state;
    bool m_webcamMissing = false; // as the last device update found it
    bool m_moduleLoaded = false;
    // Height the window grew by when the bar appeared; 0 while it is hidden.
    int m_noticeHeight = 0;
    QStringList m_notices;                      // shown now, in order
    QLabel *m_noticeLabel = nullptr;            // in the status bar
    QPushButton *m_setupWebcam = nullptr;       // in the status bar
    WebcamSetupDialog *m_webcamSetup = nullptr; // child of the window, made on first use
    CommandRunner m_setupRunner;
    std::function<bool()> m_setupModuleInstalled;
};
