#include "output/QtPreviewRenderer.h"

#include "output/PreviewPainter.h"
#include "output/PutLock.h"

#include <QDebug>
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

int QtPreviewRenderer::setup(const QString &, int, int)
{
    return m_painter ? kMfOk : kMfFail;
}

int QtPreviewRenderer::attachWindow(const QString &, WId window)
{
    if (!m_painter)
        return kMfFail;
    QWidget *widget = window ? QWidget::find(window) : nullptr;
    if (window && !widget)
        qDebug() << "PREVIEW: no widget for window" << window;
    m_painter->attach(widget);
    return widget || !window ? kMfOk : kMfInvalidArg;
}

int QtPreviewRenderer::receiverPutFrame(IMFFrame *frame, int waitMs, const QString &)
{
    if (!frame)
        return kMfPointer;
    if (!m_painter || !m_painter->attached())
        return kMfFalse;
    auto guard = lockForPut(m_convertLock, waitMs);
    if (!guard.owns_lock())
        return kMfFalse;

    const MFVideoProps &video = frame->props().video;
    const uchar *data = frame->video();
    if (video.fcc != kMfFccI420 || !data || video.width <= 0 || video.height <= 0 ||
        (video.rowBytes != 0 && video.rowBytes < video.width))
        return kMfInvalidArg;
    const QSize target = m_painter->targetSize();
    if (target.isEmpty())
        return kMfFalse;
    const QSize fitted = QSize(video.width, video.height).scaled(target, Qt::KeepAspectRatio);
    if (fitted.isEmpty())
        return kMfFalse;
    if (m_back.size() != fitted) {
        // Only when the widget or the stream changes size.
        m_back = QImage(fitted, QImage::Format_RGB32);
        if (m_back.isNull())
            return kMfFail;
    }

    const int stride = video.rowBytes > 0 ? video.rowBytes : video.width;
    const int chromaStride = (stride + 1) / 2;
    const uchar *srcU = data + static_cast<qint64>(stride) * video.height;
    const uchar *srcV = srcU + static_cast<qint64>(chromaStride) * ((video.height + 1) / 2);
    SwsContext *context = sws_getCachedContext(
        m_sws.release(), video.width, video.height, AV_PIX_FMT_YUV420P, fitted.width(),
        fitted.height(), AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    m_sws.reset(context);
    if (!context) {
        qWarning() << "PREVIEW: sws_getCachedContext failed:" << video.width << video.height;
        return kMfFail;
    }
    const uchar *const src[4] = {data, srcU, srcV, nullptr};
    const int srcStride[4] = {stride, chromaStride, chromaStride, 0};
    uchar *const dst[4] = {m_back.bits(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(m_back.bytesPerLine()), 0, 0, 0};
    if (sws_scale(m_sws.get(), src, srcStride, 0, video.height, dst, dstStride) <= 0)
        return kMfFail;
    if (!m_painter->publish(m_back))
        return kMfFalse;
    ++m_framesShown;
    return kMfOk;
}
