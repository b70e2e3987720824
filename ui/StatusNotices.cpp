#include "ui/StatusNotices.h"

#include "ui/UpdateChecker.h"
#include "ui/WebcamSetupDialog.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>

#include <algorithm>

namespace {

constexpr char kNoticeSeparator[] = " · ";
// What the status bar keeps free at its edges and between its items, about.
constexpr int kBarEdgesPx = 12;

// The set-up button reads as a link beside the notice.
constexpr char kLinkButtonStyle[] = "QPushButton{border:none;padding:0 4px;background:transparent;"
                                    "color:#EA700C;text-decoration:underline;}";

} // namespace

StatusNotices::Texts StatusNotices::texts(const State &state)
{
    // Short, so that one fits the window's width beside the set-up button; the tooltip says
    // more.
    QStringList texts;
    QStringList tips;
    if (!state.webcam) {
        texts << tr("No virtual cam");
        tips << tr("No v4l2loopback device was found, so the virtual webcam is off.\n"
                   "Press \"Set up virtual webcam\", or load the module with:\n%1\n"
                   "The webcam starts by itself within a few seconds.")
                    .arg(QString::fromLatin1(kLoopbackLoadCommand));
    }
    if (!state.webcamFormatHeld.isEmpty()) {
        texts << tr("Webcam in use: format unchanged");
        tips << tr("A program is using the webcam, so it keeps its format. Close the webcam in "
                   "every program and start again to use %1.")
                    .arg(state.webcamFormatHeld);
    }
    if (state.webcam && state.webcamsWanted > 1 && state.webcamsPresent < state.webcamsWanted) {
        texts << tr("%1 of %2 webcams").arg(state.webcamsPresent).arg(state.webcamsWanted);
        tips << tr("The v4l2loopback module has %1 of the %2 webcams \"Each camera its own "
                   "webcam\" uses; cameras beyond them wait. Press \"Set up virtual webcam\" to "
                   "reload it with %2.")
                    .arg(state.webcamsPresent)
                    .arg(state.webcamsWanted);
    }
    if (!state.microphoneReason.isEmpty()) {
        texts << tr("No microphone");
        tips << tr("The camera's sound is not offered as a microphone: %1")
                    .arg(state.microphoneReason);
    }
    if (state.refusedPublishers > 0) {
        texts << (state.refusedPublishers == 1
                      ? tr("1 camera refused: wrong stream key")
                      : tr("%1 cameras refused: wrong stream key").arg(state.refusedPublishers));
        tips << tr("The last one came from %1. Cameras must publish with the stream key shown "
                   "in Settings.")
                    .arg(state.lastRefusedPeer);
    }
    if (state.refusedSrtCallers > 0) {
        texts << (state.refusedSrtCallers == 1
                      ? tr("1 SRT camera refused: passphrase")
                      : tr("%1 SRT cameras refused: passphrase").arg(state.refusedSrtCallers));
        tips << tr("The last one came from %1. SRT cameras must use the passphrase set in "
                   "Settings (or none when none is set).")
                    .arg(state.lastRefusedSrtPeer);
    }
    return {texts.join(QString::fromUtf8(kNoticeSeparator)), tips.join(QStringLiteral("\n\n")),
            texts};
}

StatusNotices::StatusNotices(QMainWindow &window, QLabel &updateLabel)
    : m_window(window), m_updateLabel(updateLabel)
{
    QStatusBar *const bar = m_window.statusBar();
    // A label of its own rather than the bar's message: the message is one line that the
    // permanent link cuts off, while a label can take a line per notice and makes the bar (and
    // the window) as tall as they need.
    m_noticeLabel = new QLabel(bar);
    m_noticeLabel->setObjectName(QStringLiteral("lblNotices"));
    m_noticeLabel->setTextFormat(Qt::PlainText);
    // It is given the room beside the link and decides from that how to break; its text never
    // asks for more than the widest single notice.
    m_noticeLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_noticeLabel->installEventFilter(this);
    bar->addWidget(m_noticeLabel, 1);
    m_setupWebcam = new QPushButton(tr("Set up virtual webcam"), bar);
    m_setupWebcam->setObjectName(QStringLiteral("cmdSetupWebcam"));
    m_setupWebcam->setFlat(true);
    m_setupWebcam->setCursor(Qt::PointingHandCursor);
    m_setupWebcam->setStyleSheet(QString::fromLatin1(kLinkButtonStyle));
    m_setupWebcam->setToolTip(tr("Load the v4l2loopback module (asks for a password)"));
    // Permanent, so status tips never cover it; it goes with the bar.
    bar->addPermanentWidget(m_setupWebcam);
    connect(m_setupWebcam, &QPushButton::clicked, this, &StatusNotices::openWebcamSetup);
    bar->hide();
}

StatusNotices::~StatusNotices() = default;

void StatusNotices::setDevices(bool webcam, const QString &microphoneReason)
{
    if (webcam && m_webcamMissing && m_webcamSetup)
        m_webcamSetup->webcamFound();
    m_webcamMissing = !webcam;
    m_state.webcam = webcam;
    m_state.microphoneReason = microphoneReason;
    refresh();
}

void StatusNotices::setWebcamFormatHeld(const QString &format)
{
    m_state.webcamFormatHeld = format;
    refresh();
}

void StatusNotices::setWebcams(int wanted, int present, bool moduleLoaded)
{
    m_moduleLoaded = moduleLoaded;
    if (m_webcamSetup)
        m_webcamSetup->setWebcams(wanted, present, moduleLoaded);
    if (wanted == m_state.webcamsWanted && present == m_state.webcamsPresent)
        return;
    m_state.webcamsWanted = wanted;
    m_state.webcamsPresent = present;
    refresh();
}

void StatusNotices::publisherAccepted()
{
    m_state.refusedPublishers = 0;
    refresh();
}

void StatusNotices::publisherRefused(const QString &peer)
{
    ++m_state.refusedPublishers;
    m_state.lastRefusedPeer = peer;
    refresh();
}

void StatusNotices::srtCallerAccepted()
{
    m_state.refusedSrtCallers = 0;
    refresh();
}

void StatusNotices::srtCallerRefused(const QString &peer)
{
    ++m_state.refusedSrtCallers;
    m_state.lastRefusedSrtPeer = peer;
    refresh();
}

void StatusNotices::forgetRefusedPublishers()
{
    m_state.refusedPublishers = 0;
}

void StatusNotices::showUpdate(const QString &msg, const QString &url)
{
    UpdateChecker::showNotice(&m_updateLabel, msg, url);
}

QString StatusNotices::text() const
{
    const QStatusBar *const bar = m_window.statusBar();
    return bar->isHidden() ? QString() : m_notices.join(QString::fromUtf8(kNoticeSeparator));
}

bool StatusNotices::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_noticeLabel &&
        (event->type() == QEvent::Resize || event->type() == QEvent::FontChange))
        arrangeNotices();
    return QObject::eventFilter(watched, event);
}

void StatusNotices::arrangeNotices()
{
    const QFontMetrics fm(m_noticeLabel->font());
    int widest = 0;
    for (const QString &notice : m_notices)
        widest = std::max(widest, fm.size(0, notice).width());
    const int margins = m_noticeLabel->contentsMargins().left() +
                        m_noticeLabel->contentsMargins().right() + 2 * m_noticeLabel->margin();
    // The window may not become narrower than the widest notice.
    m_noticeLabel->setMinimumWidth(widest + margins);
    const QString oneLine = m_notices.join(QString::fromUtf8(kNoticeSeparator));
    // Before the bar has been laid out the label's width means nothing yet: the room is what the
    // window's width leaves beside the link.
    int room = m_noticeLabel->contentsRect().width() - 2 * m_noticeLabel->margin();
    if (!m_noticeLabel->isVisible())
        room = m_window.width() - kBarEdgesPx -
               (m_state.webcam ? 0 : m_setupWebcam->sizeHint().width() + kBarEdgesPx);
    const bool fits = fm.size(0, oneLine).width() <= room;
    const QString text = fits ? oneLine : m_notices.join(QLatin1Char('\n'));
    if (m_noticeLabel->text() != text)
        m_noticeLabel->setText(text);
    // The main window counts only the bar's own minimum width, not what its items need: without
    // it a narrow window would squeeze the link over the notices.
    QStatusBar *const bar = m_window.statusBar();
    const int barMinimum =
        bar->isHidden() || !bar->layout() ? 0 : bar->layout()->totalMinimumSize().width();
    if (bar->minimumWidth() != barMinimum)
        bar->setMinimumWidth(barMinimum);
}

void StatusNotices::setWebcamSetupHooks(CommandRunner runner, std::function<bool()> moduleInstalled)
{
    m_setupRunner = std::move(runner);
    m_setupModuleInstalled = std::move(moduleInstalled);
}

void StatusNotices::hideDialogs()
{
    if (m_webcamSetup)
        m_webcamSetup->hide();
}

void StatusNotices::openWebcamSetup()
{
    if (!m_webcamSetup) {
        m_webcamSetup = new WebcamSetupDialog(m_setupRunner, m_setupModuleInstalled, &m_window);
        // The output has no call to look for a device at once: its sink looks again every
        // few seconds while card frames flow, and the card tick takes the notice away then.
        // Looking here as well catches a device the sink found in the meantime.
        connect(m_webcamSetup, &WebcamSetupDialog::moduleLoaded, this,
                &StatusNotices::devicesMayHaveChanged);
        connect(m_webcamSetup, &WebcamSetupDialog::releaseWebcams, this,
                &StatusNotices::releaseWebcams);
        connect(m_webcamSetup, &WebcamSetupDialog::reloadEnded, this, &StatusNotices::reloadEnded);
        m_webcamSetup->setWebcams(m_state.webcamsWanted, m_state.webcamsPresent, m_moduleLoaded);
        m_webcamSetup->checkInstalled();
    } else {
        // The package may have been installed since the dialog was last open.
        m_webcamSetup->checkInstalled();
    }
    m_webcamSetup->show();
    m_webcamSetup->raise();
    m_webcamSetup->activateWindow();
}

void StatusNotices::refresh()
{
    QStatusBar *const bar = m_window.statusBar();
    const bool grows = !(m_window.windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen));
    m_setupWebcam->setVisible(!m_state.webcam || (m_state.webcamsWanted > 1 &&
                                                  m_state.webcamsPresent < m_state.webcamsWanted));
    const Texts notice = texts(m_state);
    if (notice.text.isEmpty()) {
        if (bar->isHidden())
            return;
        const int heightWith = m_window.height();
        bar->clearMessage();
        m_notices.clear();
        m_noticeLabel->clear();
        bar->setToolTip(QString());
        bar->hide();
        bar->setMinimumWidth(0);
        // The window's minimum still counts the bar until its layout runs again.
        m_window.layout()->activate();
        if (m_noticeHeight > 0 && grows)
            m_window.resize(m_window.width(), heightWith - m_noticeHeight);
        m_noticeHeight = 0;
        return;
    }
    // A status tip hides the notices while it shows; put them back on the next tick.
    if (!bar->currentMessage().isEmpty())
        bar->clearMessage();
    if (m_notices != notice.notices) {
        m_notices = notice.notices;
        arrangeNotices();
    }
    bar->setToolTip(notice.tip);
    if (!bar->isHidden())
        return;
    // Showing the bar may already stretch the window to its new minimum; grow from the
    // height it had without the bar.
    const int heightWithout = m_window.height();
    bar->show();
    arrangeNotices();
    if (grows) {
        m_noticeHeight = bar->sizeHint().height();
        m_window.resize(m_window.width(), heightWithout + m_noticeHeight);
    }
}
