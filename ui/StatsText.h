#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// The lower strip's statistics texts, worked out from one 3-second tick of the listener's
// numbers. Kept apart from the window so the arithmetic can be checked on its own.
//
// Threads: reentrant; the main window calls it on the GUI thread.
class StatsText
{
public:
    StatsText() = delete;

    // The statistics tick; the bitrate divides by it (8 bits / 3072 = per 1024 bit/s at 3 s).
    static constexpr int kTickMs = 3000;

    // "v:%1ms" when audio is ignored, otherwise "a:%1ms  v:%2ms".
    static QString buffers(bool ignoreAudio, int audioMs, int videoMs);

    // What the playout does: "delay:%1ms  skipped:%2  repeated:%3" (the delay behind the
    // earliest arrivals, pictures skipped and kept on show past their slot), or "" before the
    // first picture (a negative delay).
    static QString playout(qint64 delayMs, qint64 skipped, qint64 repeated);

    // Gaps in the microphone's sound by cause, "" while there are none: "gaps late:%1 dry:%2
    // cut:%3ms" (audio frames that came after their time, times the microphone ran dry, and
    // sound cut because more came than could be played).
    static QString soundGaps(qint64 lateFrames, qint64 ranDry, qint64 cutMs);

    // "%1Kbs" for the bytes received since the previous tick, or "" when none arrived.
    // `lastBytes` is the previous tick's total and becomes `totalBytes`. A total below
    // `lastBytes` means another connection became current: it is the new base and this tick
    // shows no rate.
    static QString bitrate(quint64 totalBytes, quint64 &lastBytes);

    // An SRT session's link: "RTT %1ms  lost %2  resent %3", the round trip rounded to whole
    // milliseconds, the packets found missing and those that came again.
    static QString srtLink(double rttMs, qint64 lost, qint64 retransmitted);

    // The statistics strip's tooltip: "Camera: <address>", or "" without one.
    static QString camera(const QString &peerAddress);

    // Which camera is on which webcam: "<webcam>: <address>" for each webcam ("<webcam>: no
    // camera" for one without), then "<address> waits: <why>" for each camera without a
    // webcam. `cameras` are the cameras' addresses with the webcam each is on (an index into
    // `webcams`, -1 while it waits).
    struct Camera
    {
        QString peer;
        int webcam = -1;
    };
    static QStringList webcams(const QStringList &webcams, const QList<Camera> &cameras,
                               const QString &whyWaiting);
};
