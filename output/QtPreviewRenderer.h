#pragma once

#include "output/OutputFfmpegPtr.h"
#include "output/PreviewOutput.h"

#include <QImage>
#include <QPointer>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <mutex>

class PreviewPainter;

// The preview renderer: paints the latest live frame into a Qt widget found by its native
// window id. Colour conversion from the picture's own format and scaling to the widget's size
// are one pass on the sending thread into buffers allocated once per size; the GUI thread only
// draws the finished picture.
//
// Created and attached on the GUI thread; live frames from the delivery thread. Card frames
// are not shown.
class QtPreviewRenderer final : public PreviewOutput
{
public:
    QtPreviewRenderer();
    ~QtPreviewRenderer() override;

    // window: a native window id of this process's widgets (QWidget::winId); 0 detaches.
    void attachWindow(WId window) override;
    // A conversion under way elsewhere means this frame is dropped: the preview never waits.
    void putLive(const OutputFrame &frame) override;
    void putCard(const OutputFrame &) override {}

    // Frames converted and handed to the GUI; any thread (tests).
    qint64 framesShown() const { return m_framesShown.load(); }

private:
    QPointer<PreviewPainter> m_painter; // lives on the GUI thread

    // -- All the following fields are protected by m_convertLock.
    std::mutex m_convertLock;
    outputffmpeg::SwsContextPtr m_sws;
    AVPixelFormat m_failedFormat = AV_PIX_FMT_NONE; // said once until another one fails
    QImage m_back;
    std::atomic<qint64> m_framesShown{0};
};
