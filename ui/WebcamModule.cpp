#include "ui/WebcamModule.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

namespace {

// Run as root by pkexec. A constant: nothing is put into it at run time. The files are
// written before the module is loaded so a failing modprobe (Secure Boot, a kernel without
// the module built yet) still leaves it set up for the next start.
//
// It ends with 0 or one of its own codes (WebcamModule's k...ExitCode): 3 files not written,
// 4 no modprobe, 5 modprobe failed. modprobe runs as a child rather than replacing the shell,
// so neither its status nor the shell's 126/127 for a program it cannot run is ever the
// script's: 126 and 127 stay pkexec's alone.
constexpr char kPermanentScript[] =
    "umask 022\n"
    "mkdir -p /etc/modules-load.d /etc/modprobe.d || exit 3\n"
    "printf 'v4l2loopback\\n' > /etc/modules-load.d/quorvix.conf || exit 3\n"
    "printf 'options v4l2loopback card_label=Quorvix exclusive_caps=1\\n'"
    " > /etc/modprobe.d/quorvix.conf || exit 3\n"
    "[ -x /usr/sbin/modprobe ] || exit 4\n"
    "/usr/sbin/modprobe v4l2loopback card_label=Quorvix exclusive_caps=1 || exit 5\n"
    "exit 0\n";

// The same for four webcams. modprobe quotes a value with spaces for the kernel itself, so
// the labels are one argument; in the options file they need the quotes.
constexpr char kPermanentScriptEach[] =
    "umask 022\n"
    "mkdir -p /etc/modules-load.d /etc/modprobe.d || exit 3\n"
    "printf 'v4l2loopback\\n' > /etc/modules-load.d/quorvix.conf || exit 3\n"
    "printf 'options v4l2loopback devices=4 card_label=\"Quorvix 1,Quorvix 2,Quorvix 3,Quorvix "
    "4\" exclusive_caps=1,1,1,1\\n' > /etc/modprobe.d/quorvix.conf || exit 3\n"
    "[ -x /usr/sbin/modprobe ] || exit 4\n"
    "/usr/sbin/modprobe v4l2loopback devices=4 'card_label=Quorvix 1,Quorvix 2,Quorvix 3,Quorvix "
    "4' exclusive_caps=1,1,1,1 || exit 5\n"
    "exit 0\n";

// Removing fails while any program holds one of the module's devices; then nothing changes.
constexpr char kReloadScriptEach[] =
    "[ -x /usr/sbin/modprobe ] || exit 4\n"
    "if [ -d /sys/module/v4l2loopback ]; then\n"
    "  /usr/sbin/modprobe -r v4l2loopback || exit 6\n"
    "fi\n"
    "/usr/sbin/modprobe v4l2loopback devices=4 'card_label=Quorvix 1,Quorvix 2,Quorvix 3,Quorvix "
    "4' exclusive_caps=1,1,1,1 || exit 5\n"
    "exit 0\n";

constexpr char kEachLabels[] = "Quorvix 1,Quorvix 2,Quorvix 3,Quorvix 4";

bool isModuleFileName(const QByteArray &name)
{
    const QByteArray base = QByteArray(WebcamModule::kModuleName) + ".ko";
    // Debian compresses nothing, other kernels use .ko.xz / .ko.zst / .ko.gz.
    return name == base || name.startsWith(base + '.');
}

} // namespace

QStringList WebcamModule::moduleArguments(int devices)
{
    if (devices != kEachWebcams)
        return QString::fromLatin1(kModuleOptions).split(QLatin1Char(' '));
    return {QStringLiteral("devices=4"), QStringLiteral("card_label=") + QLatin1String(kEachLabels),
            QStringLiteral("exclusive_caps=1,1,1,1")};
}

QString WebcamModule::terminalLoadLine(int devices)
{
    if (devices != kEachWebcams)
        return QStringLiteral("sudo modprobe ") + QLatin1String(kModuleName) + QLatin1Char(' ') +
               QLatin1String(kModuleOptions);
    return QStringLiteral("sudo modprobe v4l2loopback devices=4 'card_label=%1' "
                          "exclusive_caps=1,1,1,1")
        .arg(QLatin1String(kEachLabels));
}

QString WebcamModule::terminalReloadLine()
{
    return QStringLiteral("sudo modprobe -r v4l2loopback && ") + terminalLoadLine(kEachWebcams);
}

WebcamModule::Command WebcamModule::loadCommand(int devices)
{
    Command command;
    command.program = QString::fromLatin1(kPkexec);
    command.arguments << QString::fromLatin1(kModprobe) << QString::fromLatin1(kModuleName)
                      << moduleArguments(devices);
    return command;
}

WebcamModule::Command WebcamModule::permanentCommand(int devices)
{
    Command command;
    command.program = QString::fromLatin1(kPkexec);
    command.arguments << QString::fromLatin1(kShell) << QStringLiteral("-c")
                      << QString::fromLatin1(devices == kEachWebcams ? kPermanentScriptEach
                                                                     : kPermanentScript);
    return command;
}

WebcamModule::Command WebcamModule::reloadCommand()
{
    Command command;
    command.program = QString::fromLatin1(kPkexec);
    command.arguments << QString::fromLatin1(kShell) << QStringLiteral("-c")
                      << QString::fromLatin1(kReloadScriptEach);
    return command;
}

bool WebcamModule::isLoaded()
{
    return QFileInfo(QString::fromLatin1(kSysModuleDir)).isDir();
}

QByteArray WebcamModule::modulesLoadContents()
{
    return QByteArray(kModuleName) + '\n';
}

QByteArray WebcamModule::modprobeConfContents(int devices)
{
    if (devices != kEachWebcams)
        return QByteArray("options ") + kModuleName + ' ' + kModuleOptions + '\n';
    return QByteArray("options ") + kModuleName + " devices=4 card_label=\"" + kEachLabels +
           "\" exclusive_caps=1,1,1,1\n";
}

WebcamModule::Outcome WebcamModule::outcomeOf(const CommandResult &result, Setup setup)
{
    switch (result.status) {
    case CommandResult::FailedToStart:
        return Outcome::NoPkexec;
    case CommandResult::Crashed:
        return Outcome::ModprobeFailed;
    case CommandResult::Exited:
        break;
    }
    switch (result.exitCode) {
    case 0:
        return Outcome::Succeeded;
    case kPkexecDismissedExitCode:
        return Outcome::Cancelled;
    case kPkexecNotAuthorisedExitCode:
        return Outcome::NotAuthorised;
    default:
        break;
    }
    if (setup == Setup::Load)
        return Outcome::ModprobeFailed; // modprobe's own status
    if (setup == Setup::Reload && result.exitCode == kModuleInUseExitCode)
        return Outcome::ModuleInUse;
    switch (result.exitCode) {
    case kFilesNotWrittenExitCode:
        return Outcome::FilesNotWritten;
    case kModprobeMissingExitCode:
        return Outcome::ModprobeMissing;
    case kModprobeFailedExitCode:
        return Outcome::ModprobeFailed;
    default:
        return Outcome::Unexpected;
    }
}

bool WebcamModule::isInstalled(const QString &modulesDir, const QString &sysModuleDir)
{
    if (QFileInfo(sysModuleDir).isDir())
        return true;
    QFile index(modulesDir + QStringLiteral("/modules.dep"));
    if (index.open(QIODevice::ReadOnly)) {
        // Lines read "kernel/drivers/.../name.ko: dependencies"; a module built by dkms but
        // not yet indexed is one modprobe cannot load either.
        while (!index.atEnd()) {
            const QByteArray line = index.readLine();
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray path = line.left(colon);
            if (isModuleFileName(path.mid(path.lastIndexOf('/') + 1)))
                return true;
        }
        return false;
    }
    QDirIterator files(modulesDir, {QLatin1String(kModuleName) + QStringLiteral(".ko*")},
                       QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        if (isModuleFileName(QFileInfo(files.next()).fileName().toUtf8()))
            return true;
    }
    return false;
}

bool WebcamModule::isInstalledForRunningKernel()
{
    return isInstalled(QStringLiteral("/lib/modules/") + runningKernelRelease(),
                       QStringLiteral("/sys/module/") + QLatin1String(kModuleName));
}

QString WebcamModule::runningKernelRelease()
{
    // uname -r on Linux.
    return QSysInfo::kernelVersion();
}
