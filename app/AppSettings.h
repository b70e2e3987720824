#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <QVector>

#include <memory>

// The one place that names every persistent setting: its key, the type it is read as and the
// default handed to QSettings::value() when the key is absent. All keys live at the top level of
// the store (no groups).
//
// Reading rule, kept on purpose: a reader converts value(key, default) with toInt(), toBool() or
// toString(). An absent key therefore yields the default, while a key that exists but does not
// convert yields 0 / false / "" (a stored PORT of "abc" reads as 0, not 1935).
//
// Threads: everything here is reentrant; a QSettings object itself belongs to the GUI thread.
class AppSettings
{
public:
    AppSettings() = delete;

    // Where the store lives: Qt's native format in user scope, so on Linux the INI file
    // $XDG_CONFIG_HOME/Morlaid/Quorvix.conf (~/.config/Morlaid/Quorvix.conf).
    static constexpr const char *kOrganisation = "Morlaid";
    static constexpr const char *kApplication = "Quorvix";

    // Keys written by the main window.
    static constexpr const char *kPort = "PORT";
    static constexpr const char *kMaxBufferMs = "MAX_BUFFER_MS";
    static constexpr const char *kMaxBufferIgnoreAudioMs = "MAX_BUFFER_IA_MS";
    static constexpr const char *kIgnoreAudio = "IGNORE_AUDIO";
    static constexpr const char *kNdiMode = "NDI_MODE";
    static constexpr const char *kMicrophone = "MICROPHONE";
    static constexpr const char *kStubText = "STUB_TEXT";
    static constexpr const char *kDisplayedColorbarImage = "DISPLAYED_COLORBAR_IMAGE";
    static constexpr const char *kLastTempColorbarImage = "LAST_TEMP_COLORBAR_IMAGE";
    static constexpr const char *kIp = "IP";
    static constexpr const char *kCam = "CAM";
    // Only publishers naming STREAM_KEY are served; the key is made the first time the option
    // is turned on and kept while it is off.
    static constexpr const char *kRequireStreamKey = "REQUIRE_STREAM_KEY";
    static constexpr const char *kStreamKey = "STREAM_KEY";
    // The SRT listener: on or off, its UDP port, its receive latency in milliseconds and the
    // passphrase callers must encrypt with ("" for none).
    static constexpr const char *kSrt = "SRT";
    static constexpr const char *kSrtPort = "SRT_PORT";
    static constexpr const char *kSrtLatencyMs = "SRT_LATENCY_MS";
    static constexpr const char *kSrtPassphrase = "SRT_PASSPHRASE";
    // The webcam: its size ("640x480", "1280x720" or "1920x1080"), its pixel format ("I420" or
    // "YUYV") and whether its frame rate is a fixed 30 (else the camera's).
    static constexpr const char *kWebcamSize = "WEBCAM_SIZE";
    static constexpr const char *kWebcamFormat = "WEBCAM_FORMAT";
    static constexpr const char *kWebcamFixedRate = "WEBCAM_FIXED_RATE";
    // How each camera type's picture is turned, under the type's key (the main window's
    // camera list): ROTATION_<type> (0, 90, 180, 270 clockwise), MIRROR_<type>, FILL_<type>
    // (crop to the webcam's shape instead of black bars).
    static constexpr const char *kCameraTypes[] = {"GOPRO", "MEVO", "IPHONE", "ANDROID", "OTHER"};
    static QByteArray rotationKey(const QString &cameraType);
    static QByteArray mirrorKey(const QString &cameraType);
    static QByteArray fillKey(const QString &cameraType);
    // Each camera on a webcam of its own ("Quorvix 1" ... "Quorvix 4") instead of the newest
    // camera on the one webcam; takes effect at the next start of listening.
    static constexpr const char *kEachCameraOwnWebcam = "EACH_CAMERA_OWN_WEBCAM";
    // Keys owned by the QR window.
    static constexpr const char *kFramesFps = "FRAMES_FPS";
    static constexpr const char *kBitrate = "BITRATE";
    static constexpr const char *kKeyframes = "KEYFRAMES";

    // Defaults.
    static constexpr int kDefaultPort = 1935;
    static constexpr int kDefaultMaxBufferMs = 2000;
    static constexpr int kDefaultMaxBufferIgnoreAudioMs = 300;
    static constexpr bool kDefaultIgnoreAudio = false;
    static constexpr bool kDefaultNdiMode = false;
    static constexpr bool kDefaultMicrophone = true;
    static constexpr bool kDefaultEachCameraOwnWebcam = false;
    // The line break is a real one: the card draws two lines.
    static constexpr const char *kDefaultStubText = "Quorvix \n( no signal )";
    // The built-in card image in the resource bundle.
    static constexpr const char *kDefaultColorbarImage = ":BKG";
    static constexpr const char *kDefaultLastTempColorbarImage = "";
    static constexpr const char *kDefaultIp = "";
    static constexpr const char *kDefaultCam = "";
    static constexpr bool kDefaultRequireStreamKey = false;
    static constexpr const char *kDefaultStreamKey = "";
    static constexpr bool kDefaultSrt = true;
    // A port many SRT encoders and examples use; UDP, so it never meets a TCP service on 9000.
    static constexpr int kDefaultSrtPort = 9000;
    // libsrt's own default, and right for a LAN: a Wi-Fi round trip is 2-30 ms and a lost
    // packet needs about one and a half of them to come back, so 120 ms leaves room for three
    // or more tries on a busy Wi-Fi while adding little to the picture's delay.
    static constexpr int kDefaultSrtLatencyMs = 120;
    static constexpr const char *kDefaultSrtPassphrase = "";
    static constexpr const char *kDefaultWebcamSize = "1280x720";
    static constexpr const char *kDefaultWebcamFormat = "I420";
    static constexpr bool kDefaultWebcamFixedRate = false;
    static constexpr int kDefaultRotation = 0;
    static constexpr bool kDefaultMirror = false;
    static constexpr bool kDefaultFill = false;
    static constexpr const char *kDefaultFramesFps = "HD@25";
    static constexpr int kDefaultBitrate = 2000;
    static constexpr const char *kDefaultKeyframes = "2s";

    struct Key
    {
        const char *name;
        QMetaType::Type type; // QMetaType::Int, Bool or QString
        QVariant defaultValue;
    };

    // Every key, in the order the main window reads its own ones at construction, followed by
    // the QR window's keys, then the webcam's and each camera type's.
    static QVector<Key> keys();

    // The key's entry; Q_ASSERTs and returns an invalid entry (name nullptr) for an unknown key.
    static Key key(const char *name);

    // Opens the store (GUI thread). The caller owns it for as long as the settings are used.
    static std::unique_ptr<QSettings> openStore();

    // Typed reads with the key's own default, following the reading rule above.
    static int readInt(const QSettings &store, const char *name);
    static bool readBool(const QSettings &store, const char *name);
    static QString readString(const QSettings &store, const char *name);

    // The card text as the user typed it in the settings dialog, with every two-character
    // sequence backslash + 'n' turned into a line break (case-sensitive), ready to store.
    static QString stubTextFromTyped(const QString &typed);
};
