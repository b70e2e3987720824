#include "output/FrameScaler.h"

#include "output/FullRangeInput.h"
#include "output/OutputLog.h"
#include "output/PictureLayout.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cstring>

FrameScaler::FrameScaler(int width, int height)
    : m_width(width), m_height(height), m_out(static_cast<size_t>(i420Bytes(width, height, width)))
{
}

qint64 FrameScaler::i420Bytes(int width, int height, int stride)
{
    const qint64 luma = static_cast<qint64>(stride > 0 ? stride : width);
    const qint64 chroma = (luma + 1) / 2;
    return luma * height + 2 * chroma * ((height + 1) / 2);
}

void FrameScaler::fillBlack()
{
    // Limited-range black: Y 16, U and V 128.
    const size_t luma = static_cast<size_t>(m_width) * m_height;
    std::memset(m_out.data(), 16, luma);
    std::memset(m_out.data() + luma, 128, m_out.size() - luma);
}

const uchar *FrameScaler::scale(const AVFrame *picture)
{
    if (!readablePicture(picture))
        return nullptr;
    const bool fullRange = picture->color_range == AVCOL_RANGE_JPEG;
    if (picture->format == AV_PIX_FMT_YUV420P && !fullRange && picture->width == m_width &&
        picture->height == m_height) {
        const int width = m_width;
        const int height = m_height;
        // Already what the device takes, in one buffer: no pass at all.
        if (picture->linesize[0] == width && picture->linesize[1] == width / 2 &&
            picture->linesize[2] == width / 2 &&
            picture->data[1] == picture->data[0] + static_cast<qint64>(width) * height &&
            picture->data[2] == picture->data[1] + static_cast<qint64>(width / 2) * (height / 2))
            return picture->data[0];
        return gather(picture);
    }
    return convert(picture);
}

const uchar *FrameScaler::gather(const AVFrame *picture)
{
    uchar *dstY = m_out.data();
    uchar *dstU = dstY + static_cast<size_t>(m_width) * m_height;
    uchar *dstV = dstU + static_cast<size_t>(m_width / 2) * (m_height / 2);
    for (int row = 0; row < m_height; ++row)
        std::memcpy(dstY + static_cast<size_t>(row) * m_width,
                    picture->data[0] + static_cast<qint64>(row) * picture->linesize[0], m_width);
    for (int row = 0; row < m_height / 2; ++row) {
        std::memcpy(dstU + static_cast<size_t>(row) * (m_width / 2),
                    picture->data[1] + static_cast<qint64>(row) * picture->linesize[1],
                    m_width / 2);
        std::memcpy(dstV + static_cast<size_t>(row) * (m_width / 2),
                    picture->data[2] + static_cast<qint64>(row) * picture->linesize[2],
                    m_width / 2);
    }
    m_barsValid = false;
    ++m_gathers;
    return m_out.data();
}

const uchar *FrameScaler::convert(const AVFrame *picture)
{
    const int width = picture->width;
    const int height = picture->height;
    const auto format = static_cast<AVPixelFormat>(picture->format);
    const int range = picture->color_range;

    // Fit the picture into the output, even sizes and offsets so chroma lines up.
    int fitWidth = m_width;
    int fitHeight = static_cast<int>(static_cast<qint64>(height) * m_width * 2 / width + 1) / 2;
    if (fitHeight > m_height) {
        fitHeight = m_height;
        fitWidth = static_cast<int>(static_cast<qint64>(width) * m_height * 2 / height + 1) / 2;
    }
    fitWidth = qMax(2, fitWidth & ~1);
    fitHeight = qMax(2, fitHeight & ~1);
    const int x = ((m_width - fitWidth) / 2) & ~1;
    const int y = ((m_height - fitHeight) / 2) & ~1;

    if (!m_barsValid || width != m_lastWidth || height != m_lastHeight || format != m_lastFormat ||
        range != m_lastRange) {
        SwsContext *context =
            sws_getCachedContext(m_sws.release(), width, height, format, fitWidth, fitHeight,
                                 AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        m_sws.reset(context);
        if (!context) {
            if (format != m_failedFormat)
                qCWarning(lcOutput) << "VCAM: sws_getCachedContext failed:" << width << height
                                    << av_get_pix_fmt_name(format) << "->" << fitWidth << fitHeight;
            m_failedFormat = format;
            m_barsValid = false;
            return nullptr;
        }
        // A full-range picture whose format does not say so (the J formats do) is told.
        if (range == AVCOL_RANGE_JPEG && !setFullRangeInput(context))
            qCWarning(lcOutput) << "VCAM: sws_setColorspaceDetails failed for full range";
        m_failedFormat = -1;
        fillBlack();
        m_lastWidth = width;
        m_lastHeight = height;
        m_lastFormat = format;
        m_lastRange = range;
        m_barsValid = true;
    }

    const size_t lumaBytes = static_cast<size_t>(m_width) * m_height;
    const int outChroma = m_width / 2;
    uchar *dst[4] = {m_out.data() + static_cast<size_t>(y) * m_width + x,
                     m_out.data() + lumaBytes + static_cast<size_t>(y / 2) * outChroma + x / 2,
                     m_out.data() + lumaBytes + static_cast<size_t>(outChroma) * (m_height / 2) +
                         static_cast<size_t>(y / 2) * outChroma + x / 2,
                     nullptr};
    const int dstStride[4] = {m_width, outChroma, outChroma, 0};
    const int rows =
        sws_scale(m_sws.get(), picture->data, picture->linesize, 0, height, dst, dstStride);
    if (rows <= 0) {
        qCWarning(lcOutput) << "VCAM: sws_scale failed:" << rows;
        return nullptr;
    }
    ++m_conversions;
    return m_out.data();
}
