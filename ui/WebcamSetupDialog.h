#pragma once

#include "ui/CommandRunner.h"
#include "ui/SecureBoot.h"
#include "ui/WebcamModule.h"

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The small window behind the status bar's "Set up virtual webcam" button. It loads the
// v4l2loopback module through pkexec, or loads it and writes the two files that load it at
// every start (one password prompt for both), and says in plain words how that ended. When
// the module is not installed it says how to install it instead of offering the load.
//
// With each camera on its own webcam it loads the module with four devices ("Quorvix 1" ...
// "Quorvix 4"), for now and for every start alike; a module already loaded with fewer is
// offered a reload, which removes the module first and so works only while no program holds
// one of its devices (the program lets go of its own on releaseWebcams).
//
// Before a load it asks mokutil whether Secure Boot is on and, if so, whether the key DKMS
// signs the module with is enrolled. When it is not, the load waits and the dialog offers to
// enrol the key: a one-time password typed twice here goes to pkexec mokutil --import on
// standard input, and the dialog then says what the blue screen at the next boot will ask.
// Once that offer (or the news that the key waits for the next boot) has been shown, a load
// goes ahead without asking again. Without mokutil the load goes ahead as before, and the
// dialog says that Secure Boot was not checked.
//
// The commands are WebcamModule's constants, run asynchronously through the CommandRunner;
// the dialog stays usable (Close hides it) while the password prompt is open, and the result
// lands in the dialog even if it was closed meanwhile.
//
// Threads: GUI thread only.
class WebcamSetupDialog : public QDialog
{
    Q_OBJECT

public:
    using InstalledCheck = std::function<bool()>;

    // Empty arguments mean the real ones: processCommandRunner() and
    // WebcamModule::isInstalledForRunningKernel().
    explicit WebcamSetupDialog(CommandRunner runner = {}, InstalledCheck installed = {},
                               QWidget *parent = nullptr);
    ~WebcamSetupDialog() override;

    // What the dialog says now (the line below the fixed introduction).
    QString message() const;
    // A command is running: a Secure Boot check, or a privileged command (the password
    // prompt may be open).
    bool isBusy() const { return m_step != Step::Idle; }
    bool moduleInstalled() const { return m_installed; }
    // The key's enrolment is offered: the password fields and "Enrol key" are shown.
    bool enrolOffered() const;

public slots:
    // Looks again whether the module is installed and offers what fits; keeps the message of
    // a command still running. Run when the dialog is opened and by "Check again".
    void checkInstalled();
    // The window found a webcam device.
    void webcamFound();
    // The webcams the settings ask for (1, or WebcamModule::kEachWebcams), how many devices
    // with their labels there are now, and whether the module is loaded. Loads ask for that
    // many; a module loaded with fewer is offered a reload.
    void setWebcams(int wanted, int present, bool moduleLoaded);
    // A reload is offered: the module has fewer devices than wanted.
    bool reloadOffered() const;

protected:
    bool event(QEvent *event) override;

signals:
    // A command ended with the module loaded; the window may look for the device now.
    void moduleLoaded();
    // A reload is about to run: the program must close its own webcam devices first, or
    // removing the module fails; reloadEnded follows in any case, and then it may open
    // them again.
    void releaseWebcams();
    void reloadEnded();

private:
    enum class Step
    {
        Idle,
        CheckingSecureBoot, // mokutil --sb-state
        CheckingKey,        // mokutil --test-key
        Loading,            // pkexec modprobe, or the permanent set-up
        Enrolling,          // pkexec mokutil --import
    };

    using Setup = WebcamModule::Setup;
    void startLoad(Setup setup);
    void secureBootChecked(const CommandResult &result);
    void keyChecked(const CommandResult &result);
    WebcamModule::Command commandFor(Setup setup) const;
    void run(const WebcamModule::Command &command, Setup setup);
    void finish(const CommandResult &result, Setup setup);
    QString messageFor(WebcamModule::Outcome outcome, const CommandResult &result,
                       Setup setup) const;
    QString reloadOfferText() const;
    void enrolKey();
    void enrolFinished(const CommandResult &result);
    QString enrolMessageFor(SecureBoot::EnrolOutcome outcome, const CommandResult &result) const;
    QString bootSteps() const;
    void setEnrolOffered(bool offered);
    void updateButtons();

    CommandRunner m_runner;
    InstalledCheck m_installedCheck;
    Step m_step = Step::Idle;
    bool m_installed = false;
    // Which load waits for the Secure Boot checks.
    Setup m_pendingSetup = Setup::Load;
    int m_webcamsWanted = 1;
    int m_webcamsPresent = 0;
    bool m_moduleLoaded = false;
    // The user has been told that the key is not enrolled (or waits for the next boot): a
    // load now goes ahead without asking mokutil again.
    bool m_secureBootTold = false;
    SecureBoot::State m_secureBootState = SecureBoot::State::Unknown;
    // Said with the load's outcome when it failed, e.g. that Secure Boot was not checked.
    QString m_checkNote;
    QLabel *m_message = nullptr;            // child
    QPushButton *m_load = nullptr;          // child
    QPushButton *m_loadPermanent = nullptr; // child
    QPushButton *m_check = nullptr;         // child
    QPushButton *m_reload = nullptr;        // child: shown while a reload is offered
    QPushButton *m_close = nullptr;         // child
    QWidget *m_enrolPanel = nullptr;        // child: the enrol offer
    QLineEdit *m_password = nullptr;        // child of m_enrolPanel
    QLineEdit *m_passwordRepeat = nullptr;  // child of m_enrolPanel
    QPushButton *m_enrol = nullptr;         // child of m_enrolPanel
};
