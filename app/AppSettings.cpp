#include "app/AppSettings.h"

#include <QtGlobal>

#include <cstring>

QByteArray AppSettings::rotationKey(const QString &cameraType)
{
    return "ROTATION_" + cameraType.toLatin1();
}

QByteArray AppSettings::mirrorKey(const QString &cameraType)
{
    return "MIRROR_" + cameraType.toLatin1();
}

QByteArray AppSettings::fillKey(const QString &cameraType)
{
    return "FILL_" + cameraType.toLatin1();
}

namespace {

// The per-type key names, made once; Key holds pointers into them.
const QVector<QByteArray> &cameraTypeKeyNames()
{
    static const QVector<QByteArray> names = [] {
        QVector<QByteArray> all;
        for (const char *type : AppSettings::kCameraTypes) {
            const QString name = QString::fromLatin1(type);
            all << AppSettings::rotationKey(name) << AppSettings::mirrorKey(name)
                << AppSettings::fillKey(name);
        }
        return all;
    }();
    return names;
}

} // namespace

QVector<AppSettings::Key> AppSettings::keys()
{
    QVector<Key> all = {
        {kDisplayedColorbarImage, QMetaType::QString, QString::fromUtf8(kDefaultColorbarImage)},
        {kLastTempColorbarImage, QMetaType::QString,
         QString::fromUtf8(kDefaultLastTempColorbarImage)},
        {kStubText, QMetaType::QString, QString::fromUtf8(kDefaultStubText)},
        {kIp, QMetaType::QString, QString::fromUtf8(kDefaultIp)},
        {kCam, QMetaType::QString, QString::fromUtf8(kDefaultCam)},
        {kMaxBufferMs, QMetaType::Int, kDefaultMaxBufferMs},
        {kMaxBufferIgnoreAudioMs, QMetaType::Int, kDefaultMaxBufferIgnoreAudioMs},
        {kIgnoreAudio, QMetaType::Bool, kDefaultIgnoreAudio},
        {kNdiMode, QMetaType::Bool, kDefaultNdiMode},
        {kPort, QMetaType::Int, kDefaultPort},
        {kMicrophone, QMetaType::Bool, kDefaultMicrophone},
        {kEachCameraOwnWebcam, QMetaType::Bool, kDefaultEachCameraOwnWebcam},
        {kRequireStreamKey, QMetaType::Bool, kDefaultRequireStreamKey},
        {kStreamKey, QMetaType::QString, QString::fromUtf8(kDefaultStreamKey)},
        {kSrt, QMetaType::Bool, kDefaultSrt},
        {kSrtPort, QMetaType::Int, kDefaultSrtPort},
        {kSrtLatencyMs, QMetaType::Int, kDefaultSrtLatencyMs},
        {kSrtPassphrase, QMetaType::QString, QString::fromUtf8(kDefaultSrtPassphrase)},
        {kFramesFps, QMetaType::QString, QString::fromUtf8(kDefaultFramesFps)},
        {kBitrate, QMetaType::Int, kDefaultBitrate},
        {kKeyframes, QMetaType::QString, QString::fromUtf8(kDefaultKeyframes)},
        {kWebcamSize, QMetaType::QString, QString::fromUtf8(kDefaultWebcamSize)},
        {kWebcamFormat, QMetaType::QString, QString::fromUtf8(kDefaultWebcamFormat)},
        {kWebcamFixedRate, QMetaType::Bool, kDefaultWebcamFixedRate},
    };
    const QVector<QByteArray> &perType = cameraTypeKeyNames();
    for (int at = 0; at + 2 < perType.size(); at += 3) {
        all.append({perType.at(at).constData(), QMetaType::Int, kDefaultRotation});
        all.append({perType.at(at + 1).constData(), QMetaType::Bool, kDefaultMirror});
        all.append({perType.at(at + 2).constData(), QMetaType::Bool, kDefaultFill});
    }
    return all;
}

AppSettings::Key AppSettings::key(const char *name)
{
    const QVector<Key> all = keys();
    for (const Key &k : all) {
        if (std::strcmp(k.name, name) == 0)
            return k;
    }
    Q_ASSERT_X(false, "AppSettings::key", "unknown settings key");
    return {nullptr, QMetaType::UnknownType, QVariant()};
}

std::unique_ptr<QSettings> AppSettings::openStore()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QString::fromUtf8(kOrganisation),
                                       QString::fromUtf8(kApplication));
}

int AppSettings::readInt(const QSettings &store, const char *name)
{
    const Key k = key(name);
    Q_ASSERT(k.type == QMetaType::Int);
    return store.value(QString::fromUtf8(name), k.defaultValue).toInt();
}

bool AppSettings::readBool(const QSettings &store, const char *name)
{
    const Key k = key(name);
    Q_ASSERT(k.type == QMetaType::Bool);
    return store.value(QString::fromUtf8(name), k.defaultValue).toBool();
}

QString AppSettings::readString(const QSettings &store, const char *name)
{
    const Key k = key(name);
    Q_ASSERT(k.type == QMetaType::QString);
    return store.value(QString::fromUtf8(name), k.defaultValue).toString();
}

QString AppSettings::stubTextFromTyped(const QString &typed)
{
    QString text = typed;
    text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
    return text;
}
