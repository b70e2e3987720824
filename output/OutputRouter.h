#pragma once

#include "engine/OutputSink.h"
#include "output/OutputBackends.h"

#include <QObject>
#include <QString>
#include <QWidget>

#include <atomic>
#include <mutex>

// The program's single output object: the virtual webcam, the NDI source, the preview window
// and the microphone sit behind it as backends (OutputBackends). Live frames come from the
// delivery thread of the session that owns the output (sendFrame), card frames from the GUI
// thread's card timer (sendStub); each goes to the backends that are on, and a backend that
// throws never stops the others.
//
// Threads: constructed and destroyed on the GUI thread; sendFrame, setFrameRate and
// setStreamLive on the thread that owns the output at the time (OutputSwitch serialises
// them); sendStub, setPreviewWindow and setNdiEnabled on the GUI thread; the getters anywhere.
// Every call into a backend is serialised by m_sendLock: a live frame waits at most for one
// card frame being sent, a card frame never waits (it is dropped while the lock is busy).
// The destructor lets a send under way finish, makes later ones return at once, and only then
// destroys the backends.
class OutputRouter : public QObject, public OutputSink
{
    Q_OBJECT
public:
    // GUI thread. The backends come from OutputBackends::create (the real ones unless a test
    // installed others); missing ones are logged and left out.
    explicit OutputRouter(const QString &name, QObject *parent = nullptr);
    ~OutputRouter() override;

    // One live frame: YUV420P picture (Y, U, V planes one after the other, `stride` bytes per
    // luma row, chroma rows stride / 2) and optional interleaved signed 16-bit audio
    // (`samples` per channel). The buffers only need to stay valid until the call returns.
    void sendFrame(const uchar *video, int pixelFormat, int width, int height, int stride,
                   const qint16 *audio, int samples, int sampleRate, int channels) override;

    // One no-signal card frame (I420, rows packed). GUI thread. Dropped while a stream is live.
    void sendStub(const uchar *buffer, int width, int height);

    // Attach the preview to a native window (non-zero) or stop feeding it (0). GUI thread.
    void setPreviewWindow(WId window);

    // Frame rate of the live frames from now on, as an exact fraction (30000/1001 for
    // 29.97 fps); 30/1 until first called. A rate with a term that is not positive is ignored.
    void setFrameRate(int num, int den) override;

    // A session took the output (live) or the last one left (the card returns). Either way
    // the backends drop what they hold of the previous session.
    void setStreamLive(bool live) override;
    int audioOutputDelayMs() const override;

    // True while the virtual camera has a device open (a v4l2loopback node was found and took
    // our format). The webcam looks for a device again every few seconds while frames are
    // sent. Any thread; one atomic load.
    bool webcamAvailable() const;

    // Any thread: live frames are on the output (the card is held back).
    bool streamActive() const { return m_streamActive.load(); }
    // NDI mode: live frames go to NDI too. GUI thread; read anywhere.
    void setNdiEnabled(bool enabled) { m_ndiEnabled.store(enabled); }
    bool ndiEnabled() const { return m_ndiEnabled.load(); }
    // Live frames go to the preview while a window is attached.
    bool previewEnabled() const { return m_previewEnabled.load(); }
    // The microphone on or off (off removes its input device). GUI thread.
    void setMicrophoneEnabled(bool enabled);
    // Any thread: the microphone's input device is there; else why not (empty when there is
    // no microphone backend at all).
    bool microphoneAvailable() const;
    QString microphoneUnavailableReason() const;
    // Any thread: the gaps the microphone's listeners heard, by cause (none without one).
    MicrophoneOutput::SoundGaps microphoneSoundGaps() const;

private:
    // Puts to one backend, catching anything it throws so the others still run.
    template <class Put>
    static void guardedPut(const char *failure, Put &&put);

    // -- Set on the GUI thread at construction; afterwards used under m_sendLock, except the
    // -- webcam's atomic device state.
    OutputBackends m_backends;

    std::atomic<quint64> m_frameRate{(quint64(30) << 32) | 1u}; // num high, den low
    std::atomic<bool> m_streamActive{false};
    std::atomic<bool> m_previewEnabled{false};
    std::atomic<bool> m_ndiEnabled{false};

    std::mutex m_sendLock;
    // Set when destruction starts; senders that see it return without touching the backends.
    std::atomic<bool> m_closing{false};
    // Senders inside OutputRouter's functions; the destructor waits for 0.
    std::atomic<int> m_inFlight{0};
};
