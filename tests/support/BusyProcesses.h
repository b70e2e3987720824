#pragma once

#include <QProcess>

#include <memory>
#include <vector>

// Processes that keep CPU cores busy at normal priority, as a call program encoding video does
// beside Quorvix on a user's computer: each is a shell spinning in a loop. They stop with the
// object (SIGKILL and a bounded wait). Use from one thread (the test's or benchmark's).
class BusyProcesses
{
public:
    // Starts `count` spinning processes; false when one did not start.
    explicit BusyProcesses(int count = 2);
    ~BusyProcesses();

    BusyProcesses(const BusyProcesses &) = delete;
    BusyProcesses &operator=(const BusyProcesses &) = delete;

    bool started() const { return m_started; }
    // Stops them all; also done by the destructor.
    void stop();
    // CPU seconds they have used so far (from /proc), to show that they did run.
    double cpuSeconds() const;

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;
    bool m_started = false;
};
