#include "ui/CommandRunner.h"

#include <QObject>
#include <QProcess>

#include <memory>

CommandRunner processCommandRunner()
{
    return [](const QString &program, const QStringList &arguments, const QByteArray &input,
              QObject *context, CommandDone done) {
        // A child of the context, so closing the owner ends the command with it.
        auto *process = new QProcess(context);
        process->setProgram(program);
        process->setArguments(arguments);
        process->setStandardOutputFile(QProcess::nullDevice());
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
                         context, [process, report](int exitCode, QProcess::ExitStatus status) {
                             CommandResult result;
                             result.status = status == QProcess::CrashExit ? CommandResult::Crashed
                                                                           : CommandResult::Exited;
                             result.exitCode = exitCode;
                             result.errorOutput = process->readAllStandardError();
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
