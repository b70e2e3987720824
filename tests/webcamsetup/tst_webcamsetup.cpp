// The virtual webcam set-up: which privileged commands run and what their ends mean to the
// user, the check whether the module is installed, and the real process runner. Commands are
// recorded, never run, except the permanent script, which a plain /bin/sh runs with every
// path moved into a scratch folder and modprobe replaced by a recording stub.
#include "ui/CommandRunner.h"
#include "ui/WebcamModule.h"
#include "ui/WebcamSetupDialog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(CommandResult)

namespace {

constexpr int kWaitMs = 20000;

const QString kPkexec = QStringLiteral("/usr/bin/pkexec");
const QStringList kLoadArguments{"/usr/sbin/modprobe", "v4l2loopback", "card_label=Quorvix",
                                 "exclusive_caps=1"};

// Records every command instead of running it; the test ends each one with the result it
// wants. Shared state, so a runner copied into a dialog stays valid.
class RecordingRunner
{
public:
    struct Call
    {
        QString program;
        QStringList arguments;
        QByteArray input;
        CommandDone done;
    };

    CommandRunner runner()
    {
        auto calls = m_calls;
        return [calls](const QString &program, const QStringList &arguments,
                       const QByteArray &input, QObject *, CommandDone done) {
            calls->append({program, arguments, input, std::move(done)});
        };
    }
    QList<Call> &calls() { return *m_calls; }
    // Ends the last command.
    void finishLast(const CommandResult &result) { m_calls->last().done(result); }

private:
    std::shared_ptr<QList<Call>> m_calls = std::make_shared<QList<Call>>();
};

CommandResult exited(int code, const QByteArray &errorOutput = QByteArray())
{
    CommandResult result;
    result.status = CommandResult::Exited;
    result.exitCode = code;
    result.errorOutput = errorOutput;
    return result;
}

CommandResult notStarted()
{
    CommandResult result;
    result.status = CommandResult::FailedToStart;
    result.exitCode = -1;
    result.errorText = QStringLiteral("execve: No such file or directory");
    return result;
}

CommandResult crashed()
{
    CommandResult result;
    result.status = CommandResult::Crashed;
    result.exitCode = 9;
    result.errorText = QStringLiteral("Process crashed");
    return result;
}

// Runs `program` through the real runner and waits for its one report.
struct RunOutcome
{
    int reports = 0;
    CommandResult result;
};
RunOutcome runForReal(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QObject context;
    RunOutcome outcome;
    processCommandRunner()(program, arguments, input, &context,
                           [&outcome](const CommandResult &result) {
                               ++outcome.reports;
                               outcome.result = result;
                           });
    QElapsedTimer clock;
    clock.start();
    while (outcome.reports == 0 && clock.elapsed() < kWaitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    // A second report would come with the remaining events.
    QCoreApplication::processEvents();
    return outcome;
}

} // namespace

class TestWebcamSetup : public QObject
{
    Q_OBJECT

private slots:
    void commandsAreFixed();
    void permanentScriptWritesBothFilesThenLoads_data();
    void permanentScriptWritesBothFilesThenLoads();
    void permanentScriptStopsWhenFilesCannotBeWritten();
    void outcomes_data();
    void outcomes();
    void installedCheck_data();
    void installedCheck();

    void loadRunsTheFixedCommandOnce();
    void loadNowAndAtEveryStartRunsOneCommand();
    void failuresAreExplainedAndTheDialogGoesOn_data();
    void failuresAreExplainedAndTheDialogGoesOn();
    void notInstalledSaysHowToInstall();
    void closingWhilePromptIsOpenKeepsTheResult();

    void processRunnerPassesInputAndExitCode();
    void processRunnerReportsAMissingProgramOnce();
    void processRunnerEndsTheCommandWithItsContext();

private:
    struct Dialog
    {
        RecordingRunner recorder;
        bool installed = true;
        std::unique_ptr<WebcamSetupDialog> dialog;
        QPushButton *button(const char *name) const
        {
            return dialog->findChild<QPushButton *>(QString::fromLatin1(name));
        }
    };
    static std::unique_ptr<Dialog> makeDialog(bool installed = true)
    {
        auto d = std::make_unique<Dialog>();
        d->installed = installed;
        Dialog *raw = d.get();
        d->dialog = std::make_unique<WebcamSetupDialog>(d->recorder.runner(),
                                                        [raw]() { return raw->installed; });
        d->dialog->show();
        return d;
    }
};

void TestWebcamSetup::commandsAreFixed()
{
    const WebcamModule::Command load = WebcamModule::loadCommand();
    QCOMPARE(load.program, kPkexec);
    QCOMPARE(load.arguments, kLoadArguments);
    QVERIFY(load.input.isEmpty());

    const WebcamModule::Command permanent = WebcamModule::permanentCommand();
    QCOMPARE(permanent.program, kPkexec);
    QCOMPARE(permanent.arguments.size(), 3);
    QCOMPARE(permanent.arguments.mid(0, 2), QStringList({"/bin/sh", "-c"}));
    QVERIFY(permanent.input.isEmpty());
    // The script runs the very same load.
    QVERIFY(permanent.arguments.at(2).contains(QLatin1Char('\n') + kLoadArguments.join(' ') +
                                               QLatin1Char(' ')));

    QCOMPARE(WebcamModule::modulesLoadContents(), QByteArray("v4l2loopback\n"));
    QCOMPARE(WebcamModule::modprobeConfContents(),
             QByteArray("options v4l2loopback card_label=Quorvix exclusive_caps=1\n"));
    QCOMPARE(WebcamModule::terminalLoadLine(),
             QStringLiteral("sudo modprobe v4l2loopback card_label=Quorvix exclusive_caps=1"));
}

namespace {

// What stands in modprobe's place in the scratch folder.
enum class Stub
{
    Runs,          // records its arguments and exits with the given code
    Missing,       // no file at all
    NotExecutable, // the same file without the execute bit
};

// The permanent script with /etc moved into `root` and modprobe replaced by a stub that writes
// its arguments to root/modprobe.args and exits with `stubExit`. Empty if some path in the
// script was not moved (the test would write to the real /etc).
QString scriptInScratch(const QString &root, int stubExit, Stub kind = Stub::Runs)
{
    const QString stub = root + QStringLiteral("/modprobe");
    if (kind != Stub::Missing) {
        QFile file(stub);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(
            QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1/modprobe.args'\nexit %2\n")
                .arg(root)
                .arg(stubExit)
                .toUtf8());
        file.close();
        if (kind == Stub::Runs)
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    }

    QString script = WebcamModule::permanentCommand().arguments.at(2);
    script.replace(QStringLiteral("/usr/sbin/modprobe"), stub);
    script.replace(QStringLiteral(" /etc/"), QStringLiteral(" ") + root + QStringLiteral("/etc/"));
    if (script.contains(QStringLiteral(" /etc")) || script.contains(QStringLiteral("/usr/sbin")))
        return QString();
    return script;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

void TestWebcamSetup::permanentScriptWritesBothFilesThenLoads_data()
{
    QTest::addColumn<int>("stub"); // Stub
    QTest::addColumn<int>("modprobeExit");
    QTest::addColumn<int>("scriptExit");
    QTest::addColumn<int>("outcome");
    using O = WebcamModule::Outcome;
    const int failed = WebcamModule::kModprobeFailedExitCode;
    const int missing = WebcamModule::kModprobeMissingExitCode;
    QTest::newRow("modprobe loads") << int(Stub::Runs) << 0 << 0 << int(O::Succeeded);
    QTest::newRow("modprobe fails") << int(Stub::Runs) << 1 << failed << int(O::ModprobeFailed);
    // A shell's codes for a program it cannot run, and pkexec's: from the script they never
    // read as a dismissed prompt or a refusal.
    QTest::newRow("modprobe ends 126")
        << int(Stub::Runs) << 126 << failed << int(O::ModprobeFailed);
    QTest::newRow("modprobe ends 127")
        << int(Stub::Runs) << 127 << failed << int(O::ModprobeFailed);
    QTest::newRow("modprobe ends 3") << int(Stub::Runs) << 3 << failed << int(O::ModprobeFailed);
    QTest::newRow("no modprobe") << int(Stub::Missing) << 0 << missing << int(O::ModprobeMissing);
    QTest::newRow("modprobe not executable")
        << int(Stub::NotExecutable) << 0 << missing << int(O::ModprobeMissing);
}

void TestWebcamSetup::permanentScriptWritesBothFilesThenLoads()
{
    QFETCH(int, stub);
    QFETCH(int, modprobeExit);
    QFETCH(int, scriptExit);
    QFETCH(int, outcome);
    // The files are there whatever modprobe does.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString script = scriptInScratch(dir.path(), modprobeExit, static_cast<Stub>(stub));
    QVERIFY2(!script.isEmpty(), "a path of the script was not moved into the scratch folder");

    const RunOutcome run = runForReal(QStringLiteral("/bin/sh"), {"-c", script}, {});
    QCOMPARE(run.reports, 1);
    QCOMPARE(run.result.status, CommandResult::Exited);
    QCOMPARE(run.result.exitCode, scriptExit);
    QCOMPARE(int(WebcamModule::outcomeOf(run.result, WebcamModule::Setup::Permanent)), outcome);
    QCOMPARE(readAll(dir.filePath("etc/modules-load.d/quorvix.conf")),
             WebcamModule::modulesLoadContents());
    QCOMPARE(readAll(dir.filePath("etc/modprobe.d/quorvix.conf")),
             WebcamModule::modprobeConfContents());
    QCOMPARE(readAll(dir.filePath("modprobe.args")),
             stub == int(Stub::Runs)
                 ? QByteArray("v4l2loopback\ncard_label=Quorvix\nexclusive_caps=1\n")
                 : QByteArray("<missing>"));
    QCOMPARE(QFileInfo(dir.filePath("etc/modprobe.d/quorvix.conf")).permissions() &
                 QFileDevice::ReadOther,
             QFileDevice::ReadOther);
}

void TestWebcamSetup::permanentScriptStopsWhenFilesCannotBeWritten()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString script = scriptInScratch(dir.path(), 0);
    QVERIFY(!script.isEmpty());
    // A file where the folder belongs: no folder can be made there, even by root.
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("etc")));
    QFile blocker(dir.filePath("etc/modprobe.d"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const RunOutcome run = runForReal(QStringLiteral("/bin/sh"), {"-c", script}, {});
    QCOMPARE(run.reports, 1);
    QCOMPARE(run.result.exitCode, WebcamModule::kFilesNotWrittenExitCode);
    QCOMPARE(WebcamModule::outcomeOf(run.result, WebcamModule::Setup::Permanent),
             WebcamModule::Outcome::FilesNotWritten);
    QVERIFY(!QFile::exists(dir.filePath("modprobe.args")));
}

void TestWebcamSetup::outcomes_data()
{
    QTest::addColumn<bool>("permanent");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("outcome");
    using O = WebcamModule::Outcome;
    const int exited = CommandResult::Exited;
    for (const bool permanent : {false, true}) {
        const char *const setup = permanent ? "permanent: " : "load: ";
        auto row = [setup](const char *name) -> QTestData & {
            return QTest::newRow(qPrintable(QString::fromLatin1(setup) + QLatin1String(name)));
        };
        row("done") << permanent << exited << 0 << int(O::Succeeded);
        row("prompt dismissed") << permanent << exited << 126 << int(O::Cancelled);
        row("not authorised") << permanent << exited << 127 << int(O::NotAuthorised);
        row("no pkexec") << permanent << int(CommandResult::FailedToStart) << -1
                         << int(O::NoPkexec);
        // A program that cannot start reports no exit code worth reading.
        row("no pkexec, code 0") << permanent << int(CommandResult::FailedToStart) << 0
                                 << int(O::NoPkexec);
        row("crashed with 0") << permanent << int(CommandResult::Crashed) << 0
                              << int(O::ModprobeFailed);
    }
    // The plain load ends with modprobe's own status: the script's codes mean nothing there.
    QTest::newRow("load: modprobe failed") << false << exited << 1 << int(O::ModprobeFailed);
    QTest::newRow("load: other code") << false << exited << 2 << int(O::ModprobeFailed);
    QTest::newRow("load: code 3") << false << exited << 3 << int(O::ModprobeFailed);
    QTest::newRow("load: code 4") << false << exited << 4 << int(O::ModprobeFailed);
    // The script's own codes, and codes it never ends with.
    QTest::newRow("permanent: files not written") << true << exited << 3 << int(O::FilesNotWritten);
    QTest::newRow("permanent: no modprobe") << true << exited << 4 << int(O::ModprobeMissing);
    QTest::newRow("permanent: modprobe failed") << true << exited << 5 << int(O::ModprobeFailed);
    QTest::newRow("permanent: code 1") << true << exited << 1 << int(O::Unexpected);
    QTest::newRow("permanent: code 2") << true << exited << 2 << int(O::Unexpected);
}

void TestWebcamSetup::outcomes()
{
    QFETCH(bool, permanent);
    QFETCH(int, status);
    QFETCH(int, exitCode);
    QFETCH(int, outcome);
    CommandResult result;
    result.status = static_cast<CommandResult::Status>(status);
    result.exitCode = exitCode;
    QCOMPARE(int(WebcamModule::outcomeOf(result, permanent ? WebcamModule::Setup::Permanent
                                                           : WebcamModule::Setup::Load)),
             outcome);
}

void TestWebcamSetup::installedCheck_data()
{
    QTest::addColumn<QString>("modulesDep"); // "-" for none
    QTest::addColumn<QStringList>("files");  // below the modules folder
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<bool>("installed");

    const QString other = QStringLiteral(
        "kernel/drivers/media/v4l2-core/videodev.ko: kernel/drivers/media/mc/mc.ko\n"
        "kernel/drivers/media/usb/uvc/uvcvideo.ko: kernel/drivers/media/v4l2-core/videodev.ko\n");
    QTest::newRow("dkms module indexed")
        << other + "updates/dkms/v4l2loopback.ko: kernel/drivers/media/v4l2-core/videodev.ko\n"
        << QStringList() << false << true;
    QTest::newRow("compressed, no dependencies") << other + "updates/dkms/v4l2loopback.ko.xz:\n"
                                                 << QStringList() << false << true;
    QTest::newRow("first line") << "v4l2loopback.ko: kernel/videodev.ko\n" + other << QStringList()
                                << false << true;
    QTest::newRow("other modules only") << other << QStringList() << false << false;
    QTest::newRow("similar names")
        << other + "extra/v4l2loopback_dc.ko:\nextra/my-v4l2loopback.ko:\n"
                   "extra/v4l2loopback.kox:\n"
        << QStringList() << false << false;
    QTest::newRow("named only as a dependency")
        << other + "extra/uses.ko: updates/dkms/v4l2loopback.ko\n"
        << QStringList() << false << false;
    // modprobe reads the index, so a module file it does not list is one it cannot load.
    QTest::newRow("built but not indexed")
        << other << QStringList{"updates/dkms/v4l2loopback.ko"} << false << false;
    QTest::newRow("no index, module file in the tree")
        << "-" << QStringList{"updates/dkms/v4l2loopback.ko.zst"} << false << true;
    QTest::newRow("no index, no module file")
        << "-" << QStringList{"kernel/videodev.ko", "extra/v4l2loopback_dc.ko"} << false << false;
    QTest::newRow("loaded") << other << QStringList() << true << true;
    QTest::newRow("no modules folder at all") << "-" << QStringList() << false << false;
}

void TestWebcamSetup::installedCheck()
{
    QFETCH(QString, modulesDep);
    QFETCH(QStringList, files);
    QFETCH(bool, loaded);
    QFETCH(bool, installed);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString modules = dir.filePath("lib/modules/6.1.0-test-amd64");
    if (modulesDep != QLatin1String("-") || !files.isEmpty())
        QVERIFY(QDir().mkpath(modules));
    if (modulesDep != QLatin1String("-")) {
        QFile dep(modules + "/modules.dep");
        QVERIFY(dep.open(QIODevice::WriteOnly));
        dep.write(modulesDep.toUtf8());
    }
    for (const QString &file : files) {
        const QString path = modules + '/' + file;
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile module(path);
        QVERIFY(module.open(QIODevice::WriteOnly));
    }
    const QString sysModule = dir.filePath("sys/module/v4l2loopback");
    if (loaded)
        QVERIFY(QDir().mkpath(sysModule));

    QCOMPARE(WebcamModule::isInstalled(modules, sysModule), installed);
}

void TestWebcamSetup::loadRunsTheFixedCommandOnce()
{
    auto d = makeDialog();
    QSignalSpy loaded(d->dialog.get(), &WebcamSetupDialog::moduleLoaded);
    QPushButton *load = d->button("cmdLoad");
    QPushButton *permanent = d->button("cmdLoadPermanent");
    QVERIFY(load && permanent);
    QVERIFY(load->isVisible());
    QVERIFY(permanent->isVisible());

    load->click();
    QCOMPARE(d->recorder.calls().size(), 1);
    QCOMPARE(d->recorder.calls().at(0).program, kPkexec);
    QCOMPARE(d->recorder.calls().at(0).arguments, kLoadArguments);
    QVERIFY(d->recorder.calls().at(0).input.isEmpty());

    // While the password prompt is open nothing else starts.
    QVERIFY(d->dialog->isBusy());
    QVERIFY(!load->isEnabled());
    QVERIFY(!permanent->isEnabled());
    QMetaObject::invokeMethod(load, "clicked", Q_ARG(bool, false));
    QMetaObject::invokeMethod(permanent, "clicked", Q_ARG(bool, false));
    QCOMPARE(d->recorder.calls().size(), 1);
    QCOMPARE(loaded.count(), 0);

    d->recorder.finishLast(exited(0));
    QVERIFY(!d->dialog->isBusy());
    QCOMPARE(loaded.count(), 1);
    QVERIFY(d->dialog->message().contains(QStringLiteral("module is loaded")));
    QVERIFY(load->isEnabled());

    d->dialog->webcamFound();
    QCOMPARE(d->dialog->message(), QStringLiteral("The virtual webcam is ready."));
}

void TestWebcamSetup::loadNowAndAtEveryStartRunsOneCommand()
{
    auto d = makeDialog();
    QSignalSpy loaded(d->dialog.get(), &WebcamSetupDialog::moduleLoaded);
    d->button("cmdLoadPermanent")->click();
    QCOMPARE(d->recorder.calls().size(), 1);
    const auto &call = d->recorder.calls().at(0);
    const WebcamModule::Command expected = WebcamModule::permanentCommand();
    QCOMPARE(call.program, kPkexec);
    QCOMPARE(call.arguments, expected.arguments);
    QVERIFY(call.input.isEmpty());

    d->recorder.finishLast(exited(0));
    QCOMPARE(loaded.count(), 1);
    QVERIFY(d->dialog->message().contains(QStringLiteral("at every start")));
}

void TestWebcamSetup::failuresAreExplainedAndTheDialogGoesOn_data()
{
    QTest::addColumn<bool>("permanent");
    QTest::addColumn<CommandResult>("result");
    QTest::addColumn<QStringList>("says");

    QTest::newRow("prompt cancelled")
        << false << exited(126) << QStringList{"cancelled", "nothing was changed"};
    QTest::newRow("not authorised")
        << false << exited(127)
        << QStringList{"Not authorised",
                       "sudo modprobe v4l2loopback card_label=Quorvix exclusive_caps=1"};
    QTest::newRow("no pkexec")
        << false << notStarted()
        << QStringList{"pkexec", "could not be started", "No such file or directory",
                       "sudo modprobe v4l2loopback card_label=Quorvix exclusive_caps=1"};
    QTest::newRow("modprobe failed")
        << false
        << exited(1, "modprobe: ERROR: could not insert 'v4l2loopback': Key was rejected by "
                     "service\nsecond line\n")
        << QStringList{"failed", "exit code 1", "Key was rejected by service", "Secure Boot"};
    QTest::newRow("modprobe crashed") << false << crashed() << QStringList{"abnormally"};
    QTest::newRow("files written, modprobe failed")
        << true << exited(5, "modprobe: FATAL: Module v4l2loopback not found\n")
        << QStringList{"failed", "Module v4l2loopback not found",
                       "files for every start were written", "Secure Boot"};
    QTest::newRow("files not written")
        << true << exited(3)
        << QStringList{"/etc/modules-load.d/quorvix.conf", "/etc/modprobe.d/quorvix.conf",
                       "could not be written"};
    QTest::newRow("files written, no modprobe")
        << true << exited(4)
        << QStringList{"files for every start were written", "/usr/sbin/modprobe", "not found",
                       "kmod"};
    QTest::newRow("permanent, unexpected code")
        << true << exited(1)
        << QStringList{"unexpected", "exit code 1",
                       "sudo modprobe v4l2loopback card_label=Quorvix exclusive_caps=1"};
    QTest::newRow("permanent, prompt cancelled") << true << exited(126) << QStringList{"cancelled"};
    QTest::newRow("permanent, not authorised")
        << true << exited(127) << QStringList{"Not authorised"};
    QTest::newRow("permanent, crashed") << true << crashed() << QStringList{"abnormally"};
}

void TestWebcamSetup::failuresAreExplainedAndTheDialogGoesOn()
{
    QFETCH(bool, permanent);
    QFETCH(CommandResult, result);
    QFETCH(QStringList, says);

    auto d = makeDialog();
    QSignalSpy loaded(d->dialog.get(), &WebcamSetupDialog::moduleLoaded);
    QPushButton *button = d->button(permanent ? "cmdLoadPermanent" : "cmdLoad");
    button->click();
    d->recorder.finishLast(result);

    for (const QString &part : says)
        QVERIFY2(d->dialog->message().contains(part), qPrintable(d->dialog->message()));
    QVERIFY(!d->dialog->message().contains(QStringLiteral("second line")));
    QCOMPARE(loaded.count(), 0);
    QVERIFY(!d->dialog->isBusy());
    QVERIFY(d->dialog->isVisible());

    // The user can try again, and this time it works.
    QVERIFY(button->isEnabled());
    button->click();
    QCOMPARE(d->recorder.calls().size(), 2);
    d->recorder.finishLast(exited(0));
    QCOMPARE(loaded.count(), 1);
}

void TestWebcamSetup::notInstalledSaysHowToInstall()
{
    auto d = makeDialog(false);
    QVERIFY(!d->dialog->moduleInstalled());
    QVERIFY(d->dialog->message().contains(QStringLiteral("sudo apt install v4l2loopback-dkms")));
    QVERIFY(d->dialog->message().contains(QStringLiteral("software centre")));
    QVERIFY(d->dialog->message().contains(WebcamModule::runningKernelRelease()));
    QVERIFY(d->button("cmdLoad")->isHidden());
    QVERIFY(d->button("cmdLoadPermanent")->isHidden());
    // Nothing runs, even if a load is asked for by another way than the hidden buttons.
    d->button("cmdLoad")->click();
    d->button("cmdLoadPermanent")->click();
    QVERIFY(d->recorder.calls().isEmpty());

    // Installed meanwhile: Check again offers the load.
    QPushButton *check = d->button("cmdCheck");
    QVERIFY(check->isVisible());
    d->installed = true;
    check->click();
    QVERIFY(d->dialog->moduleInstalled());
    QVERIFY(check->isHidden());
    QVERIFY(d->button("cmdLoad")->isVisible());
    d->button("cmdLoad")->click();
    QCOMPARE(d->recorder.calls().size(), 1);
    QCOMPARE(d->recorder.calls().at(0).arguments, kLoadArguments);
}

void TestWebcamSetup::closingWhilePromptIsOpenKeepsTheResult()
{
    auto d = makeDialog();
    QSignalSpy loaded(d->dialog.get(), &WebcamSetupDialog::moduleLoaded);
    d->button("cmdLoad")->click();
    d->button("cmdClose")->click();
    QVERIFY(!d->dialog->isVisible());
    // Opening it again (the window re-checks) keeps the waiting state.
    d->dialog->checkInstalled();
    QVERIFY(d->dialog->isBusy());
    QVERIFY(d->dialog->message().contains(QStringLiteral("password")));

    d->recorder.finishLast(exited(0));
    QCOMPARE(loaded.count(), 1);
    QVERIFY(d->dialog->message().contains(QStringLiteral("module is loaded")));
}

void TestWebcamSetup::processRunnerPassesInputAndExitCode()
{
    // Exits 7 only when the whole input arrived and the input was closed (cat returns).
    const QString script =
        QStringLiteral("input=$(cat); echo 'to stderr' >&2; echo 'to stdout';"
                       " [ \"$input\" = \"$(printf 'line one\\nline two')\" ] && exit 7; exit 9");
    const RunOutcome run =
        runForReal(QStringLiteral("/bin/sh"), {"-c", script}, QByteArray("line one\nline two\n"));
    QCOMPARE(run.reports, 1);
    QCOMPARE(run.result.status, CommandResult::Exited);
    QCOMPARE(run.result.exitCode, 7);
    QCOMPARE(run.result.errorOutput, QByteArray("to stderr\n"));

    // No input: standard input is closed at once rather than left open.
    const RunOutcome empty = runForReal(QStringLiteral("/bin/sh"), {"-c", "cat; exit 4"}, {});
    QCOMPARE(empty.reports, 1);
    QCOMPARE(empty.result.exitCode, 4);
}

void TestWebcamSetup::processRunnerReportsAMissingProgramOnce()
{
    const RunOutcome run =
        runForReal(QStringLiteral("/nonexistent/quorvix-test/pkexec"), kLoadArguments, {});
    QCOMPARE(run.reports, 1);
    QCOMPARE(run.result.status, CommandResult::FailedToStart);
    QVERIFY(!run.result.errorText.isEmpty());
    QCOMPARE(WebcamModule::outcomeOf(run.result, WebcamModule::Setup::Load),
             WebcamModule::Outcome::NoPkexec);
}

void TestWebcamSetup::processRunnerEndsTheCommandWithItsContext()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath("pid");
    int reports = 0;
    auto context = std::make_unique<QObject>();
    processCommandRunner()(QStringLiteral("/bin/sh"),
                           {"-c", QStringLiteral("echo $$ > '%1'; exec sleep 600").arg(pidFile)},
                           {}, context.get(), [&reports](const CommandResult &) { ++reports; });
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(pidFile).size() > 0, kWaitMs);
    const QByteArray pid = readAll(pidFile).trimmed();
    QVERIFY(QFileInfo::exists(QStringLiteral("/proc/") + pid));

    QElapsedTimer clock;
    clock.start();
    context.reset();
    QVERIFY2(clock.elapsed() < 10000, "the owner waited for the command to end by itself");
    QCoreApplication::processEvents();
    QCOMPARE(reports, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/") + pid), kWaitMs);
}

QTEST_MAIN(TestWebcamSetup)
#include "tst_webcamsetup.moc"
