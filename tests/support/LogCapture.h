#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

// Collects what reaches Qt's log while it lives (from any thread, FFmpeg's lines included under
// "quorvix.ffmpeg") and passes each message on to the handler before it, so the log still
// prints. One capture at a time.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QByteArray category;
        QString text;
    };

    LogCapture()
    {
        std::lock_guard<std::mutex> guard(s_lock);
        s_active = this;
        s_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { finish(); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    bool capturing() const
    {
        std::lock_guard<std::mutex> guard(s_lock);
        return !m_finished;
    }
    // Every message's text so far.
    QStringList lines() const
    {
        std::lock_guard<std::mutex> guard(s_lock);
        QStringList texts;
        for (const Line &line : m_lines)
            texts << line.text;
        return texts;
    }
    // The messages of one category.
    QList<Line> entries(const QByteArray &category) const
    {
        std::lock_guard<std::mutex> guard(s_lock);
        QList<Line> found;
        for (const Line &line : m_lines) {
            if (line.category == category)
                found.append(line);
        }
        return found;
    }
    QStringList criticals() const
    {
        std::lock_guard<std::mutex> guard(s_lock);
        QStringList texts;
        for (const Line &line : m_lines) {
            if (line.type == QtCriticalMsg)
                texts << line.text;
        }
        return texts;
    }
    // How many messages contain `part`.
    int count(const QString &part) const
    {
        std::lock_guard<std::mutex> guard(s_lock);
        int n = 0;
        for (const Line &line : m_lines)
            n += line.text.contains(part) ? 1 : 0;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(s_lock);
        m_lines.clear();
        m_text.clear();
    }
    // Every message so far, one "category: text" line each.
    QByteArray text() const
    {
        std::lock_guard<std::mutex> guard(s_lock);
        return m_text;
    }
    // Ends the capture (once) and returns everything collected as text().
    QByteArray finish()
    {
        std::lock_guard<std::mutex> guard(s_lock);
        if (!m_finished) {
            qInstallMessageHandler(s_previous);
            s_active = nullptr;
            m_finished = true;
        }
        return m_text;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        QtMessageHandler previous = nullptr;
        {
            std::lock_guard<std::mutex> guard(s_lock);
            previous = s_previous;
            if (s_active) {
                const QByteArray category(context.category ? context.category : "");
                s_active->m_lines.append({type, category, text});
                s_active->m_text += category + ": " + text.toUtf8() + '\n';
            }
        }
        if (previous)
            previous(type, context, text);
    }

    // std, so ThreadSanitizer sees it; static, so a message racing the end finds no dead capture.
    static inline std::mutex s_lock;
    static inline LogCapture *s_active = nullptr;
    static inline QtMessageHandler s_previous = nullptr;
    // -- guarded by s_lock
    QList<Line> m_lines;
    QByteArray m_text;
    bool m_finished = false;
};
