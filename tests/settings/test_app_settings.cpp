// The settings keys: defaults from an empty store, the conversion rule for unreadable values,
// and values surviving a new QSettings opened on the same file.
#include "app/AppSettings.h"
#include "app/Environment.h"
#include "app/Settings.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestAppSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void storeIsNativeUserScopeOfMorlaidQuorvix();
    void emptyStoreGivesDefaults();
    void keyTableNamesEachKeyOnceWithMatchingDefaultType();
    void existingButUnconvertibleValueReadsZero();
    void valuesReadBackThroughNewStore();
    void stubTextFromTypedTurnsBackslashNIntoLineBreak();
    void settingsValueMatchesDefaultsAndRoundTrips();
    void manifestAddressSetButEmptyDiffersFromUnset();

private:
    void writeRawStore(const QByteArray &ini);

    QTemporaryDir m_storeDir;
    QString m_testModeStorePath;
};

void TestAppSettings::initTestCase()
{
    // Test mode first, before any QSettings exists: QSettings resolves its user path once.
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_storeDir.isValid());
    {
        const auto store = AppSettings::openStore();
        m_testModeStorePath = store->fileName();
    }
    // Test mode puts every test program's store in one folder under the home directory; a
    // private folder keeps this program's store apart from tests running at the same time.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_storeDir.path());
}

void TestAppSettings::init()
{
    const auto store = AppSettings::openStore();
    QVERIFY(store->fileName().startsWith(m_storeDir.path()));
    store->clear();
    store->sync();
    QCOMPARE(store->status(), QSettings::NoError);
}

void TestAppSettings::writeRawStore(const QByteArray &ini)
{
    const QString path = AppSettings::openStore()->fileName();
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(ini), qint64(ini.size()));
}

void TestAppSettings::storeIsNativeUserScopeOfMorlaidQuorvix()
{
    const auto store = AppSettings::openStore();
    QCOMPARE(store->format(), QSettings::NativeFormat);
    QCOMPARE(store->scope(), QSettings::UserScope);
    QCOMPARE(store->organizationName(), QStringLiteral("Morlaid"));
    QCOMPARE(store->applicationName(), QStringLiteral("Quorvix"));
    QCOMPARE(store->fileName(), m_storeDir.path() + QStringLiteral("/Morlaid/Quorvix.conf"));

    // Under test mode the store resolved to the test configuration folder, never the user's.
    QCOMPARE(m_testModeStorePath,
             QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                 QStringLiteral("/Morlaid/Quorvix.conf"));
    QVERIFY2(m_testModeStorePath.contains(QStringLiteral("/.qttest/")),
             qPrintable(m_testModeStorePath));
}

void TestAppSettings::emptyStoreGivesDefaults()
{
    const auto store = AppSettings::openStore();
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kPort), 1935);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kMaxBufferMs), 2000);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kMaxBufferIgnoreAudioMs), 300);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kIgnoreAudio), false);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kNdiMode), false);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kSrt), true);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kSrtPort), 9000);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kSrtLatencyMs), 120);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kSrtPassphrase), QString());
    // Two card lines, the first with its trailing space.
    QCOMPARE(AppSettings::readString(*store, AppSettings::kStubText).split(QLatin1Char('\n')),
             QStringList({QStringLiteral("Quorvix "), QStringLiteral("( no signal )")}));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kDisplayedColorbarImage),
             QStringLiteral(":BKG"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kLastTempColorbarImage), QString());
    QCOMPARE(AppSettings::readString(*store, AppSettings::kIp), QString());
    QCOMPARE(AppSettings::readString(*store, AppSettings::kCam), QString());
    QCOMPARE(AppSettings::readString(*store, AppSettings::kFramesFps), QStringLiteral("HD@25"));
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kBitrate), 2000);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kKeyframes), QStringLiteral("2s"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kWebcamSize), QStringLiteral("1280x720"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kWebcamFormat), QStringLiteral("I420"));
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kWebcamFixedRate), false);
    for (const char *type : AppSettings::kCameraTypes) {
        const QString name = QString::fromLatin1(type);
        QCOMPARE(AppSettings::readInt(*store, AppSettings::rotationKey(name).constData()), 0);
        QCOMPARE(AppSettings::readBool(*store, AppSettings::mirrorKey(name).constData()), false);
        QCOMPARE(AppSettings::readBool(*store, AppSettings::fillKey(name).constData()), false);
    }

    // Reading writes nothing into the store.
    QVERIFY(store->allKeys().isEmpty());
    store->sync();
    QVERIFY(AppSettings::openStore()->allKeys().isEmpty());
}

void TestAppSettings::keyTableNamesEachKeyOnceWithMatchingDefaultType()
{
    const QVector<AppSettings::Key> keys = AppSettings::keys();
    QSet<QString> names;
    for (const AppSettings::Key &k : keys) {
        const QString name = QString::fromUtf8(k.name);
        QVERIFY2(!names.contains(name), qPrintable(name));
        names.insert(name);
        QCOMPARE(int(k.defaultValue.userType()), int(k.type));
        QCOMPARE(QString::fromUtf8(AppSettings::key(k.name).name), name);
    }
    const QSet<QString> expected = {"PORT",
                                    "MAX_BUFFER_MS",
                                    "MAX_BUFFER_IA_MS",
                                    "IGNORE_AUDIO",
                                    "NDI_MODE",
                                    "MICROPHONE",
                                    "EACH_CAMERA_OWN_WEBCAM",
                                    "REQUIRE_STREAM_KEY",
                                    "STREAM_KEY",
                                    "SRT",
                                    "SRT_PORT",
                                    "SRT_LATENCY_MS",
                                    "SRT_PASSPHRASE",
                                    "STUB_TEXT",
                                    "DISPLAYED_COLORBAR_IMAGE",
                                    "LAST_TEMP_COLORBAR_IMAGE",
                                    "IP",
                                    "CAM",
                                    "FRAMES_FPS",
                                    "BITRATE",
                                    "KEYFRAMES",
                                    "WEBCAM_SIZE",
                                    "WEBCAM_FORMAT",
                                    "WEBCAM_FIXED_RATE"};
    QSet<QString> perType;
    for (const char *type : {"GOPRO", "MEVO", "IPHONE", "ANDROID", "OTHER"})
        perType << QStringLiteral("ROTATION_%1").arg(type) << QStringLiteral("MIRROR_%1").arg(type)
                << QStringLiteral("FILL_%1").arg(type);
    QCOMPARE(names, expected + perType);
    // The main window's construction order comes first.
    QCOMPARE(QString::fromUtf8(keys.first().name), QStringLiteral("DISPLAYED_COLORBAR_IMAGE"));
    QCOMPARE(QString::fromUtf8(keys.at(9).name), QStringLiteral("PORT"));
}

void TestAppSettings::existingButUnconvertibleValueReadsZero()
{
    // As a user editing the file by hand would leave it.
    writeRawStore("[General]\n"
                  "PORT=abc\n"
                  "MAX_BUFFER_MS=\n"
                  "MAX_BUFFER_IA_MS=450\n"
                  "BITRATE=12x\n"
                  "IGNORE_AUDIO=true\n"
                  "WEBCAM_SIZE=800x600\n"
                  "WEBCAM_FORMAT=MJPG\n"
                  "ROTATION_GOPRO=45\n"
                  "ROTATION_MEVO=-90\n"
                  "ROTATION_IPHONE=180\n");
    const auto store = AppSettings::openStore();
    QCOMPARE(store->status(), QSettings::NoError);
    // A key that exists but does not convert reads as 0, not as its default.
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kPort), 0);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kMaxBufferMs), 0);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kBitrate), 0);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kMaxBufferIgnoreAudioMs), 450);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kIgnoreAudio), true);
    // Absent keys still give their defaults.
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kNdiMode), false);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kKeyframes), QStringLiteral("2s"));
    // A webcam size, format or rotation the program does not offer is its default.
    const Settings settings = Settings::read(*store);
    QVERIFY(settings.webcam == WebcamFormat());
    QCOMPARE(settings.orientation(QStringLiteral("GOPRO")).rotation, 0);
    QCOMPARE(settings.orientation(QStringLiteral("MEVO")).rotation, 0);
    QCOMPARE(settings.orientation(QStringLiteral("IPHONE")).rotation, 180);

    // The same through setValue, the way a program would store a bad value.
    store->setValue(QStringLiteral("PORT"), QStringLiteral("abc"));
    store->sync();
    const auto reopened = AppSettings::openStore();
    QCOMPARE(AppSettings::readInt(*reopened, AppSettings::kPort), 0);
}

void TestAppSettings::valuesReadBackThroughNewStore()
{
    const QString stubText = QStringLiteral("Studio A \n( kein Signal ) ü");
    const QString image = QStringLiteral("/home/user/Pictures/card one=1;x.png");
    {
        const auto store = AppSettings::openStore();
        store->setValue(AppSettings::kPort, 1936);
        store->setValue(AppSettings::kMaxBufferMs, 4500);
        store->setValue(AppSettings::kMaxBufferIgnoreAudioMs, 0);
        store->setValue(AppSettings::kIgnoreAudio, true);
        store->setValue(AppSettings::kNdiMode, true);
        store->setValue(AppSettings::kMicrophone, false);
        store->setValue(AppSettings::kEachCameraOwnWebcam, true);
        store->setValue(AppSettings::kRequireStreamKey, true);
        store->setValue(AppSettings::kStreamKey, QStringLiteral("k3yK3yk3yK3yk3yK3yk3yK"));
        store->setValue(AppSettings::kSrt, false);
        store->setValue(AppSettings::kSrtPort, 9710);
        store->setValue(AppSettings::kSrtLatencyMs, 300);
        store->setValue(AppSettings::kSrtPassphrase, QStringLiteral("pass phrase;=1"));
        store->setValue(AppSettings::kStubText, stubText);
        store->setValue(AppSettings::kDisplayedColorbarImage, image);
        store->setValue(AppSettings::kLastTempColorbarImage,
                        QStringLiteral("/data/Images/card one=1;x.png"));
        store->setValue(AppSettings::kIp, QStringLiteral("192.168.1.20 Ethern..."));
        store->setValue(AppSettings::kCam, QStringLiteral("GoPro Max"));
        store->setValue(AppSettings::kFramesFps, QStringLiteral("FullHD@30"));
        store->setValue(AppSettings::kBitrate, 6000);
        store->setValue(AppSettings::kKeyframes, QStringLiteral("1s"));
        store->setValue(AppSettings::kWebcamSize, QStringLiteral("640x480"));
        store->setValue(AppSettings::kWebcamFormat, QStringLiteral("YUYV"));
        store->setValue(AppSettings::kWebcamFixedRate, true);
        int rotation = 0;
        for (const char *type : AppSettings::kCameraTypes) {
            const QString name = QString::fromLatin1(type);
            rotation = (rotation + 90) % 360;
            store->setValue(QString::fromLatin1(AppSettings::rotationKey(name)), rotation);
            store->setValue(QString::fromLatin1(AppSettings::mirrorKey(name)), rotation == 90);
            store->setValue(QString::fromLatin1(AppSettings::fillKey(name)), rotation == 180);
        }
        store->sync();
        QCOMPARE(store->status(), QSettings::NoError);
    }
    const auto store = AppSettings::openStore();
    QVERIFY(QFile::exists(store->fileName()));
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kPort), 1936);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kMaxBufferMs), 4500);
    // 0 is a value like any other, not "absent".
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kMaxBufferIgnoreAudioMs), 0);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kIgnoreAudio), true);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kNdiMode), true);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kMicrophone), false);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kEachCameraOwnWebcam), true);
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kRequireStreamKey), true);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kStreamKey),
             QStringLiteral("k3yK3yk3yK3yk3yK3yk3yK"));
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kSrt), false);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kSrtPort), 9710);
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kSrtLatencyMs), 300);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kSrtPassphrase),
             QStringLiteral("pass phrase;=1"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kStubText), stubText);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kDisplayedColorbarImage), image);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kLastTempColorbarImage),
             QStringLiteral("/data/Images/card one=1;x.png"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kIp),
             QStringLiteral("192.168.1.20 Ethern..."));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kCam), QStringLiteral("GoPro Max"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kFramesFps), QStringLiteral("FullHD@30"));
    QCOMPARE(AppSettings::readInt(*store, AppSettings::kBitrate), 6000);
    QCOMPARE(AppSettings::readString(*store, AppSettings::kKeyframes), QStringLiteral("1s"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kWebcamSize), QStringLiteral("640x480"));
    QCOMPARE(AppSettings::readString(*store, AppSettings::kWebcamFormat), QStringLiteral("YUYV"));
    QCOMPARE(AppSettings::readBool(*store, AppSettings::kWebcamFixedRate), true);
    // GOPRO 90 mirrored, MEVO 180 filled, IPHONE 270, ANDROID 0, OTHER 90 mirrored.
    const Settings read = Settings::read(*store);
    QCOMPARE(read.webcam.width, 640);
    QCOMPARE(read.webcam.height, 480);
    QVERIFY(read.webcam.pixels == WebcamFormat::Pixels::Yuyv);
    QVERIFY(read.webcam.fixedRate);
    QCOMPARE(read.orientation(QStringLiteral("GOPRO")).rotation, 90);
    QVERIFY(read.orientation(QStringLiteral("GOPRO")).mirror);
    QCOMPARE(read.orientation(QStringLiteral("MEVO")).rotation, 180);
    QVERIFY(read.orientation(QStringLiteral("MEVO")).fill);
    QVERIFY(!read.orientation(QStringLiteral("MEVO")).mirror);
    QCOMPARE(read.orientation(QStringLiteral("IPHONE")).rotation, 270);
    QCOMPARE(read.orientation(QStringLiteral("ANDROID")).rotation, 0);
    QCOMPARE(read.orientation(QStringLiteral("OTHER")).rotation, 90);
    // Every key at the top level, no groups.
    QCOMPARE(store->childGroups(), QStringList());
    QCOMPARE(store->allKeys().size(), AppSettings::keys().size());

    // Writing false back is read as false, not as the absent-key default.
    store->setValue(AppSettings::kIgnoreAudio, false);
    store->sync();
    QCOMPARE(AppSettings::readBool(*AppSettings::openStore(), AppSettings::kIgnoreAudio), false);
}

void TestAppSettings::stubTextFromTypedTurnsBackslashNIntoLineBreak()
{
    QCOMPARE(AppSettings::stubTextFromTyped(QStringLiteral("Quorvix \\n( no signal )")),
             QStringLiteral("Quorvix \n( no signal )"));
    QCOMPARE(AppSettings::stubTextFromTyped(QStringLiteral("a\\nb\\nc")),
             QStringLiteral("a\nb\nc"));
    // Case-sensitive; a real line break and other escapes pass unchanged.
    QCOMPARE(AppSettings::stubTextFromTyped(QStringLiteral("a\\Nb")), QStringLiteral("a\\Nb"));
    QCOMPARE(AppSettings::stubTextFromTyped(QStringLiteral("a\nb\\t")), QStringLiteral("a\nb\\t"));
    QCOMPARE(AppSettings::stubTextFromTyped(QStringLiteral("ends with \\")),
             QStringLiteral("ends with \\"));
    QCOMPARE(AppSettings::stubTextFromTyped(QString()), QString());
}

void TestAppSettings::settingsValueMatchesDefaultsAndRoundTrips()
{
    // An empty store reads as the value's own defaults, field by field.
    const Settings empty = Settings::read(*AppSettings::openStore());
    const Settings defaults;
    QCOMPARE(empty.port, defaults.port);
    QCOMPARE(empty.maxBufferMs, defaults.maxBufferMs);
    QCOMPARE(empty.maxBufferIgnoreAudioMs, defaults.maxBufferIgnoreAudioMs);
    QCOMPARE(empty.microphone, defaults.microphone);
    QVERIFY(!empty.eachCameraOwnWebcam);
    QCOMPARE(empty.srt, defaults.srt);
    QCOMPARE(empty.srtPort, defaults.srtPort);
    QCOMPARE(empty.srtLatencyMs, defaults.srtLatencyMs);
    QCOMPARE(empty.stubText, QString::fromUtf8(AppSettings::kDefaultStubText));
    QVERIFY(empty.requiredStreamKey().isEmpty());
    QVERIFY(empty.webcam == defaults.webcam);
    QCOMPARE(empty.webcam.width, 1280);
    QCOMPARE(empty.webcam.height, 720);
    QVERIFY(empty.webcam.pixels == WebcamFormat::Pixels::I420);
    QVERIFY(!empty.webcam.fixedRate);
    for (const char *type : AppSettings::kCameraTypes)
        QVERIFY(empty.orientation(QString::fromLatin1(type)) == PictureOrientation());

    Settings edited;
    edited.port = 1999;
    edited.maxBufferMs = 1200;
    edited.maxBufferIgnoreAudioMs = 150;
    edited.ignoreAudio = true;
    edited.ndiMode = true;
    edited.microphone = false;
    edited.eachCameraOwnWebcam = true;
    edited.requireStreamKey = true;
    edited.streamKey = QStringLiteral("k3y");
    edited.srt = false;
    edited.srtPort = 9100;
    edited.srtLatencyMs = 300;
    edited.srtPassphrase = QStringLiteral("0123456789ab");
    edited.stubText = QStringLiteral("Back\nsoon");
    edited.ip = QStringLiteral("not written");
    edited.cam = QStringLiteral("not written");
    edited.webcam.width = 1920;
    edited.webcam.height = 1080;
    edited.webcam.pixels = WebcamFormat::Pixels::Yuyv;
    edited.webcam.fixedRate = true;
    PictureOrientation upright;
    upright.rotation = 270;
    upright.mirror = true;
    upright.fill = true;
    edited.orientations.insert(QStringLiteral("IPHONE"), upright);
    {
        auto store = AppSettings::openStore();
        edited.write(*store);
        store->sync();
    }
    const Settings back = Settings::read(*AppSettings::openStore());
    QCOMPARE(back.port, 1999);
    QCOMPARE(back.maxBufferMs, 1200);
    QCOMPARE(back.maxBufferIgnoreAudioMs, 150);
    QVERIFY(back.ignoreAudio);
    QVERIFY(back.ndiMode);
    QVERIFY(!back.microphone);
    QVERIFY(back.eachCameraOwnWebcam);
    QCOMPARE(back.requiredStreamKey(), QByteArray("k3y"));
    QVERIFY(!back.srt);
    QCOMPARE(back.srtPort, 9100);
    QCOMPARE(back.srtLatencyMs, 300);
    QCOMPARE(back.srtPassphrase, QStringLiteral("0123456789ab"));
    QCOMPARE(back.stubText, QStringLiteral("Back\nsoon"));
    QVERIFY(back.webcam == edited.webcam);
    QVERIFY(back.orientation(QStringLiteral("IPHONE")) == upright);
    QVERIFY(back.orientation(QStringLiteral("ANDROID")) == PictureOrientation());
    // The address and camera are the Start button's to store.
    QVERIFY(back.ip.isEmpty());
    QVERIFY(back.cam.isEmpty());
    // The key is kept while not required, but not asked for.
    edited.requireStreamKey = false;
    QVERIFY(edited.requiredStreamKey().isEmpty());
}

void TestAppSettings::manifestAddressSetButEmptyDiffersFromUnset()
{
    const QByteArray previous = qgetenv(Environment::kManifestUrl);
    const bool wasSet = qEnvironmentVariableIsSet(Environment::kManifestUrl);
    qunsetenv(Environment::kManifestUrl);
    QVERIFY(!Environment::manifestUrlSet());
    qputenv(Environment::kManifestUrl, QByteArray());
    QVERIFY(Environment::manifestUrlSet());
    QVERIFY(Environment::manifestUrl().isEmpty());
    qputenv(Environment::kManifestUrl, "http://127.0.0.1:1/m.json");
    QCOMPARE(Environment::manifestUrl(), QStringLiteral("http://127.0.0.1:1/m.json"));
    if (wasSet)
        qputenv(Environment::kManifestUrl, previous);
    else
        qunsetenv(Environment::kManifestUrl);
}

QTEST_GUILESS_MAIN(TestAppSettings)
#include "test_app_settings.moc"
