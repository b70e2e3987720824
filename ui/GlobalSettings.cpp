#include "ui/GlobalSettings.h"

#include "ingest/StreamKey.h"

#include "ui_GlobalSettings.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

QString chooseWithFileDialog(QWidget *parent, const QString &caption, const QString &dir,
                             const QString &filter, QString *selectedFilter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter, selectedFilter,
                                        QFileDialog::Options());
}

} // namespace

GlobalSettings::GlobalSettings(bool portLocked, int port, const QString &imagePath, int maxBufferMs,
                               int maxBufferIgnoreAudioMs, bool ignoreAudio, bool ndiMode,
                               const QString &stubText, QWidget *parent)
    : QDialog(parent, Qt::WindowFlags()), m_ui(std::make_unique<Ui::GlobalSettings>()),
      m_fileChooser(chooseWithFileDialog)
{
    // setupUi also connects the on_<object>_<signal> slots by name, so setting the image name
    // below already runs on_txtColorbarImage_textChanged.
    m_ui->setupUi(this);

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

    // The general bound is passed through, not edited here.
    m_ui->lblMB->hide();
    m_ui->spbMB->hide();
}

GlobalSettings::~GlobalSettings() = default;

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

void GlobalSettings::on_cmdChooseImage_clicked()
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

void GlobalSettings::on_txtColorbarImage_textChanged(const QString &arg1)
{
    m_ui->cmdClearImage->setVisible(!arg1.isEmpty());
}

void GlobalSettings::on_cmdClearImage_clicked()
{
    m_ui->txtColorbarImage->clear();
    m_imagePath.clear();
}

void GlobalSettings::on_chkIA_clicked(bool checked)
{
    m_ui->lblMB_IA->setVisible(checked);
    m_ui->spbMB_IA->setVisible(checked);
}

void GlobalSettings::setStreamKey(bool required, const QString &key)
{
    m_ui->txtStreamKey->setText(key);
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

void GlobalSettings::on_chkStreamKey_toggled(bool checked)
{
    if (checked && m_ui->txtStreamKey->text().isEmpty())
        m_ui->txtStreamKey->setText(StreamKey::generate());
    m_ui->txtStreamKey->setEnabled(checked);
    m_ui->cmdNewKey->setEnabled(checked);
}

void GlobalSettings::on_cmdNewKey_clicked()
{
    m_ui->txtStreamKey->setText(StreamKey::generate());
}
