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

namespace {

// Distinct lines remembered at once; a flood is nearly always one or two lines repeated.
constexpr int kRemembered = 8;
// Longest line compared and kept; FFmpeg's own lines are far shorter.
constexpr int kLineBytes = 512;
constexpr long long kWindowMs = 1000;
// What a masked text becomes.
constexpr char kMask[] = "****";
constexpr size_t kMaskLength = sizeof kMask - 1;
static_assert(FfmpegLogLimit::kMaxMaskedBytes < kLineBytes, "a masked text fits a line");

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
        if (level > av_log_get_level())
            return;
        std::lock_guard<std::mutex> guard(m_lock);
        int prefix = 1;
        va_list copy;
        va_copy(copy, args);
        const int needed =
            av_log_format_line2(avcl, level, format, copy, m_line.data(), kLineBytes, &prefix);
        va_end(copy);
        // Masked before anything else sees the line: the remembered lines and the summary
        // of a repeated one carry it too.
        const bool masked = mask_Locked(needed >= kLineBytes);
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
            summary(*slot);
        if (!slot) {
            slot = oldest;
            if (slot->windowStartMs >= 0 && slot->held > 0)
                summary(*slot);
            std::memcpy(slot->text.data(), m_line.data(), kLineBytes);
        }
        slot->windowStartMs = now;
        slot->held = 0;
        slot->level = level;
        slot->lastUseMs = now;
        m_passedLines.fetch_add(1, std::memory_order_relaxed);
        if (masked)
            emitLine(level, "%s", m_line.data()); // formatted already, prefix included
        else
            av_log_default_callback(avcl, level, format, args);
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

    // m_lock held. The count of a line held back in its last window, as FFmpeg's own
    // "Last message repeated" line would say it.
    static void summary(const Entry &entry)
    {
        std::array<char, kLineBytes + 64> text{};
        std::snprintf(text.data(), text.size(), "    last message repeated %lld times in 1 s: %s",
                      entry.held, entry.text.data());
        const size_t length = std::strlen(text.data());
        if (length > 0 && text[length - 1] != '\n' && length + 1 < text.size())
            text[length] = '\n';
        emitLine(entry.level, "%s", text.data());
    }

    static void emitLine(int level, const char *format, ...)
    {
        va_list args;
        va_start(args, format);
        av_log_default_callback(nullptr, level, format, args);
        va_end(args);
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
