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

void V4l2Sink::init(const QString &name, const WebcamFormat &format, bool labelRequired)
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
        m_format = format;

        const QString size = Environment::vcamSize();
        if (!size.isEmpty()) {
            const QRegularExpressionMatch match =
                QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$")).match(size);
            const int width = match.hasMatch() ? match.captured(1).toInt() : 0;
            const int height = match.hasMatch() ? match.captured(2).toInt() : 0;
            if (width >= kMinSide && height >= kMinSide && width <= kMaxSide &&
                height <= kMaxSide && width % 2 == 0 && height % 2 == 0) {
                m_sizeOverrideWidth = width;
                m_sizeOverrideHeight = height;
                m_format.width = width;
                m_format.height = height;
            } else {
                qCWarning(lcOutput)
                    << "VCAM: ignoring QUORVIX_VCAM_SIZE (want even WIDTHxHEIGHT):" << size;
            }
        }
        m_tapPath = Environment::vcamTap();
        m_picture.reset(av_frame_alloc());
        if (!m_picture)
            qCWarning(lcOutput) << "VCAM: av_frame_alloc failed; the preview and NDI show the "
                                   "camera's picture unturned";
        makeConverters_Locked();
        m_initialised = true;
    }
    // The first look on the caller's thread, so a device present at start is open at once.
    probe();
    m_discovery = std::thread([this] { discoveryLoop(); });
}

void V4l2Sink::makeConverters_Locked()
{
    // The picture of the last put may still be on its way to the preview and NDI: its scaler
    // goes at the next put, on the thread that puts. One made since then served no put.
    if (!m_retiredScaler)
        m_retiredScaler = std::move(m_scaler);
    m_scaler = std::make_unique<FrameScaler>(m_format.width, m_format.height, m_format.pixels);
    m_tap.reset();
    if (m_tapPath.isEmpty())
        return;
    // YUV4MPEG2 has no packed 4:2:2; the tap shows the I420 webcam only.
    if (m_format.pixels == WebcamFormat::Pixels::I420)
        m_tap = std::make_unique<FrameTap>(m_tapPath, m_format.width, m_format.height, kFps);
    else
        qCInfo(lcOutput) << "VCAM: the tap takes I420 pictures only; not written while the "
                            "webcam is YUYV";
}

WebcamFormat V4l2Sink::format() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_format;
}

WebcamOutput::FormatChange V4l2Sink::setFormat(const WebcamFormat &wanted)
{
    WebcamFormat format = wanted;
    QString path;
    bool initialised = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        initialised = m_initialised;
        if (m_sizeOverrideWidth > 0) {
            format.width = m_sizeOverrideWidth;
            format.height = m_sizeOverrideHeight;
        }
        if (format == m_format)
            return FormatChange::Unchanged;
        if (format.width == m_format.width && format.height == m_format.height &&
            format.pixels == m_format.pixels) {
            // Only the rate: the next open and the next live frame take it.
            m_format = format;
            m_rateSettled = false;
            return FormatChange::Applied;
        }
        path = m_path;
    }
    // Readers cannot follow a format change: a program showing the webcam keeps it as it is.
    if (!path.isEmpty() && m_io->openedByOthers(path)) {
        qCInfo(lcOutput).noquote() << "VCAM: keeping" << format.text() << "for later:" << path
                                   << "is in use by another program";
        return FormatChange::Held;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_fd >= 0) {
            // Closing after STREAMON gives the output back, free for the new format.
            closeDevice_Locked();
        }
        m_format = format;
        makeConverters_Locked();
        m_missingLogged = false;
    }
    qCInfo(lcOutput).noquote() << "VCAM: webcam format" << format.text()
                               << (format.fixedRate ? "at 30 fps" : "at the camera's rate");
    if (initialised)
        probe();
    return FormatChange::Applied;
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
    const int m_width = settings.format.width;
    const int m_height = settings.format.height;
    const bool yuyv = settings.format.pixels == WebcamFormat::Pixels::Yuyv;
    const quint32 pixelFormat = yuyv ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_YUV420;
    const int m_rateNum = settings.rateNum;
    const int m_rateDen = settings.rateDen;
    v4l2_format format;
    std::memset(&format, 0, sizeof format);
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = static_cast<quint32>(m_width);
    format.fmt.pix.height = static_cast<quint32>(m_height);
    format.fmt.pix.pixelformat = pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = static_cast<quint32>(yuyv ? 2 * m_width : m_width);
    format.fmt.pix.sizeimage = static_cast<quint32>(settings.format.frameBytes());
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (m_io->ioctl(fd, VIDIOC_S_FMT, &format) < 0) {
        qCWarning(lcOutput) << "VCAM: VIDIOC_S_FMT failed:" << path << strerror(errno);
        return false;
    }
    // A device that keeps another producer's format answers with that one.
    if (format.fmt.pix.pixelformat != pixelFormat ||
        format.fmt.pix.width != static_cast<quint32>(m_width) ||
        format.fmt.pix.height != static_cast<quint32>(m_height)) {
        qCWarning(lcOutput).noquote()
            << "VCAM: device refused the format:" << path << settings.format.text() << ", got"
            << format.fmt.pix.width << "x" << format.fmt.pix.height;
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
        settings.format = m_format;
        settings.rateNum = m_format.fixedRate ? kFps : m_rateNum;
        settings.rateDen = m_format.fixedRate ? 1 : m_rateDen;
    }
    // The slow part, without the put lock.
    QString path;
    const int fd = scan(settings, path);
    if (fd < 0)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0 || settings.format != m_format) {
        // Another scan was first, or the format changed meanwhile: the next round opens it.
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
    qCInfo(lcOutput).noquote() << "VCAM: virtual camera started:" << path << settings.format.text();
}

void V4l2Sink::describePicture_Locked(const uchar *picture)
{
    if (!m_picture)
        return;
    AVFrame *out = m_picture.get();
    const int width = m_scaler->width();
    const int height = m_scaler->height();
    uint8_t *base = const_cast<uint8_t *>(picture);
    out->width = width;
    out->height = height;
    if (m_scaler->pixels() == WebcamFormat::Pixels::Yuyv) {
        out->format = AV_PIX_FMT_YUYV422;
        out->data[0] = base;
        out->data[1] = out->data[2] = nullptr;
        out->linesize[0] = 2 * width;
        out->linesize[1] = out->linesize[2] = 0;
    } else {
        out->format = AV_PIX_FMT_YUV420P;
        out->data[0] = base;
        out->data[1] = base + static_cast<qint64>(width) * height;
        out->data[2] = out->data[1] + static_cast<qint64>(width / 2) * (height / 2);
        out->linesize[0] = width;
        out->linesize[1] = out->linesize[2] = width / 2;
    }
    m_lastPicture = out;
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
    m_lastPicture = nullptr;
    m_retiredScaler.reset();
    if (!m_initialised)
        return false;
    if (!frame.picture || frame.picture->width <= 0 || frame.picture->height <= 0) {
        ++m_framesDropped;
        return false;
    }
    if (frame.rateNum > 0 && frame.rateDen > 0 && !m_format.fixedRate) {
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
    if (m_fd >= 0 && wait && m_format.fixedRate && !m_rateSettled) {
        // A device opened at the camera's rate before the choice changed to 30.
        m_rateSettled = true;
        if (m_deviceRateNum != kFps || m_deviceRateDen != 1) {
            v4l2_streamparm parm;
            std::memset(&parm, 0, sizeof parm);
            parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            parm.parm.output.timeperframe.numerator = 1;
            parm.parm.output.timeperframe.denominator = kFps;
            if (m_io->ioctl(m_fd, VIDIOC_S_PARM, &parm) == 0) {
                m_deviceRateNum = kFps;
                m_deviceRateDen = 1;
            }
        }
    }
    // Fixed at 30: a faster camera's pictures are thinned evenly (60 fps: every other one), so
    // readers get the rate the device announces.
    bool thinned = false;
    if (wait && m_format.fixedRate && frame.rateNum > 0 && frame.rateDen > 0 &&
        static_cast<qint64>(frame.rateNum) > static_cast<qint64>(kFps) * frame.rateDen) {
        if (m_thinPhase >= 1.0)
            m_thinPhase -= 1.0;
        else
            thinned = true;
        m_thinPhase += static_cast<double>(kFps) * frame.rateDen / frame.rateNum;
    }
    const bool wanted = wait && m_pictureWanted.load();
    if (((m_fd < 0 && !m_tap) || thinned) && !wanted)
        return true;

    // Live pictures turn as asked; the card never turns.
    PictureOrientation orientation;
    if (wait)
        orientation = PictureOrientation::unpack(m_orientation.load());
    const uchar *picture = m_scaler->scale(frame.picture, orientation);
    if (!picture) {
        ++m_framesDropped;
        return false;
    }
    if (wait)
        describePicture_Locked(picture);
    if (thinned)
        return true;
    if (m_fd >= 0)
        writeDevice_Locked(picture);
    if (m_tap)
        m_tap->write(picture);
    return true;
}
