#pragma once

#include "ui/CommandRunner.h"

#include <QString>
#include <QStringList>

// The fixed privileged commands that set up the v4l2loopback module for the virtual webcam,
// the check whether the module is installed, and what a finished command means. Plain
// functions of their arguments, no state; any thread.
//
// Nothing the user typed or chose reaches a command: programs, arguments and file contents
// are constants of this class. pkexec asks for the password through the desktop's polkit
// agent and runs the command as root with a clean environment.
class WebcamModule
{
public:
    WebcamModule() = delete;

    static constexpr const char *kPkexec = "/usr/bin/pkexec";
    static constexpr const char *kModprobe = "/usr/sbin/modprobe";
    static constexpr const char *kShell = "/bin/sh";
    static constexpr const char *kModuleName = "v4l2loopback";
    // The label the output looks for first; exclusive_caps=1 makes browsers list the device.
    static constexpr const char *kModuleOptions = "card_label=Quorvix exclusive_caps=1";
    // With each camera on its own webcam: four devices, "Quorvix 1" ... "Quorvix 4".
    static constexpr int kEachWebcams = 4;
    static constexpr const char *kSysModuleDir = "/sys/module/v4l2loopback";
    static constexpr const char *kModulesLoadFile = "/etc/modules-load.d/quorvix.conf";
    static constexpr const char *kModprobeConfFile = "/etc/modprobe.d/quorvix.conf";
    // The set-up script's own exit codes. It ends with 0 or one of these and nothing else, so
    // a 126 or 127 from the permanent command is pkexec's: a shell ends with those when a
    // program is not executable or not found, and the script turns every such failure into
    // one of its own codes.
    static constexpr int kFilesNotWrittenExitCode = 3;
    static constexpr int kModprobeMissingExitCode = 4;
    static constexpr int kModprobeFailedExitCode = 5;
    // The reload's own: the loaded module could not be removed (a program holds a device).
    static constexpr int kModuleInUseExitCode = 6;
    // pkexec's own exit codes. modprobe itself ends with 0 or 1, so for the plain load these
    // are pkexec's too.
    static constexpr int kPkexecDismissedExitCode = 126;
    static constexpr int kPkexecNotAuthorisedExitCode = 127;

    // Which of the two commands ran: their exit codes mean different things.
    enum class Setup
    {
        Load,      // loadCommand(): modprobe's own status
        Permanent, // permanentCommand(): the script's codes above
        Reload,    // reloadCommand(): the script's codes above
    };

    enum class Outcome
    {
        Succeeded,
        Cancelled,       // the password prompt was dismissed
        NotAuthorised,   // polkit said no, or no agent could ask
        NoPkexec,        // pkexec could not be started
        ModprobeFailed,  // modprobe ran and failed (or the command crashed)
        FilesNotWritten, // the files in /etc could not be written
        ModprobeMissing, // the files were written, but there is no modprobe to load with
        Unexpected,      // the permanent command ended with a code its script never uses
        ModuleInUse,     // the reload could not remove the module: a program holds a device
    };

    // One privileged command: the program pkexec is, its arguments, its standard input.
    struct Command
    {
        QString program;
        QStringList arguments;
        QByteArray input;
    };

    // `devices` is 1 (one webcam labelled "Quorvix") or kEachWebcams (each camera its own:
    // devices=4, the labels "Quorvix 1" ... "Quorvix 4", exclusive_caps for each); any other
    // number means 1. The module's options as modprobe's arguments.
    static QStringList moduleArguments(int devices = 1);
    // The terminal line for people who prefer it, shown in tooltips and messages.
    static QString terminalLoadLine(int devices = 1);
    // pkexec /usr/sbin/modprobe v4l2loopback card_label=Quorvix exclusive_caps=1
    static Command loadCommand(int devices = 1);
    // pkexec /bin/sh -c <fixed script>: writes both files in /etc, then loads the module, so
    // one password prompt does all of it. The script ends with 0, kFilesNotWrittenExitCode,
    // kModprobeMissingExitCode or kModprobeFailedExitCode (whatever modprobe's own status).
    static Command permanentCommand(int devices = 1);
    // pkexec /bin/sh -c <fixed script>: removes the loaded module (kModuleInUseExitCode when
    // that fails: a program holds one of its devices), then loads it with kEachWebcams
    // devices; kModprobeMissingExitCode and kModprobeFailedExitCode as above.
    static Command reloadCommand();
    static QString terminalReloadLine();
    // The two files' contents, line break included.
    static QByteArray modulesLoadContents();
    static QByteArray modprobeConfContents(int devices = 1);
    // True while the module is loaded (kSysModuleDir exists).
    static bool isLoaded();

    static Outcome outcomeOf(const CommandResult &result, Setup setup);

    // True when the module is loaded (sysModuleDir exists) or modprobe can find it for the
    // running kernel: listed in modulesDir/modules.dep, which is what modprobe reads. Only
    // when that index is missing are the files below modulesDir searched for
    // v4l2loopback.ko*.
    static bool isInstalled(const QString &modulesDir, const QString &sysModuleDir);
    // The same for the running kernel: /lib/modules/<release>, /sys/module/v4l2loopback.
    static bool isInstalledForRunningKernel();
    static QString runningKernelRelease();
};
