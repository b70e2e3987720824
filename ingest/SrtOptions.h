#pragma once

#include <QByteArray>
#include <QtGlobal>

// How the SRT listener is set up: read from the settings when listening starts.
struct SrtOptions
{
    // UDP port of the listener; 0 leaves SRT off.
    quint16 port = 0;
    // Receive latency in milliseconds: the window inside which lost packets are resent before
    // their picture is due.
    int latencyMs = 120;
    // Empty: only unencrypted callers are taken. Otherwise 10 to 79 characters, and only
    // callers that encrypt with this passphrase are taken.
    QByteArray passphrase;
    // Empty: any caller that fits the passphrase rule is taken. Otherwise a caller is served
    // only when its streamid carries this key (plain or as "#!::r=KEY"), or when it encrypts
    // with the passphrase (a passphrase set makes every served caller do so).
    QByteArray streamKey;
};
