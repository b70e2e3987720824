#pragma once

#include "output/MFObject.h"
#include "output/OutputFfmpegPtr.h"

#include <QImage>
#include <QPointer>

#include <mutex>

class PreviewPainter;

// The preview renderer: paints the latest live frame into a Qt widget found by its native
// window id. Colour conversion and scaling to the widget's size run on the delivery thread
// into buffers allocated once per size; the GUI thread only draws the finished picture.
//
// Created, set up and attached on the GUI thread; receiverPutFrame from the delivery thread.
class QtPreviewRenderer final : public MFObject<IMFPreview, IMFReceiver>
{
public:
    QtPreviewRenderer();

    int setup(const QString &hints, int video, int audio) override;
    // window: a native window id of this process's widgets (QWidget::winId).
    int attachWindow(const QString &hints, WId window) override;
    // waitMs 0: a conversion under way elsewhere means this frame is dropped.
    int receiverPutFrame(IMFFrame *frame, int waitMs, const QString &hints) override;

    // Frames converted and handed to the GUI; any thread (tests).
    qint64 framesShown() const { return m_framesShown.load(); }

private:
    ~QtPreviewRenderer() override;

    QPointer<PreviewPainter> m_painter; // lives on the GUI thread

    // -- All the following fields are protected by m_convertLock.
    std::mutex m_convertLock;
    outputffmpeg::SwsContextPtr m_sws;
    QImage m_back;
    std::atomic<qint64> m_framesShown{0};
};
