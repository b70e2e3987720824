#include "output/FrameScaler.h"

#include "output/OutputLog.h"

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
    if (!picture || picture->format != AV_PIX_FMT_YUV420P || !picture->data[0] ||
        !picture->data[1] || !picture->data[2])
        return nullptr;
    const int width = picture->width;
    const int height = picture->height;
    const int stride = picture->linesize[0];
    const int chromaStride = picture->linesize[1];
    if (width <= 0 || height <= 0 || stride < width || chromaStride < (width + 1) / 2 ||
        picture->linesize[2] != chromaStride)
        return nullptr;
    const uchar *srcY = picture->data[0];
    const uchar *srcU = picture->data[1];
    const uchar *srcV = picture->data[2];

    if (width == m_width && height == m_height) {
        if (stride == width && chromaStride == width / 2 &&
            srcU == srcY + static_cast<qint64>(width) * height &&
            srcV == srcU + static_cast<qint64>(width / 2) * (height / 2))
            return srcY;
        // Same size, padded rows: repack.
        uchar *dstY = m_out.data();
        uchar *dstU = dstY + static_cast<size_t>(m_width) * m_height;
        uchar *dstV = dstU + static_cast<size_t>(m_width / 2) * (m_height / 2);
        for (int row = 0; row < height; ++row)
            std::memcpy(dstY + static_cast<size_t>(row) * m_width,
                        srcY + static_cast<qint64>(row) * stride, width);
        for (int row = 0; row < height / 2; ++row) {
            std::memcpy(dstU + static_cast<size_t>(row) * (m_width / 2),
                        srcU + static_cast<qint64>(row) * chromaStride, m_width / 2);
            std::memcpy(dstV + static_cast<size_t>(row) * (m_width / 2),
                        srcV + static_cast<qint64>(row) * chromaStride, m_width / 2);
        }
        m_barsValid = false;
        return m_out.data();
    }

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

    if (!m_barsValid || width != m_lastWidth || height != m_lastHeight) {
        SwsContext *context = sws_getCachedContext(
            m_sws.release(), width, height, AV_PIX_FMT_YUV420P, fitWidth, fitHeight,
            AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        m_sws.reset(context);
        if (!context) {
            qCWarning(lcOutput) << "VCAM: sws_getCachedContext failed:" << width << height << "->"
                                << fitWidth << fitHeight;
            m_barsValid = false;
            return nullptr;
        }
        fillBlack();
        m_lastWidth = width;
        m_lastHeight = height;
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
    const uchar *const src[4] = {srcY, srcU, srcV, nullptr};
    const int srcStride[4] = {stride, chromaStride, chromaStride, 0};
    const int rows = sws_scale(m_sws.get(), src, srcStride, 0, height, dst, dstStride);
    if (rows <= 0) {
        qCWarning(lcOutput) << "VCAM: sws_scale failed:" << rows;
        return nullptr;
    }
    return m_out.data();
}
