#pragma once

#include "output/PictureOrientation.h"
#include "output/WebcamFormat.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QShowEvent;
class QSpinBox;

namespace Ui {
class GlobalSettings;
}

// The settings dialog. It never touches the settings store: SettingsController passes the current
// values in, runs the dialog modally and, when it was accepted, reads them back through the
// getters and stores them itself. Each opening starts from the values passed in.
//
// Threads: GUI thread only.
class GlobalSettings : public QDialog
{
    Q_OBJECT

public:
    // Opens a file for the card image. Arguments as QFileDialog::getOpenFileName: parent,
    // caption, start directory, filter, in/out selected filter. Returns the chosen full path or
    // an empty string when cancelled.
    using FileChooser =
        std::function<QString(QWidget *parent, const QString &caption, const QString &dir,
                              const QString &filter, QString *selectedFilter)>;

    // portLocked is true while the ingest listener runs: the port cannot change then. Values
    // outside a spin box's range are clamped to it. imagePath empty means the built-in card.
    GlobalSettings(bool portLocked, int port, const QString &imagePath, int maxBufferMs,
                   int maxBufferIgnoreAudioMs, bool ignoreAudio, bool ndiMode,
                   const QString &stubText, QWidget *parent = nullptr);
    ~GlobalSettings() override;

    int port() const;
    int maxBufferMs() const;
    int maxBufferIgnoreAudioMs() const;
    bool ignoreAudio() const;
    bool ndiMode() const;
    // The microphone switch (on unless set otherwise before exec()).
    void setMicrophone(bool on);
    bool microphone() const;
    // Each camera on a webcam of its own (off unless set otherwise before exec()).
    void setEachCameraOwnWebcam(bool on);
    bool eachCameraOwnWebcam() const;
    // The stream key option and its key (before exec()). Turning the option on with no key
    // makes one, as does passing it on with none; "New key" replaces it. The key is kept when
    // the option is turned off.
    void setStreamKey(bool required, const QString &key);
    bool requireStreamKey() const;
    QString streamKey() const;
    // The key to keep: `key`, or a fresh one when the option is on and `key` is empty, so that
    // "require" always means a key.
    static QString keptStreamKey(bool required, const QString &key);
    // The SRT listener (before exec()): on or off, UDP port, receive latency and passphrase.
    // While the listener runs (portLocked) they are shown but cannot change.
    void setSrt(bool on, int port, int latencyMs, const QString &passphrase);
    bool srt() const;
    int srtPort() const;
    int srtLatencyMs() const;
    QString srtPassphrase() const;
    // Empty, or 10 to 79 characters; OK is disabled while the passphrase is neither.
    static bool srtPassphraseValid(const QString &passphrase);
    // The webcam's size, pixel format and frame rate (before exec()); a size not offered shows
    // as 1280x720.
    void setWebcam(const WebcamFormat &format);
    WebcamFormat webcam() const;
    // How the camera type chosen in the main window (`cameraText`, as it lists it) is turned
    // (before exec()).
    void setOrientation(const QString &cameraText, const PictureOrientation &orientation);
    PictureOrientation orientation() const;
    // Exactly as edited; turning a typed backslash-n into a line break is the caller's business.
    QString stubText() const;
    // Full path of the chosen image, empty for the built-in one.
    QString imagePath() const;

    // Replaces the file chooser (QFileDialog::getOpenFileName by default); tests answer it.
    void setFileChooser(FileChooser chooser);

protected:
    void showEvent(QShowEvent *event) override;

private:
    // Every field as wide as its text needs (within reason), with its placeholder dimmed; the
    // fonts are known once the style sheet has polished the fields.
    void fitFields();
    void chooseImage();
    void onImageNameChanged(const QString &name);
    void clearImage();
    void onIgnoreAudioClicked(bool checked);
    void onStreamKeyToggled(bool checked);
    void makeNewKey();

private:
    // The SRT widgets are made in code, beside the form's own.
    void buildSrtControls(bool locked);
    void updateSrtControls();

    std::unique_ptr<Ui::GlobalSettings> m_ui;
    bool m_locked = false;
    QCheckBox *m_chkSrt = nullptr; // all children of the dialog
    QSpinBox *m_spbSrtPort = nullptr;
    QSpinBox *m_spbSrtLatency = nullptr;
    QLineEdit *m_txtSrtPassphrase = nullptr;
    QLabel *m_lblSrtPassphraseHint = nullptr;
    QString m_imagePath;
    FileChooser m_fileChooser;
};
