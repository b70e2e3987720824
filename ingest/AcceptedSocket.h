#pragma once

#include <QString>
#include <QtGlobal>

// What a relay needs to know of the descriptor the listener accepted and handed over.
//
// Any thread; system calls only.
namespace AcceptedSocket {

enum class State
{
    Usable,   // a connected TCP socket
    Unusable, // open, but no connected TCP socket: the relay's to close
    NotOpen,  // nothing to close
};

// Qt attaches almost any open descriptor (a pipe, a UDP or a listening socket) and only refuses
// a closed one; this tells a connected TCP socket from the rest. `problem` says why not.
State check(qintptr descriptor, QString &problem);
// Closes it, logging a failure.
void close(qintptr descriptor);
// The address of a connected socket's peer, an IPv4 peer of a dual-stack socket as plain IPv4;
// "" when it has none.
QString peerOf(qintptr descriptor);

} // namespace AcceptedSocket
