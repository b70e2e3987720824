#include "app/Settings.h"

#include "app/AppSettings.h"

#include <QSettings>

namespace {

void put(QSettings &store, const char *key, const QVariant &value)
{
    store.setValue(QString::fromLatin1(key), value);
}

// A stored size as one of those offered; anything else is the default.
void readWebcamSize(const QString &text, WebcamFormat &format)
{
    const QString size = Settings::webcamSizes().contains(text)
                             ? text
                             : QString::fromLatin1(AppSettings::kDefaultWebcamSize);
    const QStringList sides = size.split(QLatin1Char('x'));
    format.width = sides.value(0).toInt();
    format.height = sides.value(1).toInt();
}

// A quarter turn as stored; anything else is upright.
int readRotation(int degrees)
{
    return (degrees == 90 || degrees == 180 || degrees == 270) ? degrees : 0;
}

} // namespace

QStringList Settings::webcamSizes()
{
    return {QStringLiteral("640x480"), QStringLiteral("1280x720"), QStringLiteral("1920x1080")};
}

Settings Settings::read(const QSettings &store)
{
    Settings s;
    s.port = AppSettings::readInt(store, AppSettings::kPort);
    s.maxBufferMs = AppSettings::readInt(store, AppSettings::kMaxBufferMs);
    s.maxBufferIgnoreAudioMs = AppSettings::readInt(store, AppSettings::kMaxBufferIgnoreAudioMs);
    s.ignoreAudio = AppSettings::readBool(store, AppSettings::kIgnoreAudio);
    s.ndiMode = AppSettings::readBool(store, AppSettings::kNdiMode);
    s.microphone = AppSettings::readBool(store, AppSettings::kMicrophone);
    s.eachCameraOwnWebcam = AppSettings::readBool(store, AppSettings::kEachCameraOwnWebcam);
    s.requireStreamKey = AppSettings::readBool(store, AppSettings::kRequireStreamKey);
    s.streamKey = AppSettings::readString(store, AppSettings::kStreamKey);
    s.srt = AppSettings::readBool(store, AppSettings::kSrt);
    s.srtPort = AppSettings::readInt(store, AppSettings::kSrtPort);
    s.srtLatencyMs = AppSettings::readInt(store, AppSettings::kSrtLatencyMs);
    s.srtPassphrase = AppSettings::readString(store, AppSettings::kSrtPassphrase);
    s.stubText = AppSettings::readString(store, AppSettings::kStubText);
    readWebcamSize(AppSettings::readString(store, AppSettings::kWebcamSize), s.webcam);
    s.webcam.pixels =
        AppSettings::readString(store, AppSettings::kWebcamFormat) == QLatin1String("YUYV")
            ? WebcamFormat::Pixels::Yuyv
            : WebcamFormat::Pixels::I420;
    s.webcam.fixedRate = AppSettings::readBool(store, AppSettings::kWebcamFixedRate);
    for (const char *type : AppSettings::kCameraTypes) {
        const QString name = QString::fromLatin1(type);
        PictureOrientation orientation;
        orientation.rotation =
            readRotation(AppSettings::readInt(store, AppSettings::rotationKey(name).constData()));
        orientation.mirror = AppSettings::readBool(store, AppSettings::mirrorKey(name).constData());
        orientation.fill = AppSettings::readBool(store, AppSettings::fillKey(name).constData());
        s.orientations.insert(name, orientation);
    }
    s.ip = AppSettings::readString(store, AppSettings::kIp);
    s.cam = AppSettings::readString(store, AppSettings::kCam);
    return s;
}

void Settings::write(QSettings &store) const
{
    put(store, AppSettings::kSrt, srt);
    put(store, AppSettings::kSrtPort, srtPort);
    put(store, AppSettings::kSrtLatencyMs, srtLatencyMs);
    put(store, AppSettings::kSrtPassphrase, srtPassphrase);
    put(store, AppSettings::kRequireStreamKey, requireStreamKey);
    put(store, AppSettings::kStreamKey, streamKey);
    put(store, AppSettings::kPort, port);
    put(store, AppSettings::kMaxBufferMs, maxBufferMs);
    put(store, AppSettings::kMaxBufferIgnoreAudioMs, maxBufferIgnoreAudioMs);
    put(store, AppSettings::kIgnoreAudio, ignoreAudio);
    put(store, AppSettings::kNdiMode, ndiMode);
    put(store, AppSettings::kMicrophone, microphone);
    put(store, AppSettings::kEachCameraOwnWebcam, eachCameraOwnWebcam);
    put(store, AppSettings::kStubText, stubText);
    put(store, AppSettings::kWebcamSize,
        QStringLiteral("%1x%2").arg(webcam.width).arg(webcam.height));
    put(store, AppSettings::kWebcamFormat,
        webcam.pixels == WebcamFormat::Pixels::Yuyv ? QStringLiteral("YUYV")
                                                    : QStringLiteral("I420"));
    put(store, AppSettings::kWebcamFixedRate, webcam.fixedRate);
    for (const char *type : AppSettings::kCameraTypes) {
        const QString name = QString::fromLatin1(type);
        const PictureOrientation orientation = this->orientation(name);
        put(store, AppSettings::rotationKey(name).constData(), orientation.rotation);
        put(store, AppSettings::mirrorKey(name).constData(), orientation.mirror);
        put(store, AppSettings::fillKey(name).constData(), orientation.fill);
    }
}
