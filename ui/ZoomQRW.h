#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>

#include <memory>

class QCheckBox;
class QSettings;

namespace Ui {
class ZoomQRW;
}

// Stay-on-top window with a QR code that configures Larix Broadcaster on an iPhone or an
// Android phone (both read the same link; only the window's wording differs): the code
// carries a larix://set/v1/ link with the publish URL, a connection name and the encoder
// choices picked in the window (frame size and rate, bitrate, keyframe interval). Every change
// of a choice re-renders the code; the choices are stored when the window closes.
//
// Everything here runs on the GUI thread. QrPresenter owns one instance, created without a
// parent, and opens it with loadSettings() followed by showQRForUrl(baseLink(publishUrl)).
class ZoomQRW : public QWidget
{
    Q_OBJECT
public:
    enum class Phone
    {
        IPhone,
        Android
    };

    explicit ZoomQRW(QWidget *parent = nullptr);
    ~ZoomQRW() override;

    // Which phone the title and the description name; the code stays the same. IPhone until
    // set.
    void setPhone(Phone phone);

    // The shared store; not owned, must outlive this window. Called once after construction.
    void setSettings(QSettings *settings);
    // Copies FRAMES_FPS, BITRATE and KEYFRAMES into the widgets without re-rendering.
    void loadSettings();
    // Remembers the base link, appends the encoder fields, renders the code and shows the
    // window (or restores it when minimised).
    void showQRForUrl(QString url);

    // "larix://set/v1/?conn[][url]=" + the percent-encoded publish URL.
    static QString baseLink(const QString &publishUrl);
    // The same for an SRT connection: the percent-encoded SRT URL, then
    // "&conn[][srtlatency]=" + the latency in milliseconds, with a passphrase
    // "&conn[][srtpass]=" + the percent-encoded passphrase and, when the URL carries a
    // "streamid=" (the stream key), "&conn[][srtstreamid]=" + the percent-encoded stream id
    // (Larix's own field names). The stream id goes in its own field only, not in the URL.
    static QString srtBaseLink(const QString &srtUrl, int latencyMs, const QString &passphrase);
    // Offers the SRT connection (a "SRT" box in the window) with its base link; an empty URL
    // (SRT off) hides the box and the code carries the RTMP connection. Before showQRForUrl.
    void setSrt(const QString &srtUrl, int latencyMs, const QString &passphrase);
    // True while the code carries the SRT connection.
    bool srtChosen() const;
    // The base link followed by the encoder fields and the connection name.
    static QString fullLink(const QString &url, const QString &framesFps, int bitrate,
                            const QString &keyframes);
    // White image of `size` with the code of `text` (UTF-8, level HIGH) drawn square in it with a
    // one-module quiet zone. If the text cannot be encoded the image stays white.
    static QImage renderQR(const QSize &size, const QString &text);

    // The link the code on screen carries; empty before the first render.
    QString currentLink() const { return m_link; }
    // How many codes this window has rendered, so callers can tell a re-render happened.
    int renderCount() const { return m_renderCount; }

public slots:
    void saveSettings();
    void showQR();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

private:
    void placePreview();

    std::unique_ptr<Ui::ZoomQRW> m_ui;
    QString m_url;
    QString m_srtBase;             // empty while SRT is not offered
    QCheckBox *m_chkSrt = nullptr; // child, in the button row
    QString m_link;
    int m_renderCount = 0;
    bool m_loading = false;
    QSettings *m_settings = nullptr;
};
