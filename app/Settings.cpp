#include "app/Settings.h"

#include "app/AppSettings.h"

#include <QSettings>

namespace {

void put(QSettings &store, const char *key, const QVariant &value)
{
    store.setValue(QString::fromLatin1(key), value);
}

} // namespace

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
}
