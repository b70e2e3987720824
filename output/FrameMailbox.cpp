#include "output/FrameMailbox.h"

#include "app/LogThrottle.h"
#include "output/OutputLog.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

// Copies are packed (alignment 1): a picture of the webcam's own size then goes to the device
// as it is, in one write.
constexpr int kCopyAlign = 1;

} // namespace

void FrameMailbox::logFailure(const char *what, int error)
{
    // One line a second at most: a broken stream can cause one per picture.
    if (!m_failureLog.count())
        return;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    qCWarning(lcOutput).nospace() << "output: picture not handed to the video-out thread: " << what
                                  << ": " << text << " (" << m_failureLog.total() << " so far)";
}

void FrameMailbox::FrameDeleter::operator()(AVFrame *frame) const
{
    av_frame_free(&frame);
}

void FrameMailbox::PoolDeleter::operator()(AVBufferPool *pool) const
{
    // The pool itself goes once the last of its buffers is back.
    av_buffer_pool_uninit(&pool);
}

FrameMailbox::FrameMailbox() : m_staging(av_frame_alloc()), m_slot(av_frame_alloc())
{
    if (!m_staging || !m_slot)
        qCCritical(lcOutput) << "output: av_frame_alloc failed for the video-out hand-over";
}

FrameMailbox::~FrameMailbox() = default;

bool FrameMailbox::put(const AVFrame *picture)
{
    if (m_interrupted.load() || !m_staging || !m_slot)
        return false;
    if (!picture || picture->width <= 0 || picture->height <= 0 || picture->format < 0 ||
        !picture->data[0]) {
        ++m_failed;
        logFailure("not a picture", AVERROR(EINVAL));
        return false;
    }
    // The reference or the copy is made outside the lock, so the writer never waits for it.
    if (picture->buf[0]) {
        const int error = av_frame_ref(m_staging.get(), picture);
        if (error < 0) {
            ++m_failed;
            logFailure("av_frame_ref", error);
            return false;
        }
    } else if (!copyToStaging(picture)) {
        ++m_failed;
        return false;
    }

    bool replaced = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_interrupted.load()) {
            av_frame_unref(m_staging.get());
            return false;
        }
        if (m_full) {
            av_frame_unref(m_slot.get());
            replaced = true;
        }
        av_frame_move_ref(m_slot.get(), m_staging.get());
        m_full = true;
    }
    m_filled.notify_one();
    if (replaced)
        ++m_dropped;
    return true;
}

bool FrameMailbox::copyToStaging(const AVFrame *picture)
{
    const auto format = static_cast<AVPixelFormat>(picture->format);
    if (!m_pool || format != m_poolFormat || picture->width != m_poolWidth ||
        picture->height != m_poolHeight) {
        const int bytes =
            av_image_get_buffer_size(format, picture->width, picture->height, kCopyAlign);
        if (bytes < 0) {
            logFailure("av_image_get_buffer_size", bytes);
            return false;
        }
        // Made once per format and size; a steady stream takes its buffers round.
        PoolPtr pool(av_buffer_pool_init(static_cast<size_t>(bytes), av_buffer_alloc));
        if (!pool) {
            logFailure("av_buffer_pool_init", AVERROR(ENOMEM));
            return false;
        }
        m_pool = std::move(pool);
        m_poolFormat = format;
        m_poolWidth = picture->width;
        m_poolHeight = picture->height;
        m_poolBytes = bytes;
    }

    // A line size shorter than the format's rows would make the copy read past each row (and
    // FFmpeg asserts on it): such a description is refused, not copied.
    const int planes = av_pix_fmt_count_planes(format);
    for (int plane = 0; plane < planes; ++plane) {
        const int rowBytes = av_image_get_linesize(format, picture->width, plane);
        if (rowBytes < 0 || !picture->data[plane] || picture->linesize[plane] < rowBytes) {
            logFailure("line size shorter than the picture's rows", AVERROR(EINVAL));
            return false;
        }
    }

    AVBufferRef *buffer = av_buffer_pool_get(m_pool.get());
    if (!buffer) {
        logFailure("av_buffer_pool_get", AVERROR(ENOMEM));
        return false;
    }
    AVFrame *staging = m_staging.get();
    staging->buf[0] = buffer; // the frame owns it from here; unref releases it to the pool
    staging->format = format;
    staging->width = picture->width;
    staging->height = picture->height;
    int error = av_image_fill_arrays(staging->data, staging->linesize, buffer->data, format,
                                     picture->width, picture->height, kCopyAlign);
    if (error < 0) {
        av_frame_unref(staging);
        logFailure("av_image_fill_arrays", error);
        return false;
    }
    av_image_copy(staging->data, staging->linesize, const_cast<const uint8_t **>(picture->data),
                  picture->linesize, format, picture->width, picture->height);
    error = av_frame_copy_props(staging, picture);
    if (error < 0) {
        av_frame_unref(staging);
        logFailure("av_frame_copy_props", error);
        return false;
    }
    return true;
}

void FrameMailbox::clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_full)
        av_frame_unref(m_slot.get());
    m_full = false;
}

bool FrameMailbox::take(AVFrame *out, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_filled.wait_for(guard, timeout, [this] { return m_full || m_interrupted.load(); });
    if (!m_full || m_interrupted.load())
        return false;
    av_frame_unref(out);
    av_frame_move_ref(out, m_slot.get());
    m_full = false;
    ++m_taken;
    return true;
}

void FrameMailbox::interrupt()
{
    {
        // Under the lock, so a take() between its check and its wait cannot miss the wake.
        std::lock_guard<std::mutex> guard(m_lock);
        m_interrupted.store(true);
        if (m_full)
            av_frame_unref(m_slot.get());
        m_full = false;
    }
    m_filled.notify_all();
}
