#include "ui/QrPresenter.h"

#include "ui/MainWindow.h"
#include "ui/ZoomQRW.h"

QrPresenter::QrPresenter(QSettings &store) : m_window(std::make_unique<ZoomQRW>())
{
    m_window->setSettings(&store);
}

QrPresenter::~QrPresenter() = default;

void QrPresenter::show(const QString &cameraKey, const QString &publishUrl, const QString &srtUrl,
                       int srtLatencyMs, const QString &srtPassphrase)
{
    m_window->setPhone(cameraKey == QLatin1String(MainWindow::kCameraAndroid)
                           ? ZoomQRW::Phone::Android
                           : ZoomQRW::Phone::IPhone);
    m_window->loadSettings();
    m_window->setSrt(srtUrl, srtLatencyMs, srtPassphrase);
    m_window->showQRForUrl(ZoomQRW::baseLink(publishUrl));
}

void QrPresenter::hide()
{
    m_window->hide();
}
