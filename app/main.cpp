// Process entry: the application object with the program-wide style sheet, the program
// (Application) and its window, the command line, and a clean end on SIGTERM / SIGINT (the same
// as closing the window).
#include "app/AppLog.h"
#include "app/Application.h"
#include "app/Environment.h"
#include "ui/ProgramStyle.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>

#include <malloc.h>

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr char kDesktopFileName[] = "com.morlaid.Quorvix";
// Allocations at least this large get their own mapping (see main()).
constexpr int kMmapThresholdBytes = 256 * 1024;

// SIGTERM and SIGINT arrive as readable data on a signalfd that the GUI thread watches, so the
// program ends through its normal close path (listening stops, every stream thread ends)
// instead of inside a signal handler. The signals are blocked before the first thread exists;
// every thread inherits the mask, so none of them takes the default action.
class TerminationSignals
{
public:
    TerminationSignals()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGINT);
        if (pthread_sigmask(SIG_BLOCK, &m_set, nullptr) != 0)
            return;
        m_fd = signalfd(-1, &m_set, SFD_CLOEXEC | SFD_NONBLOCK);
        if (m_fd < 0)
            pthread_sigmask(SIG_UNBLOCK, &m_set, nullptr);
    }
    ~TerminationSignals()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

    // GUI thread, once the window exists: on a signal close it and leave the event loops
    // (a modal dialog's as well).
    void watch(MainWindow *window)
    {
        if (m_fd < 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, window, [this, window]() {
            signalfd_siginfo info{};
            while (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                qCInfo(lcApp) << "SIGNAL" << info.ssi_signo << "- closing";
            window->close();
            QCoreApplication::quit();
        });
    }

    // GUI thread, after the event loop: the notifier goes while the application object exists.
    void unwatch() { m_notifier.reset(); }

private:
    sigset_t m_set{};
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// QUORVIX_GUI_WATCHDOG=1: a timer on the GUI thread records the longest gap between its ticks,
// reported at the end ("GUI thread longest gap: N ms"), and logs each gap of kReportGapMs or
// more as it ends ("GUI thread gap: N ms"), so that a benchmark can tell in which of its phases
// the window stalled. Tests and benchmarks use it to show the window never stalled (stopping,
// overload, device scans).
class GuiWatchdog
{
public:
    static constexpr int kTickMs = 10;
    static constexpr int kReportGapMs = 20;

    GuiWatchdog()
    {
        if (!Environment::guiWatchdog())
            return;
        m_timer = std::make_unique<QTimer>();
        m_timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] {
            if (m_sinceTick.isValid()) {
                const qint64 gap = m_sinceTick.elapsed() - kTickMs;
                m_longestMs = qMax(m_longestMs, gap);
                if (gap >= kReportGapMs)
                    qCInfo(lcApp) << "GUI thread gap:" << gap << "ms";
            }
            m_sinceTick.start();
        });
        m_timer->start(kTickMs);
    }
    void report() const
    {
        if (m_timer)
            qCInfo(lcApp) << "GUI thread longest gap:" << qMax<qint64>(0, m_longestMs) << "ms";
    }

private:
    std::unique_ptr<QTimer> m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longestMs = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    TerminationSignals terminationSignals;

    // Each camera session allocates picture blocks and decoder buffers of a megabyte or more
    // and frees them when it ends. With a fixed threshold such blocks always get their own
    // mapping, which goes back to the system when freed; glibc's sliding default moves them
    // into the heap after the first free, where they stayed (about 2 MB more per session).
    if (mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes) != 1)
        qCWarning(lcApp)
            << "mallopt(M_MMAP_THRESHOLD) failed: freed session memory may stay with us";

    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    app.setStyleSheet(QString::fromLatin1(kProgramStyleSheet));
    // No periodic polling of the network configurations by Qt's bearer code. Qt takes the
    // value as a timer interval and warns about a negative one, so "never" is the longest
    // interval a timer takes (about 24 days) rather than -1.
    qputenv("QT_BEARER_POLL_TIMEOUT", "2147483647");

    auto application = std::make_unique<Application>();
    application->window().show();
    terminationSignals.watch(&application->window());
    if (argc > 1)
        application->startFromCommandLine();

    GuiWatchdog watchdog;
    const int exitCode = app.exec();
    watchdog.report();
    terminationSignals.unwatch();
    application.reset();
    return exitCode;
}
