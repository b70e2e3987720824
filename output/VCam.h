#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

#include <atomic>

// The program's single output object: the virtual webcam, the NDI source and the preview
// window sit behind it. Live frames come from a stream manager's delivery thread
// (sendFrame), card frames from the GUI thread's card timer (sendStub).
//
// This header fixes the face the rest of the program uses; the output work fills in the
// adapter members and the implementation.
class VCam : public QObject
{
    Q_OBJECT
public:
    // GUI thread. Runs init(name); failures are logged and leave the missing outputs absent.
    VCam(const QString &name, QObject *parent = nullptr);
    ~VCam() override;

    // One live frame: YUV420P picture (Y, U, V planes one after the other, `stride` bytes per
    // luma row, chroma rows stride / 2) and optional interleaved signed 16-bit audio.
    // Delivery thread of a stream manager.
    void sendFrame(const uchar *video, int pixelFormat, int width, int height, int stride,
                   const qint16 *audio, int samples, int sampleRate, int channels);

    // One no-signal card frame (I420, rows packed). GUI thread. Dropped while a stream is active.
    void sendStub(const uchar *buffer, int width, int height);

    // Attach the preview to a native window (non-zero) or stop feeding it (0). GUI thread.
    void setPreviewWindow(WId window);

    // Set by every live frame; cleared by the stream engine when a stream ends.
    std::atomic<bool> m_streamActive{false};
    // Live frames go to the preview while set.
    std::atomic<bool> m_previewEnabled{false};
    // NDI mode; written by the main window.
    std::atomic<bool> m_ndiEnabled{false};
};
