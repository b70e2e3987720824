#include "output/QtPreviewRenderer.h"

#include "output/OutputLog.h"
#include "output/PreviewPainter.h"
#include "output/PutLock.h"

#include <QThread>

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

    const uchar *data = frame.video;
    if (!data || frame.width <= 0 || frame.height <= 0 ||
        (frame.stride != 0 && frame.stride < frame.width))
        return;
    const QSize target = m_painter->targetSize();
    if (target.isEmpty())
        return;
    const QSize fitted = QSize(frame.width, frame.height).scaled(target, Qt::KeepAspectRatio);
    if (fitted.isEmpty())
        return;
    if (m_back.size() != fitted) {
        // Only when the widget or the stream changes size.
        m_back = QImage(fitted, QImage::Format_RGB32);
        if (m_back.isNull())
            return;
    }

    const int stride = frame.stride > 0 ? frame.stride : frame.width;
    const int chromaStride = (stride + 1) / 2;
    const uchar *srcU = data + static_cast<qint64>(stride) * frame.height;
    const uchar *srcV = srcU + static_cast<qint64>(chromaStride) * ((frame.height + 1) / 2);
    SwsContext *context = sws_getCachedContext(
        m_sws.release(), frame.width, frame.height, AV_PIX_FMT_YUV420P, fitted.width(),
        fitted.height(), AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    m_sws.reset(context);
    if (!context) {
        qCWarning(lcOutput) << "PREVIEW: sws_getCachedContext failed:" << frame.width
                            << frame.height;
        return;
    }
    const uchar *const src[4] = {data, srcU, srcV, nullptr};
    const int srcStride[4] = {stride, chromaStride, chromaStride, 0};
    uchar *const dst[4] = {m_back.bits(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(m_back.bytesPerLine()), 0, 0, 0};
    if (sws_scale(m_sws.get(), src, srcStride, 0, frame.height, dst, dstStride) <= 0)
        return;
    if (!m_painter->publish(m_back))
        return;
    ++m_framesShown;
}
