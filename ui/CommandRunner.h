#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;

// How a command started by a CommandRunner ended.
struct CommandResult
{
    // What is kept of each output stream; the rest is read and dropped. The commands run here
    // answer in a few lines.
    static constexpr int kMaxOutputBytes = 64 * 1024;

    enum Status
    {
        Exited,        // ran and exited; exitCode holds its status
        FailedToStart, // missing or not executable; nothing ran
        Crashed        // killed by a signal
    };
    Status status = Exited;
    int exitCode = 0;
    // The command's standard output (mokutil answers there), its first kMaxOutputBytes.
    QByteArray output;
    // The command's error output, for the log and the message shown; may be empty. Its first
    // kMaxOutputBytes.
    QByteArray errorOutput;
    // The system's reason when it failed to start or crashed.
    QString errorText;
};

using CommandDone = std::function<void(const CommandResult &)>;

// Runs `program` with `arguments` as they are (no shell, no PATH lookup for an absolute path),
// writes `input` to its standard input and closes it (a password goes there, never into an
// argument), and calls `done` once on the calling
// thread when the command has ended. Returns at once: the GUI never waits for the command (a
// password prompt can stay open for minutes). The command belongs to `context`: if `context`
// goes first, the command is ended and `done` is never called.
//
// The privileged webcam set-up goes through this type so tests can record the exact program
// and arguments instead of running pkexec.
using CommandRunner =
    std::function<void(const QString &program, const QStringList &arguments,
                       const QByteArray &input, QObject *context, CommandDone done)>;

// The real runner, on QProcess. GUI thread (or any thread with an event loop).
CommandRunner processCommandRunner();
