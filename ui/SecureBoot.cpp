#include "ui/SecureBoot.h"

namespace {

bool says(const QByteArray &output, const char *text)
{
    return output.contains(text);
}

bool isPlainAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

} // namespace

WebcamModule::Command SecureBoot::stateCommand()
{
    WebcamModule::Command command;
    command.program = QString::fromLatin1(kMokutil);
    command.arguments << QStringLiteral("--sb-state");
    return command;
}

WebcamModule::Command SecureBoot::testKeyCommand()
{
    WebcamModule::Command command;
    command.program = QString::fromLatin1(kMokutil);
    command.arguments << QStringLiteral("--test-key") << QString::fromLatin1(kDkmsKey);
    return command;
}

WebcamModule::Command SecureBoot::enrolCommand(const QString &password)
{
    WebcamModule::Command command;
    command.program = QString::fromLatin1(WebcamModule::kPkexec);
    command.arguments << QString::fromLatin1(kMokutil) << QStringLiteral("--import")
                      << QString::fromLatin1(kDkmsKey);
    // "input password:" and "input password again:", a line each. Printable ASCII only, so
    // the Latin-1 bytes are the characters MokManager will compare.
    const QByteArray line = password.toLatin1() + '\n';
    command.input = line + line;
    return command;
}

QString SecureBoot::terminalEnrolLine()
{
    return QStringLiteral("sudo mokutil --import ") + QLatin1String(kDkmsKey);
}

SecureBoot::PasswordProblem SecureBoot::passwordProblem(const QString &password,
                                                        const QString &repeated)
{
    if (password.size() < kMinPasswordChars)
        return PasswordProblem::Empty;
    if (password.size() > kMaxPasswordChars)
        return PasswordProblem::TooLong;
    if (!isPlainAscii(password))
        return PasswordProblem::NotPlain;
    if (password != repeated)
        return PasswordProblem::Differs;
    return PasswordProblem::None;
}

SecureBoot::State SecureBoot::stateOf(const CommandResult &result)
{
    if (result.status == CommandResult::FailedToStart)
        return State::NoMokutil;
    if (result.status == CommandResult::Crashed)
        return State::Unknown;
    // Before anything else mokutil checks for EFI and the SecureBoot variable (exit 1 or 255).
    if (says(result.errorOutput, "EFI variables are not supported") ||
        says(result.errorOutput, "doesn't support Secure Boot"))
        return State::NotSupported;
    if (result.exitCode != 0)
        return State::Unknown;
    // A shim told not to validate leaves the kernel unlocked as well: unsigned modules load.
    if (says(result.output, "SecureBoot validation is disabled in shim"))
        return State::Disabled;
    if (says(result.output, "SecureBoot enabled"))
        return State::Enabled;
    if (says(result.output, "SecureBoot disabled"))
        return State::Disabled;
    return State::Unknown;
}

SecureBoot::KeyState SecureBoot::keyStateOf(const CommandResult &result)
{
    if (result.status != CommandResult::Exited)
        return KeyState::Unknown;
    // mokutil ends with 1 for "not enrolled", 0 when it skips the key, 255 on failures.
    if (says(result.output, "is not enrolled"))
        return KeyState::NotEnrolled;
    if (says(result.output, "is already in the enrollment request"))
        return KeyState::Pending;
    if (says(result.output, "is already enrolled") || says(result.output, "is already in db"))
        return KeyState::Enrolled;
    if (says(result.errorOutput, "Failed to open") || says(result.errorOutput, "Failed to read"))
        return KeyState::NoKey;
    return KeyState::Unknown;
}

SecureBoot::EnrolOutcome SecureBoot::enrolOutcomeOf(const CommandResult &result)
{
    switch (result.status) {
    case CommandResult::FailedToStart:
        return EnrolOutcome::NoPkexec;
    case CommandResult::Crashed:
        return EnrolOutcome::Failed;
    case CommandResult::Exited:
        break;
    }
    // mokutil itself ends with 0 or 255, so 126 and 127 are pkexec's.
    switch (result.exitCode) {
    case 0:
        return EnrolOutcome::Requested;
    case WebcamModule::kPkexecDismissedExitCode:
        return EnrolOutcome::Cancelled;
    case WebcamModule::kPkexecNotAuthorisedExitCode:
        return EnrolOutcome::NotAuthorised;
    default:
        return EnrolOutcome::Failed;
    }
}
