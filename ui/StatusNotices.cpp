#include "ui/StatusNotices.h"

#include "ui/UpdateChecker.h"
#include "ui/WebcamSetupDialog.h"

#include <QLayout>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>

namespace {

// The set-up button reads as a link beside the notice.
constexpr char kLinkButtonStyle[] = "QPushButton{border:none;padding:0 4px;background:transparent;"
                                    "color:#EA700C;text-decoration:underline;}";

} // namespace

StatusNotices::Texts StatusNotices::texts(const State &state)
{
    // Short enough for the window's width beside the set-up button; the tooltip says more.
    QStringList texts;
    QStringList tips;
    if (!state.webcam) {
        texts << tr("No virtual cam");
        tips << tr("No v4l2loopback device was found, so the virtual webcam is off.\n"
                   "Press \"Set up virtual webcam\", or load the module with:\n%1\n"
                   "The webcam starts by itself within a few seconds.")
                    .arg(QString::fromLatin1(kLoopbackLoadCommand));
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
    return {texts.join(QStringLiteral(" · ")), tips.join(QStringLiteral("\n\n"))};
}

StatusNotices::StatusNotices(QMainWindow &window, QLabel &updateLabel)
    : m_window(window), m_updateLabel(updateLabel)
{
    QStatusBar *const bar = m_window.statusBar();
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
    return bar->isHidden() ? QString() : bar->currentMessage();
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
        bar->setToolTip(QString());
        bar->hide();
        // The window's minimum still counts the bar until its layout runs again.
        m_window.layout()->activate();
        if (m_noticeHeight > 0 && grows)
            m_window.resize(m_window.width(), heightWith - m_noticeHeight);
        m_noticeHeight = 0;
        return;
    }
    // A status tip may have replaced the message; put it back on the next tick.
    if (bar->currentMessage() != notice.text)
        bar->showMessage(notice.text);
    bar->setToolTip(notice.tip);
    if (!bar->isHidden())
        return;
    // Showing the bar may already stretch the window to its new minimum; grow from the
    // height it had without the bar.
    const int heightWithout = m_window.height();
    bar->show();
    if (grows) {
        m_noticeHeight = bar->sizeHint().height();
        m_window.resize(m_window.width(), heightWithout + m_noticeHeight);
    }
}
