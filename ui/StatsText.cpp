#include "ui/StatsText.h"

#include <QCoreApplication>

QString StatsText::buffers(bool ignoreAudio, int audioMs, int videoMs)
{
    if (ignoreAudio)
        return QStringLiteral("v:%1ms").arg(videoMs);
    return QStringLiteral("a:%1ms  v:%2ms").arg(audioMs).arg(videoMs);
}

QString StatsText::playout(qint64 delayMs, qint64 skipped, qint64 repeated)
{
    if (delayMs < 0)
        return QString();
    return QStringLiteral("delay:%1ms  skipped:%2  repeated:%3")
        .arg(delayMs)
        .arg(skipped)
        .arg(repeated);
}

QString StatsText::soundGaps(qint64 lateFrames, qint64 ranDry, qint64 cutMs)
{
    if (lateFrames <= 0 && ranDry <= 0 && cutMs <= 0)
        return QString();
    return QStringLiteral("gaps late:%1 dry:%2 cut:%3ms")
        .arg(qMax<qint64>(0, lateFrames))
        .arg(qMax<qint64>(0, ranDry))
        .arg(qMax<qint64>(0, cutMs));
}

QString StatsText::bitrate(quint64 totalBytes, quint64 &lastBytes)
{
    if (totalBytes < lastBytes) {
        lastBytes = totalBytes;
        return QString();
    }
    const quint64 difference = totalBytes - lastBytes;
    lastBytes = totalBytes;
    const float rate = static_cast<float>(difference) * 8.0f / 3072.0f;
    if (rate > 0)
        return QStringLiteral("%1Kbs").arg(static_cast<qint64>(rate));
    return QString();
}

QString StatsText::srtLink(double rttMs, qint64 lost, qint64 retransmitted)
{
    return QStringLiteral("RTT %1ms  lost %2  resent %3")
        .arg(qRound64(qMax(0.0, rttMs)))
        .arg(lost)
        .arg(retransmitted);
}

QString StatsText::camera(const QString &peerAddress)
{
    if (peerAddress.isEmpty())
        return QString();
    return QCoreApplication::translate("StatsText", "Camera: %1").arg(peerAddress);
}

QStringList StatsText::webcams(const QStringList &webcams, const QList<Camera> &cameras,
                               const QString &whyWaiting)
{
    QStringList lines;
    for (int i = 0; i < webcams.size(); ++i) {
        QString peer;
        for (const Camera &camera : cameras) {
            if (camera.webcam == i)
                peer = camera.peer;
        }
        lines << QStringLiteral("%1: %2").arg(
            webcams.at(i),
            peer.isEmpty() ? QCoreApplication::translate("StatsText", "no camera") : peer);
    }
    for (const Camera &camera : cameras) {
        if (camera.webcam < 0 || camera.webcam >= webcams.size())
            lines << QCoreApplication::translate("StatsText", "%1 waits: %2")
                         .arg(camera.peer, whyWaiting);
    }
    return lines;
}
