// The virtual webcam set-up: which privileged commands run and what their ends mean to the
// user, the Secure Boot checks and the key's enrolment before a load, the check whether the
// module is installed, and the real process runner. Commands are recorded, never run, except
// the permanent script, which a plain /bin/sh runs with every path moved into a scratch folder
// and modprobe replaced by a recording stub.
#include "ui/CommandRunner.h"
#include "ui/SecureBoot.h"
#include "ui/WebcamModule.h"
#include "ui/WebcamSetupDialog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
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
// Four webcams, each camera its own.
const QStringList kLoadFourArguments{"/usr/sbin/modprobe", "v4l2loopback", "devices=4",
                                     "card_label=Quorvix 1,Quorvix 2,Quorvix 3,Quorvix 4",
                                     "exclusive_caps=1,1,1,1"};
const QString kMokutil = QStringLiteral("/usr/bin/mokutil");
const QStringList kSbState{"--sb-state"};
const QStringList kTestKey{"--test-key", "/var/lib/dkms/mok.pub"};
const QStringList kEnrolArguments{"/usr/bin/mokutil", "--import", "/var/lib/dkms/mok.pub"};

CommandResult exited(int code, const QByteArray &errorOutput = QByteArray(),
                     const QByteArray &output = QByteArray())
{
    CommandResult result;
    result.status = CommandResult::Exited;
    result.exitCode = code;
    result.output = output;
    result.errorOutput = errorOutput;
    return result;
}

// Records every command instead of running it. Commands given an answer (the unprivileged
// mokutil checks) end at once with it and are kept in checks(); the test ends each of the
// others, kept in calls(), with the result it wants. Shared state, so a runner copied into a
// dialog stays valid.
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
        auto state = m_state;
        return [state](const QString &program, const QStringList &arguments,
                       const QByteArray &input, QObject *, CommandDone done) {
            const auto answer = state->answers.constFind(program + ' ' + arguments.join(' '));
            if (answer == state->answers.constEnd()) {
                state->calls.append({program, arguments, input, std::move(done)});
                return;
            }
            state->checks.append({program, arguments, input, {}});
            done(*answer);
        };
    }
    void answer(const QString &program, const QStringList &arguments, const CommandResult &result)
    {
        m_state->answers.insert(program + ' ' + arguments.join(' '), result);
    }
    void answerSecureBoot(const CommandResult &state, const CommandResult &key)
    {
        answer(kMokutil, kSbState, state);
        answer(kMokutil, kTestKey, key);
    }
    QList<Call> &calls() { return m_state->calls; }
    QList<Call> &checks() { return m_state->checks; }
    // Ends the last command.
    void finishLast(const CommandResult &result) { m_state->calls.last().done(result); }

private:
    struct State
    {
        QHash<QString, CommandResult> answers;
        QList<Call> calls;
        QList<Call> checks;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

// mokutil's own answers.
CommandResult secureBootOn()
{
    return exited(0, {}, "SecureBoot enabled\n");
}
CommandResult secureBootOff()
{
    return exited(0, {}, "SecureBoot disabled\n");
}
CommandResult keyEnrolled()
{
    return exited(0, {}, "/var/lib/dkms/mok.pub is already enrolled\n");
}
CommandResult keyNotEnrolled()
{
    return exited(1, {}, "/var/lib/dkms/mok.pub is not enrolled\n");
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
    void fourWebcamsCommandsAreFixed();
    void reloadScriptRemovesThenLoads_data();
    void reloadScriptRemovesThenLoads();
    void fewerDevicesOfferAReload();
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

    void secureBootIsCheckedBeforeLoading_data();
    void secureBootIsCheckedBeforeLoading();
    void enrolPassesThePasswordOnlyOnStandardInput();
    void enrolOutcomes_data();
    void enrolOutcomes();
    void passwordsRefusedBeforeAnythingRuns_data();
    void passwordsRefusedBeforeAnythingRuns();

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
    // Unless told otherwise, Secure Boot is on and the key enrolled: the load goes ahead.
    static std::unique_ptr<Dialog> makeDialog(bool installed = true)
    {
        auto d = std::make_unique<Dialog>();
        d->recorder.answerSecureBoot(secureBootOn(), keyEnrolled());
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
QString scriptInScratch(const QString &root, int stubExit, Stub kind = Stub::Runs, int devices = 1)
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

    QString script = WebcamModule::permanentCommand(devices).arguments.at(2);
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

void TestWebcamSetup::fourWebcamsCommandsAreFixed()
{
    const WebcamModule::Command load = WebcamModule::loadCommand(WebcamModule::kEachWebcams);
    QCOMPARE(load.program, kPkexec);
    QCOMPARE(load.arguments, kLoadFourArguments);
    QVERIFY(load.input.isEmpty());
    QCOMPARE(WebcamModule::modprobeConfContents(WebcamModule::kEachWebcams),
             QByteArray("options v4l2loopback devices=4 card_label=\"Quorvix 1,Quorvix 2,Quorvix "
                        "3,Quorvix 4\" exclusive_caps=1,1,1,1\n"));
    // Any other number is the one webcam.
    QCOMPARE(WebcamModule::loadCommand(3).arguments, kLoadArguments);

    // The permanent script, run for real: both files, then the same four-device load.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString script = scriptInScratch(dir.path(), 0, Stub::Runs, WebcamModule::kEachWebcams);
    QVERIFY2(!script.isEmpty(), "a path of the script was not moved into the scratch folder");
    const RunOutcome run = runForReal(QStringLiteral("/bin/sh"), {"-c", script}, {});
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(readAll(dir.filePath("etc/modprobe.d/quorvix.conf")),
             WebcamModule::modprobeConfContents(WebcamModule::kEachWebcams));
    QCOMPARE(readAll(dir.filePath("etc/modules-load.d/quorvix.conf")),
             WebcamModule::modulesLoadContents());
    QCOMPARE(readAll(dir.filePath("modprobe.args")),
             (kLoadFourArguments.mid(1).join('\n') + '\n').toUtf8());

    const WebcamModule::Command reload = WebcamModule::reloadCommand();
    QCOMPARE(reload.program, kPkexec);
    QCOMPARE(reload.arguments.mid(0, 2), QStringList({"/bin/sh", "-c"}));
    QVERIFY(reload.input.isEmpty());
}

void TestWebcamSetup::reloadScriptRemovesThenLoads_data()
{
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<int>("removeExit");
    QTest::addColumn<int>("loadExit");
    QTest::addColumn<QByteArray>("calls");
    QTest::addColumn<int>("outcome");
    using O = WebcamModule::Outcome;
    const QByteArray load = (kLoadFourArguments.mid(1).join('\n') + '\n').toUtf8();
    QTest::newRow("loaded: removed, then loaded with four")
        << true << 0 << 0 << QByteArray("-r\nv4l2loopback\n") + load << int(O::Succeeded);
    // modprobe -r: "FATAL: Module v4l2loopback is in use."
    QTest::newRow("a program holds a device: nothing loaded")
        << true << 1 << 0 << QByteArray("-r\nv4l2loopback\n") << int(O::ModuleInUse);
    QTest::newRow("not loaded: just loaded") << false << 1 << 0 << load << int(O::Succeeded);
    QTest::newRow("the load fails") << false << 0 << 1 << load << int(O::ModprobeFailed);
}

void TestWebcamSetup::reloadScriptRemovesThenLoads()
{
    QFETCH(bool, loaded);
    QFETCH(int, removeExit);
    QFETCH(int, loadExit);
    QFETCH(QByteArray, calls);
    QFETCH(int, outcome);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    // A modprobe that appends its arguments and ends as told, removal and load apart.
    QFile stub(root + QStringLiteral("/modprobe"));
    QVERIFY(stub.open(QIODevice::WriteOnly));
    stub.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '%1/modprobe.args'\n"
                              "[ \"$1\" = -r ] && exit %2\nexit %3\n")
                   .arg(root)
                   .arg(removeExit)
                   .arg(loadExit)
                   .toUtf8());
    stub.close();
    stub.setPermissions(stub.permissions() | QFileDevice::ExeOwner);
    if (loaded)
        QVERIFY(QDir(root).mkpath(QStringLiteral("sys/module/v4l2loopback")));
    QString script = WebcamModule::reloadCommand().arguments.at(2);
    script.replace(QStringLiteral("/usr/sbin/modprobe"), stub.fileName());
    script.replace(QStringLiteral(" /sys/"), QStringLiteral(" ") + root + QStringLiteral("/sys/"));
    QVERIFY(!script.contains(QStringLiteral(" /sys")) &&
            !script.contains(QStringLiteral("/usr/sbin")));

    const RunOutcome run = runForReal(QStringLiteral("/bin/sh"), {"-c", script}, {});
    QCOMPARE(run.reports, 1);
    QCOMPARE(int(WebcamModule::outcomeOf(run.result, WebcamModule::Setup::Reload)), outcome);
    QCOMPARE(readAll(root + QStringLiteral("/modprobe.args")), calls);
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

void TestWebcamSetup::fewerDevicesOfferAReload()
{
    auto d = makeDialog();
    QSignalSpy release(d->dialog.get(), &WebcamSetupDialog::releaseWebcams);
    QSignalSpy ended(d->dialog.get(), &WebcamSetupDialog::reloadEnded);
    QSignalSpy loaded(d->dialog.get(), &WebcamSetupDialog::moduleLoaded);
    // Four wanted, the module not loaded: a load asks for four devices.
    d->dialog->setWebcams(WebcamModule::kEachWebcams, 0, false);
    QVERIFY(!d->dialog->reloadOffered());
    d->button("cmdLoad")->click();
    QCOMPARE(d->recorder.calls().size(), 1);
    QCOMPARE(d->recorder.calls().at(0).arguments, kLoadFourArguments);
    d->recorder.finishLast(exited(0));

    // Loaded with one device only: the reload is offered, and says when it can work.
    d->dialog->setWebcams(WebcamModule::kEachWebcams, 1, true);
    QVERIFY(d->dialog->reloadOffered());
    QVERIFY(d->dialog->message().contains(QStringLiteral("no program holds")));
    d->button("cmdReload")->click();
    QCOMPARE(d->recorder.calls().size(), 2);
    QCOMPARE(d->recorder.calls().at(1).program, kPkexec);
    QCOMPARE(d->recorder.calls().at(1).arguments, WebcamModule::reloadCommand().arguments);
    // The program let go of its own devices before the command ran.
    QCOMPARE(release.count(), 1);
    QCOMPARE(ended.count(), 0);

    // A program holds a device: said plainly, and the program may take its devices again.
    d->recorder.finishLast(exited(WebcamModule::kModuleInUseExitCode));
    QCOMPARE(ended.count(), 1);
    QCOMPARE(loaded.count(), 1);
    QVERIFY(d->dialog->message().contains(QStringLiteral("in use")));
    QVERIFY(d->dialog->reloadOffered());

    // Again, with the devices free this time.
    d->button("cmdReload")->click();
    d->recorder.finishLast(exited(0));
    QCOMPARE(ended.count(), 2);
    QCOMPARE(loaded.count(), 2);
    d->dialog->setWebcams(WebcamModule::kEachWebcams, WebcamModule::kEachWebcams, true);
    QVERIFY(!d->dialog->reloadOffered());
    // With one webcam wanted no reload is offered, whatever the module has.
    d->dialog->setWebcams(1, 0, true);
    QVERIFY(!d->dialog->reloadOffered());
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

namespace {

QString joined(const RecordingRunner::Call &call)
{
    return (QStringList{call.program} + call.arguments).join(QLatin1Char(' '));
}

const QString kSbStateLine = QStringLiteral("/usr/bin/mokutil --sb-state");
const QString kTestKeyLine = QStringLiteral("/usr/bin/mokutil --test-key /var/lib/dkms/mok.pub");

} // namespace

void TestWebcamSetup::secureBootIsCheckedBeforeLoading_data()
{
    QTest::addColumn<CommandResult>("state"); // mokutil --sb-state
    QTest::addColumn<CommandResult>("key");   // mokutil --test-key, when asked
    QTest::addColumn<bool>("permanent");      // which load button
    QTest::addColumn<QStringList>("checks");  // the commands run before the load
    QTest::addColumn<bool>("offered");        // the enrolment is offered
    QTest::addColumn<bool>("loads");          // the load follows at once
    QTest::addColumn<QStringList>("says");    // before the load ends, or instead of it

    CommandResult noMokutil;
    noMokutil.status = CommandResult::FailedToStart;
    noMokutil.exitCode = -1;
    noMokutil.errorText = QStringLiteral("execve: No such file or directory");
    CommandResult crashedCheck;
    crashedCheck.status = CommandResult::Crashed;
    const QStringList stateOnly{kSbStateLine};
    const QStringList both{kSbStateLine, kTestKeyLine};
    const QString mokPub = QStringLiteral("/var/lib/dkms/mok.pub");

    QTest::newRow("off") << secureBootOff() << keyNotEnrolled() << false << stateOnly << false
                         << true << QStringList{"password"};
    // The shim does not check what it boots, and the kernel then takes unsigned modules.
    QTest::newRow("on, shim does not validate")
        << exited(0, {}, "SecureBoot enabled\nSecureBoot validation is disabled in shim\n")
        << keyNotEnrolled() << false << stateOnly << false << true << QStringList();
    QTest::newRow("no EFI (BIOS boot)")
        << exited(1, "EFI variables are not supported on this system\n") << keyNotEnrolled()
        << false << stateOnly << false << true << QStringList();
    QTest::newRow("EFI without Secure Boot")
        << exited(255, "This system doesn't support Secure Boot\n") << keyNotEnrolled() << false
        << stateOnly << false << true << QStringList();
    QTest::newRow("on, not enrolled")
        << secureBootOn() << keyNotEnrolled() << false << both << true << false
        << QStringList{"Secure Boot is on", mokPub, "sudo mokutil --import " + mokPub};
    QTest::newRow("on, not enrolled, every start")
        << secureBootOn() << keyNotEnrolled() << true << both << true << false
        << QStringList{"Secure Boot is on"};
    QTest::newRow("on, enrolled") << secureBootOn() << keyEnrolled() << false << both << false
                                  << true << QStringList{"password"};
    QTest::newRow("on, key in the firmware's db")
        << secureBootOn() << exited(0, {}, "/var/lib/dkms/mok.pub is already in db\n") << false
        << both << false << true << QStringList();
    // Asked for already: the blue screen's steps, no second request.
    QTest::newRow("on, enrolment waits for the next boot")
        << secureBootOn()
        << exited(0, {}, "/var/lib/dkms/mok.pub is already in the enrollment request\n") << false
        << both << false << false
        << QStringList{"next start", "\"Enroll MOK\"", "\"Continue\"", "\"Yes\"", "\"Reboot\""};
    // DKMS made no key: whatever signed the module, there is nothing of ours to enrol.
    QTest::newRow("on, no DKMS key")
        << secureBootOn() << exited(255, "Failed to open /var/lib/dkms/mok.pub\n") << false << both
        << false << true << QStringList();
    QTest::newRow("on, key check crashed")
        << secureBootOn() << crashedCheck << false << both << false << true << QStringList();
    QTest::newRow("mokutil missing")
        << noMokutil << keyNotEnrolled() << false << stateOnly << false << true
        << QStringList{"mokutil", "not installed", "Secure Boot was not checked", "password"};
    QTest::newRow("state check failed")
        << exited(255, "Failed to read \"SecureBoot\" variable: Permission denied\n")
        << keyNotEnrolled() << false << stateOnly << false << true << QStringList();
}

void TestWebcamSetup::secureBootIsCheckedBeforeLoading()
{
    QFETCH(CommandResult, state);
    QFETCH(CommandResult, key);
    QFETCH(bool, permanent);
    QFETCH(QStringList, checks);
    QFETCH(bool, offered);
    QFETCH(bool, loads);
    QFETCH(QStringList, says);

    auto d = makeDialog();
    d->recorder.answerSecureBoot(state, key);
    QSignalSpy loaded(d->dialog.get(), &WebcamSetupDialog::moduleLoaded);
    QVERIFY(!d->dialog->enrolOffered());
    QPushButton *button = d->button(permanent ? "cmdLoadPermanent" : "cmdLoad");
    button->click();

    QStringList ran;
    for (const auto &check : d->recorder.checks()) {
        QVERIFY(check.input.isEmpty());
        ran << joined(check);
    }
    QCOMPARE(ran, checks);
    QCOMPARE(d->dialog->enrolOffered(), offered);
    for (const QString &part : says)
        QVERIFY2(d->dialog->message().contains(part), qPrintable(d->dialog->message()));
    const QStringList loadArguments =
        permanent ? WebcamModule::permanentCommand().arguments : kLoadArguments;
    if (loads) {
        QCOMPARE(d->recorder.calls().size(), 1);
        QCOMPARE(d->recorder.calls().at(0).program, kPkexec);
        QCOMPARE(d->recorder.calls().at(0).arguments, loadArguments);
        QVERIFY(d->dialog->isBusy());
        // A failure still says what the check found (here: that there was none).
        d->recorder.finishLast(exited(1, "modprobe: ERROR: could not insert 'v4l2loopback'\n"));
        for (const QString &part : says) {
            if (part != QLatin1String("password"))
                QVERIFY2(d->dialog->message().contains(part), qPrintable(d->dialog->message()));
        }
        return;
    }

    // The load waits; the user has been told, so the next press loads without asking again.
    QVERIFY(d->recorder.calls().isEmpty());
    QVERIFY(!d->dialog->isBusy());
    QVERIFY(button->isEnabled());
    button->click();
    QCOMPARE(d->recorder.checks().size(), checks.size());
    QCOMPARE(d->recorder.calls().size(), 1);
    QCOMPARE(d->recorder.calls().at(0).arguments, loadArguments);
    d->recorder.finishLast(exited(0));
    QCOMPARE(loaded.count(), 1);
    QVERIFY(!d->dialog->enrolOffered());

    // Opened again later: the next load asks mokutil afresh.
    d->dialog->checkInstalled();
    button->click();
    QCOMPARE(d->recorder.checks().size(), 2 * checks.size());
}

namespace {

// A dialog that offers the enrolment: Secure Boot on, the key not enrolled, Load pressed.
void offerEnrolment(RecordingRunner &recorder, WebcamSetupDialog &dialog)
{
    recorder.answerSecureBoot(secureBootOn(), keyNotEnrolled());
    dialog.findChild<QPushButton *>(QStringLiteral("cmdLoad"))->click();
}

QLineEdit *field(WebcamSetupDialog &dialog, const char *name)
{
    return dialog.findChild<QLineEdit *>(QString::fromLatin1(name));
}

// Every shown text has the height its lines need at its width: nothing is cut off.
bool allTextShows(const QWidget &window)
{
    const QList<QLabel *> labels = window.findChildren<QLabel *>();
    for (const QLabel *label : labels) {
        if (label->isVisible() && !label->text().isEmpty() &&
            label->height() < label->heightForWidth(label->width()))
            return false;
    }
    return true;
}

} // namespace

void TestWebcamSetup::enrolPassesThePasswordOnlyOnStandardInput()
{
    const QFont defaultFont = QApplication::font();
    QFont larger = defaultFont;
    larger.setPointSizeF(defaultFont.pointSizeF() * 1.5);
    // The offer and the blue screen's steps are long; at a larger font too they show whole.
    for (const QFont &font : {defaultFont, larger}) {
        QApplication::setFont(font);
        auto d = makeDialog();
        offerEnrolment(d->recorder, *d->dialog);
        QTRY_VERIFY(allTextShows(*d->dialog));
        QTest::keyClicks(field(*d->dialog, "edtMokPassword"), QStringLiteral("abc"));
        QTest::keyClicks(field(*d->dialog, "edtMokPasswordRepeat"), QStringLiteral("abc"));
        d->button("cmdEnrol")->click();
        d->recorder.finishLast(exited(0));
        QTRY_VERIFY(allTextShows(*d->dialog));
    }
    QApplication::setFont(defaultFont);

    auto d = makeDialog();
    offerEnrolment(d->recorder, *d->dialog);
    QVERIFY(d->dialog->enrolOffered());
    QLineEdit *password = field(*d->dialog, "edtMokPassword");
    QLineEdit *repeated = field(*d->dialog, "edtMokPasswordRepeat");
    QVERIFY(password && repeated);
    QVERIFY(password->isVisible());
    // Looks like an option and has spaces: it must still be one line of input, nothing else.
    const QString secret = QStringLiteral("--root-pw ab 12");
    QTest::keyClicks(password, secret);
    QTest::keyClicks(repeated, secret);
    QTest::keyClick(repeated, Qt::Key_Return);

    QCOMPARE(d->recorder.calls().size(), 1);
    const RecordingRunner::Call &call = d->recorder.calls().at(0);
    QCOMPARE(call.program, kPkexec);
    QCOMPARE(call.arguments, kEnrolArguments);
    QCOMPARE(call.input, QByteArray("--root-pw ab 12\n--root-pw ab 12\n"));
    for (const auto &any : d->recorder.checks() + d->recorder.calls()) {
        for (const QString &argument : QStringList{any.program} + any.arguments)
            QVERIFY2(!argument.contains(QStringLiteral("ab 12")), qPrintable(argument));
    }
    // The fields do not keep it.
    QVERIFY(password->text().isEmpty());
    QVERIFY(repeated->text().isEmpty());
    QVERIFY(d->dialog->isBusy());
    QVERIFY(!d->button("cmdEnrol")->isEnabled());
    QVERIFY(!d->button("cmdLoad")->isEnabled());

    d->recorder.finishLast(exited(0));
    QVERIFY(!d->dialog->isBusy());
    QVERIFY(!d->dialog->enrolOffered());
    // The blue screen's questions, in their order.
    const QString message = d->dialog->message();
    int at = 0;
    for (const char *step :
         {"\"Enroll MOK\"", "\"Continue\"", "\"Yes\"", "password", "\"Reboot\""}) {
        const int found = message.indexOf(QLatin1String(step), at);
        QVERIFY2(found >= at, qPrintable(QStringLiteral("%1 in: %2").arg(step, message)));
        at = found;
    }
}

void TestWebcamSetup::enrolOutcomes_data()
{
    QTest::addColumn<CommandResult>("result");
    QTest::addColumn<QStringList>("says");

    QTest::newRow("prompt cancelled")
        << exited(126) << QStringList{"cancelled", "key was not enrolled"};
    QTest::newRow("not authorised")
        << exited(127)
        << QStringList{"Not authorised", "sudo mokutil --import /var/lib/dkms/mok.pub"};
    QTest::newRow("no pkexec") << notStarted()
                               << QStringList{"pkexec", "could not be started",
                                              "No such file or directory",
                                              "sudo mokutil --import /var/lib/dkms/mok.pub"};
    QTest::newRow("mokutil failed") << exited(255, "Failed to enroll new keys\nsecond line\n")
                                    << QStringList{"could not", "Failed to enroll new keys",
                                                   "sudo mokutil --import /var/lib/dkms/mok.pub"};
}

void TestWebcamSetup::enrolOutcomes()
{
    QFETCH(CommandResult, result);
    QFETCH(QStringList, says);

    auto d = makeDialog();
    offerEnrolment(d->recorder, *d->dialog);
    auto enrol = [&d]() {
        QTest::keyClicks(field(*d->dialog, "edtMokPassword"), QStringLiteral("12345678"));
        QTest::keyClicks(field(*d->dialog, "edtMokPasswordRepeat"), QStringLiteral("12345678"));
        d->button("cmdEnrol")->click();
    };
    enrol();
    QCOMPARE(d->recorder.calls().size(), 1);
    d->recorder.finishLast(result);
    for (const QString &part : says)
        QVERIFY2(d->dialog->message().contains(part), qPrintable(d->dialog->message()));
    QVERIFY(!d->dialog->message().contains(QStringLiteral("second line")));
    QVERIFY(!d->dialog->isBusy());
    // Not done: the offer stays and a second try goes through.
    QVERIFY(d->dialog->enrolOffered());
    QVERIFY(d->button("cmdEnrol")->isEnabled());
    enrol();
    QCOMPARE(d->recorder.calls().size(), 2);
    QCOMPARE(d->recorder.calls().at(1).arguments, kEnrolArguments);
    d->recorder.finishLast(exited(0));
    QVERIFY(!d->dialog->enrolOffered());
    QVERIFY(d->dialog->message().contains(QStringLiteral("\"Enroll MOK\"")));
}

void TestWebcamSetup::passwordsRefusedBeforeAnythingRuns_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("repeated");
    QTest::addColumn<QString>("says");

    QTest::newRow("empty") << ""
                           << ""
                           << "Type a one-time password";
    QTest::newRow("different") << "abcd1234"
                               << "abcd1235"
                               << "differ";
    // MokManager reads plain ASCII from the firmware's keyboard.
    QTest::newRow("umlaut") << QStringLiteral("p\u00e4sswort") << QStringLiteral("p\u00e4sswort")
                            << "US keyboard";
}

void TestWebcamSetup::passwordsRefusedBeforeAnythingRuns()
{
    QFETCH(QString, password);
    QFETCH(QString, repeated);
    QFETCH(QString, says);

    auto d = makeDialog();
    offerEnrolment(d->recorder, *d->dialog);
    field(*d->dialog, "edtMokPassword")->setText(password);
    field(*d->dialog, "edtMokPasswordRepeat")->setText(repeated);
    d->button("cmdEnrol")->click();
    QVERIFY(d->recorder.calls().isEmpty());
    QVERIFY2(d->dialog->message().contains(says), qPrintable(d->dialog->message()));
    QVERIFY(d->dialog->enrolOffered());
    QVERIFY(!d->dialog->isBusy());

    // The bounds mokutil itself sets; the field cannot take more than the longest.
    using P = SecureBoot::PasswordProblem;
    const QString longest(SecureBoot::kMaxPasswordChars, QLatin1Char('a'));
    QCOMPARE(SecureBoot::passwordProblem(longest, longest), P::None);
    QCOMPARE(SecureBoot::passwordProblem(longest + 'a', longest + 'a'), P::TooLong);
    QCOMPARE(SecureBoot::passwordProblem(QStringLiteral("a"), QStringLiteral("a")), P::None);
    QCOMPARE(SecureBoot::passwordProblem(QStringLiteral("a\nb"), QStringLiteral("a\nb")),
             P::NotPlain);
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
    QCOMPARE(run.result.output, QByteArray("to stdout\n"));

    // A flood of output is read to its end (the command is not stuck on a full pipe) and kept
    // only up to the bound.
    const RunOutcome flood =
        runForReal(QStringLiteral("/bin/sh"),
                   {"-c", "head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2"}, {});
    QCOMPARE(flood.reports, 1);
    QCOMPARE(flood.result.exitCode, 0);
    QCOMPARE(flood.result.output.size(), CommandResult::kMaxOutputBytes);
    QCOMPARE(flood.result.errorOutput.size(), CommandResult::kMaxOutputBytes);

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
