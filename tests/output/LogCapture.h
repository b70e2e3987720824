#pragma once

#include <QStringList>
#include <QtGlobal>

#include <mutex>

// Collects the debug log while alive (any thread) and still prints it.
class LogCapture
{
public:
    LogCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }

    QStringList lines() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    QStringList criticals() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_criticals;
    }
    int count(const QString &part) const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (const QString &line : m_lines)
            n += line.contains(part) ? 1 : 0;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
        m_criticals.clear();
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        LogCapture *self = s_current;
        if (self) {
            std::lock_guard<std::mutex> guard(self->m_lock);
            self->m_lines << text;
            if (type == QtCriticalMsg)
                self->m_criticals << text;
        }
        if (self && self->m_previous)
            self->m_previous(type, context, text);
    }

    static inline LogCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_lock; // std, so ThreadSanitizer sees it
    QStringList m_lines;
    QStringList m_criticals;
};
