#pragma once

// Reads a YUV4MPEG2 stream on its own thread (the webcam tap of quorvix, or the ffmpeg
// command-line tool's yuv4mpegpipe output), notes when the last byte of each picture arrived,
// and decodes the picture's stamp (bench/Stamp.h). Header only, shared by the latency
// benchmark and the soak runner.
//
// The stream goes through a regular file in memory (/dev/shm), followed as it grows, with the
// part already read punched out so it takes no memory. Not a FIFO: a pipe holds 1 MiB here
// (more needs privileges this machine does not grant), less than one 1280x720 picture, and a
// writer that must never block (the tap) can then finish a picture only when it sends the
// next one, which would add a frame period to every reading and lose most 1920x1080 pictures.
// A file takes every picture whole at the moment it is written.

#include "Stamp.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

struct TapFrame
{
    int64_t arrivalUs = 0;
    bool stamped = false;
    stamp::Value value;
};

class TapReader
{
public:
    static constexpr size_t kReadChunk = 1024 * 1024;
    // Read bytes are given back to the memory file system in steps of this size.
    static constexpr off_t kPunchStepBytes = 16 * 1024 * 1024;

    // Creates (empties) the file and follows it from its start.
    explicit TapReader(const std::string &path) : m_path(path)
    {
        const int create = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (create < 0) {
            std::fprintf(stderr, "create %s: %s\n", path.c_str(), std::strerror(errno));
            return;
        }
        ::close(create);
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        m_notify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_fd < 0 || m_notify < 0 ||
            ::inotify_add_watch(m_notify, path.c_str(), IN_MODIFY) < 0) {
            std::fprintf(stderr, "follow %s: %s\n", path.c_str(), std::strerror(errno));
            closeAll();
            return;
        }
        m_buffer.reserve(8 * kReadChunk);
        m_thread = std::thread([this] { loop(); });
    }

    ~TapReader() { stop(); }
    TapReader(const TapReader &) = delete;
    TapReader &operator=(const TapReader &) = delete;

    bool ok() const { return m_fd >= 0; }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        closeAll();
        ::unlink(m_path.c_str());
    }

    // Any thread: a copy of what was read so far.
    std::vector<TapFrame> frames() const
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        return m_frames;
    }
    size_t frameCount() const
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        return m_frames.size();
    }
    // Any thread: stamped frames of one publisher id read so far.
    size_t stampedCount(unsigned id, int64_t sinceUs = 0) const
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        size_t n = 0;
        for (const TapFrame &f : m_frames)
            n += f.stamped && f.value.id == id && f.arrivalUs >= sinceUs;
        return n;
    }
    // Drops what was read so far (the soak keeps only recent frames).
    void clear()
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_frames.clear();
    }
    int width() const { return m_width.load(); }
    int height() const { return m_height.load(); }

private:
    void closeAll()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_notify >= 0)
            ::close(m_notify);
        m_fd = -1;
        m_notify = -1;
    }

    void loop()
    {
        std::vector<char> chunk(kReadChunk);
        char events[4096];
        off_t readTotal = 0;
        off_t punched = 0;
        while (!m_stop) {
            // Everything there is, then wait for the next write.
            for (;;) {
                const ssize_t n = ::read(m_fd, chunk.data(), chunk.size());
                if (n > 0) {
                    readTotal += n;
                    m_buffer.insert(m_buffer.end(), chunk.data(), chunk.data() + n);
                    parse(stamp::nowUs());
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                break;
            }
            if (readTotal - punched >= kPunchStepBytes) {
                const off_t upTo = readTotal & ~off_t(4095);
                if (::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, punched,
                                upTo - punched) == 0)
                    punched = upTo;
            }
            pollfd pfd{m_notify, POLLIN, 0};
            if (::poll(&pfd, 1, 50) > 0) {
                while (::read(m_notify, events, sizeof events) > 0) {
                }
            }
        }
    }

    static int headerValue(const std::string &header, char key)
    {
        const std::string token = std::string(" ") + key;
        const size_t at = header.find(token);
        return at == std::string::npos ? 0 : std::atoi(header.c_str() + at + 2);
    }

    void parse(int64_t nowUs)
    {
        size_t offset = 0;
        for (;;) {
            const char *begin = m_buffer.data() + offset;
            const size_t left = m_buffer.size() - offset;
            const void *newline = std::memchr(begin, '\n', left);
            if (!newline)
                break;
            const size_t lineBytes = size_t(static_cast<const char *>(newline) - begin) + 1;
            if (left >= 9 && std::memcmp(begin, "YUV4MPEG2", 9) == 0) {
                const std::string header(begin, lineBytes - 1);
                m_width = headerValue(header, 'W');
                m_height = headerValue(header, 'H');
                offset += lineBytes;
                continue;
            }
            const int w = m_width.load();
            const int h = m_height.load();
            if (w <= 0 || h <= 0 || left < 5 || std::memcmp(begin, "FRAME", 5) != 0) {
                // Out of step: look for the next frame marker.
                offset += lineBytes;
                continue;
            }
            const size_t pictureBytes = size_t(w) * h + 2 * size_t(w / 2) * (h / 2);
            if (left < lineBytes + pictureBytes)
                break;
            const auto *luma = reinterpret_cast<const uint8_t *>(begin + lineBytes);
            TapFrame frame;
            frame.arrivalUs = nowUs;
            frame.stamped = stamp::read(luma, w, w, h, nowUs, &frame.value);
            {
                std::lock_guard<std::mutex> locker(m_mutex);
                m_frames.push_back(frame);
            }
            offset += lineBytes + pictureBytes;
        }
        if (offset > 0)
            m_buffer.erase(m_buffer.begin(), m_buffer.begin() + long(offset));
    }

    const std::string m_path;
    int m_fd = -1;
    int m_notify = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    std::vector<char> m_buffer; // reader thread only
    mutable std::mutex m_mutex;
    std::vector<TapFrame> m_frames; // guarded by m_mutex
    std::thread m_thread;
};
