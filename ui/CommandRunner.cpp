#include "ui/CommandRunner.h"

#include <QObject>
#include <QProcess>

#include <memory>

namespace {

// Both output streams as they come, their first kMaxOutputBytes each; the rest is read and
// dropped so a chatty command neither fills memory nor blocks on a full pipe.
struct CapturedOutput
{
    QByteArray output;
    QByteArray errorOutput;
};

void keep(QByteArray &kept, const QByteArray &more)
{
    const int room = CommandResult::kMaxOutputBytes - kept.size();
    if (room > 0)
        kept.append(more.left(room));
}

void drain(QProcess *process, CapturedOutput &captured)
{
    keep(captured.output, process->readAllStandardOutput());
    keep(captured.errorOutput, process->readAllStandardError());
}

} // namespace

CommandRunner processCommandRunner()
{
    return [](const QString &program, const QStringList &arguments, const QByteArray &input,
              QObject *context, CommandDone done) {
        // A child of the context, so closing the owner ends the command with it.
        auto *process = new QProcess(context);
        process->setProgram(program);
        process->setArguments(arguments);
        auto captured = std::make_shared<CapturedOutput>();
        QObject::connect(process, &QProcess::readyReadStandardOutput, context,
                         [process, captured]() { drain(process, *captured); });
        QObject::connect(process, &QProcess::readyReadStandardError, context,
                         [process, captured]() { drain(process, *captured); });
        // QProcess reports a crash through errorOccurred and finished both; one report only.
        auto reported = std::make_shared<bool>(false);
        auto report = [process, done, reported](const CommandResult &result) {
            if (*reported)
                return;
            *reported = true;
            process->deleteLater();
            done(result);
        };
        QObject::connect(process, &QProcess::errorOccurred, context,
                         [process, report](QProcess::ProcessError error) {
                             if (error != QProcess::FailedToStart)
                                 return;
                             CommandResult result;
                             result.status = CommandResult::FailedToStart;
                             result.exitCode = -1;
                             result.errorText = process->errorString();
                             report(result);
                         });
        QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         context,
                         [process, report, captured](int exitCode, QProcess::ExitStatus status) {
                             drain(process, *captured);
                             CommandResult result;
                             result.status = status == QProcess::CrashExit ? CommandResult::Crashed
                                                                           : CommandResult::Exited;
                             result.exitCode = exitCode;
                             result.output = captured->output;
                             result.errorOutput = captured->errorOutput;
                             if (status == QProcess::CrashExit)
                                 result.errorText = process->errorString();
                             report(result);
                         });
        process->start(QIODevice::ReadWrite);
        // Buffered until the process runs; closing after the write still delivers it all.
        if (!input.isEmpty())
            process->write(input);
        process->closeWriteChannel();
    };
}
