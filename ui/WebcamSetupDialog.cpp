#include "ui/WebcamSetupDialog.h"

#include "ui/UiLog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Longest piece of modprobe's error output shown in the dialog; the log has all of it.
constexpr int kShownErrorChars = 200;
constexpr char kInstallLine[] = "sudo apt install v4l2loopback-dkms";
// DKMS signs the modules it builds with this key; Secure Boot loads them once it is enrolled.
constexpr char kEnrolKeyLine[] = "sudo mokutil --import /var/lib/dkms/mok.pub";

QString firstLine(const QByteArray &output)
{
    const QString text = QString::fromLocal8Bit(output).trimmed();
    return text.section(QLatin1Char('\n'), 0, 0).left(kShownErrorChars);
}

} // namespace

WebcamSetupDialog::WebcamSetupDialog(CommandRunner runner, InstalledCheck installed,
                                     QWidget *parent)
    : QDialog(parent), m_runner(runner ? std::move(runner) : processCommandRunner()),
      m_installedCheck(installed ? std::move(installed)
                                 : InstalledCheck(&WebcamModule::isInstalledForRunningKernel))
{
    setWindowTitle(tr("Set up virtual webcam"));

    auto *intro = new QLabel(tr("The virtual webcam needs the v4l2loopback kernel module. "
                                "Loading it asks for an administrator's password."),
                             this);
    intro->setObjectName(QStringLiteral("lblIntro"));
    intro->setWordWrap(true);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("lblMessage"));
    m_message->setWordWrap(true);
    // Error output of a root process is shown as it is, never interpreted as markup.
    m_message->setTextFormat(Qt::PlainText);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_load = new QPushButton(tr("Load now"), this);
    m_load->setObjectName(QStringLiteral("cmdLoad"));
    m_load->setToolTip(WebcamModule::terminalLoadLine());
    m_loadPermanent = new QPushButton(tr("Load now and at every start"), this);
    m_loadPermanent->setObjectName(QStringLiteral("cmdLoadPermanent"));
    m_loadPermanent->setToolTip(tr("Also writes %1 and %2")
                                    .arg(QLatin1String(WebcamModule::kModulesLoadFile),
                                         QLatin1String(WebcamModule::kModprobeConfFile)));
    m_check = new QPushButton(tr("Check again"), this);
    m_check->setObjectName(QStringLiteral("cmdCheck"));
    m_close = new QPushButton(tr("Close"), this);
    m_close->setObjectName(QStringLiteral("cmdClose"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_load);
    buttons->addWidget(m_loadPermanent);
    buttons->addWidget(m_check);
    buttons->addStretch(1);
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(m_message);
    layout->addLayout(buttons);

    connect(m_load, &QPushButton::clicked, this,
            [this]() { run(WebcamModule::loadCommand(), false); });
    connect(m_loadPermanent, &QPushButton::clicked, this,
            [this]() { run(WebcamModule::permanentCommand(), true); });
    connect(m_check, &QPushButton::clicked, this, &WebcamSetupDialog::checkInstalled);
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);

    checkInstalled();
}

WebcamSetupDialog::~WebcamSetupDialog() = default;

QString WebcamSetupDialog::message() const
{
    return m_message->text();
}

void WebcamSetupDialog::checkInstalled()
{
    if (m_busy)
        return;
    m_installed = m_installedCheck();
    if (m_installed) {
        m_message->setText(tr("Load the module now, or now and at every start of the computer."));
    } else {
        qCInfo(lcUi) << "webcam setup: v4l2loopback is not installed for kernel"
                     << WebcamModule::runningKernelRelease();
        m_message->setText(
            tr("The v4l2loopback module is not installed for this kernel (%1). Install the "
               "package v4l2loopback-dkms from the software centre, or in a terminal:\n%2\n"
               "Then press Check again.")
                .arg(WebcamModule::runningKernelRelease(), QLatin1String(kInstallLine)));
    }
    updateButtons();
}

void WebcamSetupDialog::webcamFound()
{
    if (!m_busy)
        m_message->setText(tr("The virtual webcam is ready."));
}

void WebcamSetupDialog::run(const WebcamModule::Command &command, bool permanent)
{
    if (m_busy || !m_installed)
        return;
    m_busy = true;
    m_message->setText(tr("Waiting for the administrator's password…"));
    updateButtons();
    qCInfo(lcUi) << "webcam setup: running" << command.program << command.arguments.value(0)
                 << (permanent ? "(load and set up for every start)" : "(load)");
    // The runner may answer before it returns (a program that cannot start).
    m_runner(command.program, command.arguments, command.input, this,
             [this, permanent](const CommandResult &result) { finish(result, permanent); });
}

void WebcamSetupDialog::finish(const CommandResult &result, bool permanent)
{
    m_busy = false;
    const WebcamModule::Outcome outcome = WebcamModule::outcomeOf(
        result, permanent ? WebcamModule::Setup::Permanent : WebcamModule::Setup::Load);
    if (outcome == WebcamModule::Outcome::Succeeded) {
        qCInfo(lcUi) << "webcam setup:"
                     << (permanent ? "module loaded and set up for every start" : "module loaded");
    } else {
        const QString output = QString::fromLocal8Bit(result.errorOutput).trimmed();
        if (result.status == CommandResult::FailedToStart)
            qCWarning(lcUi) << "webcam setup: pkexec could not be started:" << result.errorText;
        else if (result.status == CommandResult::Crashed)
            qCWarning(lcUi) << "webcam setup: the command crashed:" << result.errorText << output;
        else
            qCWarning(lcUi) << "webcam setup failed: exit code" << result.exitCode << output;
    }
    m_message->setText(messageFor(outcome, result, permanent));
    updateButtons();
    if (outcome == WebcamModule::Outcome::Succeeded)
        emit moduleLoaded();
}

QString WebcamSetupDialog::messageFor(WebcamModule::Outcome outcome, const CommandResult &result,
                                      bool permanent) const
{
    const QString terminal = WebcamModule::terminalLoadLine();
    switch (outcome) {
    case WebcamModule::Outcome::Succeeded:
        return permanent ? tr("The module is loaded, and it will be loaded at every start. "
                              "The virtual webcam appears within a few seconds.")
                         : tr("The module is loaded. The virtual webcam appears within a few "
                              "seconds.");
    case WebcamModule::Outcome::Cancelled:
        return tr("The password prompt was cancelled; nothing was changed.");
    case WebcamModule::Outcome::NotAuthorised:
        return tr("Not authorised: this account may not load kernel modules, or no password "
                  "prompt could be shown. Ask an administrator, or run in a terminal:\n%1")
            .arg(terminal);
    case WebcamModule::Outcome::NoPkexec:
        return tr("pkexec, which asks for the password, could not be started (%1). Install "
                  "the package pkexec, or run in a terminal:\n%2")
            .arg(result.errorText, terminal);
    case WebcamModule::Outcome::FilesNotWritten:
        return tr("The files %1 and %2 could not be written; nothing was loaded.")
            .arg(QLatin1String(WebcamModule::kModulesLoadFile),
                 QLatin1String(WebcamModule::kModprobeConfFile));
    case WebcamModule::Outcome::ModprobeMissing:
        return tr("The files for every start were written, but %1 was not found, so the module "
                  "was not loaded. Install the package kmod, then try again.")
            .arg(QLatin1String(WebcamModule::kModprobe));
    case WebcamModule::Outcome::Unexpected:
        return tr("The set-up ended in an unexpected way (exit code %1). To load the module, "
                  "run in a terminal:\n%2")
            .arg(QString::number(result.exitCode), terminal);
    case WebcamModule::Outcome::ModprobeFailed:
        break;
    }
    const bool crashed = result.status == CommandResult::Crashed;
    QString text;
    if (crashed)
        text = permanent ? tr("Loading the module failed: the set-up ended abnormally.")
                         : tr("Loading the module failed: modprobe ended abnormally.");
    else if (permanent)
        // The script's own code says that modprobe failed; its reason is in the output.
        text = tr("Loading the module failed.");
    else
        text = tr("Loading the module failed (modprobe exit code %1).").arg(result.exitCode);
    const QString detail = firstLine(result.errorOutput);
    if (!detail.isEmpty())
        text += QLatin1Char('\n') + detail;
    // The script writes them before it loads; a crash may have come first.
    if (permanent && !crashed)
        text += QLatin1Char('\n') + tr("The files for every start were written.");
    text += QLatin1Char('\n') +
            tr("With Secure Boot on, the computer must know the key the module is signed "
               "with:\n%1\nthen confirm it at the next start.")
                .arg(QLatin1String(kEnrolKeyLine));
    return text;
}

void WebcamSetupDialog::updateButtons()
{
    m_load->setVisible(m_installed);
    m_loadPermanent->setVisible(m_installed);
    m_check->setVisible(!m_installed);
    m_load->setEnabled(!m_busy);
    m_loadPermanent->setEnabled(!m_busy);
    m_check->setEnabled(!m_busy);
}
