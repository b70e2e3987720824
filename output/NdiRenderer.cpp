#include "output/NdiRenderer.h"

#include "output/NdiRuntime.h"
#include "output/FullRangeInput.h"
#include "output/OutputLog.h"
#include "output/PictureLayout.h"
#include "output/PutLock.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace {

// The FourCC NDI takes `picture` as it is under, or 0 when its layout is not one of NDI's:
// NDI's frames are one buffer, planes one after the other, with a single line stride.
int ndiFourCcOf(const AVFrame *picture)
{
    const int height = picture->height;
    const int stride = picture->linesize[0];
    if (picture->width <= 0 || height <= 0 || !picture->data[0] || stride <= 0 ||
        picture->color_range == AVCOL_RANGE_JPEG)
        return 0;
    const uint8_t *second = picture->data[0] + static_cast<qint64>(stride) * height;
    switch (picture->format) {
    case AV_PIX_FMT_UYVY422:
        return stride >= 2 * picture->width ? kNdiFourCcUyvy : 0;
    case AV_PIX_FMT_NV12:
        return stride >= picture->width && picture->data[1] == second &&
                       picture->linesize[1] == stride
                   ? kNdiFourCcNv12
                   : 0;
    case AV_PIX_FMT_YUV420P: {
        const int chromaStride = stride / 2;
        return stride >= picture->width && stride % 2 == 0 && picture->data[1] == second &&
                       picture->linesize[1] == chromaStride &&
                       picture->linesize[2] == chromaStride &&
                       picture->data[2] ==
                           picture->data[1] + static_cast<qint64>(chromaStride) * ((height + 1) / 2)
                   ? kNdiFourCcI420
                   : 0;
    }
    default:
        return 0;
    }
}

} // namespace

NdiRenderer::NdiRenderer(std::unique_ptr<NdiRuntime> runtime) : m_runtime(std::move(runtime)) {}

NdiRenderer::~NdiRenderer()
{
    // The last reference goes only after every sender call returned (callers hold one).
    std::unique_lock<std::shared_mutex> guard(m_senderLock);
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
    // Never waits for a send: the sender follows the new name with the next picture.
    std::lock_guard<std::mutex> guard(m_nameLock);
    m_sourceName = name.toUtf8();
    ++m_nameGeneration;
    return true;
}

bool NdiRenderer::senderCurrent() const
{
    return m_sender && m_senderGeneration == m_nameGeneration.load();
}

bool NdiRenderer::ensureSender()
{
    if (senderCurrent())
        return true;
    // Renamed: the source goes away under its old name and comes back under the new one.
    destroySender();
    QByteArray name;
    quint64 generation = 0;
    {
        std::lock_guard<std::mutex> guard(m_nameLock);
        name = m_sourceName;
        generation = m_nameGeneration.load();
    }
    // A refused sender is asked for again after a while, or at once under a new name.
    if (m_sinceRefused.isValid() && m_refusedGeneration == generation &&
        m_sinceRefused.elapsed() < kSenderRetryMs)
        return false;
    NDIlib_send_create_t settings{};
    settings.p_ndi_name = name.isEmpty() ? nullptr : name.constData();
    settings.p_groups = nullptr;
    settings.clock_video = false;
    settings.clock_audio = false;
    m_sender = m_runtime->sendCreate(&settings);
    if (!m_sender) {
        if (!m_sinceRefused.isValid() || m_refusedGeneration != generation)
            qCInfo(lcOutput).noquote()
                << "NDI: the runtime refused to create the source" << QString::fromUtf8(name);
        m_sinceRefused.start();
        m_refusedGeneration = generation;
        return false;
    }
    m_senderGeneration = generation;
    m_sinceRefused.invalidate();
    qCInfo(lcOutput).noquote() << "NDI: source created:" << QString::fromUtf8(name);
    return true;
}

void NdiRenderer::destroySender()
{
    if (!m_sender)
        return;
    m_runtime->sendDestroy(m_sender);
    m_sender = nullptr;
    m_senderGeneration = 0;
}

bool NdiRenderer::lockSender(std::shared_lock<std::shared_mutex> &shared,
                             std::unique_lock<std::shared_mutex> &exclusive, bool wait)
{
    if (wait)
        shared.lock();
    else if (!shared.try_lock())
        return false;
    if (senderCurrent())
        return true;
    shared.unlock();
    if (wait)
        exclusive.lock();
    else if (!exclusive.try_lock())
        return false;
    if (ensureSender())
        return true;
    exclusive.unlock();
    return false;
}

bool NdiRenderer::put(const OutputFrame &frame, bool wait)
{
    // Sound between two pictures goes on its own; receivers keep showing the last picture.
    const bool sent = frame.picture || !frame.audio || frame.samples <= 0 ? putPicture(frame, wait)
                                                                          : putSound(frame);
    if (sent)
        ++m_framesSent;
    else
        ++m_framesDropped;
    return sent;
}

bool NdiRenderer::putSound(const OutputFrame &frame)
{
    std::lock_guard<std::mutex> sound(m_soundLock);
    std::shared_lock<std::shared_mutex> shared(m_senderLock, std::defer_lock);
    std::unique_lock<std::shared_mutex> exclusive(m_senderLock, std::defer_lock);
    // Never waits: a picture holds the sender only shared, so this waits for nothing but a
    // sender being created or renamed, and then the sound is dropped instead.
    if (!lockSender(shared, exclusive, false))
        return false;
    sendAudio(frame);
    return true;
}

bool NdiRenderer::putPicture(const OutputFrame &frame, bool wait)
{
    auto guard = lockForPut(m_pictureLock, wait ? -1 : 0);
    if (!guard.owns_lock())
        return false;
    const AVFrame *picture = frame.picture;
    if (!readablePicture(picture))
        return false;
    // As it is where NDI takes it; otherwise the one conversion, into I420.
    const uint8_t *data = picture->data[0];
    int stride = picture->linesize[0];
    int fourCc = ndiFourCcOf(picture);
    if (!fourCc) {
        data = convert(picture);
        if (!data)
            return false;
        stride = picture->width + (picture->width & 1);
        fourCc = kNdiFourCcI420;
    }
    std::shared_lock<std::shared_mutex> shared(m_senderLock, std::defer_lock);
    std::unique_lock<std::shared_mutex> exclusive(m_senderLock, std::defer_lock);
    if (!lockSender(shared, exclusive, wait))
        return false;

    NDIlib_video_frame_v2_t out{};
    out.xres = picture->width;
    out.yres = picture->height;
    out.FourCC = fourCc;
    const bool hasRate = frame.rateNum > 0 && frame.rateDen > 0;
    out.frame_rate_N = hasRate ? frame.rateNum : kDefaultRateNum;
    out.frame_rate_D = hasRate ? frame.rateDen : kDefaultRateDen;
    out.picture_aspect_ratio = 0.0f; // square pixels
    out.frame_format_type = kNdiFrameFormatProgressive;
    out.timecode = kNdiTimecodeSynthesize;
    // The synchronous send is done with the buffer when it returns; the runtime only reads it.
    out.p_data = const_cast<uint8_t *>(data);
    out.line_stride_in_bytes = stride;
    out.p_metadata = nullptr;
    m_runtime->sendVideo(m_sender, &out);
    if (frame.audio && frame.samples > 0) {
        std::lock_guard<std::mutex> sound(m_soundLock);
        sendAudio(frame);
    }
    return true;
}

const uint8_t *NdiRenderer::convert(const AVFrame *picture)
{
    // Even sizes, so NDI's half-stride chroma rows hold whole samples.
    const int width = picture->width + (picture->width & 1);
    const int height = picture->height + (picture->height & 1);
    const auto format = static_cast<AVPixelFormat>(picture->format);
    if (picture->width != m_convertedWidth || picture->height != m_convertedHeight ||
        format != m_convertedFormat || picture->color_range != m_convertedRange) {
        // Only when the stream's geometry or format changes.
        SwsContext *context = sws_getCachedContext(m_sws.release(), picture->width, picture->height,
                                                   format, width, height, AV_PIX_FMT_YUV420P,
                                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
        m_sws.reset(context);
        m_convertedFormat = format;
        m_convertedWidth = picture->width;
        m_convertedHeight = picture->height;
        m_convertedRange = picture->color_range;
        if (!context) {
            qCWarning(lcOutput) << "NDI: sws_getCachedContext failed:" << picture->width
                                << picture->height << av_get_pix_fmt_name(format);
            return nullptr;
        }
        if (picture->color_range == AVCOL_RANGE_JPEG && !setFullRangeInput(context))
            qCWarning(lcOutput) << "NDI: sws_setColorspaceDetails failed for full range";
        m_converted.assign(static_cast<size_t>(width) * height * 3 / 2, 0);
    }
    if (!m_sws)
        return nullptr;
    uint8_t *y = m_converted.data();
    uint8_t *u = y + static_cast<size_t>(width) * height;
    uint8_t *v = u + static_cast<size_t>(width / 2) * (height / 2);
    uint8_t *const dst[4] = {y, u, v, nullptr};
    const int dstStride[4] = {width, width / 2, width / 2, 0};
    if (sws_scale(m_sws.get(), picture->data, picture->linesize, 0, picture->height, dst,
                  dstStride) <= 0)
        return nullptr;
    ++m_conversions;
    return m_converted.data();
}

void NdiRenderer::sendAudio(const OutputFrame &frame)
{
    if (frame.channels <= 0 || frame.channels > kMaxAudioChannels || frame.sampleRate <= 0)
        return;
    const int channels = frame.channels;
    const int samples = frame.samples;
    if (samples <= 0 || samples > kMaxAudioSamples)
        return;
    // NDI takes planar float, as the frame carries it, in one buffer with a fixed distance
    // between the planes. Planes back to back go as they are; others are gathered (copied,
    // not converted) into storage that grows to the largest frame and is then reused.
    const float *const *planes = frame.audio;
    const float *data = planes[0];
    bool backToBack = true;
    for (int channel = 1; backToBack && channel < channels; ++channel)
        backToBack = planes[channel] == planes[channel - 1] + samples;
    if (!backToBack) {
        const size_t needed = static_cast<size_t>(samples) * static_cast<size_t>(channels);
        if (m_planar.size() < needed)
            m_planar.resize(needed);
        for (int channel = 0; channel < channels; ++channel)
            std::copy(planes[channel], planes[channel] + samples,
                      m_planar.begin() + static_cast<std::ptrdiff_t>(channel) * samples);
        data = m_planar.data();
    }
    NDIlib_audio_frame_v2_t out{};
    out.sample_rate = frame.sampleRate;
    out.no_channels = channels;
    out.no_samples = samples;
    out.timecode = kNdiTimecodeSynthesize;
    // The runtime only reads the samples; the send is done with them when it returns.
    out.p_data = const_cast<float *>(data);
    out.channel_stride_in_bytes = samples * static_cast<int>(sizeof(float));
    out.p_metadata = nullptr;
    m_runtime->sendAudio(m_sender, &out);
}
