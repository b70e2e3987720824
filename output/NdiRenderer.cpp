#include "output/NdiRenderer.h"

#include "output/NdiRuntime.h"
#include "output/PutLock.h"

#include <QDebug>

namespace {

constexpr char kDeviceName[] = "NDI Renderer";
constexpr char kLineOutProperty[] = "line-out";
constexpr float kSampleScale = 1.0f / 32768.0f;

} // namespace

NdiRenderer::NdiRenderer(std::unique_ptr<NdiRuntime> runtime) : m_runtime(std::move(runtime)) {}

NdiRenderer::~NdiRenderer()
{
    // The last reference goes only after every sender call returned (callers hold one).
    std::lock_guard<std::mutex> guard(m_lock);
    destroySender();
}

MFPtr<IMFUnknown> createNdiRenderer()
{
    std::unique_ptr<NdiRuntime> runtime = NdiRuntime::load();
    if (!runtime)
        return {};
    return MFPtr<IMFUnknown>(
        static_cast<IMFDevice *>(mfMake<NdiRenderer>(std::move(runtime)).get()));
}

int NdiRenderer::deviceGetCount(eMFDeviceType type, int *count)
{
    if (!count)
        return kMfPointer;
    *count = type == eMFDT_Video ? 1 : 0;
    return kMfOk;
}

int NdiRenderer::deviceGetByIndex(eMFDeviceType type, int index, QString *name, int *busy)
{
    if (busy)
        *busy = 0;
    if (type != eMFDT_Video || index != 0)
        return kMfInvalidArg;
    if (name)
        *name = QString::fromLatin1(kDeviceName);
    return kMfOk;
}

int NdiRenderer::deviceSet(eMFDeviceType type, int index, const QString &)
{
    // The one device is always the selected one.
    return type == eMFDT_Video && index == 0 ? kMfOk : kMfInvalidArg;
}

int NdiRenderer::propsSet(const QString &name, const QString &value)
{
    if (name != QLatin1String(kLineOutProperty) || value.isEmpty())
        return kMfInvalidArg;
    std::lock_guard<std::mutex> guard(m_lock);
    m_sourceName = value.toUtf8();
    m_sinceRefused.invalidate();
    return kMfOk;
}

bool NdiRenderer::ensureSender()
{
    if (m_sender && m_senderName == m_sourceName)
        return true;
    // Renamed: the source goes away under its old name and comes back under the new one.
    destroySender();
    if (m_sinceRefused.isValid() && m_sinceRefused.elapsed() < kSenderRetryMs)
        return false;
    NDIlib_send_create_t settings{};
    settings.p_ndi_name = m_sourceName.isEmpty() ? nullptr : m_sourceName.constData();
    settings.p_groups = nullptr;
    settings.clock_video = false;
    settings.clock_audio = false;
    m_sender = m_runtime->sendCreate(&settings);
    if (!m_sender) {
        if (!m_sinceRefused.isValid())
            qDebug().noquote() << "NDI: the runtime refused to create the source"
                               << QString::fromUtf8(m_sourceName);
        m_sinceRefused.start();
        return false;
    }
    m_senderName = m_sourceName;
    m_sinceRefused.invalidate();
    qDebug().noquote() << "NDI: source created:" << QString::fromUtf8(m_sourceName);
    return true;
}

void NdiRenderer::destroySender()
{
    if (!m_sender)
        return;
    m_runtime->sendDestroy(m_sender);
    m_sender = nullptr;
    m_senderName.clear();
}

int NdiRenderer::receiverPutFrame(IMFFrame *frame, int waitMs, const QString &)
{
    if (!frame)
        return kMfPointer;
    auto guard = lockForPut(m_lock, waitMs);
    if (!guard.owns_lock()) {
        ++m_framesDropped;
        return kMfFalse;
    }

    const MFVideoProps &video = frame->props().video;
    const int stride = video.rowBytes > 0 ? video.rowBytes : video.width;
    if (video.fcc != kMfFccI420 || !frame->video() || video.width <= 0 || video.height <= 0 ||
        stride < video.width) {
        ++m_framesDropped;
        return kMfInvalidArg;
    }
    if (!ensureSender()) {
        ++m_framesDropped;
        return kMfFail;
    }

    NDIlib_video_frame_v2_t out{};
    out.xres = video.width;
    out.yres = video.height;
    out.FourCC = kNdiFourCcI420;
    const bool hasRate = video.rateNum > 0 && video.rateDen > 0;
    out.frame_rate_N = hasRate ? video.rateNum : kDefaultRateNum;
    out.frame_rate_D = hasRate ? video.rateDen : kDefaultRateDen;
    out.picture_aspect_ratio = 0.0f; // square pixels
    out.frame_format_type = kNdiFrameFormatProgressive;
    out.timecode = kNdiTimecodeSynthesize;
    // The synchronous send is done with the buffer when it returns; the runtime only reads it.
    out.p_data = const_cast<uint8_t *>(frame->video());
    out.line_stride_in_bytes = stride;
    out.p_metadata = nullptr;
    m_runtime->sendVideo(m_sender, &out);
    if (frame->audio() && frame->audioBytes() > 0)
        sendAudio(*frame);
    ++m_framesSent;
    return kMfOk;
}

void NdiRenderer::sendAudio(const IMFFrame &frame)
{
    const MFAudioProps &audio = frame.props().audio;
    if (audio.bitsPerSample != 16 || audio.channels <= 0 || audio.channels > kMaxAudioChannels ||
        audio.sampleRate <= 0)
        return;
    const int channels = audio.channels;
    const int samples = frame.audioBytes() / (channels * 2);
    if (samples <= 0 || samples > kMaxAudioSamples)
        return;
    const size_t needed = static_cast<size_t>(samples) * static_cast<size_t>(channels);
    if (m_planar.size() < needed)
        m_planar.resize(needed); // grows to the largest frame once, then reused
    const qint16 *in = static_cast<const qint16 *>(frame.audio());
    for (int channel = 0; channel < channels; ++channel) {
        float *plane = m_planar.data() + static_cast<size_t>(channel) * samples;
        const qint16 *sample = in + channel;
        for (int i = 0; i < samples; ++i, sample += channels)
            plane[i] = static_cast<float>(*sample) * kSampleScale;
    }
    NDIlib_audio_frame_v2_t out{};
    out.sample_rate = audio.sampleRate;
    out.no_channels = channels;
    out.no_samples = samples;
    out.timecode = kNdiTimecodeSynthesize;
    out.p_data = m_planar.data();
    out.channel_stride_in_bytes = samples * static_cast<int>(sizeof(float));
    out.p_metadata = nullptr;
    m_runtime->sendAudio(m_sender, &out);
}
