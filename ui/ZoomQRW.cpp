#include "ui/ZoomQRW.h"

#include "ui/UiLog.h"
#include "ui_ZoomQRW.h"

#include <QCheckBox>

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QSettings>
#include <QUrl>
#include <QUrlQuery>

#include <qrcodegen/qrcodegen.hpp>

#include <optional>
#include <stdexcept>

namespace {
// The window's own three keys in the shared store, with the values used when a key is absent.
const char *const kKeyFramesFps = "FRAMES_FPS";
const char *const kKeyBitrate = "BITRATE";
const char *const kKeyKeyframes = "KEYFRAMES";
const char *const kDefaultFramesFps = "HD@25";
constexpr int kDefaultBitrateKbps = 2000;
const char *const kDefaultKeyframes = "2s";
// The SRT URL's query item that names the stream (where the stream key goes).
const char *const kSrtStreamIdItem = "streamid";

// The code is rendered at this size; the label scales it to its own square.
constexpr int kRenderSidePx = 500;
// Gap between the window's top edge and the preview square.
constexpr int kPreviewTopPx = 10;
// Room kept below the preview for the row of choices besides cmdClose's own height.
constexpr int kButtonRowMarginPx = 30;
} // namespace

ZoomQRW::ZoomQRW(QWidget *parent) : QWidget(parent), m_ui(std::make_unique<Ui::ZoomQRW>())
{
    m_ui->setupUi(this);
    connect(m_ui->cmdClose, &QPushButton::clicked, this, &QWidget::close);
    // The application style sheet paints this window's background; plain QWidgets ignore it
    // without this attribute.
    setAttribute(Qt::WA_StyledBackground);
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);

    connect(m_ui->cbFramesFps, &QComboBox::currentTextChanged, this, &ZoomQRW::showQR);
    connect(m_ui->cbKeyframes, &QComboBox::currentTextChanged, this, &ZoomQRW::showQR);
    connect(m_ui->sbBitrate, QOverload<int>::of(&QSpinBox::valueChanged), this,
            [this](int) { showQR(); });

    // Larix takes SRT too: the code can carry that connection instead (with its latency and
    // passphrase), offered while SRT is on.
    m_chkSrt = new QCheckBox(tr("SRT"), this);
    m_chkSrt->setObjectName(QStringLiteral("chkSrt"));
    m_chkSrt->setToolTip(tr("Set the phone up for SRT instead of RTMP (better on a busy Wi-Fi)"));
    m_chkSrt->hide();
    m_ui->layoutButtons->insertWidget(0, m_chkSrt);
    connect(m_chkSrt, &QCheckBox::toggled, this, [this](bool) { showQR(); });

    setPhone(Phone::IPhone);
}

ZoomQRW::~ZoomQRW() = default;

void ZoomQRW::setPhone(Phone phone)
{
    if (phone == Phone::Android) {
        setWindowTitle(tr("Scan this QR by Android phone"));
        m_ui->lblDesc->setText(tr("this QR code for LarixBroadcaster (free Android app)"));
    } else {
        setWindowTitle(tr("Scan this QR by iPhone"));
        m_ui->lblDesc->setText(tr("this QR code for LarixBroadcaster (free iOS app)"));
    }
}

void ZoomQRW::setSettings(QSettings *settings)
{
    m_settings = settings;
}

void ZoomQRW::loadSettings()
{
    if (!m_settings)
        return;
    // The widgets' change signals fire while they take the stored values; one render follows
    // from showQRForUrl, not one per widget.
    m_loading = true;
    m_ui->cbFramesFps->setCurrentText(
        m_settings->value(kKeyFramesFps, kDefaultFramesFps).toString());
    m_ui->sbBitrate->setValue(m_settings->value(kKeyBitrate, kDefaultBitrateKbps).toInt());
    m_ui->cbKeyframes->setCurrentText(
        m_settings->value(kKeyKeyframes, kDefaultKeyframes).toString());
    m_loading = false;
}

QString ZoomQRW::baseLink(const QString &publishUrl)
{
    return QStringLiteral("larix://set/v1/?conn[][url]=") +
           QString::fromLatin1(QUrl::toPercentEncoding(publishUrl));
}

QString ZoomQRW::srtBaseLink(const QString &srtUrl, int latencyMs, const QString &passphrase)
{
    // Larix keeps the stream id in a field of its own and sends it in the handshake; the
    // address it is given is the plain one.
    QString address = srtUrl;
    QString streamId;
    const int queryAt = srtUrl.indexOf(QLatin1Char('?'));
    if (queryAt >= 0) {
        QUrlQuery query(srtUrl.mid(queryAt + 1));
        streamId = query.queryItemValue(QLatin1String(kSrtStreamIdItem), QUrl::FullyDecoded);
        query.removeAllQueryItems(QLatin1String(kSrtStreamIdItem));
        address = srtUrl.left(queryAt);
        if (!query.isEmpty())
            address += QLatin1Char('?') + query.toString(QUrl::FullyEncoded);
    }
    QString link = baseLink(address) + QStringLiteral("&conn[][srtlatency]=%1").arg(latencyMs);
    if (!passphrase.isEmpty())
        link += QStringLiteral("&conn[][srtpass]=") +
                QString::fromLatin1(QUrl::toPercentEncoding(passphrase));
    if (!streamId.isEmpty())
        link += QStringLiteral("&conn[][srtstreamid]=") +
                QString::fromLatin1(QUrl::toPercentEncoding(streamId));
    return link;
}

void ZoomQRW::setSrt(const QString &srtUrl, int latencyMs, const QString &passphrase)
{
    m_srtBase = srtUrl.isEmpty() ? QString() : srtBaseLink(srtUrl, latencyMs, passphrase);
    m_chkSrt->setVisible(!m_srtBase.isEmpty());
}

bool ZoomQRW::srtChosen() const
{
    return !m_srtBase.isEmpty() && m_chkSrt->isChecked();
}

QString ZoomQRW::fullLink(const QString &url, const QString &framesFps, int bitrate,
                          const QString &keyframes)
{
    const QStringList parts = framesFps.split(QLatin1Char('@'), Qt::KeepEmptyParts);
    QString resolution = parts.value(0).toUpper();
    // "FULLHD" first: it contains "HD".
    resolution.replace(QStringLiteral("FULLHD"), QStringLiteral("1920x1080"));
    resolution.replace(QStringLiteral("HD"), QStringLiteral("1280x720"));
    const QString fps = parts.value(1);
    const QString keyframe = keyframes.left(1);

    QString params =
        QStringLiteral(
            "&enc[vid][bitrate]=%1&enc[vid][res]=%2&enc[vid][fps]=%3&enc[vid][keyframe]=%4")
            .arg(bitrate)
            .arg(resolution, fps, keyframe);
    params += QStringLiteral("&conn[][name]=Quorvix");
    return url + params;
}

void ZoomQRW::showQRForUrl(QString url)
{
    m_url = url;
    m_link = fullLink(srtChosen() ? m_srtBase : url, m_ui->cbFramesFps->currentText(),
                      m_ui->sbBitrate->value(), m_ui->cbKeyframes->currentText());
    const QImage image = renderQR(QSize(kRenderSidePx, kRenderSidePx), m_link);
    ++m_renderCount;
    m_ui->lblPreview->setPixmap(QPixmap::fromImage(image));
    m_ui->lblPreview->setScaledContents(true);
    showNormal();
}

QImage ZoomQRW::renderQR(const QSize &size, const QString &text)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);

    const QByteArray utf8 = text.toUtf8();
    std::optional<qrcodegen::QrCode> code;
    try {
        code.emplace(qrcodegen::QrCode::encodeText(utf8.constData(), qrcodegen::QrCode::Ecc::HIGH));
    } catch (const std::exception &e) {
        // Too long for a level-HIGH symbol; a white image is shown instead of a wrong code.
        qCInfo(lcUi) << "QR ENCODE FAILED:" << e.what() << utf8.size();
        return image;
    }
    const int n = code->getSize() > 0 ? code->getSize() : 1;

    const double width = size.width();
    const double height = size.height();
    if (width <= 0 || height <= 0)
        return image;
    // The shorter side decides, so the symbol plus a one-module quiet zone fits the image.
    const double edge = (width / height > 1 ? height : width) / (n + 2);

    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 255));
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            if (code->getModule(x, y))
                painter.drawRect(QRectF((x + 1) * edge, (y + 1) * edge, edge, edge));
        }
    }
    painter.end();
    return image;
}

void ZoomQRW::showQR()
{
    if (!m_loading)
        showQRForUrl(m_url);
}

void ZoomQRW::saveSettings()
{
    if (!m_settings)
        return;
    m_settings->setValue(kKeyFramesFps, m_ui->cbFramesFps->currentText());
    m_settings->setValue(kKeyBitrate, m_ui->sbBitrate->value());
    m_settings->setValue(kKeyKeyframes, m_ui->cbKeyframes->currentText());
    m_settings->sync();
}

void ZoomQRW::keyPressEvent(QKeyEvent *event)
{
    qCDebug(lcUi) << "keyEvent";
    if (event->key() == Qt::Key_Escape)
        close();
    else
        QWidget::keyPressEvent(event);
}

void ZoomQRW::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placePreview();
}

void ZoomQRW::closeEvent(QCloseEvent *event)
{
    saveSettings();
    event->accept();
}

bool ZoomQRW::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    // The layout places its items again whenever the preview's pixmap changes its size hint;
    // put the square back so the code is never stretched.
    if (event->type() == QEvent::LayoutRequest)
        placePreview();
    return handled;
}

void ZoomQRW::placePreview()
{
    // The square sits 10 px below the top unless the description is there: then just below the
    // description, so its text stays readable. It ends above the row of choices.
    const QRect desc = m_ui->lblDesc->geometry();
    const int spacing = qMax(0, m_ui->verticalLayout->spacing());
    const int top = m_ui->lblDesc->isVisible() && !m_ui->lblDesc->text().isEmpty()
                        ? qMax(kPreviewTopPx, desc.bottom() + 1 + spacing)
                        : kPreviewTopPx;
    int side = height() - m_ui->cmdClose->height() - kButtonRowMarginPx - (top - kPreviewTopPx);
    if (side >= width())
        side = width();
    side = qMax(0, side);
    m_ui->lblPreview->setGeometry(static_cast<int>((width() - side) * 0.5), top, side, side);
}
