#pragma once

#include "engine/OutputSink.h"
#include "engine/WrappedPicture.h"
#include "output/OutputBackends.h"

#include <QObject>
#include <QString>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class VideoOutThread;
struct AVFrame;

// The program's single output object: the virtual webcam, the NDI source, the preview window
// and the microphone sit behind it as backends (OutputBackends). A backend that throws never
// stops the others.
//
// Live frames come from the delivery thread of the session that owns the output (sendFrame),
// which never waits for a backend's write: the picture goes into a one-slot mailbox and the
// output's own video-out thread (VideoOutThread) puts it to the webcam, NDI and the preview;
// a picture that thread was too busy to take is replaced and counted (statistics()). The
// sound goes straight to the microphone and NDI from the delivery thread, so it never waits
// behind a picture being written. The same video-out thread sends the no-signal card every
// kCardIntervalMs while no session is live, from the copy setCard made.
//
// Threads: constructed and destroyed on the GUI thread; sendFrame, setFrameRate and
// setStreamLive on the thread that owns the output at the time (OutputSwitch serialises
// them); setCard, setPreviewWindow and setNdiEnabled on the GUI thread; pictures
// and card ticks on the video-out thread; the getters anywhere.
// Locks: m_videoLock serialises the picture puts (video-out thread), the card (dropped while
// the lock is busy, never waits), the preview's attachment and session changes; m_audioLock the
// sound's puts, the microphone's card put (dropped while busy) and session changes. Taken both:
// A picture turned, mirrored or cropped for the webcam reaches NDI and the preview as the
// webcam converted it, so all three show the same picture; an upright, fitted one goes to them
// as the camera sent it.
// video first. NDI thus gets its pictures and its sound from two threads at once; its runtime
// allows audio and video sends on one sender from separate threads, and NdiRenderer guards its
// own state. The destructor stops the video-out thread (letting a put under way finish), lets a
// send under way finish, makes later ones return at once, and only then destroys the backends.
class OutputRouter : public QObject, public OutputSink
{
    Q_OBJECT
public:
    // GUI thread. The backends come from OutputBackends::create (the real ones unless a test
    // installed others); missing ones are logged and left out. ownDevice: one of several
    // webcams, on the device labelled `name` only (OutputBackends::create).
    explicit OutputRouter(const QString &name, QObject *parent = nullptr, bool ownDevice = false);
    // The same, the webcam opening its device in `webcam`'s format from the start.
    OutputRouter(const QString &name, const WebcamFormat &webcam, QObject *parent = nullptr,
                 bool ownDevice = false);
    ~OutputRouter() override;

    // One live frame, with the output's frame rate filled in. The picture and audio only need
    // to stay valid until the call returns.
    void sendFrame(const OutputFrame &frame) override;

    // How often the card goes out while no session is live.
    static constexpr int kCardIntervalMs = 200;
    // The no-signal card (I420, rows packed, even sizes), copied once; the video-out thread
    // sends it from the next tick on. A null buffer or a size that is not positive takes the
    // card away. GUI thread.
    void setCard(const uchar *i420, int width, int height);

    // One no-signal card frame (I420, rows packed) now; dropped while a stream is live or a
    // picture is being put. The video-out thread's tick sends the card through it; tests call
    // it directly to send one. Any thread but a delivery thread.
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

    // The webcam's format from the next (re)open of its device; held while another program has
    // the device open (Held, nothing changes). GUI thread.
    WebcamOutput::FormatChange setWebcamFormat(const WebcamFormat &format);
    // How live pictures are turned for the webcam, after the publisher's own rotation (a
    // display matrix on a picture holds for the session's later pictures too: an H.264 camera
    // sends it once). The preview and NDI show the webcam's picture, so they turn with it. GUI
    // thread.
    void setWebcamOrientation(const PictureOrientation &orientation);

    // True while the virtual camera has a device open (a v4l2loopback node was found and took
    // our format). The webcam looks for a device again every few seconds while frames are
    // sent. Any thread; one atomic load.
    bool webcamAvailable() const;

    // What became of the live pictures. Any thread.
    struct Statistics
    {
        qint64 picturesShown = 0;   // put to the backends by the video-out thread
        qint64 picturesDropped = 0; // replaced unshown: the video-out thread was busy
        qint64 webcamDropped = 0;   // the webcam's own put dropped (busy, unusable picture)
        qint64 ndiDropped = 0;      // likewise NDI's (no sender, busy, unusable picture)
    };
    Statistics statistics() const;

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
    // The video-out thread's work: one live picture to the picture backends that are on, and
    // the card's tick (the card, while no session is live).
    void putPicture(const AVFrame &picture);
    void sendCardTick();

    // -- Set on the GUI thread at construction; afterwards used under m_videoLock or
    // -- m_audioLock (see above), except the backends' own thread-safe getters.
    OutputBackends m_backends;

    std::atomic<quint64> m_frameRate{(quint64(30) << 32) | 1u}; // num high, den low
    std::atomic<bool> m_streamActive{false};
    std::atomic<bool> m_previewEnabled{false};
    std::atomic<bool> m_ndiEnabled{false};
    // PictureOrientation::pack(): the user's, and the owning session's publisher's (set by the
    // delivery thread from a picture's display matrix, reset when the owner changes).
    std::atomic<int> m_userOrientation{0};
    std::atomic<int> m_publisherOrientation{0};

    // -- The card: setCard fills m_cardNext under m_cardLock; the tick swaps it into m_cardShown
    // -- (video-out thread only), so neither side copies or allocates under the lock.
    std::mutex m_cardLock;
    std::vector<uchar> m_cardNext;
    int m_cardNextWidth = 0;
    int m_cardNextHeight = 0;
    bool m_cardChanged = false;
    std::vector<uchar> m_cardShown;
    int m_cardShownWidth = 0;
    int m_cardShownHeight = 0;

    // Started by the constructor, stopped first thing in the destructor.
    std::unique_ptr<VideoOutThread> m_videoOut;

    std::mutex m_videoLock;
    std::mutex m_audioLock;
    // The card's buffer described as a picture; used under m_videoLock.
    WrappedPicture m_cardPicture;
    // Set when destruction starts; senders that see it return without touching the backends.
    std::atomic<bool> m_closing{false};
    // Senders inside OutputRouter's functions; the destructor waits for 0.
    std::atomic<int> m_inFlight{0};
};
