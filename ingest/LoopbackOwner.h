#pragma once

#include <QString>

// Tells whether the socket listening on 127.0.0.1:port belongs to this process.
//
// An intake announces itself before FFmpeg's listen-mode open has bound its port (FFmpeg gives
// no call-back after bind), and another program may hold that port: a relay that connects
// then reaches that program instead of our intake. So the relay asks here, after its loopback
// connection is made and before it forwards a byte: every socket listening on the port in a
// way that takes connections to 127.0.0.1 (127.0.0.1, 0.0.0.0, :: and ::ffff:127.0.0.1) must
// be one of this process's open sockets, or, once the connection is accepted, its far end
// must be. The kernel's tables (/proc/net/tcp, tcp6) give each socket's inode; /proc/self/fd
// gives ours. The connection was made before the check, so whoever took it is among those
// checked.
//
// Any thread; reads /proc only, allocates a little per call (once per camera connection).
namespace LoopbackOwner {

enum class Owner
{
    Ours,     // our socket took the connection
    Foreign,  // another process took it, or may have
    NoneFound // nothing listens on the port (or /proc could not be read)
};

// Who took our connection from local port `clientPort` to 127.0.0.1:`port`: the process
// holding its far end once accepted, else the listeners that could hold it in their queue.
// Looks again for up to about half a second while the answer is open (relay thread).
// `problem` gets a short reason when the answer is not Ours.
Owner connectionOwner(int port, int clientPort, QString *problem = nullptr);

// Who made the connection an intake accepted on 127.0.0.1:`port`: Ours when the far end of
// every established connection on that port is one of this process's sockets (the intake takes
// only its own relay's connection; another local program could otherwise publish straight to
// it and skip the stream key), Foreign when one is not, NoneFound when there is none (intake
// thread).
Owner acceptedFrom(int port, QString *problem = nullptr);

} // namespace LoopbackOwner
