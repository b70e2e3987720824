#include "ingest/LoopbackOwner.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSet>

#include <cstdio>
#include <cstring>

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

// Inodes of the sockets listening on `port` that take 127.0.0.1 connections, from one table.
bool readListeners(const QString &table, bool v6, int port, QSet<quint64> &inodes)
{
    QFile file(table);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.readAll();
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout
        // inode ...
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() < 10)
            continue;
        const QList<QByteArray> local = fields.at(1).split(':');
        if (local.size() != 2)
            continue;
        bool ok = false;
        if (local.at(1).toInt(&ok, 16) != port || !ok)
            continue;
        if (fields.at(3).toInt(&ok, 16) != kStateListen || !ok)
            continue;
        if (!takesLoopback(local.at(0), v6))
            continue;
        const quint64 inode = fields.at(9).toULongLong(&ok);
        if (ok)
            inodes.insert(inode);
    }
    return true;
}

// Inodes of this process's open sockets.
QSet<quint64> ownSockets()
{
    QSet<quint64> inodes;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList entries = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QByteArray path = QFile::encodeName(fds.filePath(entry));
        char target[64];
        const ssize_t n = ::readlink(path.constData(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        unsigned long long inode = 0;
        if (std::sscanf(target, "socket:[%llu]", &inode) == 1)
            inodes.insert(inode);
    }
    return inodes;
}

} // namespace

namespace LoopbackOwner {

Owner listenerOwner(int port, QString *problem)
{
    QSet<quint64> listeners;
    const bool v4 = readListeners(QStringLiteral("/proc/net/tcp"), false, port, listeners);
    // tcp6 is absent on a kernel without IPv6; that is not a failure.
    readListeners(QStringLiteral("/proc/net/tcp6"), true, port, listeners);
    if (!v4) {
        if (problem)
            *problem = QStringLiteral("/proc/net/tcp not readable");
        return Owner::NoneFound;
    }
    if (listeners.isEmpty()) {
        if (problem)
            *problem = QStringLiteral("no listener on port %1").arg(port);
        return Owner::NoneFound;
    }
    const QSet<quint64> ours = ownSockets();
    for (quint64 inode : listeners) {
        if (!ours.contains(inode)) {
            if (problem)
                *problem = QStringLiteral("port %1 is held by another program (socket %2)")
                               .arg(port)
                               .arg(inode);
            return Owner::Foreign;
        }
    }
    return Owner::Ours;
}

} // namespace LoopbackOwner
