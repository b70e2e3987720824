#pragma once

#include <QImage>
#include <QProcess>
#include <QString>

// Decodes the QR code in `image` with the real zbarimg, through a PNG written to `path`.
// Returns the decoded text, or a bracketed reason when there is none.
inline QString decodeQr(const QImage &image, const QString &path)
{
    if (!image.save(path))
        return QStringLiteral("<could not write png>");
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), path});
    if (!zbar.waitForFinished(30000)) {
        zbar.kill();
        zbar.waitForFinished(5000);
        return QStringLiteral("<zbarimg hung>");
    }
    if (zbar.exitStatus() != QProcess::NormalExit || zbar.exitCode() != 0)
        return QStringLiteral("<zbarimg found no code: %1>").arg(zbar.exitCode());
    QByteArray out = zbar.readAllStandardOutput();
    if (out.endsWith('\n'))
        out.chop(1);
    return QString::fromUtf8(out);
}
