#pragma once

#include "engine/FrameRecord.h"
#include "engine/Session.h"
#include "support/FreePort.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <functional>
#include <memory>

// One Session under test on a free loopback port, its signals as one ordered event list
// ("ready", "state:<text>", "stop", an error's title), and a consumer that stands in for the
// playout thread: it looks at the oldest record of each queue under the queue's lock and drops
// it, so the pools stay small and no block is held across the session's end.
//
// Header only, for the tests that link the engine. Use from the test's thread.
class ManagerSession : public QObject
{
public:
    ManagerSession()
    {
        m_port = FreePort::loopback();
        m_manager = std::make_unique<Session>(nullptr);
        connect(m_manager.get(), &Session::readyForConnect, this,
                [this] { events << QStringLiteral("ready"); });
        connect(m_manager.get(), &Session::updateStreamState, this,
                [this](const QString &state) { events << QStringLiteral("state:") + state; });
        connect(m_manager.get(), &Session::stopHandle, this,
                [this] { events << QStringLiteral("stop"); });
        connect(m_manager.get(), &Session::errorMessage, this,
                [this](const QString &title, const QString &) { events << title; });
        m_consumer.setInterval(5);
        connect(&m_consumer, &QTimer::timeout, this, [this] { consume(); });
        m_consumer.start();
    }
    ~ManagerSession() override
    {
        m_consumer.stop();
        m_manager.reset();
    }

    // Starts the RTMP intake (or, with `scheme` "tcp", the MPEG-TS one), admits it with
    // `admission` as the listener would, and waits until it listens.
    bool listen(const QString &scheme = QStringLiteral("rtmp"))
    {
        m_manager->startListen(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(m_port), m_port);
        m_manager->admit(admission);
        return FreePort::waitUntilListening(m_port, 10000);
    }
    int count(const QString &event) const { return events.count(event); }
    bool ended() const { return events.contains(QStringLiteral("stop")); }

    void consume()
    {
        Session &m = *m_manager;
        while (m.videoQueue().visitOldest([&](const FrameRecord &record) {
            videoTimes << record.timestamp;
            if (checkPicture)
                checkPicture(record, m.width(), m.height());
        }))
            m.videoQueue().dropOldest();
        while (m.audioQueue().visitOldest([&](const FrameRecord &record) {
            audioTimes << record.timestamp;
            audioRates << record.sampleRate;
        }))
            m.audioQueue().dropOldest();
    }

    quint16 m_port = 0;
    Session::Admission admission;
    std::unique_ptr<Session> m_manager;
    QTimer m_consumer;
    QStringList events;
    QVector<qint64> videoTimes;
    QVector<qint64> audioTimes;
    QVector<int> audioRates;
    std::function<void(const FrameRecord &, int width, int height)> checkPicture;
};
