#include "output/VCam.h"

#include "output/MFCreateInstance.h"

#include <QDebug>
#include <QThread>

#include <climits>
#include <cstring>

namespace {

// Prefixes of the set-up failure lines, as the output object has always written them.
constexpr char kInitPrefix[] = "void __cdecl VCam::init(class QString)";
constexpr char kInitNdiPrefix[] = "void __cdecl VCam::initNDI(void)";
constexpr char kSetDevicePrefix[] =
    "bool __cdecl setMFDevice(class ATL::CComPtr<struct IMFDevice>,enum eMFDeviceType,class "
    "QString)";
constexpr char kNdiDeviceName[] = "NDI Renderer";
constexpr char kLineOutProperty[] = "line-out";

// Counts a sender in for the destructor's wait.
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

VCam::VCam(const QString &name, QObject *parent) : QObject(parent), m_name(name)
{
    init(name);
}

VCam::~VCam()
{
    m_closing.store(true);
    {
        // Waits for a send under way; any later one sees m_closing and leaves.
        std::lock_guard<std::mutex> guard(m_sendLock);
        m_ndiReceiver.reset();
        m_ndiDevice.reset();
        m_previewReceiver.reset();
        m_preview.reset();
        m_factory.reset();
        m_sinkStatus.reset();
        m_sink.reset();
    }
    // Senders that entered meanwhile only look at m_closing; let them leave before the
    // members they read go.
    while (m_inFlight.load() > 0)
        QThread::yieldCurrentThread();
}

void VCam::init(const QString &name)
{
    Q_UNUSED(name);
    if (mfCreate(kCLSID_MFFactory, m_factory) < 0 || !m_factory) {
        qCritical() << kInitPrefix << "ERROR: failed to create MFFactory";
        return;
    }
    if (mfCreate(kCLSID_MFSink, m_sink) < 0 || !m_sink) {
        qCritical() << kInitPrefix << "ERROR: failed to create MFSink";
        return;
    }
    if (m_sink->init(m_name, m_name, 0) < 0) {
        qCritical() << kInitPrefix << "ERROR: failed to MFSink init";
        return;
    }
    qDebug() << "VCam successfully init";
    m_sinkStatus = m_sink.query<IMFSinkStatus>();

    mfCreate(kCLSID_MFPreview, m_preview);
    if (m_preview) {
        m_preview->setup(QString(), 1, 1);
        m_previewReceiver = m_preview.query<IMFReceiver>();
    }
    initNDI();
}

void VCam::initNDI()
{
    if (mfCreate(kCLSID_MFNdiRenderer, m_ndiDevice) < 0 || !m_ndiDevice) {
        qCritical() << kInitNdiPrefix << "ERROR: failed to create NDI";
        return;
    }
    setMFDevice(m_ndiDevice, eMFDT_Video, QString::fromLatin1(kNdiDeviceName));

    MFPtr<IMFProps> props = m_ndiDevice.query<IMFProps>();
    const int result =
        props ? props->propsSet(QString::fromLatin1(kLineOutProperty), m_name) : kMfNoInterface;
    if (result < 0)
        qCritical() << kInitNdiPrefix << "set line-in FAILED:" << Qt::hex << result;
    else
        qDebug() << "PROPS SET SUCCESSFULL";

    m_ndiReceiver = m_ndiDevice.query<IMFReceiver>();
}

bool setMFDevice(MFPtr<IMFDevice> device, eMFDeviceType type, QString name)
{
    if (!device)
        return false;
    int count = 0;
    if (device->deviceGetCount(type, &count) < 0) {
        qCritical() << kSetDevicePrefix << "DeviceGetCount FAILED";
        return false;
    }
    for (int index = 0; index < count; ++index) {
        QString deviceName;
        int busy = 0;
        device->deviceGetByIndex(type, index, &deviceName, &busy);
        qDebug() << " ENUM:" << deviceName;
        if (deviceName == name) {
            if (device->deviceSet(type, index, QString()) < 0) {
                qCritical() << kSetDevicePrefix << "DeviceSet FAILED";
                return false;
            }
            return true;
        }
    }
    return false;
}

template <class Put>
void VCam::guardedPut(const char *failure, Put &&put)
{
    try {
        put();
    } catch (...) {
        qDebug() << failure;
    }
}

void VCam::sendFrame(const uchar *video, int pixelFormat, int width, int height, int stride,
                     const qint16 *audio, int samples, int sampleRate, int channels)
{
    const InFlight inFlight(m_inFlight);
    if (m_closing.load())
        return;
    m_streamActive.store(true);
    std::lock_guard<std::mutex> guard(m_sendLock);
    if (m_closing.load())
        return;

    std::memset(&m_props, 0, sizeof m_props);
    if (pixelFormat == 0)
        m_props.video.fcc = kMfFccI420;
    m_props.video.width = width;
    m_props.video.height = height;
    m_props.video.rowBytes = stride;
    const quint64 rate = m_frameRate.load();
    m_props.video.rateNum = static_cast<qint32>(rate >> 32);
    m_props.video.rateDen = static_cast<qint32>(rate & 0xFFFFFFFFu);
    if (audio) {
        m_props.audio.channels = channels;
        m_props.audio.sampleRate = sampleRate;
        m_props.audio.bitsPerSample = 16;
    }
    if (!m_factory)
        return;
    MFPtr<IMFFrame> frame;
    m_factory->createFromMemory(&m_props, video, 0, 0, frame.put(), QString());
    if (!frame)
        return;
    if (audio) {
        const qint64 bytes = static_cast<qint64>(samples) * channels * 2;
        // A count that cannot describe a buffer is not passed on.
        if (bytes >= 0 && bytes <= INT_MAX)
            frame->addAudio(&m_props.audio, static_cast<int>(bytes), audio);
    }

    if (m_sink)
        guardedPut("VCam Sink send frame failed",
                   [&] { m_sink->putFrame(frame.get(), kMfWaitForever, QString()); });
    if (m_ndiEnabled.load() && m_ndiReceiver)
        guardedPut("NDI Ssend frame failed", [&] {
            m_ndiReceiver->receiverPutFrame(frame.get(), kMfWaitForever, QString());
        });
    if (m_previewEnabled.load() && m_previewReceiver)
        guardedPut(" Preview send frame failed",
                   [&] { m_previewReceiver->receiverPutFrame(frame.get(), kMfNoWait, QString()); });
}

void VCam::sendStub(const uchar *buffer, int width, int height)
{
    const InFlight inFlight(m_inFlight);
    if (m_closing.load() || m_streamActive.load())
        return;
    // A live frame being built means the card is about to stop anyway: drop it, never wait.
    std::unique_lock<std::mutex> guard(m_sendLock, std::try_to_lock);
    if (!guard.owns_lock() || m_closing.load() || m_streamActive.load())
        return;

    std::memset(&m_props, 0, sizeof m_props);
    m_props.video.fcc = kMfFccI420;
    m_props.video.width = width;
    m_props.video.height = height;
    if (!m_factory)
        return;
    MFPtr<IMFFrame> frame;
    m_factory->createFromMemory(&m_props, buffer, 0, 0, frame.put(), QString());
    if (!frame)
        return;

    if (m_sink)
        guardedPut("VCam Sink send frame failed",
                   [&] { m_sink->putFrame(frame.get(), kMfNoWait, QString()); });
    if (m_ndiReceiver)
        guardedPut(" NDI send frame failed",
                   [&] { m_ndiReceiver->receiverPutFrame(frame.get(), kMfNoWait, QString()); });
}

void VCam::setPreviewWindow(WId window)
{
    if (window == 0) {
        m_previewEnabled.store(false);
        return;
    }
    if (m_preview)
        m_preview->attachWindow(QString(), window);
    m_previewEnabled.store(true);
}

void VCam::setFrameRate(int num, int den)
{
    if (num <= 0 || den <= 0)
        return;
    m_frameRate.store((static_cast<quint64>(num) << 32) | static_cast<quint32>(den));
}

bool VCam::webcamAvailable() const
{
    return m_sinkStatus && m_sinkStatus->sinkDeviceOpen();
}
