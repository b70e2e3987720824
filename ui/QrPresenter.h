#pragma once

#include <QString>

#include <memory>

class QSettings;
class ZoomQRW;

// The QR window that sets up Larix Broadcaster on a phone: made once, without a parent, and
// shown for the camera chosen with the current publish and SRT addresses.
//
// Threads: GUI thread only.
class QrPresenter
{
public:
    // `store` keeps the window's encoder choices and must outlive this object.
    explicit QrPresenter(QSettings &store);
    ~QrPresenter();
    QrPresenter(const QrPresenter &) = delete;
    QrPresenter &operator=(const QrPresenter &) = delete;

    // Shows the code for `publishUrl` (and offers `srtUrl` unless it is ""), worded for the
    // camera key's phone.
    void show(const QString &cameraKey, const QString &publishUrl, const QString &srtUrl,
              int srtLatencyMs, const QString &srtPassphrase);
    void hide();
    ZoomQRW *window() const { return m_window.get(); }

private:
    std::unique_ptr<ZoomQRW> m_window;
};
