#pragma once

#include "output/MFInterfaces.h"
#include "output/MFPtr.h"
#include "output/MFTypes.h"

#include <QObject>
#include <QString>
#include <QWidget>

#include <atomic>
#include <mutex>

// The program's single output object: the virtual webcam, the NDI source and the preview
// window sit behind it, reached through the output adapter (MFCreateInstance). Live frames
// come from a stream manager's delivery thread (sendFrame), card frames from the GUI thread's
// card timer (sendStub).
//
// Threads: constructed and destroyed on the GUI thread; sendFrame on any delivery thread;
// sendStub and setPreviewWindow on the GUI thread; the three flags from anywhere.
// Building and sending a frame is serialised by m_sendLock: a live frame waits at most for
// one card frame being sent, a card frame never waits (it is dropped while the lock is busy).
// The destructor lets a send under way finish, makes later ones return at once, and only
// then releases the adapter objects.
class VCam : public QObject
{
    Q_OBJECT
public:
    // GUI thread. Runs init(name); failures are logged and leave the missing outputs absent.
    VCam(const QString &name, QObject *parent = nullptr);
    ~VCam() override;

    // One live frame: YUV420P picture (Y, U, V planes one after the other, `stride` bytes per
    // luma row, chroma rows stride / 2) and optional interleaved signed 16-bit audio
    // (`samples` per channel). Delivery thread of a stream manager. The buffers only need to
    // stay valid until the call returns.
    void sendFrame(const uchar *video, int pixelFormat, int width, int height, int stride,
                   const qint16 *audio, int samples, int sampleRate, int channels);

    // One no-signal card frame (I420, rows packed). GUI thread. Dropped while a stream is active.
    void sendStub(const uchar *buffer, int width, int height);

    // Attach the preview to a native window (non-zero) or stop feeding it (0). GUI thread.
    void setPreviewWindow(WId window);

    // Frame rate of the live frames from now on, as an exact fraction (30000/1001 for
    // 29.97 fps); 30/1 until first called. A rate with a term that is not positive is
    // ignored. Any thread (the stream engine calls it when a stream's output starts).
    void setFrameRate(int num, int den);

    // True while the virtual camera has a device open (a v4l2loopback node was found and took
    // our format); false without one or when its device went away. The sink looks for a
    // device again every few seconds while frames are sent. Any thread; one atomic load.
    bool webcamAvailable() const;

private:
    void init(const QString &name);
    void initNDI();
    // Puts `frame` to one output, catching anything it throws so the others still run.
    template <class Put>
    static void guardedPut(const char *failure, Put &&put);

    // GUI thread at construction, then read by the senders under m_sendLock.
    QString m_name;
    // -- guarded by m_sendLock
    MFFrameProps m_props{};
    MFPtr<IMFSink> m_sink;
    MFPtr<IMFFactory> m_factory;
    // The sink's device state, when the sink offers it. Set on the GUI thread at
    // construction, released in the destructor; only its atomic read in between.
    MFPtr<IMFSinkStatus> m_sinkStatus;
    // Live frame rate, numerator in the high half and denominator in the low half, so a
    // reader never sees the terms of two different rates. Any thread.
    std::atomic<quint64> m_frameRate{(quint64(30) << 32) | 1u};

public:
    // Set by every live frame; cleared by the stream engine when a stream ends.
    std::atomic<bool> m_streamActive{false};
    // Live frames go to the preview while set.
    std::atomic<bool> m_previewEnabled{false};

private:
    // -- guarded by m_sendLock (created on the GUI thread before any sender runs)
    MFPtr<IMFPreview> m_preview;
    MFPtr<IMFReceiver> m_previewReceiver;

public:
    // NDI mode; written by the main window.
    std::atomic<bool> m_ndiEnabled{false};

private:
    // -- guarded by m_sendLock
    MFPtr<IMFDevice> m_ndiDevice;
    MFPtr<IMFReceiver> m_ndiReceiver;

    std::mutex m_sendLock;
    // Set when destruction starts; senders that see it return without touching the outputs.
    std::atomic<bool> m_closing{false};
    // Senders inside sendFrame / sendStub; the destructor waits for 0.
    std::atomic<int> m_inFlight{0};
};

// Selects, on `device`, the device of `type` named `name` (exact, case-sensitive); every
// enumerated name is logged. True when found and set. GUI thread.
bool setMFDevice(MFPtr<IMFDevice> device, eMFDeviceType type, QString name);
