#include "output/OutputRouter.h"

#include "output/NdiRenderer.h"
#include "output/OutputLog.h"
#include "output/PictureLayout.h"
#include "output/V4l2Sink.h"
#include "output/VideoOutThread.h"

#include <QThread>

extern "C" {
#include <libavutil/frame.h>
}

namespace {

// Prefixes of the set-up failure lines, as the output object has always written them.
constexpr char kInitPrefix[] = "void __cdecl VCam::init(class QString)";
constexpr char kInitNdiPrefix[] = "void __cdecl VCam::initNDI(void)";

// Counts a caller in for the destructor's wait.
class InFlight
{
public:
    explicit InFlight(std::atomic<int> &count) : m_count(count) { m_count.fetch_add(1); }
    ~InFlight() { m_count.fetch_sub(1); }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

private:
    std::atomic<int> &m_count;
};

} // namespace

OutputRouter::OutputRouter(const QString &name, QObject *parent, bool ownDevice)
    : OutputRouter(name, WebcamFormat(), parent, ownDevice)
{
}

OutputRouter::OutputRouter(const QString &name, const WebcamFormat &webcam, QObject *parent,
                           bool ownDevice)
    : QObject(parent), m_backends(OutputBackends::create(name, webcam, ownDevice))
{
    if (m_backends.webcam)
        qCInfo(lcOutput) << "VCam successfully init";
    else
        qCCritical(lcOutput) << kInitPrefix << "ERROR: failed to create MFSink";
    if (!m_backends.ndi)
        qCCritical(lcOutput) << kInitNdiPrefix << "ERROR: failed to create NDI";
    m_videoOut =
        std::make_unique<VideoOutThread>([this](const AVFrame &picture) { putPicture(picture); },
                                         [this] { sendCardTick(); }, kCardIntervalMs);
    m_videoOut->start();
}

OutputRouter::~OutputRouter()
{
    m_closing.store(true);
    // Before the backends go: the thread may be inside one of them.
    m_videoOut->stop();
    OutputBackends backends;
    {
        // Waits for a send under way; any later one sees m_closing and leaves.
        std::lock_guard<std::mutex> video(m_videoLock);
        std::lock_guard<std::mutex> audio(m_audioLock);
        backends = std::move(m_backends);
    }
    // Callers that entered meanwhile only look at m_closing; let them leave before the
    // backends go.
    while (m_inFlight.load() > 0)
        QThread::yieldCurrentThread();
    backends = OutputBackends();
}

template <class Put>
void OutputRouter::guardedPut(const char *failure, Put &&put)
{
    try {
        put();
    } catch (...) {
        qCWarning(lcOutput) << failure;
    }
}

void OutputRouter::sendFrame(const OutputFrame &live)
{
    const InFlight inFlight(m_inFlight);
    if (m_closing.load())
        return;
    m_streamActive.store(true);
    // The backends convert whatever FFmpeg describes in memory; a picture they could not read
    // whole (another format, a hardware surface, rows shorter than the format needs) is no
    // picture for them.
    if (live.picture && !readablePicture(live.picture))
        return;
    // A display matrix comes with the first picture (or with a few): it holds from then on.
    // The picture's own matrix, else the one its session kept from an earlier picture.
    if (live.picture && av_frame_get_side_data(live.picture, AV_FRAME_DATA_DISPLAYMATRIX))
        m_publisherOrientation.store(PictureOrientation::ofPicture(live.picture).pack());
    else if (live.displayMatrix && m_publisherOrientation.load() == PictureOrientation().pack())
        m_publisherOrientation.store(
            PictureOrientation::fromDisplayMatrix(live.displayMatrix).pack());

    // The picture goes to the video-out thread; this thread never waits for a backend's write.
    if (live.picture && (m_backends.webcam || m_backends.ndi || m_backends.preview))
        m_videoOut->post(live.picture);

    if (!live.audio || live.samples <= 0 || live.channels <= 0 || live.sampleRate <= 0)
        return;
    // The sound goes straight on from here: it must not wait behind a picture being written.
    OutputFrame audio;
    const quint64 rate = m_frameRate.load();
    audio.rateNum = static_cast<int>(rate >> 32);
    audio.rateDen = static_cast<int>(rate & 0xFFFFFFFFu);
    audio.audio = live.audio;
    audio.samples = live.samples;
    audio.sampleRate = live.sampleRate;
    audio.channels = live.channels;
    std::lock_guard<std::mutex> guard(m_audioLock);
    if (m_closing.load())
        return;
    if (m_ndiEnabled.load() && m_backends.ndi)
        guardedPut("NDI Ssend frame failed", [&] { m_backends.ndi->putLive(audio); });
    if (m_backends.microphone)
        guardedPut("Microphone send frame failed", [&] { m_backends.microphone->putLive(audio); });
}

void OutputRouter::putPicture(const AVFrame &picture)
{
    std::lock_guard<std::mutex> guard(m_videoLock);
    // A picture taken just before its session left belongs to nobody any more.
    if (m_closing.load() || !m_streamActive.load())
        return;
    OutputFrame frame;
    frame.picture = &picture;
    const quint64 rate = m_frameRate.load();
    frame.rateNum = static_cast<int>(rate >> 32);
    frame.rateDen = static_cast<int>(rate & 0xFFFFFFFFu);
    const bool ndi = m_ndiEnabled.load() && m_backends.ndi;
    const bool preview = m_previewEnabled.load() && m_backends.preview;
    // A turned, mirrored or cropped picture reaches NDI and the preview as the webcam shows
    // it (the webcam converts it even without a device while they want it); an upright,
    // fitted one goes to them as the camera sent it, at its own size.
    OutputFrame shown = frame;
    if (m_backends.webcam) {
        const PictureOrientation orientation =
            PictureOrientation::unpack(m_userOrientation.load())
                .after(PictureOrientation::unpack(m_publisherOrientation.load()));
        const bool asWebcam = (ndi || preview) && orientation != PictureOrientation();
        guardedPut("VCam Sink send frame failed", [&] {
            m_backends.webcam->setOrientation(orientation);
            m_backends.webcam->setPictureWanted(asWebcam);
            m_backends.webcam->putLive(frame);
            const AVFrame *converted = m_backends.webcam->lastPicture();
            if (asWebcam && converted)
                shown.picture = converted;
        });
    }
    if (ndi)
        guardedPut("NDI Ssend frame failed", [&] { m_backends.ndi->putLive(shown); });
    if (preview)
        guardedPut(" Preview send frame failed", [&] { m_backends.preview->putLive(shown); });
}

int OutputRouter::audioOutputDelayMs() const
{
    // The backends are fixed at construction; the microphone's figure is an atomic.
    if (m_closing.load() || !m_backends.microphone)
        return 0;
    return m_backends.microphone->outputDelayMs();
}

void OutputRouter::sendStub(const uchar *buffer, int width, int height)
{
    const InFlight inFlight(m_inFlight);
    if (m_closing.load() || m_streamActive.load())
        return;
    // A live frame being sent means the card is about to stop anyway: drop it, never wait.
    std::unique_lock<std::mutex> guard(m_videoLock, std::try_to_lock);
    if (!guard.owns_lock() || m_closing.load() || m_streamActive.load())
        return;

    OutputFrame frame;
    frame.picture = m_cardPicture.wrap(buffer, width, height, 0);
    if (m_backends.webcam)
        guardedPut("VCam Sink send frame failed", [&] { m_backends.webcam->putCard(frame); });
    if (m_backends.ndi)
        guardedPut(" NDI send frame failed", [&] { m_backends.ndi->putCard(frame); });
    std::unique_lock<std::mutex> audio(m_audioLock, std::try_to_lock);
    if (audio.owns_lock() && m_backends.microphone)
        guardedPut("Microphone send frame failed", [&] { m_backends.microphone->putCard(frame); });
}

void OutputRouter::setCard(const uchar *i420, int width, int height)
{
    const bool valid = i420 && width > 0 && height > 0;
    const size_t bytes = valid ? static_cast<size_t>(width) * height +
                                     2 * static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2)
                               : 0;
    std::lock_guard<std::mutex> guard(m_cardLock);
    // The GUI thread's copy, once per card; the storage is reused while the size holds.
    m_cardNext.assign(i420, i420 + bytes);
    m_cardNextWidth = valid ? width : 0;
    m_cardNextHeight = valid ? height : 0;
    m_cardChanged = true;
}

void OutputRouter::sendCardTick()
{
    {
        std::lock_guard<std::mutex> guard(m_cardLock);
        if (m_cardChanged) {
            m_cardShown.swap(m_cardNext);
            m_cardShownWidth = m_cardNextWidth;
            m_cardShownHeight = m_cardNextHeight;
            m_cardChanged = false;
        }
    }
    if (m_cardShownWidth > 0 && m_cardShownHeight > 0)
        sendStub(m_cardShown.data(), m_cardShownWidth, m_cardShownHeight);
}

void OutputRouter::setPreviewWindow(WId window)
{
    const InFlight inFlight(m_inFlight);
    if (window == 0) {
        m_previewEnabled.store(false);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_videoLock);
        if (m_closing.load())
            return;
        if (m_backends.preview)
            m_backends.preview->attachWindow(window);
    }
    m_previewEnabled.store(true);
}

void OutputRouter::setFrameRate(int num, int den)
{
    if (num <= 0 || den <= 0)
        return;
    m_frameRate.store((static_cast<quint64>(num) << 32) | static_cast<quint32>(den));
}

void OutputRouter::setStreamLive(bool live)
{
    const InFlight inFlight(m_inFlight);
    if (m_closing.load())
        return;
    // What waits for the video-out thread is the previous session's.
    m_videoOut->clearPending();
    std::lock_guard<std::mutex> video(m_videoLock);
    std::lock_guard<std::mutex> audio(m_audioLock);
    if (m_closing.load())
        return;
    m_streamActive.store(live);
    // The next owner's pictures say their own rotation, if any.
    m_publisherOrientation.store(PictureOrientation().pack());
    for (OutputBackend *backend :
         {static_cast<OutputBackend *>(m_backends.webcam.get()), m_backends.ndi.get(),
          static_cast<OutputBackend *>(m_backends.preview.get()),
          static_cast<OutputBackend *>(m_backends.microphone.get())}) {
        if (backend)
            guardedPut("output session change failed", [&] { backend->sessionChanged(); });
    }
}

void OutputRouter::setMicrophoneEnabled(bool enabled)
{
    // Under no lock: the microphone's own loop does the slow part.
    if (m_backends.microphone)
        m_backends.microphone->setEnabled(enabled);
}

bool OutputRouter::microphoneAvailable() const
{
    return m_backends.microphone && m_backends.microphone->available();
}

QString OutputRouter::microphoneUnavailableReason() const
{
    return m_backends.microphone ? m_backends.microphone->unavailableReason() : QString();
}

MicrophoneOutput::SoundGaps OutputRouter::microphoneSoundGaps() const
{
    return m_backends.microphone ? m_backends.microphone->soundGaps()
                                 : MicrophoneOutput::SoundGaps();
}

WebcamOutput::FormatChange OutputRouter::setWebcamFormat(const WebcamFormat &format)
{
    // Not under the video lock: the webcam looks for other programs and its device without
    // holding up the pictures, and keeps the picture it handed out valid until its next put.
    if (m_closing.load() || !m_backends.webcam)
        return WebcamOutput::FormatChange::Unchanged;
    return m_backends.webcam->setFormat(format);
}

void OutputRouter::setWebcamOrientation(const PictureOrientation &orientation)
{
    m_userOrientation.store(orientation.pack());
}

bool OutputRouter::webcamAvailable() const
{
    return m_backends.webcam && m_backends.webcam->deviceOpen();
}

OutputRouter::Statistics OutputRouter::statistics() const
{
    Statistics statistics;
    statistics.picturesShown = m_videoOut->picturesHandled();
    statistics.picturesDropped = m_videoOut->picturesDropped();
    // Only the real backends count their own drops; others (tests' stand-ins) report none.
    if (const auto *sink = dynamic_cast<const V4l2Sink *>(m_backends.webcam.get()))
        statistics.webcamDropped = sink->framesDropped();
    if (const auto *ndi = dynamic_cast<const NdiRenderer *>(m_backends.ndi.get()))
        statistics.ndiDropped = ndi->framesDropped();
    return statistics;
}
