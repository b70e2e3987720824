#pragma once

#include <QList>

// Hands out the loopback ports of the intakes: portBase() + 1 upward, never one a live intake
// holds, wrapping at the top of the port range. The counter is never reset, so a second start
// uses fresh ports while the ended sessions of the first may still hold theirs.
//
// Threads: one user at a time (the GUI thread).
class PortAllocator
{
public:
    // Counter base: the first port ever handed out is portBase() + 1.
    static constexpr int kPortBase = 61100;
    // Highest TCP port.
    static constexpr int kLastPort = 65535;
    // The base in use: QUORVIX_INTAKE_PORT_BASE (1024..65000) when set, else kPortBase. Two
    // copies of the program, or test runs side by side, each need a range of their own.
    static int portBase();

    PortAllocator() : m_base(portBase()), m_last(m_base) {}

    // The next port after the last one handed out that is not in `held`.
    int next(const QList<int> &held);
    int last() const { return m_last; }
    // Moves the counter (tests of the wrap at the top of the range).
    void setLast(int port) { m_last = port; }
    int base() const { return m_base; }

private:
    const int m_base;
    int m_last;
};
