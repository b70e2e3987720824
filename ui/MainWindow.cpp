#include "ui/MainWindow.h"

#include "app/Version.h"
#include "ui/ProductSite.h"
#include "ui/UiLog.h"

#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>

namespace {

struct Camera
{
    const char *text;
    const char *key;
};

// The camera types offered, in this order. The text is what CAM stores; the key is what the
// listener (Mevo) and the guide link use.
constexpr Camera kCameras[] = {
    {"GoPro 9", "GOPRO"}, {"GoPro 8", "GOPRO"}, {"GoPro 7", "GOPRO"},   {"GoPro Max", "GOPRO"},
    {"Mevo", "MEVO"},     {"iPhone", "IPHONE"}, {"Android", "ANDROID"}, {"Other", "OTHER"},
};

constexpr char kIconStart[] = ":START";
constexpr char kIconStop[] = ":STOP";
constexpr char kIconPreview[] = ":PREVIEW";
constexpr char kIconPreviewOff[] = ":PREVIEW_OFF";
constexpr char kIconSettings[] = ":SETTINGS";
constexpr char kIconSettingsOff[] = ":SETTINGS_OFF";
constexpr char kIconButtonStyle[] = "border:none;padding:0;margin:0;";

QIcon icon(const char *resource)
{
    return QIcon(QString::fromLatin1(resource));
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>())
{
    m_ui->setupUi(this);
    m_ui->stackedWidget->setCurrentIndex(0);
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    setWindowTitle(QString::fromLatin1(kProductName) +
                   tr(" (ver %1)").arg(QString::fromLatin1(kProductVersion)));

    connect(m_ui->cmdStart, &QPushButton::clicked, this, &MainWindow::startClicked);
    connect(m_ui->cmdPreview, &QPushButton::clicked, this, &MainWindow::previewToggled);
    connect(m_ui->cmdReset, &QPushButton::clicked, this, &MainWindow::resetClicked);
    connect(m_ui->cmdQR, &QPushButton::clicked, this, &MainWindow::qrClicked);
    connect(m_ui->cmdSettings, &QPushButton::clicked, this, &MainWindow::settingsClicked);
    connect(m_ui->cmbNetwork, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::networkChanged);
    connect(m_ui->cmbCams, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onCameraChanged);

    // The first insertion makes "GoPro 9" current, which shows the guide link.
    for (const Camera &camera : kCameras)
        m_ui->cmbCams->addItem(QString::fromLatin1(camera.text), QString::fromLatin1(camera.key));
    styleButtons();

    m_ui->lblBuffers->setText(QString());
    // The SRT address under the RTMP one, and the SRT link's figures beside the bitrate.
    m_lblSrt = new QLabel(m_ui->pageAddress);
    m_lblSrt->setObjectName(QStringLiteral("lblSRT"));
    m_lblSrt->setFont(m_ui->lblRTMP->font());
    m_lblSrt->setAlignment(Qt::AlignCenter);
    m_lblSrt->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_ui->addressLayout->addWidget(m_lblSrt);
    m_lblSrtStats = new QLabel(m_ui->pageStream);
    m_lblSrtStats->setObjectName(QStringLiteral("lblSrtStats"));
    m_lblSrtStats->setToolTip(tr("SRT link: round-trip time, packets lost on the way and packets "
                                 "sent again"));
    m_ui->streamLayout->insertWidget(m_ui->streamLayout->indexOf(m_ui->lblBitrate) + 1,
                                     m_lblSrtStats);

    // Which camera is on which webcam, and whose statistics are shown, under the strip.
    m_camerasPanel = new QWidget(m_ui->centralwidget);
    m_camerasPanel->setObjectName(QStringLiteral("camerasPanel"));
    m_lblWebcams = new QLabel(m_camerasPanel);
    m_lblWebcams->setObjectName(QStringLiteral("lblWebcams"));
    m_lblWebcams->setWordWrap(true);
    m_lblWebcams->setTextFormat(Qt::PlainText);
    auto *statsLabel = new QLabel(tr("Statistics of:"), m_camerasPanel);
    m_cmbStatsCamera = new QComboBox(m_camerasPanel);
    m_cmbStatsCamera->setObjectName(QStringLiteral("cmbStatsCamera"));
    m_cmbStatsCamera->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // Never narrower than its longest camera: the window widens instead.
    m_cmbStatsCamera->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    statsLabel->setBuddy(m_cmbStatsCamera);
    auto *pick = new QHBoxLayout;
    pick->addWidget(statsLabel);
    pick->addWidget(m_cmbStatsCamera, 1);
    auto *panel = new QVBoxLayout(m_camerasPanel);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->addWidget(m_lblWebcams);
    panel->addLayout(pick);
    m_ui->verticalLayout->insertWidget(m_ui->verticalLayout->indexOf(m_ui->stackedWidget) + 1,
                                       m_camerasPanel);
    m_camerasPanel->hide();
    // A new width wraps the lines afresh.
    m_lblWebcams->installEventFilter(this);
    connect(m_cmbStatsCamera, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
        emit statsCameraPicked(m_cmbStatsCamera->itemData(index).value<quintptr>());
    });
}

void MainWindow::showCameras(const QStringList &lines, const QList<StatsCamera> &cameras,
                             quintptr current)
{
    m_camerasPanel->setVisible(!lines.isEmpty());
    const QString text = lines.join(QLatin1Char('\n'));
    if (text != m_lblWebcams->text()) {
        m_lblWebcams->setText(text);
        fitCameras();
    }
    // Rebuilt only when the cameras change, so an open list is not pulled from under the user.
    bool same = m_cmbStatsCamera->count() == cameras.size();
    for (int i = 0; same && i < cameras.size(); ++i)
        same = m_cmbStatsCamera->itemText(i) == cameras.at(i).text &&
               m_cmbStatsCamera->itemData(i).value<quintptr>() == cameras.at(i).id;
    if (!same) {
        m_cmbStatsCamera->clear();
        for (const StatsCamera &camera : cameras)
            m_cmbStatsCamera->addItem(camera.text, QVariant::fromValue(camera.id));
    }
    const int index = m_cmbStatsCamera->findData(QVariant::fromValue(current));
    if (index >= 0)
        m_cmbStatsCamera->setCurrentIndex(index);
}

void MainWindow::fitCameras()
{
    if (m_camerasPanel->isHidden())
        return;
    // The list's width first (a longer camera name may widen the window), then its height.
    m_ui->centralwidget->layout()->activate();
    layout()->activate();
    const int needed = m_lblWebcams->heightForWidth(m_lblWebcams->width());
    if (needed <= 0 || needed == m_lblWebcams->minimumHeight())
        return;
    m_lblWebcams->setMinimumHeight(needed);
    m_ui->centralwidget->layout()->activate();
    layout()->activate();
    const int wanted = minimumSizeHint().height();
    if (height() < wanted && !(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
        resize(width(), wanted);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_lblWebcams && event->type() == QEvent::Resize) {
        const auto *resize = static_cast<QResizeEvent *>(event);
        if (resize->size().width() != resize->oldSize().width())
            fitCameras();
    }
    return QMainWindow::eventFilter(watched, event);
}

MainWindow::~MainWindow() = default;

QString MainWindow::cameraText() const
{
    return m_ui->cmbCams->currentText();
}

QString MainWindow::cameraKey() const
{
    return m_ui->cmbCams->currentData(Qt::UserRole).toString();
}

bool MainWindow::selectCamera(const QString &text)
{
    const int index = m_ui->cmbCams->findText(text, Qt::MatchExactly);
    if (index >= 0)
        m_ui->cmbCams->setCurrentIndex(index);
    return index >= 0;
}

void MainWindow::setNetworkAddresses(const QStringList &items)
{
    m_ui->cmbNetwork->clear();
    m_ui->cmbNetwork->addItems(items);
}

QString MainWindow::networkAddress() const
{
    return m_ui->cmbNetwork->currentText();
}

void MainWindow::selectNetworkAddress(const QString &text)
{
    m_ui->cmbNetwork->setCurrentText(text);
}

void MainWindow::setListening(bool listening)
{
    m_ui->cmdStart->setIcon(icon(listening ? kIconStop : kIconStart));
    m_ui->cmbNetwork->setEnabled(!listening);
}

void MainWindow::showPublishUrl(const QString &url, const QString &tip)
{
    m_ui->lblRTMP->setText(url);
    m_ui->lblRTMP->setToolTip(tip);
}

QString MainWindow::publishUrl() const
{
    return m_ui->lblRTMP->text();
}

void MainWindow::showSrtLine(bool visible, const QString &text, const QString &tip)
{
    m_lblSrt->setText(text);
    m_lblSrt->setVisible(visible);
    m_lblSrt->setToolTip(tip);
}

void MainWindow::showStreamState(const QString &state)
{
    qCInfo(lcUi) << "Stream State:" << state;
    if (!state.isEmpty()) {
        m_ui->stackedWidget->setCurrentIndex(1);
        m_ui->lblState->setText(state);
    } else {
        m_ui->stackedWidget->setCurrentIndex(0);
    }
}

void MainWindow::showStatistics(const QString &bitrate, const QString &buffers,
                                const QString &srtLink, const QString &cameraTip)
{
    m_lblSrtStats->setText(srtLink);
    m_lblSrtStats->setVisible(!srtLink.isEmpty());
    m_ui->lblBitrate->setText(bitrate);
    m_ui->lblBuffers->setText(buffers);
    m_ui->pageStream->setToolTip(cameraTip);
}

void MainWindow::setSettingsOpen(bool open)
{
    m_ui->cmdSettings->setIcon(icon(open ? kIconSettingsOff : kIconSettings));
}

void MainWindow::setPreviewShown(bool shown)
{
    m_ui->cmdPreview->setIcon(icon(shown ? kIconPreviewOff : kIconPreview));
}

QLabel *MainWindow::updateLabel() const
{
    return m_ui->lblUpdate;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    emit closing();
    event->accept();
}

void MainWindow::styleButtons()
{
    QPushButton *const buttons[] = {m_ui->cmdStart, m_ui->cmdPreview, m_ui->cmdSettings,
                                    m_ui->cmdReset};
    for (QPushButton *button : buttons) {
        button->setText(QString());
        button->setStyleSheet(QString::fromLatin1(kIconButtonStyle));
        button->setCursor(Qt::PointingHandCursor);
    }
}

void MainWindow::onCameraChanged()
{
    // Larix Broadcaster, which reads the QR link, runs on both phones.
    const QString key = cameraKey();
    m_ui->cmdQR->setVisible(key == QLatin1String(kCameraIPhone) ||
                            key == QLatin1String(kCameraAndroid));
    ProductSite::showGuideLink(m_ui->lblHelp, key, cameraText());
    emit cameraChanged();
}
