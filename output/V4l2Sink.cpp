#include "output/V4l2Sink.h"

#include "app/Environment.h"
#include "output/OutputLog.h"
#include "output/PutLock.h"

#include <QRegularExpression>

#include <chrono>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <pthread.h>

namespace {

constexpr char kLoopbackDriver[] = "v4l2 loopback";
constexpr char kLoadHint[] =
    "load it with: sudo modprobe v4l2loopback card_label=Quorvix exclusive_caps=1";
constexpr char kReloadHint[] = "reload the module to make it usable again: sudo modprobe -r "
                               "v4l2loopback && sudo modprobe v4l2loopback card_label=Quorvix "
                               "exclusive_caps=1";
constexpr int kMinSide = 16;
constexpr int kMaxSide = 8192;

QString fixedText(const __u8 *text, size_t bytes)
{
    return QString::fromLatin1(
        reinterpret_cast<const char *>(text),
        static_cast<int>(strnlen(reinterpret_cast<const char *>(text), bytes)));
}

} // namespace

V4l2Sink::V4l2Sink(std::shared_ptr<V4l2Io> io, int probeIntervalMs)
    : m_io(std::move(io)), m_probeIntervalMs(probeIntervalMs)
{
}

V4l2Sink::~V4l2Sink()
{
    {
        std::lock_guard<std::mutex> wake(m_wakeLock);
        m_stopDiscovery = true;
    }
    m_wake.notify_all();
    if (m_discovery.joinable())
        m_discovery.join();
    std::lock_guard<std::mutex> guard(m_lock);
    closeDevice_Locked();
}

QString V4l2Sink::devicePath() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_path;
}

qint64 V4l2Sink::tapFramesWritten() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_tap ? m_tap->framesWritten() : 0;
}

qint64 V4l2Sink::tapFramesDropped() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_tap ? m_tap->framesDropped() : 0;
}

void V4l2Sink::init(const QString &name, bool labelRequired)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_initialised)
            return;
    }
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_name = name;
        m_labelRequired = labelRequired;
        m_fixedPath = labelRequired ? QString() : Environment::vcamDevice();

        const QString size = Environment::vcamSize();
        if (!size.isEmpty()) {
            const QRegularExpressionMatch match =
                QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$")).match(size);
            const int width = match.hasMatch() ? match.captured(1).toInt() : 0;
            const int height = match.hasMatch() ? match.captured(2).toInt() : 0;
            if (width >= kMinSide && height >= kMinSide && width <= kMaxSide &&
                height <= kMaxSide && width % 2 == 0 && height % 2 == 0) {
                m_width = width;
                m_height = height;
            } else {
                qCWarning(lcOutput)
                    << "VCAM: ignoring QUORVIX_VCAM_SIZE (want even WIDTHxHEIGHT):" << size;
            }
        }
        m_scaler = std::make_unique<FrameScaler>(m_width, m_height);

        const QString tap = Environment::vcamTap();
        if (!tap.isEmpty())
            m_tap = std::make_unique<FrameTap>(tap, m_width, m_height, kFps);
        m_initialised = true;
    }
    // The first look on the caller's thread, so a device present at start is open at once.
    probe();
    m_discovery = std::thread([this] { discoveryLoop(); });
}

void V4l2Sink::discoveryLoop()
{
    pthread_setname_np(pthread_self(), "v4l2 discovery");
    for (;;) {
        {
            std::unique_lock<std::mutex> wake(m_wakeLock);
            m_wake.wait_for(wake, std::chrono::milliseconds(m_probeIntervalMs),
                            [this] { return m_stopDiscovery; });
            if (m_stopDiscovery)
                return;
        }
        if (!m_deviceOpen.load())
            probe();
    }
}

int V4l2Sink::openCandidate(const QString &path, bool requireLoopback, QString *card,
                            Candidate *why)
{
    if (why)
        *why = Candidate::NotLoopback;
    const QByteArray local = path.toLocal8Bit();
    const int fd = m_io->open(local.constData(), O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return -1;
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    if (m_io->ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) {
        m_io->close(fd);
        return -1;
    }
    const quint32 caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    const QString driver = fixedText(cap.driver, sizeof cap.driver);
    // With exclusive_caps=1 a device another producer holds offers capture only: skip it.
    if ((requireLoopback && driver != QLatin1String(kLoopbackDriver)) ||
        !(caps & V4L2_CAP_VIDEO_OUTPUT)) {
        // A loopback node offering neither direction was left so by a writer that never
        // streamed (v4l2loopback 0.12): only reloading the module frees it.
        if (why && driver == QLatin1String(kLoopbackDriver))
            *why = (caps & V4L2_CAP_VIDEO_CAPTURE) ? Candidate::Taken : Candidate::Stuck;
        m_io->close(fd);
        return -1;
    }
    if (why)
        *why = Candidate::Usable;
    if (card)
        *card = fixedText(cap.card, sizeof cap.card);
    return fd;
}

bool V4l2Sink::configure(int fd, const QString &path, const ScanSettings &settings)
{
    const int m_width = settings.width;
    const int m_height = settings.height;
    const int m_rateNum = settings.rateNum;
    const int m_rateDen = settings.rateDen;
    v4l2_format format;
    std::memset(&format, 0, sizeof format);
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = static_cast<quint32>(m_width);
    format.fmt.pix.height = static_cast<quint32>(m_height);
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = static_cast<quint32>(m_width);
    format.fmt.pix.sizeimage = static_cast<quint32>(settings.frameBytes);
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (m_io->ioctl(fd, VIDIOC_S_FMT, &format) < 0) {
        qCWarning(lcOutput) << "VCAM: VIDIOC_S_FMT failed:" << path << strerror(errno);
        return false;
    }
    // A device that keeps another producer's format answers with that one.
    if (format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUV420 ||
        format.fmt.pix.width != static_cast<quint32>(m_width) ||
        format.fmt.pix.height != static_cast<quint32>(m_height)) {
        qCWarning(lcOutput) << "VCAM: device refused the format:" << path << m_width << "x"
                            << m_height << "I420, got" << format.fmt.pix.width << "x"
                            << format.fmt.pix.height;
        return false;
    }
    // Frame interval where the device takes it; readers otherwise assume their own.
    v4l2_streamparm parm;
    std::memset(&parm, 0, sizeof parm);
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe.numerator = static_cast<quint32>(m_rateDen);
    parm.parm.output.timeperframe.denominator = static_cast<quint32>(m_rateNum);
    if (m_io->ioctl(fd, VIDIOC_S_PARM, &parm) < 0)
        qCInfo(lcOutput) << "VCAM: device takes no frame interval:" << path << strerror(errno);
    // v4l2loopback 0.12.x wants STREAMON from a write() producer too: without it the node
    // offers no capture until the first frame, and once such a producer closes the node
    // offers neither output nor capture until the module is reloaded. With it, closing gives
    // the output back for the next start. Readers see capture from here on and get our first
    // frame with the next put.
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (m_io->ioctl(fd, VIDIOC_STREAMON, &type) < 0)
        qCWarning(lcOutput) << "VCAM: VIDIOC_STREAMON failed:" << path << strerror(errno);
    return true;
}

int V4l2Sink::scan(const ScanSettings &settings, QString &path)
{
    int fd = -1;
    QStringList stuck;
    if (!settings.fixedPath.isEmpty()) {
        Candidate why = Candidate::NotLoopback;
        fd = openCandidate(settings.fixedPath, false, nullptr, &why);
        path = settings.fixedPath;
    } else {
        // The first v4l2loopback output device, or the first one labelled with our name.
        for (const QString &candidate : m_io->videoDevices()) {
            QString card;
            Candidate why = Candidate::NotLoopback;
            const int candidateFd = openCandidate(candidate, true, &card, &why);
            if (candidateFd < 0) {
                if (why == Candidate::Stuck)
                    stuck.append(candidate);
                continue;
            }
            if (settings.labelRequired && card != settings.name) {
                m_io->close(candidateFd);
                continue;
            }
            if (card == settings.name) {
                if (fd >= 0)
                    m_io->close(fd);
                fd = candidateFd;
                path = candidate;
                break;
            }
            if (fd < 0) {
                fd = candidateFd;
                path = candidate;
            } else {
                m_io->close(candidateFd);
            }
        }
    }
    if (fd >= 0 && !configure(fd, path, settings)) {
        m_io->close(fd);
        fd = -1;
    }
    if (fd >= 0)
        return fd;
    if (!stuck.isEmpty()) {
        // Not "no device": the node is there, and the user can get it back.
        const QString problem =
            QStringLiteral("VCAM: v4l2loopback device %1 is there but unusable (another program "
                           "wrote to it without streaming);")
                .arg(stuck.join(QStringLiteral(", ")));
        if (problem != m_lastProblem)
            qCWarning(lcOutput).noquote() << problem << kReloadHint;
        m_lastProblem = problem;
        m_missingLogged = true;
        return -1;
    }
    if (!m_missingLogged) {
        if (settings.labelRequired)
            qCInfo(lcOutput).noquote()
                << QStringLiteral("VCAM: no free v4l2loopback device labelled \"%1\"; load the "
                                  "module with a device of that label (the webcam set-up window "
                                  "does)")
                       .arg(settings.name);
        else if (settings.fixedPath.isEmpty())
            qCInfo(lcOutput).noquote() << "VCAM: no v4l2loopback device found;" << kLoadHint;
        else
            qCInfo(lcOutput).noquote() << "VCAM: no v4l2loopback output device at"
                                       << settings.fixedPath << ";" << kLoadHint;
    }
    m_missingLogged = true;
    return -1;
}

void V4l2Sink::probe()
{
    ScanSettings settings;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_initialised || m_fd >= 0)
            return;
        settings.name = m_name;
        settings.labelRequired = m_labelRequired;
        settings.fixedPath = m_fixedPath;
        settings.width = m_width;
        settings.height = m_height;
        settings.frameBytes = m_scaler->frameBytes();
        settings.rateNum = m_rateNum;
        settings.rateDen = m_rateDen;
    }
    // The slow part, without the put lock.
    QString path;
    const int fd = scan(settings, path);
    if (fd < 0)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0) {
        m_io->close(fd);
        return;
    }
    m_fd = fd;
    m_path = path;
    m_deviceRateNum = settings.rateNum;
    m_deviceRateDen = settings.rateDen;
    m_rateSettled = false;
    m_deviceOpen.store(true);
    m_missingLogged = false;
    m_lastProblem.clear();
    qCInfo(lcOutput).noquote() << "VCAM: virtual camera started:" << path
                               << QStringLiteral("%1x%2 I420").arg(m_width).arg(m_height);
}

void V4l2Sink::closeDevice_Locked()
{
    if (m_fd >= 0)
        m_io->close(m_fd);
    m_fd = -1;
    m_deviceOpen.store(false);
    m_path.clear();
}

void V4l2Sink::writeDevice_Locked(const uchar *picture)
{
    const size_t bytes = static_cast<size_t>(m_scaler->frameBytes());
    const ssize_t written = m_io->write(m_fd, picture, bytes);
    if (written == static_cast<ssize_t>(bytes)) {
        ++m_framesWritten;
        return;
    }
    ++m_framesDropped;
    if (written >= 0 || errno == EAGAIN || errno == EWOULDBLOCK)
        return;
    // The device went away (module removed, device deleted): say so once, then look again.
    qCInfo(lcOutput).noquote() << "VCAM: virtual camera device lost:" << m_path << strerror(errno);
    closeDevice_Locked();
    // The discovery thread looks again at its next round; said once until found again.
    m_missingLogged = true;
}

bool V4l2Sink::put(const OutputFrame &frame, bool wait)
{
    auto guard = lockForPut(m_lock, wait ? -1 : 0);
    if (!guard.owns_lock()) {
        ++m_framesDropped;
        return false;
    }
    if (!m_initialised)
        return false;
    if (!frame.picture || frame.picture->width <= 0 || frame.picture->height <= 0) {
        ++m_framesDropped;
        return false;
    }
    if (frame.rateNum > 0 && frame.rateDen > 0) {
        // The device's frame interval is set when it is opened; the next open uses this.
        m_rateNum = frame.rateNum;
        m_rateDen = frame.rateDen;
        // A device handed over by the discovery thread may have been opened just before the
        // first live frame told the rate: give it that rate once (one quick ioctl, no scan).
        if (m_fd >= 0 && wait && !m_rateSettled) {
            m_rateSettled = true;
            if (m_rateNum != m_deviceRateNum || m_rateDen != m_deviceRateDen) {
                v4l2_streamparm parm;
                std::memset(&parm, 0, sizeof parm);
                parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
                parm.parm.output.timeperframe.numerator = static_cast<quint32>(m_rateDen);
                parm.parm.output.timeperframe.denominator = static_cast<quint32>(m_rateNum);
                if (m_io->ioctl(m_fd, VIDIOC_S_PARM, &parm) == 0) {
                    m_deviceRateNum = m_rateNum;
                    m_deviceRateDen = m_rateDen;
                }
            }
        }
    }
    if (m_fd < 0 && !m_tap)
        return true;

    const uchar *picture = m_scaler->scale(frame.picture);
    if (!picture) {
        ++m_framesDropped;
        return false;
    }
    if (m_fd >= 0)
        writeDevice_Locked(picture);
    if (m_tap)
        m_tap->write(picture);
    return true;
}
