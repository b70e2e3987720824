#include "ui/GlobalSettings.h"

#include "app/AppSettings.h"
#include "app/Settings.h"
#include "ingest/SrtListener.h"
#include "ingest/StreamKey.h"

#include "ui_GlobalSettings.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

namespace {

// A field never asks for more than this, so a long file name cannot stretch the dialog across
// the screen; its text scrolls beyond that.
constexpr int kMaxFieldWidthPx = 360;
// QLineEdit keeps this much room on each side of its text, plus one pixel for the cursor.
constexpr int kFieldTextMarginPx = 2;
constexpr int kCursorWidthPx = 1;
// Placeholders are drawn in the text's colour at this opacity.
constexpr int kPlaceholderAlpha = 128;

void fitToText(QLineEdit *edit)
{
    const QString text = edit->text().isEmpty() ? edit->placeholderText() : edit->displayText();
    QStyleOptionFrame opt;
    opt.initFrom(edit);
    opt.lineWidth =
        edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit) : 0;
    const QFontMetrics fm(edit->font());
    const QMargins margins = edit->textMargins();
    const QSize contents(fm.horizontalAdvance(text) + 2 * kFieldTextMarginPx + kCursorWidthPx +
                             margins.left() + margins.right(),
                         fm.height());
    const int width =
        edit->style()->sizeFromContents(QStyle::CT_LineEdit, &opt, contents, edit).width();
    edit->setMinimumWidth(std::min(width, kMaxFieldWidthPx));
}

// A style sheet's text colour also becomes the placeholder's, which then reads as a value.
void dimPlaceholder(QLineEdit *edit)
{
    QPalette palette = edit->palette();
    if (palette.color(QPalette::PlaceholderText) != palette.color(QPalette::Text))
        return;
    QColor dimmed = palette.color(QPalette::Text);
    dimmed.setAlpha(kPlaceholderAlpha);
    palette.setColor(QPalette::PlaceholderText, dimmed);
    edit->setPalette(palette);
}

QString chooseWithFileDialog(QWidget *parent, const QString &caption, const QString &dir,
                             const QString &filter, QString *selectedFilter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter, selectedFilter,
                                        QFileDialog::Options());
}

// A group's heading as a bold label of its own rather than a group title: the program's style
// draws a group's frame across its title.
QLabel *boldHeading(const QString &text, QWidget *parent)
{
    auto *heading = new QLabel(text, parent);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    return heading;
}

} // namespace

GlobalSettings::GlobalSettings(bool portLocked, int port, const QString &imagePath, int maxBufferMs,
                               int maxBufferIgnoreAudioMs, bool ignoreAudio, bool ndiMode,
                               const QString &stubText, QWidget *parent)
    : QDialog(parent, Qt::WindowFlags()), m_ui(std::make_unique<Ui::GlobalSettings>()),
      m_fileChooser(chooseWithFileDialog)
{
    m_ui->setupUi(this);
    // Before the values below are set, so setting the image name already runs its handler.
    connect(m_ui->cmdChooseImage, &QPushButton::clicked, this, &GlobalSettings::chooseImage);
    connect(m_ui->txtColorbarImage, &QLineEdit::textChanged, this,
            &GlobalSettings::onImageNameChanged);
    connect(m_ui->cmdClearImage, &QPushButton::clicked, this, &GlobalSettings::clearImage);
    connect(m_ui->chkIA, &QCheckBox::clicked, this, &GlobalSettings::onIgnoreAudioClicked);
    connect(m_ui->chkStreamKey, &QCheckBox::toggled, this, &GlobalSettings::onStreamKeyToggled);
    connect(m_ui->cmdNewKey, &QPushButton::clicked, this, &GlobalSettings::makeNewKey);
    for (QLineEdit *edit : {m_ui->txtColorbarImage, m_ui->txtStreamKey})
        connect(edit, &QLineEdit::textChanged, this, [edit] { fitToText(edit); });

    m_imagePath = imagePath;
    m_ui->txtColorbarImage->setText(QFileInfo(imagePath).fileName());
    if (imagePath.isEmpty())
        m_ui->cmdClearImage->hide();

    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);

    // QSpinBox::setValue clamps to the range set in the form.
    m_ui->spbMB->setValue(maxBufferMs);
    m_ui->spbMB_IA->setValue(maxBufferIgnoreAudioMs);
    m_ui->spbPort->setValue(port);

    m_ui->chkIA->setChecked(ignoreAudio);
    m_ui->chkNDI->setChecked(ndiMode);
    m_ui->txtStubText->setText(stubText);

    // clicked() only fires for the user, so the initial state is set here.
    m_ui->lblMB_IA->setVisible(ignoreAudio);
    m_ui->spbMB_IA->setVisible(ignoreAudio);

    if (portLocked)
        m_ui->spbPort->setEnabled(false);

    setStreamKey(false, QString());
    buildSrtControls(portLocked);
    for (const QString &size : Settings::webcamSizes())
        m_ui->cmbWebcamSize->addItem(size, size);
    setWebcam(WebcamFormat());

    // The general bound is passed through, not edited here.
    m_ui->lblMB->hide();
    m_ui->spbMB->hide();
}

GlobalSettings::~GlobalSettings() = default;

void GlobalSettings::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    fitFields();
}

void GlobalSettings::fitFields()
{
    for (QLineEdit *edit : findChildren<QLineEdit *>()) {
        // A spin box's own field is sized by the spin box.
        if (qobject_cast<QAbstractSpinBox *>(edit->parentWidget()))
            continue;
        fitToText(edit);
        dimPlaceholder(edit);
    }
}

void GlobalSettings::buildSrtControls(bool locked)
{
    m_locked = locked;
    // The SRT port sits next to the RTMP port.
    auto *portLabel = new QLabel(tr("SRT port"), this);
    portLabel->setObjectName(QStringLiteral("lblSrtPort"));
    m_spbSrtPort = new QSpinBox(this);
    m_spbSrtPort->setObjectName(QStringLiteral("spbSrtPort"));
    m_spbSrtPort->setRange(1000, 65000);
    m_spbSrtPort->setMinimumWidth(80);
    m_spbSrtPort->setMaximumWidth(100);
    m_spbSrtPort->setValue(AppSettings::kDefaultSrtPort);
    const int portAt = m_ui->portRow->indexOf(m_ui->spbPort);
    m_ui->portRow->insertWidget(portAt + 1, portLabel);
    m_ui->portRow->insertWidget(portAt + 2, m_spbSrtPort);

    auto *group = new QGroupBox(this);
    group->setObjectName(QStringLiteral("grpSrt"));
    auto *grid = new QGridLayout(group);
    auto *heading = boldHeading(tr("SRT"), group);
    heading->setObjectName(QStringLiteral("lblSrtHeading"));
    m_chkSrt = new QCheckBox(tr("Take SRT callers"), group);
    m_chkSrt->setObjectName(QStringLiteral("chkSrt"));
    grid->addWidget(heading, 0, 0);
    grid->addWidget(m_chkSrt, 0, 1, 1, 2);
    grid->addWidget(new QLabel(tr("Latency (ms)"), group), 1, 0);
    m_spbSrtLatency = new QSpinBox(group);
    m_spbSrtLatency->setObjectName(QStringLiteral("spbSrtLatency"));
    m_spbSrtLatency->setRange(SrtListener::kMinLatencyMs, SrtListener::kMaxLatencyMs);
    m_spbSrtLatency->setToolTip(tr("How long lost packets may take to be sent again. "
                                   "120 ms suits a home or office Wi-Fi; raise it for a busy "
                                   "or distant link."));
    grid->addWidget(m_spbSrtLatency, 1, 1);
    grid->addWidget(new QLabel(tr("Passphrase"), group), 2, 0);
    m_txtSrtPassphrase = new QLineEdit(group);
    m_txtSrtPassphrase->setObjectName(QStringLiteral("txtSrtPassphrase"));
    m_txtSrtPassphrase->setMaxLength(SrtListener::kMaxPassphrase);
    m_txtSrtPassphrase->setPlaceholderText(tr("none"));
    grid->addWidget(m_txtSrtPassphrase, 2, 1, 1, 2);
    m_lblSrtPassphraseHint = new QLabel(tr("10 to 79 characters, or empty for none"), group);
    m_lblSrtPassphraseHint->setObjectName(QStringLiteral("lblSrtPassphraseHint"));
    grid->addWidget(m_lblSrtPassphraseHint, 3, 1, 1, 2);
    m_ui->dialogLayout->insertWidget(m_ui->dialogLayout->indexOf(m_ui->grpPort) + 1, group);
    auto *webcamHeading = boldHeading(tr("Webcam"), m_ui->groupWebcam);
    webcamHeading->setObjectName(QStringLiteral("lblWebcamHeading"));
    m_ui->formWebcam->insertRow(0, webcamHeading);

    connect(m_chkSrt, &QCheckBox::toggled, this, [this] { updateSrtControls(); });
    connect(m_txtSrtPassphrase, &QLineEdit::textChanged, this, [this] { updateSrtControls(); });
    setSrt(AppSettings::kDefaultSrt, AppSettings::kDefaultSrtPort,
           AppSettings::kDefaultSrtLatencyMs, QString());
}

void GlobalSettings::updateSrtControls()
{
    const bool on = m_chkSrt->isChecked() && !m_locked;
    m_chkSrt->setEnabled(!m_locked);
    m_spbSrtPort->setEnabled(on);
    m_spbSrtLatency->setEnabled(on);
    m_txtSrtPassphrase->setEnabled(on);
    const bool valid = srtPassphraseValid(m_txtSrtPassphrase->text());
    m_lblSrtPassphraseHint->setStyleSheet(valid ? QString() : QStringLiteral("color: #d04040;"));
    if (QPushButton *ok = m_ui->buttonBox->button(QDialogButtonBox::Ok))
        ok->setEnabled(valid || !m_chkSrt->isChecked());
}

void GlobalSettings::setSrt(bool on, int port, int latencyMs, const QString &passphrase)
{
    m_chkSrt->setChecked(on);
    m_spbSrtPort->setValue(port);
    m_spbSrtLatency->setValue(latencyMs);
    m_txtSrtPassphrase->setText(passphrase);
    updateSrtControls();
}

bool GlobalSettings::srt() const
{
    return m_chkSrt->isChecked();
}

int GlobalSettings::srtPort() const
{
    return m_spbSrtPort->value();
}

int GlobalSettings::srtLatencyMs() const
{
    return m_spbSrtLatency->value();
}

QString GlobalSettings::srtPassphrase() const
{
    return m_txtSrtPassphrase->text();
}

bool GlobalSettings::srtPassphraseValid(const QString &passphrase)
{
    // libsrt counts bytes.
    const int bytes = passphrase.toUtf8().size();
    return bytes == 0 ||
           (bytes >= SrtListener::kMinPassphrase && bytes <= SrtListener::kMaxPassphrase);
}

int GlobalSettings::port() const
{
    return m_ui->spbPort->value();
}

int GlobalSettings::maxBufferMs() const
{
    return m_ui->spbMB->value();
}

int GlobalSettings::maxBufferIgnoreAudioMs() const
{
    return m_ui->spbMB_IA->value();
}

bool GlobalSettings::ignoreAudio() const
{
    return m_ui->chkIA->isChecked();
}

bool GlobalSettings::ndiMode() const
{
    return m_ui->chkNDI->isChecked();
}

void GlobalSettings::setMicrophone(bool on)
{
    m_ui->chkMicrophone->setChecked(on);
}

bool GlobalSettings::microphone() const
{
    return m_ui->chkMicrophone->isChecked();
}

void GlobalSettings::setEachCameraOwnWebcam(bool on)
{
    m_ui->chkEachCameraOwnWebcam->setChecked(on);
}

bool GlobalSettings::eachCameraOwnWebcam() const
{
    return m_ui->chkEachCameraOwnWebcam->isChecked();
}

QString GlobalSettings::stubText() const
{
    return m_ui->txtStubText->text();
}

QString GlobalSettings::imagePath() const
{
    return m_imagePath;
}

void GlobalSettings::setFileChooser(FileChooser chooser)
{
    m_fileChooser = chooser ? std::move(chooser) : FileChooser(chooseWithFileDialog);
}

void GlobalSettings::chooseImage()
{
    const QString filter = tr("Images (*.png *.jpg *.jpeg)");
    QString selectedFilter = filter;
    const QString file = m_fileChooser(
        this, tr("Select Image"), QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
        filter, &selectedFilter);
    if (file.isEmpty())
        return;
    m_imagePath = file;
    m_ui->txtColorbarImage->setText(QFileInfo(file).fileName());
}

void GlobalSettings::onImageNameChanged(const QString &name)
{
    m_ui->cmdClearImage->setVisible(!name.isEmpty());
}

void GlobalSettings::clearImage()
{
    m_ui->txtColorbarImage->clear();
    m_imagePath.clear();
}

void GlobalSettings::onIgnoreAudioClicked(bool checked)
{
    m_ui->lblMB_IA->setVisible(checked);
    m_ui->spbMB_IA->setVisible(checked);
}

void GlobalSettings::setStreamKey(bool required, const QString &key)
{
    // Before the box: checking it would make a key of its own only when it was unchecked.
    m_ui->txtStreamKey->setText(keptStreamKey(required, key));
    m_ui->chkStreamKey->setChecked(required);
    // toggled() only fires on a change; the key widgets follow the box either way.
    m_ui->txtStreamKey->setEnabled(required);
    m_ui->cmdNewKey->setEnabled(required);
}

bool GlobalSettings::requireStreamKey() const
{
    return m_ui->chkStreamKey->isChecked();
}

QString GlobalSettings::streamKey() const
{
    return m_ui->txtStreamKey->text();
}

QString GlobalSettings::keptStreamKey(bool required, const QString &key)
{
    return required && key.isEmpty() ? StreamKey::generate() : key;
}

void GlobalSettings::onStreamKeyToggled(bool checked)
{
    if (checked)
        m_ui->txtStreamKey->setText(keptStreamKey(true, m_ui->txtStreamKey->text()));
    m_ui->txtStreamKey->setEnabled(checked);
    m_ui->cmdNewKey->setEnabled(checked);
}

void GlobalSettings::makeNewKey()
{
    m_ui->txtStreamKey->setText(StreamKey::generate());
}

void GlobalSettings::setWebcam(const WebcamFormat &format)
{
    const int size =
        m_ui->cmbWebcamSize->findData(QStringLiteral("%1x%2").arg(format.width).arg(format.height));
    const int fallback =
        m_ui->cmbWebcamSize->findData(QString::fromLatin1(AppSettings::kDefaultWebcamSize));
    m_ui->cmbWebcamSize->setCurrentIndex(size >= 0 ? size : fallback);
    m_ui->cmbWebcamFormat->setCurrentIndex(format.pixels == WebcamFormat::Pixels::Yuyv ? 1 : 0);
    m_ui->cmbWebcamRate->setCurrentIndex(format.fixedRate ? 0 : 1);
}

WebcamFormat GlobalSettings::webcam() const
{
    WebcamFormat format;
    const QStringList sides = m_ui->cmbWebcamSize->currentData().toString().split(QLatin1Char('x'));
    if (sides.size() == 2) {
        format.width = sides.at(0).toInt();
        format.height = sides.at(1).toInt();
    }
    format.pixels = m_ui->cmbWebcamFormat->currentIndex() == 1 ? WebcamFormat::Pixels::Yuyv
                                                               : WebcamFormat::Pixels::I420;
    format.fixedRate = m_ui->cmbWebcamRate->currentIndex() == 0;
    return format;
}

void GlobalSettings::setOrientation(const QString &cameraText,
                                    const PictureOrientation &orientation)
{
    if (!cameraText.isEmpty())
        m_ui->lblOrientationFor->setText(
            tr("Picture of the camera chosen in the main window: %1").arg(cameraText));
    // The combo's rows are the quarter turns in order.
    m_ui->cmbRotation->setCurrentIndex((orientation.rotation / 90) & 3);
    m_ui->chkMirror->setChecked(orientation.mirror);
    m_ui->cmbShape->setCurrentIndex(orientation.fill ? 1 : 0);
}

PictureOrientation GlobalSettings::orientation() const
{
    PictureOrientation orientation;
    orientation.rotation = qBound(0, m_ui->cmbRotation->currentIndex(), 3) * 90;
    orientation.mirror = m_ui->chkMirror->isChecked();
    orientation.fill = m_ui->cmbShape->currentIndex() == 1;
    return orientation;
}
