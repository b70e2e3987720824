#include "ui/WebcamSetupDialog.h"

#include "ui/UiLog.h"

#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Longest piece of modprobe's error output shown in the dialog; the log has all of it.
constexpr int kShownErrorChars = 200;
constexpr char kInstallLine[] = "sudo apt install v4l2loopback-dkms";

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
    m_reload = new QPushButton(tr("Reload with four webcams"), this);
    m_reload->setObjectName(QStringLiteral("cmdReload"));
    m_reload->setToolTip(WebcamModule::terminalReloadLine());
    m_reload->hide();
    m_check = new QPushButton(tr("Check again"), this);
    m_check->setObjectName(QStringLiteral("cmdCheck"));
    m_close = new QPushButton(tr("Close"), this);
    m_close->setObjectName(QStringLiteral("cmdClose"));

    m_enrolPanel = new QWidget(this);
    m_enrolPanel->setObjectName(QStringLiteral("enrolPanel"));
    auto *enrolText = new QLabel(tr("A one-time password, asked again at the next start. Use "
                                    "letters and digits: that screen may have a US keyboard."),
                                 m_enrolPanel);
    enrolText->setWordWrap(true);
    m_password = new QLineEdit(m_enrolPanel);
    m_password->setObjectName(QStringLiteral("edtMokPassword"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setMaxLength(SecureBoot::kMaxPasswordChars);
    m_passwordRepeat = new QLineEdit(m_enrolPanel);
    m_passwordRepeat->setObjectName(QStringLiteral("edtMokPasswordRepeat"));
    m_passwordRepeat->setEchoMode(QLineEdit::Password);
    m_passwordRepeat->setMaxLength(SecureBoot::kMaxPasswordChars);
    m_enrol = new QPushButton(tr("Enrol key"), m_enrolPanel);
    m_enrol->setObjectName(QStringLiteral("cmdEnrol"));
    m_enrol->setToolTip(SecureBoot::terminalEnrolLine());
    auto *fields = new QFormLayout;
    fields->addRow(tr("One-time password:"), m_password);
    fields->addRow(tr("The same again:"), m_passwordRepeat);
    auto *enrolButtons = new QHBoxLayout;
    enrolButtons->addStretch(1);
    enrolButtons->addWidget(m_enrol);
    auto *enrolLayout = new QVBoxLayout(m_enrolPanel);
    enrolLayout->setContentsMargins(0, 0, 0, 0);
    enrolLayout->addWidget(enrolText);
    enrolLayout->addLayout(fields);
    enrolLayout->addLayout(enrolButtons);
    m_enrolPanel->hide();

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_load);
    buttons->addWidget(m_loadPermanent);
    buttons->addWidget(m_reload);
    buttons->addWidget(m_check);
    buttons->addStretch(1);
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(m_message);
    layout->addWidget(m_enrolPanel);
    layout->addLayout(buttons);

    connect(m_load, &QPushButton::clicked, this, [this]() { startLoad(Setup::Load); });
    connect(m_loadPermanent, &QPushButton::clicked, this,
            [this]() { startLoad(Setup::Permanent); });
    connect(m_reload, &QPushButton::clicked, this, [this]() { startLoad(Setup::Reload); });
    connect(m_enrol, &QPushButton::clicked, this, &WebcamSetupDialog::enrolKey);
    connect(m_passwordRepeat, &QLineEdit::returnPressed, this, &WebcamSetupDialog::enrolKey);
    connect(m_check, &QPushButton::clicked, this, &WebcamSetupDialog::checkInstalled);
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);

    checkInstalled();
}

WebcamSetupDialog::~WebcamSetupDialog() = default;

QString WebcamSetupDialog::message() const
{
    return m_message->text();
}

bool WebcamSetupDialog::event(QEvent *event)
{
    const bool handled = QDialog::event(event);
    // A longer message or the enrol offer needs more height than the window had; word-wrapped
    // texts say so only through height-for-width, which a shown window does not follow by
    // itself. It grows to show every line, and never shrinks under the user's hand.
    if (event->type() == QEvent::LayoutRequest && isVisible() && layout()) {
        const int needed = layout()->totalHeightForWidth(width());
        if (needed > height())
            resize(width(), needed);
    }
    return handled;
}

bool WebcamSetupDialog::enrolOffered() const
{
    return !m_enrolPanel->isHidden();
}

void WebcamSetupDialog::checkInstalled()
{
    if (isBusy())
        return;
    // Opened again: the next load asks mokutil afresh (the key may have been enrolled since).
    m_secureBootTold = false;
    m_checkNote.clear();
    setEnrolOffered(false);
    m_installed = m_installedCheck();
    if (m_installed && m_webcamsWanted > 1 && m_moduleLoaded &&
        m_webcamsPresent < m_webcamsWanted) {
        m_message->setText(reloadOfferText());
    } else if (m_installed) {
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
    if (!isBusy()) {
        setEnrolOffered(false);
        m_message->setText(tr("The virtual webcam is ready."));
    }
}

bool WebcamSetupDialog::reloadOffered() const
{
    return !m_reload->isHidden();
}

void WebcamSetupDialog::setWebcams(int wanted, int present, bool moduleLoaded)
{
    const bool changed =
        wanted != m_webcamsWanted || present != m_webcamsPresent || moduleLoaded != m_moduleLoaded;
    m_webcamsWanted = wanted;
    m_webcamsPresent = present;
    m_moduleLoaded = moduleLoaded;
    m_load->setToolTip(WebcamModule::terminalLoadLine(wanted));
    if (!changed)
        return;
    if (!isBusy() && m_installed && m_webcamsWanted > 1 && m_moduleLoaded &&
        m_webcamsPresent < m_webcamsWanted)
        m_message->setText(reloadOfferText());
    updateButtons();
}

QString WebcamSetupDialog::reloadOfferText() const
{
    return tr("The module is loaded with %1 of the %2 webcams \"Each camera its own webcam\" "
              "uses. Reload it with %2: this works only while no program holds one of its "
              "webcams (close the call programs and browsers that use one); Quorvix lets go of "
              "its own and stops listening for it.")
        .arg(m_webcamsPresent)
        .arg(m_webcamsWanted);
}

WebcamModule::Command WebcamSetupDialog::commandFor(Setup setup) const
{
    switch (setup) {
    case Setup::Load:
        return WebcamModule::loadCommand(m_webcamsWanted);
    case Setup::Permanent:
        return WebcamModule::permanentCommand(m_webcamsWanted);
    case Setup::Reload:
        break;
    }
    return WebcamModule::reloadCommand();
}

void WebcamSetupDialog::startLoad(Setup setup)
{
    if (isBusy() || !m_installed)
        return;
    m_pendingSetup = setup;
    if (m_secureBootTold) {
        run(commandFor(setup), setup);
        return;
    }
    m_step = Step::CheckingSecureBoot;
    m_checkNote.clear();
    m_secureBootState = SecureBoot::State::Unknown;
    m_message->setText(tr("Checking Secure Boot…"));
    updateButtons();
    const WebcamModule::Command command = SecureBoot::stateCommand();
    m_runner(command.program, command.arguments, command.input, this,
             [this](const CommandResult &result) { secureBootChecked(result); });
}

void WebcamSetupDialog::secureBootChecked(const CommandResult &result)
{
    m_secureBootState = SecureBoot::stateOf(result);
    switch (m_secureBootState) {
    case SecureBoot::State::Enabled: {
        qCInfo(lcUi) << "webcam setup: Secure Boot is on; checking the DKMS key";
        m_step = Step::CheckingKey;
        const WebcamModule::Command command = SecureBoot::testKeyCommand();
        m_runner(command.program, command.arguments, command.input, this,
                 [this](const CommandResult &keyResult) { keyChecked(keyResult); });
        return;
    }
    case SecureBoot::State::Disabled:
    case SecureBoot::State::NotSupported:
        qCInfo(lcUi) << "webcam setup: Secure Boot is off";
        break;
    case SecureBoot::State::NoMokutil:
        qCWarning(lcUi) << "webcam setup: mokutil could not be started, Secure Boot not checked:"
                        << result.errorText;
        m_checkNote = tr("mokutil (package mokutil) is not installed, so Secure Boot was not "
                         "checked.");
        break;
    case SecureBoot::State::Unknown:
        qCWarning(lcUi) << "webcam setup: the Secure Boot state is unclear: exit code"
                        << result.exitCode << result.output.trimmed()
                        << result.errorOutput.trimmed();
        break;
    }
    m_step = Step::Idle;
    run(commandFor(m_pendingSetup), m_pendingSetup);
}

void WebcamSetupDialog::keyChecked(const CommandResult &result)
{
    m_step = Step::Idle;
    switch (SecureBoot::keyStateOf(result)) {
    case SecureBoot::KeyState::NotEnrolled:
        qCInfo(lcUi) << "webcam setup: the DKMS key is not enrolled; offering its enrolment";
        m_secureBootTold = true;
        m_message->setText(
            tr("Secure Boot is on and the key the module is signed with is not enrolled, so the "
               "computer would refuse the module. Enrol the key below, or in a terminal:\n%1\n"
               "Load now tries anyway.")
                .arg(SecureBoot::terminalEnrolLine()));
        setEnrolOffered(true);
        updateButtons();
        return;
    case SecureBoot::KeyState::Pending:
        qCInfo(lcUi) << "webcam setup: the DKMS key waits for its enrolment at the next boot";
        m_secureBootTold = true;
        m_message->setText(tr("Secure Boot is on, and the key the module is signed with waits "
                              "to be enrolled at the next start of the computer.") +
                           QLatin1Char('\n') + bootSteps() + QLatin1Char('\n') +
                           tr("Loading now tries anyway."));
        updateButtons();
        return;
    case SecureBoot::KeyState::Enrolled:
        qCInfo(lcUi) << "webcam setup: the DKMS key is enrolled";
        break;
    case SecureBoot::KeyState::NoKey:
        // The module may be signed some other way (a distribution's own build).
        qCInfo(lcUi) << "webcam setup: no DKMS key at" << SecureBoot::kDkmsKey
                     << result.errorOutput.trimmed();
        break;
    case SecureBoot::KeyState::Unknown:
        qCWarning(lcUi) << "webcam setup: whether the DKMS key is enrolled is unclear: exit code"
                        << result.exitCode << result.output.trimmed()
                        << result.errorOutput.trimmed();
        break;
    }
    run(commandFor(m_pendingSetup), m_pendingSetup);
}

void WebcamSetupDialog::run(const WebcamModule::Command &command, Setup setup)
{
    if (isBusy() || !m_installed)
        return;
    m_step = Step::Loading;
    QString waiting = tr("Waiting for the administrator's password…");
    if (!m_checkNote.isEmpty())
        waiting = m_checkNote + QLatin1Char('\n') + waiting;
    m_message->setText(waiting);
    updateButtons();
    qCInfo(lcUi) << "webcam setup: running" << command.program << command.arguments.value(0)
                 << (setup == Setup::Permanent ? "(load and set up for every start)"
                     : setup == Setup::Reload  ? "(reload with four webcams)"
                                               : "(load)");
    // The devices must be free before the module can go.
    if (setup == Setup::Reload)
        emit releaseWebcams();
    // The runner may answer before it returns (a program that cannot start).
    m_runner(command.program, command.arguments, command.input, this,
             [this, setup](const CommandResult &result) { finish(result, setup); });
}

void WebcamSetupDialog::finish(const CommandResult &result, Setup setup)
{
    m_step = Step::Idle;
    const bool permanent = setup == Setup::Permanent;
    const WebcamModule::Outcome outcome = WebcamModule::outcomeOf(result, setup);
    if (outcome == WebcamModule::Outcome::Succeeded) {
        qCInfo(lcUi) << "webcam setup:"
                     << (permanent                ? "module loaded and set up for every start"
                         : setup == Setup::Reload ? "module reloaded with four webcams"
                                                  : "module loaded");
    } else {
        const QString output = QString::fromLocal8Bit(result.errorOutput).trimmed();
        if (result.status == CommandResult::FailedToStart)
            qCWarning(lcUi) << "webcam setup: pkexec could not be started:" << result.errorText;
        else if (result.status == CommandResult::Crashed)
            qCWarning(lcUi) << "webcam setup: the command crashed:" << result.errorText << output;
        else
            qCWarning(lcUi) << "webcam setup failed: exit code" << result.exitCode << output;
    }
    QString text = messageFor(outcome, result, setup);
    if (outcome != WebcamModule::Outcome::Succeeded && !m_checkNote.isEmpty())
        text += QLatin1Char('\n') + m_checkNote;
    m_message->setText(text);
    if (outcome == WebcamModule::Outcome::Succeeded)
        setEnrolOffered(false);
    updateButtons();
    if (setup == Setup::Reload)
        emit reloadEnded();
    if (outcome == WebcamModule::Outcome::Succeeded)
        emit moduleLoaded();
}

QString WebcamSetupDialog::messageFor(WebcamModule::Outcome outcome, const CommandResult &result,
                                      Setup setup) const
{
    const bool permanent = setup == Setup::Permanent;
    const QString terminal = setup == Setup::Reload
                                 ? WebcamModule::terminalReloadLine()
                                 : WebcamModule::terminalLoadLine(m_webcamsWanted);
    switch (outcome) {
    case WebcamModule::Outcome::ModuleInUse:
        return tr("The module could not be reloaded: a program holds one of its webcams "
                  "(modprobe says the module is \"in use\"). Close the call programs and "
                  "browsers that use a Quorvix webcam, then reload again. Nothing was changed.");
    case WebcamModule::Outcome::Succeeded:
        if (setup == Setup::Reload)
            return tr("The module is reloaded with four webcams. They appear within a few "
                      "seconds; press Start to use them.");
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
        if (setup == Setup::Reload)
            return tr("%1 was not found, so nothing was reloaded. Install the package kmod, "
                      "then try again.")
                .arg(QLatin1String(WebcamModule::kModprobe));
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
    // Known to be off, Secure Boot is not why it failed.
    if (m_secureBootState != SecureBoot::State::Disabled &&
        m_secureBootState != SecureBoot::State::NotSupported)
        text += QLatin1Char('\n') +
                tr("With Secure Boot on, the computer must know the key the module is signed "
                   "with:\n%1\nthen confirm it at the next start.")
                    .arg(SecureBoot::terminalEnrolLine());
    return text;
}

void WebcamSetupDialog::enrolKey()
{
    if (isBusy() || !enrolOffered())
        return;
    QString text;
    switch (SecureBoot::passwordProblem(m_password->text(), m_passwordRepeat->text())) {
    case SecureBoot::PasswordProblem::None:
        break;
    case SecureBoot::PasswordProblem::Empty:
        text = tr("Type a one-time password first.");
        break;
    case SecureBoot::PasswordProblem::TooLong:
        text = tr("The password is too long: at most %1 characters.")
                   .arg(SecureBoot::kMaxPasswordChars);
        break;
    case SecureBoot::PasswordProblem::NotPlain:
        text = tr("Use only letters, digits and the signs of a US keyboard: the screen at the "
                  "next start knows no others.");
        break;
    case SecureBoot::PasswordProblem::Differs:
        text = tr("The two passwords differ. Type the same one twice.");
        break;
    }
    if (!text.isEmpty()) {
        m_message->setText(text);
        return;
    }
    const WebcamModule::Command command = SecureBoot::enrolCommand(m_password->text());
    // The fields are emptied at once: the password lives on only in the command's input.
    m_password->clear();
    m_passwordRepeat->clear();
    m_step = Step::Enrolling;
    m_message->setText(tr("Waiting for the administrator's password…"));
    updateButtons();
    qCInfo(lcUi) << "webcam setup: running" << command.program << command.arguments.value(0)
                 << command.arguments.value(1) << "(enrol the DKMS key)";
    m_runner(command.program, command.arguments, command.input, this,
             [this](const CommandResult &result) { enrolFinished(result); });
}

void WebcamSetupDialog::enrolFinished(const CommandResult &result)
{
    m_step = Step::Idle;
    const SecureBoot::EnrolOutcome outcome = SecureBoot::enrolOutcomeOf(result);
    if (outcome == SecureBoot::EnrolOutcome::Requested) {
        qCInfo(lcUi) << "webcam setup: the DKMS key's enrolment waits for the next boot";
        setEnrolOffered(false);
    } else if (result.status == CommandResult::FailedToStart) {
        qCWarning(lcUi) << "webcam setup: pkexec could not be started:" << result.errorText;
    } else {
        qCWarning(lcUi) << "webcam setup: enrolling the key failed: exit code" << result.exitCode
                        << result.errorText << QString::fromLocal8Bit(result.errorOutput).trimmed();
    }
    m_message->setText(enrolMessageFor(outcome, result));
    updateButtons();
}

QString WebcamSetupDialog::enrolMessageFor(SecureBoot::EnrolOutcome outcome,
                                           const CommandResult &result) const
{
    const QString terminal = SecureBoot::terminalEnrolLine();
    switch (outcome) {
    case SecureBoot::EnrolOutcome::Requested:
        return tr("The key will be enrolled at the next start of the computer.") +
               QLatin1Char('\n') + bootSteps();
    case SecureBoot::EnrolOutcome::Cancelled:
        return tr("The password prompt was cancelled; the key was not enrolled.");
    case SecureBoot::EnrolOutcome::NotAuthorised:
        return tr("Not authorised: this account may not enrol keys, or no password prompt "
                  "could be shown. Ask an administrator, or run in a terminal:\n%1")
            .arg(terminal);
    case SecureBoot::EnrolOutcome::NoPkexec:
        return tr("pkexec, which asks for the password, could not be started (%1). Install "
                  "the package pkexec, or run in a terminal:\n%2")
            .arg(result.errorText, terminal);
    case SecureBoot::EnrolOutcome::Failed:
        break;
    }
    QString text = tr("mokutil could not ask for the key's enrolment.");
    const QString detail = firstLine(result.errorOutput);
    if (!detail.isEmpty())
        text += QLatin1Char('\n') + detail;
    return text + QLatin1Char('\n') + tr("In a terminal:\n%1").arg(terminal);
}

QString WebcamSetupDialog::bootSteps() const
{
    return tr("At the next start a blue screen (MokManager) appears; press a key when it asks, "
              "it waits only a few seconds. Then choose \"Enroll MOK\", then \"Continue\", "
              "then \"Yes\", type the one-time password chosen for the key, and choose "
              "\"Reboot\". After that, load the module here.");
}

void WebcamSetupDialog::setEnrolOffered(bool offered)
{
    m_enrolPanel->setVisible(offered);
    if (!offered) {
        m_password->clear();
        m_passwordRepeat->clear();
    }
}

void WebcamSetupDialog::updateButtons()
{
    const bool busy = isBusy();
    m_load->setVisible(m_installed);
    m_loadPermanent->setVisible(m_installed);
    m_check->setVisible(!m_installed);
    m_reload->setVisible(m_installed && m_webcamsWanted > 1 && m_moduleLoaded &&
                         m_webcamsPresent < m_webcamsWanted);
    m_reload->setEnabled(!busy);
    m_load->setEnabled(!busy);
    m_loadPermanent->setEnabled(!busy);
    m_check->setEnabled(!busy);
    m_enrol->setEnabled(!busy);
}
