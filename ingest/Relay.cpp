#include "ingest/Relay.h"

#include "ingest/IngestLog.h"

#include <QThread>

Relay::Relay(const QString &peer, int port, const QString &threadName)
    : m_peer(peer), m_port(port), m_home(QThread::currentThread()),
      m_thread(std::make_unique<QThread>())
{
    setObjectName(threadName);
    m_thread->setObjectName(threadName);
    // The thread ends right after the relay came home: the slot runs on the owning thread.
    connect(m_thread.get(), &QThread::finished, this, &Relay::onThreadFinished,
            Qt::QueuedConnection);
}

Relay::~Relay()
{
    halt();
}

void Relay::halt()
{
    if (stop())
        return;
    // Cannot happen while the relay only blocks in its event loop or its short poll; destroying
    // a running QThread would abort the program, so wait it out rather than crash.
    qCWarning(lcRelay).noquote() << objectName() + QStringLiteral(": still running after")
                                 << kStopWaitMs << "ms, waiting";
    m_thread->wait();
    m_closed.load(std::memory_order_acquire);
}

void Relay::start()
{
    if (m_started)
        return;
    m_started = true;
    Q_ASSERT_X(!parent(), "Relay::start", "a relay with a parent cannot move to its thread");
    moveToThread(m_thread.get());
    m_thread->start(QThread::InheritPriority);
    QMetaObject::invokeMethod(this, &Relay::begin, Qt::QueuedConnection);
}

void Relay::begin()
{
    m_begun = true;
    run();
}

void Relay::end(RelayEnd reason)
{
    keepEndReason(reason);
    m_endRequested.store(true, std::memory_order_release);
    // Queued to wherever the relay lives now. An end before start() travels with the relay to
    // its thread and comes before run(), which sees the flag (so it is not acted on here); one
    // that reaches the relay after it came home finds it closed.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (QThread::currentThread() == m_thread.get() && m_begun && !closed())
                onEndRequested();
        },
        Qt::QueuedConnection);
}

bool Relay::stop(unsigned long timeoutMs)
{
    end(RelayEnd::Stopped);
    return wait(timeoutMs);
}

bool Relay::wait(unsigned long timeoutMs)
{
    if (!m_thread->wait(timeoutMs))
        return false;
    // Pairs with the release in close() (see m_closed).
    m_closed.load(std::memory_order_acquire);
    return true;
}

bool Relay::isRunning() const
{
    return m_thread->isRunning();
}

bool Relay::isFinished() const
{
    return m_thread->isFinished();
}

void Relay::keepEndReason(RelayEnd reason)
{
    RelayEnd none = RelayEnd::None;
    m_endReason.compare_exchange_strong(none, reason);
}

void Relay::close(RelayEnd reason)
{
    keepEndReason(reason);
    if (closed())
        return;
    m_closed.store(true, std::memory_order_release);
    // Home first, then the end of the thread: once finished() is seen, the owner may delete the
    // relay, and deleteLater() finds a running event loop to do it in.
    moveToThread(m_home);
    m_thread->quit();
}

void Relay::onThreadFinished()
{
    m_closed.load(std::memory_order_acquire);
    emit finished();
}
