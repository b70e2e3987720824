#pragma once

#include "app/AppSettings.h"
#include "output/PictureOrientation.h"
#include "output/WebcamFormat.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QString>

// The program's settings as one value: read once from the store at start, written back and read
// again when the settings dialog saves, and handed by value to whoever needs them. The card's
// image and the QR window's choices are kept by their owners (StubCard, ZoomQRW), not here.
//
// Threads: a plain value; the store itself is read and written on the GUI thread.
struct Settings
{
    int port = AppSettings::kDefaultPort;
    int maxBufferMs = AppSettings::kDefaultMaxBufferMs;
    int maxBufferIgnoreAudioMs = AppSettings::kDefaultMaxBufferIgnoreAudioMs;
    bool ignoreAudio = AppSettings::kDefaultIgnoreAudio;
    bool ndiMode = AppSettings::kDefaultNdiMode;
    bool microphone = AppSettings::kDefaultMicrophone;
    bool eachCameraOwnWebcam = AppSettings::kDefaultEachCameraOwnWebcam;
    bool requireStreamKey = AppSettings::kDefaultRequireStreamKey;
    QString streamKey;
    bool srt = AppSettings::kDefaultSrt;
    int srtPort = AppSettings::kDefaultSrtPort;
    int srtLatencyMs = AppSettings::kDefaultSrtLatencyMs;
    QString srtPassphrase;
    // The card's text, with real line breaks.
    QString stubText;
    // The webcam's format, and how each camera type's picture is turned (by the type's key).
    WebcamFormat webcam;
    QHash<QString, PictureOrientation> orientations;
    // The address and camera chosen at the last start.
    QString ip;
    QString cam;

    // Every field from the store, with AppSettings' defaults and reading rule.
    static Settings read(const QSettings &store);
    // The fields the settings dialog edits (all but ip and cam); the caller syncs.
    void write(QSettings &store) const;

    // How the given camera type's picture is turned (upright and fitted unless chosen).
    PictureOrientation orientation(const QString &cameraType) const
    {
        return orientations.value(cameraType);
    }
    // The webcam sizes offered, in the settings' spelling ("1280x720").
    static QStringList webcamSizes();

    // The stream name a camera must publish to: the key while one is required, else "".
    QByteArray requiredStreamKey() const
    {
        return requireStreamKey ? streamKey.toLatin1() : QByteArray();
    }
};
