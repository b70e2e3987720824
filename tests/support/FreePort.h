#pragma once

#include <QtGlobal>

// Loopback ports for tests that run side by side (ctest -j): never a fixed port.
class FreePort
{
public:
    // A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read, closed).
    // 0 when no port could be bound.
    static quint16 loopback();
    // The same for a UDP port (SRT).
    static quint16 udpLoopback();
    // True while some socket of this machine is bound to the UDP port (/proc/net/udp{,6}).
    static bool isUdpBound(quint16 port);

    // True while some socket of this machine listens on the TCP port (IPv4 or IPv6), read from
    // /proc/net/tcp{,6} so that looking does not disturb the listener.
    static bool isListening(quint16 port);

    // Waits, running the event loop, until the port listens or timeoutMs has passed.
    static bool waitUntilListening(quint16 port, int timeoutMs);
};
