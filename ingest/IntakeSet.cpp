#include "ingest/IntakeSet.h"

#include "engine/OutputSwitch.h"
#include "engine/Session.h"
#include "ingest/IngestLog.h"
#include "ingest/IngestSettings.h"
#include "ingest/LoopbackOwner.h"
#include "ingest/Relay.h"

#include <QTimer>

#include <algorithm>

IntakeSet::IntakeSet(OutputSwitch &output, QObject *parent) : QObject(parent), m_output(output)
{
    m_clock.start();
    m_retireTimer = new QTimer(this);
    m_retireTimer->setInterval(qBound(50, m_idleRetireMs / 4, 5000));
    connect(m_retireTimer, &QTimer::timeout, this, &IntakeSet::retireIdle);
}

IntakeSet::~IntakeSet()
{
    m_shuttingDown = true;
    m_listening = false;
    m_retireTimer->stop();
    // Relays first: their end closes the serving intakes' loopback connections. Asked all at
    // once, then deleted one by one (each waits for its thread).
    const QList<Relay *> relays = m_relays;
    for (Relay *relay : relays)
        relay->end(RelayEnd::Stopped);
    for (Relay *relay : relays)
        delete relay;
    const QList<Session *> managers =
        findChildren<Session *>(QString(), Qt::FindDirectChildrenOnly);
    // Asked all at once so they wind down side by side, then waited for one by one.
    for (Session *manager : managers)
        manager->requestStopAsync();
    for (Session *manager : managers)
        delete manager; // waits for its threads, delivery included
}

void IntakeSet::start()
{
    m_listening = true;
    m_lastAdmitted = nullptr;
    m_retireTimer->start();
}

void IntakeSet::createIntakes(Kind kind, int count)
{
    qCInfo(lcIngest) << "create StreamManager pool:" << count
                     << (kind == Kind::Srt ? "SRT" : "RTMP");
    for (int i = 0; i < count; ++i) {
        const int port = m_ports.next(m_pool.ports());
        qCInfo(lcIngest) << "m_last_smgr_port:" << port;
        startManager(port, kind);
    }
}

void IntakeSet::grow(Kind kind)
{
    const int count = m_pool.growBy();
    if (count > 0)
        createIntakes(kind, count);
    else
        qCInfo(lcIngest) << "Server: manager pool at its limit of" << IntakePool::kMaxLive;
}

Session *IntakeSet::take(Kind kind)
{
    auto *manager = static_cast<Session *>(const_cast<void *>(m_pool.take(kind)));
    if (manager)
        emit freeChanged();
    return manager;
}

Session *IntakeSet::startManager(int port, Kind kind)
{
    auto *manager = new Session(this);
    m_pool.add(manager, kind, port);
    const QPointer<Session> guard(manager);
    connect(manager, &Session::readyForConnect, this, [this, guard] {
        if (guard)
            onReady(guard);
    });
    connect(manager, &Session::stopHandle, this, [this, guard] {
        if (guard)
            onEnded(guard);
    });
    connect(manager, &Session::errorMessage, this, [](const QString &title, const QString &txt) {
        // Nothing is shown to the user for a stream's own errors.
        qCInfo(lcIngest) << "onStreamManagerShowError:" << title << txt;
    });
    connect(manager, &Session::updateStreamState, this, &IntakeSet::streamStateChanged);
    connect(manager, &QObject::destroyed, this, [this](QObject *gone) {
        m_pool.remove(gone);
        m_peerOf.remove(gone);
        // Its relay has nothing left to report; one still running goes when it has ended.
        const QPointer<Relay> relay = m_relayOf.take(gone);
        if (relay && relay->isFinished())
            relay->deleteLater();
    });
    // An ended manager is deleted once its thread is over.
    connect(manager, &QThread::finished, this, [this, guard] {
        if (guard)
            onManagerFinished(guard);
    });
    // The intake takes only its own relay's connection: another program on this computer
    // could otherwise publish straight to the loopback port and skip the stream key.
    manager->setConnectionCheck([](int intakePort, QString &why) {
        return LoopbackOwner::acceptedFrom(intakePort, &why) == LoopbackOwner::Owner::Ours;
    });
    // Set before the thread starts, so the manager never sees it change under it.
    manager->setOutput(&m_output);
    manager->startListen(kind == Kind::Srt ? QStringLiteral("tcp://127.0.0.1:%1").arg(port)
                                           : QStringLiteral("rtmp://127.0.0.1:%1").arg(port),
                         port);
    return manager;
}

void IntakeSet::onReady(Session *manager)
{
    if (!m_listening || !m_pool.ready(manager, m_clock.elapsed())) {
        // Retired or ended while its open was cut short: it listens again, and must not.
        if (manager->isRunning() && !manager->stopped())
            manager->requestStopAsync();
        return;
    }
    if (!manager->stopped())
        emit freeChanged();
}

void IntakeSet::onEnded(Session *manager)
{
    if (!m_listening)
        return;
    const IntakePool::Successor successor = m_pool.end(manager, manager->portUnavailable());
    emit freeChanged();
    if (!successor.start)
        return;
    // A manager that could never bind its port (another program holds it) is replaced on the
    // next free port; the same port would only fail again.
    const int port = successor.samePort ? manager->port() : m_ports.next(m_pool.ports());
    qCInfo(lcIngest) << "*** RE-USE port *** for new StreamManager:" << port;
    if (Relay *relay = m_relayOf.value(manager))
        endRelay(relay, RelayEnd::IntakeGone);
    startManager(port, m_pool.kind(manager));
}

void IntakeSet::onManagerFinished(Session *manager)
{
    if (m_shuttingDown)
        return;
    const IntakePool::State state = m_pool.state(manager);
    // Whatever ended it (a failure that skipped its stop signal included), the pool keeps its
    // size: a manager that ended unreplaced while listening is replaced now.
    if (m_listening && state != IntakePool::State::Ended && state != IntakePool::State::Retired) {
        qCWarning(lcIngest) << "Server: manager ended without its stop signal, replaced:"
                            << manager->port();
        onEnded(manager);
    }
    manager->deleteLater();
    checkStopped();
}

void IntakeSet::startSession(Session *manager, Relay *relay, const IngestSettings &settings)
{
    const QPointer<Relay> old = m_relayOf.value(manager);
    if (old && old->isFinished())
        old->deleteLater();
    m_relays.append(relay);
    m_relayOf.insert(manager, relay);
    const QPointer<Relay> guard(relay);
    // Relay::finished comes on this thread, once the relay is back here and its thread ended.
    connect(relay, &Relay::finished, this, [this, guard] {
        if (guard)
            onRelayFinished(guard);
    });
    // By the time destroyed() comes only the QObject is left: compare the address, never cast.
    connect(relay, &QObject::destroyed, this, [this, relay](QObject *gone) {
        m_keyOf.remove(gone);
        m_relays.removeOne(relay);
    });
    m_keyOf.insert(relay, settings.streamKey);
    // Read on this thread only, where the relay is deleted.
    std::function<qint64()> bytes = [guard] {
        return guard ? guard->bytesFromClient() : qint64(0);
    };
    m_peerOf.insert(manager, relay->peerAddress());
    Session::Admission admission;
    admission.relay = relay->relayThread();
    admission.bytesFromClient = std::move(bytes);
    admission.ignoreAudio = settings.ignoreAudio;
    admission.mevo = settings.mevo;
    admission.maxBufferMs = settings.bufferBoundMs();
    admission.number = m_output.nextAdmission();
    manager->admit(std::move(admission));
    m_lastAdmitted = manager;
    relay->start();
}

void IntakeSet::endSessionsWithoutKey(const QByteArray &key)
{
    for (auto it = m_relayOf.begin(); it != m_relayOf.end(); ++it) {
        Relay *relay = it.value();
        if (!relay || !relay->isRunning() || m_keyOf.value(relay) == key)
            continue;
        qCInfo(lcIngest).noquote()
            << "Server: stream key changed, session ended:" << m_peerOf.value(it.key());
        endRelay(relay, RelayEnd::Refused);
    }
}

void IntakeSet::onRelayFinished(Relay *relay)
{
    if (m_shuttingDown)
        return;
    const QObject *owner = nullptr;
    for (auto it = m_relayOf.begin(); it != m_relayOf.end(); ++it) {
        if (it.value() == relay)
            owner = it.key();
    }
    if (!owner) {
        // Not the relay of any intake any more: nothing reads its figures.
        relay->deleteLater();
        checkStopped();
        return;
    }
    auto *manager = static_cast<Session *>(const_cast<QObject *>(owner));
    if (m_listening) {
        const QPointer<Session> managerGuard(manager);
        const QPointer<Relay> relayGuard(relay);
        QTimer::singleShot(kReclaimDelayMs, this, [this, managerGuard, relayGuard] {
            if (managerGuard && relayGuard)
                reclaim(managerGuard, relayGuard);
        });
    }
    checkStopped();
}

void IntakeSet::reclaim(Session *manager, Relay *relay)
{
    // Not when a newer relay feeds it, nor when its session got under way or ended: then it
    // announces itself again (or is replaced) on its own.
    if (!m_listening || manager->relay() != relay->relayThread() || !manager->listening() ||
        manager->stopped())
        return;
    if (!m_pool.putBack(manager, m_clock.elapsed()))
        return;
    qCInfo(lcIngest) << "Server: manager back in the pool, its relay never reached it:"
                     << manager->port();
    emit freeChanged();
}

void IntakeSet::retireIdle()
{
    if (!m_listening)
        return;
    const QList<IntakePool::Id> retired = m_pool.retireIdle(m_clock.elapsed(), m_idleRetireMs);
    for (IntakePool::Id id : retired) {
        auto *manager = static_cast<Session *>(const_cast<void *>(id));
        qCInfo(lcIngest) << "Server: idle intake retired:" << manager->port();
        // Retired: its end is not replaced; onManagerFinished deletes it.
        manager->requestStopAsync();
    }
    if (!retired.isEmpty())
        emit freeChanged();
}

void IntakeSet::setIdleRetireMs_for_testing(int ms)
{
    m_idleRetireMs = qMax(1, ms);
    m_retireTimer->setInterval(qBound(10, m_idleRetireMs / 4, 5000));
}

void IntakeSet::endRelay(Relay *relay, RelayEnd reason)
{
    relay->end(reason);
}

void IntakeSet::stopAll()
{
    m_listening = false;
    m_lastAdmitted = nullptr;
    m_retireTimer->stop();
    m_pool.retireAll();
    m_relayOf.clear();
    m_stopping.clear();
    m_stopClock.start();
    // Everything is asked at once, so the threads wind down side by side; nothing here waits.
    for (Relay *relay : m_relays) {
        endRelay(relay, RelayEnd::Stopped);
        if (relay->isFinished())
            relay->deleteLater();
        else
            m_stopping.append(relay->relayThread());
    }
    for (Session *manager : findChildren<Session *>(QString(), Qt::FindDirectChildrenOnly)) {
        // Serving managers too: their read ends at once instead of when the relay's close
        // reaches them.
        manager->requestStopAsync();
        if (manager->isRunning())
            m_stopping.append(manager);
        else
            manager->deleteLater();
    }
    emit freeChanged();
    QTimer::singleShot(kStopDeadlineMs, this, [this] {
        if (runningThreads() > 0 && !m_stopping.isEmpty())
            qCWarning(lcIngest) << "Server: threads still running after" << kStopDeadlineMs
                                << "ms; they end by themselves";
    });
    checkStopped();
}

void IntakeSet::checkStopped()
{
    if (m_stopping.isEmpty())
        return;
    for (const QPointer<QThread> &thread : m_stopping) {
        if (thread && thread->isRunning())
            return;
    }
    m_stopping.clear();
    qCInfo(lcIngest) << "Server: all stream threads ended in" << m_stopClock.elapsed() << "ms";
    emit stopped();
}

Session *IntakeSet::statsManager() const
{
    // After a stop, streams still winding down are not reported.
    if (!m_listening)
        return nullptr;
    // The picked stream while it delivers, on an output or waiting for one.
    if (m_picked) {
        const std::vector<const void *> waiting = m_output.waiting();
        if (m_output.outputOf(m_picked.data()) >= 0 ||
            std::find(waiting.begin(), waiting.end(), m_picked.data()) != waiting.end())
            return m_picked.data();
    }
    if (const void *owner = m_output.owner()) {
        for (Session *manager : findChildren<Session *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (manager == owner)
                return manager;
        }
    }
    return m_lastAdmitted.data();
}

Relay *IntakeSet::relayOf(const Session *manager) const
{
    return m_relayOf.value(manager).data();
}

void IntakeSet::pickStats(quintptr id)
{
    m_picked = nullptr;
    for (Session *manager : findChildren<Session *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (reinterpret_cast<quintptr>(manager) == id)
            m_picked = manager;
    }
}

QList<IntakeSet::Camera> IntakeSet::cameras() const
{
    QList<Camera> result;
    if (!m_listening)
        return result;
    const std::vector<const void *> waiting = m_output.waiting();
    for (Session *manager : findChildren<Session *>(QString(), Qt::FindDirectChildrenOnly)) {
        const int output = m_output.outputOf(manager);
        const bool waits = std::find(waiting.begin(), waiting.end(), manager) != waiting.end();
        if (output < 0 && !waits)
            continue;
        result.append(Camera{reinterpret_cast<quintptr>(manager), m_peerOf.value(manager), output,
                             manager->picturesDecoded()});
    }
    return result;
}

QString IntakeSet::peerOf(const Session *manager) const
{
    return m_peerOf.value(manager);
}

bool IntakeSet::isSrt(const Session *manager) const
{
    return m_pool.contains(manager) && m_pool.kind(manager) == Kind::Srt;
}

QList<int> IntakeSet::managerPorts() const
{
    QList<int> ports;
    for (const Session *manager : findChildren<Session *>(QString(), Qt::FindDirectChildrenOnly))
        ports.append(manager->port());
    return ports;
}

int IntakeSet::managerCount() const
{
    return findChildren<Session *>(QString(), Qt::FindDirectChildrenOnly).size();
}

int IntakeSet::relayCount() const
{
    return m_relays.size();
}

int IntakeSet::runningThreads() const
{
    int running = 0;
    for (const QThread *thread : findChildren<QThread *>(QString(), Qt::FindDirectChildrenOnly))
        running += thread->isRunning() ? 1 : 0;
    for (const Relay *relay : m_relays)
        running += relay->isRunning() ? 1 : 0;
    return running;
}
