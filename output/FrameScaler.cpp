#include "output/FrameScaler.h"

#include "output/FullRangeInput.h"
#include "output/OutputLog.h"
#include "output/PictureLayout.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cstddef>
#include <cstring>

namespace {

bool turned(const PictureOrientation &orientation)
{
    return orientation.rotation == 90 || orientation.rotation == 270;
}

int even(int value)
{
    return qMax(2, value & ~1);
}

// One plane of `src` (srcWidth x srcHeight samples, one byte each) into `dst`, mirrored first
// when asked and then turned clockwise by `rotation`, so dst is srcHeight x srcWidth for a
// quarter turn. `dstStep`: bytes from one sample to the next in a row (2 and 4 place the
// samples into packed YUYV).
void turnPlane(const uchar *src, int srcWidth, int srcHeight, int srcStride, uchar *dst,
               int dstStride, int dstStep, int rotation, bool mirror)
{
    const bool quarter = rotation == 90 || rotation == 270;
    const int dstWidth = quarter ? srcHeight : srcWidth;
    const int dstHeight = quarter ? srcWidth : srcHeight;
    for (int y = 0; y < dstHeight; ++y) {
        // The source position of dst's pixel x in this row: (a0 + ax * x, b0 + bx * x).
        int a0 = 0, ax = 0, b0 = 0, bx = 0;
        switch (rotation) {
        case 90:
            a0 = y, ax = 0, b0 = srcHeight - 1, bx = -1;
            break;
        case 180:
            a0 = srcWidth - 1, ax = -1, b0 = srcHeight - 1 - y, bx = 0;
            break;
        case 270:
            a0 = srcWidth - 1 - y, ax = 0, b0 = 0, bx = 1;
            break;
        default:
            a0 = 0, ax = 1, b0 = y, bx = 0;
            break;
        }
        if (mirror) {
            a0 = srcWidth - 1 - a0;
            ax = -ax;
        }
        const uchar *from = src + static_cast<std::ptrdiff_t>(b0) * srcStride + a0;
        const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(bx) * srcStride + ax;
        uchar *to = dst + static_cast<std::ptrdiff_t>(y) * dstStride;
        for (int x = 0; x < dstWidth; ++x, from += step, to += dstStep)
            *to = *from;
    }
}

} // namespace

FrameScaler::FrameScaler(int width, int height, WebcamFormat::Pixels pixels)
    : m_width(width), m_height(height), m_pixels(pixels),
      m_out(static_cast<size_t>(pixels == WebcamFormat::Pixels::Yuyv
                                    ? 2 * static_cast<qint64>(width) * height
                                    : i420Bytes(width, height, width))),
      m_turnBuffer(m_out.size())
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
    if (m_pixels == WebcamFormat::Pixels::Yuyv) {
        for (size_t at = 0; at + 1 < m_out.size(); at += 2) {
            m_out[at] = 16;
            m_out[at + 1] = 128;
        }
        return;
    }
    const size_t luma = static_cast<size_t>(m_width) * m_height;
    std::memset(m_out.data(), 16, luma);
    std::memset(m_out.data() + luma, 128, m_out.size() - luma);
}

const uchar *FrameScaler::scale(const AVFrame *picture, const PictureOrientation &orientation)
{
    if (!readablePicture(picture))
        return nullptr;
    const bool fullRange = picture->color_range == AVCOL_RANGE_JPEG;
    if (picture->format == AV_PIX_FMT_YUV420P && !fullRange && picture->width == m_width &&
        picture->height == m_height && orientation.identity() &&
        m_pixels == WebcamFormat::Pixels::I420) {
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
    return convert(picture, orientation);
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

FrameScaler::Geometry FrameScaler::geometry(int width, int height,
                                            const PictureOrientation &orientation) const
{
    Geometry g;
    // The picture as it is shown, turned.
    const int shownWidth = turned(orientation) ? height : width;
    const int shownHeight = turned(orientation) ? width : height;
    g.cropWidth = width;
    g.cropHeight = height;
    if (!orientation.fill) {
        // Fit the picture into the output, even sizes and offsets so chroma lines up.
        int fitWidth = m_width;
        int fitHeight =
            static_cast<int>(static_cast<qint64>(shownHeight) * m_width * 2 / shownWidth + 1) / 2;
        if (fitHeight > m_height) {
            fitHeight = m_height;
            fitWidth =
                static_cast<int>(static_cast<qint64>(shownWidth) * m_height * 2 / shownHeight + 1) /
                2;
        }
        g.placeWidth = even(fitWidth);
        g.placeHeight = even(fitHeight);
        g.placeX = ((m_width - g.placeWidth) / 2) & ~1;
        g.placeY = ((m_height - g.placeHeight) / 2) & ~1;
        return g;
    }
    // Fill: the whole output, from the middle of the picture in the output's shape.
    g.placeWidth = m_width;
    g.placeHeight = m_height;
    int takeWidth = shownWidth;
    int takeHeight = shownHeight;
    if (static_cast<qint64>(shownWidth) * m_height > static_cast<qint64>(shownHeight) * m_width)
        takeWidth = static_cast<int>(static_cast<qint64>(shownHeight) * m_width / m_height);
    else
        takeHeight = static_cast<int>(static_cast<qint64>(shownWidth) * m_height / m_width);
    takeWidth = qMin(shownWidth, even(takeWidth));
    takeHeight = qMin(shownHeight, even(takeHeight));
    g.cropWidth = turned(orientation) ? takeHeight : takeWidth;
    g.cropHeight = turned(orientation) ? takeWidth : takeHeight;
    g.cropX = ((width - g.cropWidth) / 2) & ~1;
    g.cropY = ((height - g.cropHeight) / 2) & ~1;
    return g;
}

const uchar *FrameScaler::convert(const AVFrame *input, const PictureOrientation &orientation)
{
    const int width = input->width;
    const int height = input->height;
    const auto format = static_cast<AVPixelFormat>(input->format);
    const int range = input->color_range;
    const bool turning = !orientation.identity();
    const bool yuyv = m_pixels == WebcamFormat::Pixels::Yuyv;

    Geometry g = geometry(width, height, orientation);
    // A cropped picture is the same picture with its planes' start moved: no copy.
    AVFrame cropped;
    const AVFrame *picture = input;
    if (g.cropWidth < width || g.cropHeight < height) {
        cropped = *input;
        cropped.crop_left = static_cast<size_t>(g.cropX);
        cropped.crop_top = static_cast<size_t>(g.cropY);
        cropped.crop_right = static_cast<size_t>(width - g.cropX - g.cropWidth);
        cropped.crop_bottom = static_cast<size_t>(height - g.cropY - g.cropHeight);
        if (av_frame_apply_cropping(&cropped, AV_FRAME_CROP_UNALIGNED) >= 0) {
            picture = &cropped;
        } else {
            if (!m_cropFailed)
                qCWarning(lcOutput) << "VCAM: cannot crop" << av_get_pix_fmt_name(format)
                                    << "pictures; fitting them instead";
            m_cropFailed = true;
            PictureOrientation fit = orientation;
            fit.fill = false;
            g = geometry(width, height, fit);
        }
    }

    // Upright: straight into the output. Turned: into the turn buffer, in a planar format
    // whose chroma, once turned, is the output's.
    const int scaledWidth = turned(orientation) ? g.placeHeight : g.placeWidth;
    const int scaledHeight = turned(orientation) ? g.placeWidth : g.placeHeight;
    AVPixelFormat target = yuyv ? AV_PIX_FMT_YUYV422 : AV_PIX_FMT_YUV420P;
    if (turning && yuyv)
        target = turned(orientation) ? AV_PIX_FMT_YUV440P : AV_PIX_FMT_YUV422P;

    const int orientationKey = orientation.pack();
    if (!m_barsValid || width != m_lastWidth || height != m_lastHeight || format != m_lastFormat ||
        range != m_lastRange || orientationKey != m_lastOrientation) {
        SwsContext *context = sws_getCachedContext(m_sws.release(), picture->width, picture->height,
                                                   format, scaledWidth, scaledHeight, target,
                                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
        m_sws.reset(context);
        if (!context) {
            if (format != m_failedFormat)
                qCWarning(lcOutput) << "VCAM: sws_getCachedContext failed:" << width << height
                                    << av_get_pix_fmt_name(format) << "->" << scaledWidth
                                    << scaledHeight << av_get_pix_fmt_name(target);
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
        m_lastOrientation = orientationKey;
        m_barsValid = true;
    }

    uchar *dst[4] = {nullptr, nullptr, nullptr, nullptr};
    int dstStride[4] = {0, 0, 0, 0};
    if (!turning && yuyv) {
        dst[0] = m_out.data() + (static_cast<size_t>(g.placeY) * m_width + g.placeX) * 2;
        dstStride[0] = 2 * m_width;
    } else if (!turning) {
        const size_t lumaBytes = static_cast<size_t>(m_width) * m_height;
        const int outChroma = m_width / 2;
        dst[0] = m_out.data() + static_cast<size_t>(g.placeY) * m_width + g.placeX;
        dst[1] =
            m_out.data() + lumaBytes + static_cast<size_t>(g.placeY / 2) * outChroma + g.placeX / 2;
        dst[2] = m_out.data() + lumaBytes + static_cast<size_t>(outChroma) * (m_height / 2) +
                 static_cast<size_t>(g.placeY / 2) * outChroma + g.placeX / 2;
        dstStride[0] = m_width;
        dstStride[1] = dstStride[2] = outChroma;
    } else {
        const AVPixFmtDescriptor *planar = av_pix_fmt_desc_get(target);
        const int chromaWidth = scaledWidth >> planar->log2_chroma_w;
        const int chromaHeight = scaledHeight >> planar->log2_chroma_h;
        dst[0] = m_turnBuffer.data();
        dst[1] = dst[0] + static_cast<size_t>(scaledWidth) * scaledHeight;
        dst[2] = dst[1] + static_cast<size_t>(chromaWidth) * chromaHeight;
        dstStride[0] = scaledWidth;
        dstStride[1] = dstStride[2] = chromaWidth;
    }
    const int rows = sws_scale(m_sws.get(), picture->data, picture->linesize, 0, picture->height,
                               dst, dstStride);
    if (rows <= 0) {
        qCWarning(lcOutput) << "VCAM: sws_scale failed:" << rows;
        return nullptr;
    }
    ++m_conversions;
    if (turning)
        turnInto(g, orientation);
    return m_out.data();
}

void FrameScaler::turnInto(const Geometry &g, const PictureOrientation &orientation)
{
    const bool quarter = turned(orientation);
    const int srcWidth = quarter ? g.placeHeight : g.placeWidth;
    const int srcHeight = quarter ? g.placeWidth : g.placeHeight;
    const uchar *srcY = m_turnBuffer.data();
    const uchar *srcU = srcY + static_cast<size_t>(srcWidth) * srcHeight;
    // Turning and then mirroring is mirroring and then turning the other way.
    const bool mirror = orientation.mirror;
    const int rotation = mirror ? (360 - orientation.rotation) % 360 : orientation.rotation;
    if (m_pixels == WebcamFormat::Pixels::Yuyv) {
        // 4:2:2 before an upright turn, 4:4:0 before a quarter turn: 4:2:2 either way after.
        const int chromaWidth = quarter ? srcWidth : srcWidth / 2;
        const int chromaHeight = quarter ? srcHeight / 2 : srcHeight;
        const uchar *srcV = srcU + static_cast<size_t>(chromaWidth) * chromaHeight;
        const int stride = 2 * m_width;
        uchar *place = m_out.data() + static_cast<size_t>(g.placeY) * stride + 2 * g.placeX;
        turnPlane(srcY, srcWidth, srcHeight, srcWidth, place, stride, 2, rotation, mirror);
        turnPlane(srcU, chromaWidth, chromaHeight, chromaWidth, place + 1, stride, 4, rotation,
                  mirror);
        turnPlane(srcV, chromaWidth, chromaHeight, chromaWidth, place + 3, stride, 4, rotation,
                  mirror);
    } else {
        const int chromaWidth = srcWidth / 2;
        const int chromaHeight = srcHeight / 2;
        const uchar *srcV = srcU + static_cast<size_t>(chromaWidth) * chromaHeight;
        const size_t lumaBytes = static_cast<size_t>(m_width) * m_height;
        const int outChroma = m_width / 2;
        const size_t chromaAt = static_cast<size_t>(g.placeY / 2) * outChroma + g.placeX / 2;
        uchar *outU = m_out.data() + lumaBytes;
        uchar *outV = outU + static_cast<size_t>(outChroma) * (m_height / 2);
        turnPlane(srcY, srcWidth, srcHeight, srcWidth,
                  m_out.data() + static_cast<size_t>(g.placeY) * m_width + g.placeX, m_width, 1,
                  rotation, mirror);
        turnPlane(srcU, chromaWidth, chromaHeight, chromaWidth, outU + chromaAt, outChroma, 1,
                  rotation, mirror);
        turnPlane(srcV, chromaWidth, chromaHeight, chromaWidth, outV + chromaAt, outChroma, 1,
                  rotation, mirror);
    }
    ++m_turns;
}
