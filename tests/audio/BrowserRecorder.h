#pragma once

#include "PipeWireDaemon.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <memory>

class QTcpServer;
class QTcpSocket;

// A web page in headless Chromium that records from a microphone as a call site does: it asks
// for sound once (the permission is granted by a flag, as a user would click "Allow"), lists
// the audio inputs, opens the one whose label contains the given text with getUserMedia (echo
// cancelling, noise suppression and gain control off, so the level is the source's), waits
// for sound and measures it with the Web Audio API. The page is served from 127.0.0.1 (a
// secure context, as getUserMedia needs) and posts what it found back to the same server.
//
// Test thread only; runs the event loop while it waits.
class BrowserRecorder
{
public:
    // The Chromium program, or empty when none is installed.
    static QString program();

    explicit BrowserRecorder(const PipeWireDaemon &daemon);
    ~BrowserRecorder();

    BrowserRecorder(const BrowserRecorder &) = delete;
    BrowserRecorder &operator=(const BrowserRecorder &) = delete;

    // Loads the page and waits for its report (bounded). The report's fields:
    //   inputs   - the audio input labels the page saw
    //   label    - the label of the device it opened
    //   error    - why it could not record (absent when it did)
    //   rate     - the audio context's sample rate
    //   hz       - the pitch (from the rising zero crossings of 0.68 s of sound)
    //   rmsDbfs  - the level, RMS in dB relative to full scale
    //   dropouts, longestSilentMs - runs of silence over 1 ms in that sound; the longest
    // Empty with *why set when the browser did not report.
    QJsonObject record(const QString &labelContains, int timeoutMs, QString *why);

private:
    void serve(QTcpSocket *socket);

    const PipeWireDaemon &m_daemon;
    std::unique_ptr<QTcpServer> m_server;
    QString m_labelContains;
    QHash<QTcpSocket *, QByteArray> m_requests; // what each connection sent so far
    QByteArray m_report;
};
