#pragma once

#include "ui/CommandRunner.h"
#include "ui/WebcamModule.h"

#include <QByteArray>
#include <QString>

// Secure Boot and the key DKMS signs the modules it builds with: the fixed mokutil commands
// that ask whether Secure Boot is on and whether the key is enrolled, the one that asks for
// the key's enrolment at the next boot, and what their answers mean. Plain functions of
// their arguments, no state; any thread.
//
// With Secure Boot on, the kernel loads only modules signed with a key the firmware's shim
// knows. DKMS signs v4l2loopback with /var/lib/dkms/mok.pub; mokutil --import asks the shim to
// enrol it, and the user confirms that in MokManager (the blue screen) at the next boot with
// a one-time password chosen now.
//
// Programs and arguments are constants. The one-time password travels only on the enrol
// command's standard input: mokutil reads its two prompts' answers from there, one line each,
// when that is not a terminal (and pkexec gives it none).
class SecureBoot
{
public:
    SecureBoot() = delete;

    static constexpr const char *kMokutil = "/usr/bin/mokutil";
    static constexpr const char *kDkmsKey = "/var/lib/dkms/mok.pub";
    // mokutil's own bounds for a MOK password. MokManager at the boot reads plain ASCII, so
    // only printable ASCII characters are taken.
    static constexpr int kMinPasswordChars = 1;
    static constexpr int kMaxPasswordChars = 256;

    enum class State
    {
        Enabled,      // modules must be signed with a known key
        Disabled,     // off, in setup mode, or the shim does not validate
        NotSupported, // no EFI (a BIOS boot) or no Secure Boot variable: nothing to enrol
        NoMokutil,    // mokutil could not be started
        Unknown,      // mokutil answered something else, or failed
    };

    enum class KeyState
    {
        NotEnrolled, // the firmware does not know the key yet
        Enrolled,    // already known (enrolled, or in the firmware's own db)
        Pending,     // enrolment asked for; waits for the confirmation at the next boot
        NoKey,       // the key file is missing or unreadable: DKMS signed nothing with it
        Unknown,     // mokutil answered something else, or failed
    };

    enum class EnrolOutcome
    {
        Requested,     // confirmed at the next boot
        Cancelled,     // the administrator's password prompt was dismissed
        NotAuthorised, // polkit said no, or no agent could ask
        NoPkexec,      // pkexec could not be started
        Failed,        // mokutil ran and failed (its reason is in its error output)
    };

    enum class PasswordProblem
    {
        None,
        Empty,
        TooLong,
        NotPlain, // a character beyond printable ASCII
        Differs,  // the two entries are not the same
    };

    // mokutil --sb-state (no privileges needed).
    static WebcamModule::Command stateCommand();
    // mokutil --test-key /var/lib/dkms/mok.pub (no privileges needed).
    static WebcamModule::Command testKeyCommand();
    // pkexec mokutil --import /var/lib/dkms/mok.pub, the password twice on standard input.
    // Only for a password passwordProblem() has nothing against.
    static WebcamModule::Command enrolCommand(const QString &password);
    // The line for people who prefer a terminal, where mokutil asks for the password itself.
    static QString terminalEnrolLine();

    static PasswordProblem passwordProblem(const QString &password, const QString &repeated);

    static State stateOf(const CommandResult &result);
    static KeyState keyStateOf(const CommandResult &result);
    static EnrolOutcome enrolOutcomeOf(const CommandResult &result);
};
