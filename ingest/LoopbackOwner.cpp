#include "ingest/LoopbackOwner.h"

#include <QByteArray>
#include <QFile>
#include <QSet>

#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// TCP_LISTEN in the kernel's state numbering (include/net/tcp_states.h).
constexpr int kStateListen = 0x0A;

// Local addresses in /proc/net/tcp{,6} (hex, in the kernel's byte order as printed there) on
// which a listener takes a connection made to 127.0.0.1.
bool takesLoopback(const QByteArray &address, bool v6)
{
    if (!v6)
        return address == "0100007F" || address == "00000000";
    return address == "00000000000000000000000000000000" ||
           address == "0000000000000000FFFF00000100007F";
}

// TCP_ESTABLISHED in the same numbering.
constexpr int kStateEstablished = 0x01;
// A connection still waiting in the listener's queue has no socket (inode 0) yet; the look is
// repeated this often, this far apart, while it waits there and its listener is gone.
constexpr int kLookAttempts = 50;
constexpr unsigned kLookPauseUs = 10000;

struct Table
{
    QSet<quint64> listeners; // listening on the port, taking 127.0.0.1 connections
    bool accepted = false;   // the far end of our connection was found
    quint64 acceptedInode = 0;
};

// One socket of the kernel's table (/proc/net/tcp or tcp6).
struct Socket
{
    QByteArray localAddress; // hex, as the table prints it
    int localPort = 0;
    int remotePort = 0;
    int state = 0;
    quint64 inode = 0;
};

// Every socket of one table; false when it cannot be read.
bool readSockets(const QString &path, QList<Socket> &out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout
        // inode ...
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() < 10)
            continue;
        const QList<QByteArray> local = fields.at(1).split(':');
        const QList<QByteArray> remote = fields.at(2).split(':');
        bool ok = local.size() == 2 && remote.size() == 2;
        Socket socket;
        if (ok) {
            socket.localAddress = local.at(0);
            socket.localPort = local.at(1).toInt(&ok, 16);
        }
        if (ok)
            socket.remotePort = remote.at(1).toInt(&ok, 16);
        if (ok)
            socket.state = fields.at(3).toInt(&ok, 16);
        if (ok)
            socket.inode = fields.at(9).toULongLong(&ok);
        if (ok)
            out.append(socket);
    }
    return true;
}

// One table: the listeners on `port` and the far end of our connection (local `port`, remote
// `clientPort`).
bool readTable(const QString &path, bool v6, int port, int clientPort, Table &table)
{
    QList<Socket> sockets;
    if (!readSockets(path, sockets))
        return false;
    for (const Socket &socket : sockets) {
        if (socket.localPort != port)
            continue;
        if (socket.state == kStateListen && takesLoopback(socket.localAddress, v6)) {
            table.listeners.insert(socket.inode);
        } else if (socket.state == kStateEstablished && socket.remotePort == clientPort) {
            table.accepted = true;
            table.acceptedInode = socket.inode;
        }
    }
    return true;
}

// Inodes of this process's open sockets.
QSet<quint64> ownSockets()
{
    QSet<quint64> inodes;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return inodes;
    const int dirFd = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[64];
        const ssize_t n = ::readlinkat(dirFd, entry->d_name, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        unsigned long long inode = 0;
        if (std::sscanf(target, "socket:[%llu]", &inode) == 1)
            inodes.insert(inode);
    }
    ::closedir(dir);
    return inodes;
}

} // namespace

namespace LoopbackOwner {

Owner connectionOwner(int port, int clientPort, QString *problem)
{
    QSet<quint64> previousStrangers;
    for (int attempt = 0; attempt < kLookAttempts; ++attempt) {
        if (attempt > 0)
            ::usleep(kLookPauseUs);
        Table table;
        if (!readTable(QStringLiteral("/proc/net/tcp"), false, port, clientPort, table)) {
            if (problem)
                *problem = QStringLiteral("/proc/net/tcp not readable");
            return Owner::NoneFound;
        }
        // tcp6 is absent on a kernel without IPv6; that is not a failure.
        readTable(QStringLiteral("/proc/net/tcp6"), true, port, clientPort, table);
        // Our sockets are listed after the tables: a socket in the tables that is still open
        // then is in this list if it is ours.
        const QSet<quint64> ours = ownSockets();
        if (table.accepted && table.acceptedInode != 0) {
            // Accepted: whoever holds the far end took the connection.
            if (ours.contains(table.acceptedInode))
                return Owner::Ours;
            if (problem)
                *problem =
                    QStringLiteral("port %1: connection taken by another program (socket %2)")
                        .arg(port)
                        .arg(table.acceptedInode);
            return Owner::Foreign;
        }
        // Still in a listener's queue: every listener that could hold it must be ours. A
        // listener missing from our list may have closed in between (FFmpeg closes its
        // listener right after the accept); one not ours that is still listed at the next look
        // was open after our list was taken, so it is another program's.
        QSet<quint64> strangers;
        for (quint64 inode : table.listeners) {
            if (!ours.contains(inode))
                strangers.insert(inode);
        }
        if (strangers.isEmpty() && !table.listeners.isEmpty())
            return Owner::Ours;
        if (!strangers.isEmpty() && strangers.intersects(previousStrangers)) {
            if (problem)
                *problem = QStringLiteral("port %1 is held by another program").arg(port);
            return Owner::Foreign;
        }
        previousStrangers = strangers;
    }
    if (problem)
        *problem = QStringLiteral("no listener on port %1").arg(port);
    return Owner::NoneFound;
}

Owner acceptedFrom(int port, QString *problem)
{
    QList<Socket> all;
    if (!readSockets(QStringLiteral("/proc/net/tcp"), all)) {
        if (problem)
            *problem = QStringLiteral("/proc/net/tcp not readable");
        return Owner::NoneFound;
    }
    readSockets(QStringLiteral("/proc/net/tcp6"), all);
    QList<Socket> connections;
    for (const Socket &socket : all) {
        if (socket.state == kStateEstablished)
            connections.append(socket);
    }
    const QSet<quint64> ours = ownSockets();
    bool found = false;
    for (const Socket &accepted : connections) {
        if (accepted.localPort != port)
            continue;
        // The far end of the accepted connection: the socket on its remote port that is
        // connected to `port`.
        for (const Socket &caller : connections) {
            if (caller.localPort != accepted.remotePort || caller.remotePort != port)
                continue;
            found = true;
            if (caller.inode == 0 || !ours.contains(caller.inode)) {
                if (problem)
                    *problem = QStringLiteral("port %1: connection from another program (port %2)")
                                   .arg(port)
                                   .arg(accepted.remotePort);
                return Owner::Foreign;
            }
        }
    }
    if (found)
        return Owner::Ours;
    if (problem)
        *problem = QStringLiteral("no connection on port %1").arg(port);
    return Owner::NoneFound;
}

} // namespace LoopbackOwner
