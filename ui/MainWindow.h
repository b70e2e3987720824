#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <memory>

class QCloseEvent;
class QComboBox;
class QLabel;

namespace Ui {
class MainWindow;
}

// The control window as a view: the address the camera sends to, the camera type, the publish
// URL, the start, preview, settings and reset buttons, the stream's state and statistics strip,
// and the status bar that StatusNotices fills. It holds no program state: Application shows
// what it decides here and hears the user's actions as signals.
//
// Threads: GUI thread only.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The keys of the camera types Application and the QR window tell apart.
    static constexpr const char *kCameraMevo = "MEVO";
    static constexpr const char *kCameraIPhone = "IPHONE";
    static constexpr const char *kCameraAndroid = "ANDROID";

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The camera chosen: its text (what CAM stores) and its key ("GOPRO", "MEVO", ...).
    QString cameraText() const;
    QString cameraKey() const;
    // Chooses the camera named exactly `text`; an unknown text keeps the choice. True when
    // one was found.
    bool selectCamera(const QString &text);
    // The addresses offered, and the one chosen (an unknown text keeps the choice).
    void setNetworkAddresses(const QStringList &items);
    QString networkAddress() const;
    void selectNetworkAddress(const QString &text);

    // The start button's icon and whether the address may change.
    void setListening(bool listening);
    // The publish URL with its tooltip, and the SRT line under it.
    void showPublishUrl(const QString &url, const QString &tip);
    QString publishUrl() const;
    void showSrtLine(bool visible, const QString &text, const QString &tip);
    // A stream's state text on the statistics page; "" goes back to the address page.
    void showStreamState(const QString &state);
    // The statistics strip; an empty `srtLink` hides the SRT figures.
    void showStatistics(const QString &bitrate, const QString &buffers, const QString &srtLink,
                        const QString &cameraTip);
    // The settings and preview buttons' icons while the dialog or the preview is open.
    void setSettingsOpen(bool open);
    void setPreviewShown(bool shown);
    // Where the update notice goes.
    QLabel *updateLabel() const;
    // Which camera is on which webcam, one whole line each, and the cameras the statistics
    // may follow (text and id; `current` is the one they follow now). No lines hide it.
    struct StatsCamera
    {
        QString text;
        quintptr id = 0;
    };
    void showCameras(const QStringList &lines, const QList<StatsCamera> &cameras, quintptr current);

signals:
    void startClicked();
    void cameraChanged();
    void networkChanged();
    void previewToggled(bool shown);
    void resetClicked();
    void qrClicked();
    void settingsClicked();
    // The user (or a termination signal) closed the window; the program ends.
    void closing();
    // The user picked the camera the statistics follow (an id from showCameras).
    void statsCameraPicked(quintptr id);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void styleButtons();
    void onCameraChanged();
    // Gives the webcam list the height its wrapped lines need at its width, and the window
    // the height for that (a main window's layout asks a wrapped label for one line only).
    void fitCameras();

    std::unique_ptr<Ui::MainWindow> m_ui;
    QLabel *m_lblSrt = nullptr;            // under the RTMP address, child of its page
    QLabel *m_lblSrtStats = nullptr;       // in the statistics strip
    QWidget *m_camerasPanel = nullptr;     // under the statistics: the webcams and their cameras
    QLabel *m_lblWebcams = nullptr;        // child of m_camerasPanel
    QComboBox *m_cmbStatsCamera = nullptr; // child of m_camerasPanel
};
