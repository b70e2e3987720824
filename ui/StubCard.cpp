#include "ui/StubCard.h"

#include "app/AppSettings.h"
#include "ui/UiLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QPainter>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>

namespace {

constexpr qint64 kCopyChunkBytes = 1024 * 1024;
constexpr int kFontWeightBold = 75;

QString imagesFolder()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(base);
    const QString folder = base + QLatin1Char('/') + QLatin1String(StubCard::kImagesFolderName);
    QDir().mkpath(folder);
    return QDir(folder).absolutePath();
}

bool samePlace(const QString &a, const QString &b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

// Copies `source` to `dest` so that `dest` is replaced only by a whole new copy: a failed copy
// leaves whatever `dest` held before.
bool copyReplacing(const QString &source, const QString &dest)
{
    if (samePlace(source, dest))
        return true;
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        qCWarning(lcUi) << "CARD IMAGE COPY FAILED:" << source << in.errorString();
        return false;
    }
    QSaveFile out(dest);
    if (!out.open(QIODevice::WriteOnly)) {
        qCWarning(lcUi) << "CARD IMAGE COPY FAILED:" << dest << out.errorString();
        return false;
    }
    QByteArray chunk;
    while (!(chunk = in.read(kCopyChunkBytes)).isEmpty()) {
        if (out.write(chunk) != chunk.size()) {
            qCWarning(lcUi) << "CARD IMAGE COPY FAILED:" << dest << out.errorString();
            out.cancelWriting();
            return false;
        }
    }
    if (in.error() != QFileDevice::NoError) {
        qCWarning(lcUi) << "CARD IMAGE COPY FAILED:" << source << in.errorString();
        out.cancelWriting();
        return false;
    }
    if (!out.commit()) {
        qCWarning(lcUi) << "CARD IMAGE COPY FAILED:" << dest << out.errorString();
        return false;
    }
    return true;
}

// The folder holds one copy: everything but `keep` goes.
void removeAllBut(const QString &folder, const QString &keep)
{
    QDir dir(folder);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() == keep)
            continue;
        const bool removed = entry.isDir() && !entry.isSymLink()
                                 ? QDir(entry.absoluteFilePath()).removeRecursively()
                                 : QFile::remove(entry.absoluteFilePath());
        if (!removed)
            qCWarning(lcUi) << "CARD IMAGE OLD COPY NOT REMOVED:" << entry.absoluteFilePath();
    }
}

} // namespace

void StubCard::FrameDeleter::operator()(AVFrame *frame) const
{
    // The picture came from av_image_alloc, which the frame does not own by reference.
    av_freep(&frame->data[0]);
    av_frame_free(&frame);
}

void StubCard::ScalerDeleter::operator()(SwsContext *context) const
{
    sws_freeContext(context);
}

StubCard::StubCard() : m_stubBuffer(new unsigned char[kBufferBytes])
{
    std::memset(m_stubBuffer.get(), 0, kBufferBytes);
}

StubCard::~StubCard() = default;

qint64 StubCard::pictureBytes(int width, int height)
{
    const qint64 w = width;
    const qint64 h = height;
    return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
}

QString StubCard::imageCopyPath(const QString &path)
{
    return imagesFolder() + QLatin1Char('/') + QFileInfo(path).fileName();
}

QString StubCard::chooseImageFile(QSettings &settings)
{
    const QString chosen = AppSettings::readString(settings, AppSettings::kDisplayedColorbarImage);
    const QString copy = AppSettings::readString(settings, AppSettings::kLastTempColorbarImage);

    if (chosen == QLatin1String(kBuiltInImage) && copy.isEmpty())
        return QString::fromLatin1(kBuiltInImage);

    if (QFile::exists(chosen)) {
        const bool fresh =
            QFileInfo(chosen).fileName() == QFileInfo(copy).fileName() && QFile::exists(copy);
        if (fresh)
            return copy;
        // The chosen file changed under the same key: refresh the copy, keeping the old one
        // until the new one is complete.
        const QString dest = imageCopyPath(copy);
        if (!copyReplacing(chosen, dest))
            return copy;
        if (!samePlace(dest, copy)) {
            // The stored copy lay outside the images folder; the card now uses the new one.
            settings.setValue(QLatin1String(AppSettings::kLastTempColorbarImage), dest);
            settings.sync();
        }
        return dest;
    }

    if (QFile::exists(copy))
        return copy;

    settings.setValue(QLatin1String(AppSettings::kDisplayedColorbarImage),
                      QString::fromLatin1(kBuiltInImage));
    settings.setValue(QLatin1String(AppSettings::kLastTempColorbarImage), QString());
    settings.sync();
    return QString::fromLatin1(kBuiltInImage);
}

QImage StubCard::loadImage(const QString &file)
{
    QImage image(file);
    if (image.isNull()) {
        qCWarning(lcUi) << "CARD IMAGE NOT READABLE, USING BUILT-IN:" << file;
        image = QImage(QString::fromLatin1(kBuiltInImage));
    }
    if (pictureBytes(image.width(), image.height()) > kBufferBytes) {
        qCInfo(lcUi) << "CARD IMAGE SCALED DOWN:" << image.size();
        image = image.scaled(QSize(kFitWidthPx, kFitHeightPx), Qt::KeepAspectRatio,
                             Qt::SmoothTransformation);
    }
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool StubCard::storeChoice(QSettings &settings, const QString &imagePath)
{
    if (imagePath.isEmpty()) {
        settings.setValue(QLatin1String(AppSettings::kDisplayedColorbarImage),
                          QString::fromLatin1(kBuiltInImage));
        settings.setValue(QLatin1String(AppSettings::kLastTempColorbarImage), QString());
        return true;
    }
    const QString dest = imageCopyPath(imagePath);
    if (!QFileInfo(imagePath).isFile() || !copyReplacing(imagePath, dest)) {
        qCWarning(lcUi) << "CARD IMAGE NOT STORED, KEEPING THE OLD ONE:" << imagePath;
        return false;
    }
    removeAllBut(QFileInfo(dest).absolutePath(), QFileInfo(dest).fileName());
    settings.setValue(QLatin1String(AppSettings::kLastTempColorbarImage), dest);
    settings.setValue(QLatin1String(AppSettings::kDisplayedColorbarImage), imagePath);
    return true;
}

void StubCard::compose(QSettings &settings)
{
    QImage image = loadImage(chooseImageFile(settings));
    const QString text = AppSettings::readString(settings, AppSettings::kStubText);
    renderStub(image.width(), image.height(), image, text);
}

void StubCard::renderStub(int width, int height, QImage &image, const QString &text)
{
    if (width <= 0 || height <= 0 || image.format() != QImage::Format_ARGB32 ||
        image.width() != width || image.height() != height ||
        pictureBytes(width, height) > kBufferBytes) {
        qCWarning(lcUi) << " STUB EXCEPTION" << width << height;
        return;
    }
    m_width = width;
    m_height = height;

    {
        QPainter painter(&image);
        painter.setPen(Qt::white);
        painter.setFont(
            QFont(QString::fromLatin1(kFontFamily), kFontPointSize, kFontWeightBold, false));
        painter.drawText(image.rect(), Qt::AlignCenter, text);
    }
    m_image = image;

    if (!m_stubScaler) {
        m_stubScaler.reset(sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height,
                                          AV_PIX_FMT_YUV420P, SWS_FAST_BILINEAR, nullptr, nullptr,
                                          nullptr));
        AVFrame *frame = av_frame_alloc();
        if (frame) {
            // Alignment 1: planes packed without padding, as the buffer wants them.
            if (av_image_alloc(frame->data, frame->linesize, width, height, AV_PIX_FMT_YUV420P, 1) <
                0) {
                av_frame_free(&frame);
            } else {
                frame->width = width;
                frame->height = height;
                frame->format = AV_PIX_FMT_YUV420P;
                m_stubFrame.reset(frame);
            }
        }
    }
    if (!m_stubScaler || !m_stubFrame || m_stubFrame->width != width ||
        m_stubFrame->height != height) {
        qCWarning(lcUi) << " STUB EXCEPTION";
        return;
    }

    const uint8_t *src[1] = {image.constBits()};
    const int srcStride[1] = {static_cast<int>(image.bytesPerLine())};
    if (sws_scale(m_stubScaler.get(), src, srcStride, 0, height, m_stubFrame->data,
                  m_stubFrame->linesize) <= 0) {
        qCWarning(lcUi) << " STUB EXCEPTION";
        return;
    }

    // Whole chroma rows, ceil(h/2) of them, so odd heights keep their last chroma row and the
    // V plane starts where the output expects it.
    const qint64 chromaRows = (height + 1) / 2;
    unsigned char *out = m_stubBuffer.get();
    const qint64 yBytes = static_cast<qint64>(height) * m_stubFrame->linesize[0];
    const qint64 uBytes = chromaRows * m_stubFrame->linesize[1];
    const qint64 vBytes = chromaRows * m_stubFrame->linesize[2];
    std::memcpy(out, m_stubFrame->data[0], yBytes);
    if (uBytes)
        std::memcpy(out + yBytes, m_stubFrame->data[1], uBytes);
    if (vBytes)
        std::memcpy(out + yBytes + uBytes, m_stubFrame->data[2], vBytes);
}
