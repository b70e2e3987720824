#include "output/NdiRenderer.h"

#include "output/NdiRuntime.h"
#include "output/OutputLog.h"
#include "output/PutLock.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

constexpr float kSampleScale = 1.0f / 32768.0f;

// NDI's I420 is one buffer: the U plane right after the Y plane, V right after U, chroma rows
// half the luma row.
bool laidOutAsNdiI420(const AVFrame *picture)
{
    const int width = picture->width;
    const int height = picture->height;
    const int stride = picture->linesize[0];
    const int chromaStride = stride / 2;
    return picture->format == AV_PIX_FMT_YUV420P && width > 0 && height > 0 && stride >= width &&
           stride % 2 == 0 && picture->data[0] && picture->linesize[1] == chromaStride &&
           picture->linesize[2] == chromaStride &&
           picture->data[1] == picture->data[0] + static_cast<qint64>(stride) * height &&
           picture->data[2] ==
               picture->data[1] + static_cast<qint64>(chromaStride) * ((height + 1) / 2);
}

} // namespace

NdiRenderer::NdiRenderer(std::unique_ptr<NdiRuntime> runtime) : m_runtime(std::move(runtime)) {}

NdiRenderer::~NdiRenderer()
{
    // The last reference goes only after every sender call returned (callers hold one).
    std::lock_guard<std::mutex> guard(m_lock);
    destroySender();
}

std::unique_ptr<NdiRenderer> createNdiRenderer()
{
    std::unique_ptr<NdiRuntime> runtime = NdiRuntime::load();
    if (!runtime)
        return nullptr;
    return std::make_unique<NdiRenderer>(std::move(runtime));
}

bool NdiRenderer::setSourceName(const QString &name)
{
    if (name.isEmpty())
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    m_sourceName = name.toUtf8();
    m_sinceRefused.invalidate();
    return true;
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
            qCInfo(lcOutput).noquote() << "NDI: the runtime refused to create the source"
                                       << QString::fromUtf8(m_sourceName);
        m_sinceRefused.start();
        return false;
    }
    m_senderName = m_sourceName;
    m_sinceRefused.invalidate();
    qCInfo(lcOutput).noquote() << "NDI: source created:" << QString::fromUtf8(m_sourceName);
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

bool NdiRenderer::put(const OutputFrame &frame, bool wait)
{
    auto guard = lockForPut(m_lock, wait ? -1 : 0);
    if (!guard.owns_lock()) {
        ++m_framesDropped;
        return false;
    }

    // Audio between two pictures goes on its own; receivers keep showing the last picture.
    const AVFrame *picture = frame.picture;
    if (!picture && frame.audio && frame.samples > 0) {
        if (!ensureSender()) {
            ++m_framesDropped;
            return false;
        }
        sendAudio(frame);
        return true;
    }
    if (!picture || !laidOutAsNdiI420(picture)) {
        ++m_framesDropped;
        return false;
    }
    if (!ensureSender()) {
        ++m_framesDropped;
        return false;
    }

    NDIlib_video_frame_v2_t out{};
    out.xres = picture->width;
    out.yres = picture->height;
    out.FourCC = kNdiFourCcI420;
    const bool hasRate = frame.rateNum > 0 && frame.rateDen > 0;
    out.frame_rate_N = hasRate ? frame.rateNum : kDefaultRateNum;
    out.frame_rate_D = hasRate ? frame.rateDen : kDefaultRateDen;
    out.picture_aspect_ratio = 0.0f; // square pixels
    out.frame_format_type = kNdiFrameFormatProgressive;
    out.timecode = kNdiTimecodeSynthesize;
    // The synchronous send is done with the buffer when it returns; the runtime only reads it.
    out.p_data = picture->data[0];
    out.line_stride_in_bytes = picture->linesize[0];
    out.p_metadata = nullptr;
    m_runtime->sendVideo(m_sender, &out);
    if (frame.audio && frame.samples > 0)
        sendAudio(frame);
    ++m_framesSent;
    return true;
}

void NdiRenderer::sendAudio(const OutputFrame &frame)
{
    if (frame.channels <= 0 || frame.channels > kMaxAudioChannels || frame.sampleRate <= 0)
        return;
    const int channels = frame.channels;
    const int samples = frame.samples;
    if (samples <= 0 || samples > kMaxAudioSamples)
        return;
    const size_t needed = static_cast<size_t>(samples) * static_cast<size_t>(channels);
    if (m_planar.size() < needed)
        m_planar.resize(needed); // grows to the largest frame once, then reused
    const qint16 *in = frame.audio;
    for (int channel = 0; channel < channels; ++channel) {
        float *plane = m_planar.data() + static_cast<size_t>(channel) * samples;
        const qint16 *sample = in + channel;
        for (int i = 0; i < samples; ++i, sample += channels)
            plane[i] = static_cast<float>(*sample) * kSampleScale;
    }
    NDIlib_audio_frame_v2_t out{};
    out.sample_rate = frame.sampleRate;
    out.no_channels = channels;
    out.no_samples = samples;
    out.timecode = kNdiTimecodeSynthesize;
    out.p_data = m_planar.data();
    out.channel_stride_in_bytes = samples * static_cast<int>(sizeof(float));
    out.p_metadata = nullptr;
    m_runtime->sendAudio(m_sender, &out);
}
