#include "output/QtPreviewRenderer.h"

#include "output/OutputLog.h"
#include "output/PictureLayout.h"
#include "output/PreviewPainter.h"
#include "output/PutLock.h"

#include <QThread>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

QtPreviewRenderer::QtPreviewRenderer() : m_painter(new PreviewPainter) {}

QtPreviewRenderer::~QtPreviewRenderer()
{
    if (!m_painter)
        return;
    // The painter belongs to the GUI thread; from anywhere else it goes through its loop.
    if (m_painter->thread() == QThread::currentThread())
        delete m_painter.data();
    else
        m_painter->deleteLater();
}

void QtPreviewRenderer::attachWindow(WId window)
{
    if (!m_painter)
        return;
    QWidget *widget = window ? QWidget::find(window) : nullptr;
    if (window && !widget)
        qCWarning(lcOutput) << "PREVIEW: no widget for window" << window;
    m_painter->attach(widget);
}

void QtPreviewRenderer::putLive(const OutputFrame &frame)
{
    if (!m_painter || !m_painter->attached())
        return;
    auto guard = lockForPut(m_convertLock, 0);
    if (!guard.owns_lock())
        return;

    const AVFrame *picture = frame.picture;
    if (!readablePicture(picture))
        return;
    const QSize target = m_painter->targetSize();
    if (target.isEmpty())
        return;
    const QSize fitted = QSize(picture->width, picture->height).scaled(target, Qt::KeepAspectRatio);
    if (fitted.isEmpty())
        return;
    if (m_back.size() != fitted) {
        // Only when the widget or the stream changes size.
        m_back = QImage(fitted, QImage::Format_RGB32);
        if (m_back.isNull())
            return;
    }

    // One pass from whatever the picture is to the widget's size in RGB; the context is
    // rebuilt only when the picture's or the widget's geometry or format changes.
    const auto format = static_cast<AVPixelFormat>(picture->format);
    SwsContext *context = sws_getCachedContext(
        m_sws.release(), picture->width, picture->height, format, fitted.width(), fitted.height(),
        AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    m_sws.reset(context);
    if (!context) {
        if (format != m_failedFormat)
            qCWarning(lcOutput) << "PREVIEW: sws_getCachedContext failed:" << picture->width
                                << picture->height << av_get_pix_fmt_name(format);
        m_failedFormat = format;
        return;
    }
    m_failedFormat = AV_PIX_FMT_NONE;
    uchar *const dst[4] = {m_back.bits(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(m_back.bytesPerLine()), 0, 0, 0};
    if (sws_scale(m_sws.get(), picture->data, picture->linesize, 0, picture->height, dst,
                  dstStride) <= 0)
        return;
    if (!m_painter->publish(m_back))
        return;
    ++m_framesShown;
}
