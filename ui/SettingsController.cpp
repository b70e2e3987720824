#include "ui/SettingsController.h"

#include "app/AppSettings.h"
#include "ui/GlobalSettings.h"
#include "ui/StubCard.h"
#include "ui/UiLog.h"

#include <QSettings>

SettingsController::SettingsController(QSettings &store, QObject *parent)
    : QObject(parent), m_store(store), m_settings(Settings::read(store))
{
    // A passphrase libsrt would refuse (edited by hand) is dropped rather than keeping SRT off.
    if (!GlobalSettings::srtPassphraseValid(m_settings.srtPassphrase)) {
        qCWarning(lcUi) << "SRT passphrase in the settings is not 10 to 79 characters; ignored";
        m_settings.srtPassphrase.clear();
    }
    // "Require" always means a key. A store edited by hand can say require with none, which
    // would check nothing: one is made and kept here, before anything listens.
    const QString kept =
        GlobalSettings::keptStreamKey(m_settings.requireStreamKey, m_settings.streamKey);
    if (kept != m_settings.streamKey) {
        qCWarning(lcUi) << "stream key required but none stored; a new key was made";
        m_settings.streamKey = kept;
        m_store.setValue(QString::fromLatin1(AppSettings::kStreamKey), kept);
        m_store.sync();
    }
}

SettingsController::~SettingsController() = default;

void SettingsController::overridePort(int port)
{
    m_settings.port = port;
}

bool SettingsController::edit(bool listening, const QString &cameraType, const QString &cameraText)
{
    const QString image = AppSettings::readString(m_store, AppSettings::kDisplayedColorbarImage);
    const Settings &s = m_settings;
    GlobalSettings dialog(
        listening, s.port, image == QLatin1String(StubCard::kBuiltInImage) ? QString() : image,
        s.maxBufferMs, s.maxBufferIgnoreAudioMs, s.ignoreAudio, s.ndiMode, s.stubText, nullptr);
    dialog.setMicrophone(s.microphone);
    dialog.setEachCameraOwnWebcam(s.eachCameraOwnWebcam);
    dialog.setStreamKey(s.requireStreamKey, s.streamKey);
    dialog.setSrt(s.srt, s.srtPort, s.srtLatencyMs, s.srtPassphrase);
    dialog.setWebcam(s.webcam);
    // Without a known type (no camera chosen) the picture controls show the "Other" type's.
    const QString type = s.orientations.contains(cameraType) ? cameraType : QStringLiteral("OTHER");
    dialog.setOrientation(cameraText.isEmpty() ? QString() : cameraText, s.orientation(type));
    if (dialog.exec() != QDialog::Accepted)
        return false;

    Settings edited = m_settings;
    edited.srt = dialog.srt();
    edited.srtPort = dialog.srtPort();
    edited.srtLatencyMs = dialog.srtLatencyMs();
    edited.srtPassphrase = dialog.srtPassphrase();
    edited.requireStreamKey = dialog.requireStreamKey();
    edited.streamKey = dialog.streamKey();
    edited.port = dialog.port();
    edited.maxBufferMs = dialog.maxBufferMs();
    edited.maxBufferIgnoreAudioMs = dialog.maxBufferIgnoreAudioMs();
    edited.ignoreAudio = dialog.ignoreAudio();
    edited.ndiMode = dialog.ndiMode();
    edited.microphone = dialog.microphone();
    edited.eachCameraOwnWebcam = dialog.eachCameraOwnWebcam();
    edited.stubText = AppSettings::stubTextFromTyped(dialog.stubText());
    edited.webcam = dialog.webcam();
    edited.orientations.insert(type, dialog.orientation());
    // The card itself keeps its start-up picture and text until the next start.
    StubCard::storeChoice(m_store, dialog.imagePath());
    edited.write(m_store);
    m_store.sync();

    // Read back, so what runs is what the next start will read.
    m_settings = Settings::read(m_store);
    emit changed(m_settings);
    return true;
}
