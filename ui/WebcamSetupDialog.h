#pragma once

#include "ui/CommandRunner.h"
#include "ui/WebcamModule.h"

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QPushButton;

// The small window behind the status bar's "Set up virtual webcam" button. It loads the
// v4l2loopback module through pkexec, or loads it and writes the two files that load it at
// every start (one password prompt for both), and says in plain words how that ended. When
// the module is not installed it says how to install it instead of offering the load.
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
    // A privileged command is running (the password prompt may be open).
    bool isBusy() const { return m_busy; }
    bool moduleInstalled() const { return m_installed; }

public slots:
    // Looks again whether the module is installed and offers what fits; keeps the message of
    // a command still running. Run when the dialog is opened and by "Check again".
    void checkInstalled();
    // The window found a webcam device.
    void webcamFound();

signals:
    // A command ended with the module loaded; the window may look for the device now.
    void moduleLoaded();

private:
    void run(const WebcamModule::Command &command, bool permanent);
    void finish(const CommandResult &result, bool permanent);
    QString messageFor(WebcamModule::Outcome outcome, const CommandResult &result,
                       bool permanent) const;
    void updateButtons();

    CommandRunner m_runner;
    InstalledCheck m_installedCheck;
    bool m_busy = false;
    bool m_installed = false;
    QLabel *m_message = nullptr;            // child
    QPushButton *m_load = nullptr;          // child
    QPushButton *m_loadPermanent = nullptr; // child
    QPushButton *m_check = nullptr;         // child
    QPushButton *m_close = nullptr;         // child
};
