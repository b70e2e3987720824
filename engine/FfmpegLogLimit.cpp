#include "engine/FfmpegLogLimit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

Q_LOGGING_CATEGORY(lcFfmpeg, "quorvix.ffmpeg", QtInfoMsg)

namespace {

// Distinct lines remembered at once; a flood is nearly always one or two lines repeated.
constexpr int kRemembered = 8;
// Longest line compared and kept; FFmpeg's own lines are far shorter.
constexpr int kLineBytes = 512;
// Longest summary of a repeated line: its count and the line.
constexpr int kSummaryBytes = kLineBytes + 64;
constexpr long long kWindowMs = 1000;
// What a masked text becomes.
constexpr char kMask[] = "****";
constexpr size_t kMaskLength = sizeof kMask - 1;
static_assert(FfmpegLogLimit::kMaxMaskedBytes < kLineBytes, "a masked text fits a line");

QtMsgType qtTypeOf(int level)
{
    if (level <= AV_LOG_ERROR)
        return QtWarningMsg;
    if (level <= AV_LOG_WARNING)
        return QtInfoMsg;
    return QtDebugMsg;
}

// The line being put together on this thread: FFmpeg writes some lines in several calls.
struct PendingLine
{
    std::array<char, kLineBytes> text{};
    int length = 0;
    int level = AV_LOG_TRACE; // the most severe of its pieces
    int printPrefix = 1;      // av_log_format_line2's state: the next piece starts a line
    bool truncated = false;
};
thread_local PendingLine t_pending;

// What one call lets through, written under the lock and handed to Qt after it.
struct Outgoing
{
    std::array<char, kSummaryBytes> summary{};
    std::array<char, kLineBytes> line{};
    int summaryLevel = AV_LOG_INFO;
    bool hasSummary = false;
    bool hasLine = false;
};
thread_local Outgoing t_outgoing;

struct Entry
{
    std::array<char, kLineBytes> text{};
    long long windowStartMs = -1;
    long long held = 0;
    int level = AV_LOG_INFO;
    long long lastUseMs = 0;
};

class Limiter
{
public:
    void log(void *avcl, int level, const char *format, va_list args)
    {
        if (level > av_log_get_level() || !lcFfmpeg().isEnabled(qtTypeOf(level)))
            return;
        PendingLine &pending = t_pending;
        const int room = kLineBytes - pending.length;
        va_list copy;
        va_copy(copy, args);
        const int needed =
            av_log_format_line2(avcl, level, format, copy, pending.text.data() + pending.length,
                                room, &pending.printPrefix);
        va_end(copy);
        if (needed < 0)
            return;
        pending.length += std::min(needed, room - 1);
        pending.truncated = pending.truncated || needed >= room;
        pending.level = std::min(pending.level, level);
        const bool complete = pending.length > 0 && pending.text[pending.length - 1] == '\n';
        if (!complete && !pending.truncated)
            return; // the rest of the line follows
        Outgoing &out = t_outgoing;
        take(pending, out);
        const int lineLevel = pending.level;
        pending.length = 0;
        pending.text[0] = '\0';
        pending.level = AV_LOG_TRACE;
        pending.truncated = false;
        // Outside the lock: a message handler may take its time.
        if (out.hasSummary)
            emitLine(out.summaryLevel, out.summary.data());
        if (out.hasLine)
            emitLine(lineLevel, out.line.data());
    }

    void setMasked(const char *text, size_t length)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        length = std::min<size_t>(length, FfmpegLogLimit::kMaxMaskedBytes);
        std::memcpy(m_masked.data(), text, length);
        m_masked[length] = '\0';
        m_maskedLength = length;
    }

    long long passed() const { return m_passedLines.load(std::memory_order_relaxed); }
    long long held() const { return m_heldLines.load(std::memory_order_relaxed); }

private:
    static long long nowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // m_lock held. Replaces each occurrence of the masked text in m_line; a `truncated` line
    // that ends in the first part of it loses that part too. True when anything was replaced.
    bool mask_Locked(bool truncated)
    {
        if (m_maskedLength == 0)
            return false;
        const size_t length = std::strlen(m_line.data());
        const char *masked = m_masked.data();
        size_t out = 0;
        bool replaced = false;
        auto put = [&](const char *from, size_t count) {
            count = std::min(count, size_t(kLineBytes - 1) - out);
            std::memcpy(m_scratch.data() + out, from, count);
            out += count;
        };
        for (size_t i = 0; i < length;) {
            const size_t left = length - i;
            const bool whole =
                left >= m_maskedLength && std::memcmp(&m_line[i], masked, m_maskedLength) == 0;
            const bool cut =
                truncated && left < m_maskedLength && std::memcmp(&m_line[i], masked, left) == 0;
            if (whole || cut) {
                put(kMask, kMaskLength);
                i += whole ? m_maskedLength : left;
                replaced = true;
            } else {
                put(&m_line[i], 1);
                ++i;
            }
        }
        if (!replaced)
            return false;
        // The line break survives a mask that made the line longer than the buffer.
        if (length > 0 && m_line[length - 1] == '\n' && out > 0)
            m_scratch[out - 1] = '\n';
        m_scratch[out] = '\0';
        std::memcpy(m_line.data(), m_scratch.data(), out + 1);
        return true;
    }

    // Lets a whole line through, holds it back, or reports the count of an older one.
    void take(const PendingLine &pending, Outgoing &out)
    {
        out.hasSummary = false;
        out.hasLine = false;
        std::lock_guard<std::mutex> guard(m_lock);
        std::memcpy(m_line.data(), pending.text.data(), size_t(pending.length));
        m_line[size_t(pending.length)] = '\0';
        // Masked before anything else sees the line: the remembered lines and the summary of
        // a repeated one carry it too.
        mask_Locked(pending.truncated);
        const long long now = nowMs();
        Entry *slot = nullptr;
        Entry *oldest = &m_entries[0];
        for (Entry &entry : m_entries) {
            if (entry.windowStartMs >= 0 && std::strcmp(entry.text.data(), m_line.data()) == 0) {
                slot = &entry;
                break;
            }
            if (entry.lastUseMs < oldest->lastUseMs)
                oldest = &entry;
        }
        if (slot && now - slot->windowStartMs < kWindowMs) {
            ++slot->held;
            slot->lastUseMs = now;
            m_heldLines.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (slot && slot->held > 0)
            summary(*slot, out);
        if (!slot) {
            slot = oldest;
            if (slot->windowStartMs >= 0 && slot->held > 0)
                summary(*slot, out);
            std::memcpy(slot->text.data(), m_line.data(), kLineBytes);
        }
        slot->windowStartMs = now;
        slot->held = 0;
        slot->level = pending.level;
        slot->lastUseMs = now;
        m_passedLines.fetch_add(1, std::memory_order_relaxed);
        std::memcpy(out.line.data(), m_line.data(), kLineBytes);
        out.hasLine = true;
    }

    // m_lock held. The count of a line held back in its last window, as FFmpeg's own
    // "Last message repeated" line would say it.
    static void summary(const Entry &entry, Outgoing &out)
    {
        std::snprintf(out.summary.data(), out.summary.size(),
                      "    last message repeated %lld times in 1 s: %s", entry.held,
                      entry.text.data());
        out.summaryLevel = entry.level;
        out.hasSummary = true;
    }

    // The line without its line break (Qt adds its own), at the level's Qt type.
    static void emitLine(int level, char *text)
    {
        const size_t length = std::strlen(text);
        if (length > 0 && text[length - 1] == '\n')
            text[length - 1] = '\0';
        switch (qtTypeOf(level)) {
        case QtWarningMsg:
            qCWarning(lcFfmpeg, "%s", text);
            break;
        case QtInfoMsg:
            qCInfo(lcFfmpeg, "%s", text);
            break;
        default:
            qCDebug(lcFfmpeg, "%s", text);
            break;
        }
    }

    std::mutex m_lock;
    // -- guarded by m_lock
    std::array<Entry, kRemembered> m_entries{};
    std::array<char, kLineBytes> m_line{};
    std::array<char, kLineBytes> m_scratch{};
    std::array<char, kLineBytes> m_masked{}; // NUL-terminated; m_maskedLength 0: nothing masked
    size_t m_maskedLength = 0;
    std::atomic<long long> m_passedLines{0};
    std::atomic<long long> m_heldLines{0};
};

// FFmpeg's log callback is process-wide and takes no context, so its state is too.
Limiter g_limiter;
std::once_flag g_installed;

void callback(void *avcl, int level, const char *format, va_list args)
{
    g_limiter.log(avcl, level, format, args);
}

} // namespace

namespace FfmpegLogLimit {

void install()
{
    std::call_once(g_installed, [] { av_log_set_callback(&callback); });
}

void setMaskedText(const QByteArray &text)
{
    g_limiter.setMasked(text.constData(), size_t(text.size()));
}

long long passedLines()
{
    return g_limiter.passed();
}

long long heldLines()
{
    return g_limiter.held();
}

} // namespace FfmpegLogLimit
