#include "output/OutputRouter.h"

#include "output/OutputLog.h"

#include <QThread>

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

OutputRouter::OutputRouter(const QString &name, QObject *parent)
    : QObject(parent), m_backends(OutputBackends::create(name))
{
    if (m_backends.webcam)
        qCInfo(lcOutput) << "VCam successfully init";
    else
        qCCritical(lcOutput) << kInitPrefix << "ERROR: failed to create MFSink";
    if (!m_backends.ndi)
        qCCritical(lcOutput) << kInitNdiPrefix << "ERROR: failed to create NDI";
}

OutputRouter::~OutputRouter()
{
    m_closing.store(true);
    OutputBackends backends;
    {
        // Waits for a send under way; any later one sees m_closing and leaves.
        std::lock_guard<std::mutex> guard(m_sendLock);
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

void OutputRouter::sendFrame(const uchar *video, int pixelFormat, int width, int height, int stride,
                             const qint16 *audio, int samples, int sampleRate, int channels)
{
    const InFlight inFlight(m_inFlight);
    if (m_closing.load())
        return;
    m_streamActive.store(true);
    std::lock_guard<std::mutex> guard(m_sendLock);
    if (m_closing.load())
        return;
    // Only planar YUV 4:2:0 is ever sent; anything else is no picture the backends can read.
    if (pixelFormat != 0)
        return;

    OutputFrame frame;
    frame.video = video;
    frame.width = width;
    frame.height = height;
    frame.stride = stride;
    const quint64 rate = m_frameRate.load();
    frame.rateNum = static_cast<int>(rate >> 32);
    frame.rateDen = static_cast<int>(rate & 0xFFFFFFFFu);
    if (audio && samples > 0 && channels > 0 && sampleRate > 0) {
        frame.audio = audio;
        frame.samples = samples;
        frame.sampleRate = sampleRate;
        frame.channels = channels;
    }

    // Without a picture the frame carries audio only: the picture outputs keep theirs.
    if (video && m_backends.webcam)
        guardedPut("VCam Sink send frame failed", [&] { m_backends.webcam->putLive(frame); });
    if (m_ndiEnabled.load() && m_backends.ndi)
        guardedPut("NDI Ssend frame failed", [&] { m_backends.ndi->putLive(frame); });
    if (video && m_previewEnabled.load() && m_backends.preview)
        guardedPut(" Preview send frame failed", [&] { m_backends.preview->putLive(frame); });
    if (m_backends.microphone)
        guardedPut("Microphone send frame failed", [&] { m_backends.microphone->putLive(frame); });
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
    std::unique_lock<std::mutex> guard(m_sendLock, std::try_to_lock);
    if (!guard.owns_lock() || m_closing.load() || m_streamActive.load())
        return;

    OutputFrame frame;
    frame.video = buffer;
    frame.width = width;
    frame.height = height;
    if (m_backends.webcam)
        guardedPut("VCam Sink send frame failed", [&] { m_backends.webcam->putCard(frame); });
    if (m_backends.ndi)
        guardedPut(" NDI send frame failed", [&] { m_backends.ndi->putCard(frame); });
    if (m_backends.microphone)
        guardedPut("Microphone send frame failed", [&] { m_backends.microphone->putCard(frame); });
}

void OutputRouter::setPreviewWindow(WId window)
{
    const InFlight inFlight(m_inFlight);
    if (window == 0) {
        m_previewEnabled.store(false);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_sendLock);
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
    std::lock_guard<std::mutex> guard(m_sendLock);
    if (m_closing.load())
        return;
    m_streamActive.store(live);
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
    // Not under the send lock: the microphone's own worker does the slow part.
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

bool OutputRouter::webcamAvailable() const
{
    return m_backends.webcam && m_backends.webcam->deviceOpen();
}
