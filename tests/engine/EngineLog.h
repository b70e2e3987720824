#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <mutex>

// Collects the debug log lines while alive (from any thread); they are not printed, so tests
// that tick thousands of times keep their output readable.
class EngineLog
{
public:
    EngineLog()
    {
        current().store(this);
        m_previous = qInstallMessageHandler(&EngineLog::handle);
    }
    ~EngineLog()
    {
        qInstallMessageHandler(m_previous);
        current().store(nullptr);
    }
    EngineLog(const EngineLog &) = delete;
    EngineLog &operator=(const EngineLog &) = delete;

    // Lines that start with `prefix`.
    int count(const QString &prefix) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (const QString &line : m_lines)
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }
    QStringList lines() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
    }

private:
    static std::atomic<EngineLog *> &current()
    {
        static std::atomic<EngineLog *> log{nullptr};
        return log;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        EngineLog *self = current().load();
        if (!self)
            return;
        {
            std::lock_guard<std::mutex> guard(self->m_lock);
            self->m_lines << text;
        }
        // Information, warnings and worse still reach the test output.
        if (type != QtDebugMsg && self->m_previous)
            self->m_previous(type, context, text);
    }

    mutable std::mutex m_lock;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};
