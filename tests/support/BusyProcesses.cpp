#include "support/BusyProcesses.h"

#include <QFile>

#include <unistd.h>

BusyProcesses::BusyProcesses(int count)
{
    m_started = true;
    for (int i = 0; i < count; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A bounded loop (an hour at most) in case a crash leaves it behind.
        process->start(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"),
                        QStringLiteral("end=$(( $(date +%s) + 3600 )); i=0; "
                                       "while :; do i=$((i+1)); "
                                       "[ $((i % 100000)) -eq 0 ] && [ $(date +%s) -ge $end ] "
                                       "&& break; done")});
        if (!process->waitForStarted(5000))
            m_started = false;
        m_processes.push_back(std::move(process));
    }
}

BusyProcesses::~BusyProcesses()
{
    stop();
}

void BusyProcesses::stop()
{
    for (auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

double BusyProcesses::cpuSeconds() const
{
    const long ticks = sysconf(_SC_CLK_TCK);
    double total = 0;
    for (const auto &process : m_processes) {
        if (process->state() == QProcess::NotRunning)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process->processId()));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // Fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12 && ticks > 0)
            total += double(fields[11].toLongLong() + fields[12].toLongLong()) / double(ticks);
    }
    return total;
}
