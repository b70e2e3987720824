// A stand-in for the NDI runtime (libndi.so.N), built by the test suite: it exports the
// sender's entry points with the documented signatures and records every call and frame as
// one line of "key=value" fields in the file named by QUORVIX_FAKE_NDI_LOG. Video is recorded
// by its fields and a checksum of the visible picture, audio with every sample value.
//
// fakeNdiHoldVideo(1) makes video sends wait (a slow network send) until fakeNdiHoldVideo(0);
// fakeNdiVideoHeld() tells how many are waiting.
//
// QUORVIX_FAKE_NDI_REFUSE_INIT=1 makes NDIlib_initialize fail (a CPU the runtime refuses);
// QUORVIX_FAKE_NDI_REFUSE_SENDER=1 makes NDIlib_send_create return null. Built with
// FAKE_NDI_INCOMPLETE it lacks NDIlib_send_send_audio_v2 (a library that is not a runtime).

#include "output/NdiApi.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#define FAKE_NDI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_lock;
std::set<NDIlib_send_instance_t> g_senders; // guarded by g_lock
int g_nextSender = 1;                       // guarded by g_lock
int g_initialised = 0;                      // guarded by g_lock

std::mutex g_holdLock;
std::condition_variable g_holdChanged;
bool g_holdVideo = false; // guarded by g_holdLock
int g_videoHeld = 0;      // guarded by g_holdLock

bool flag(const char *name)
{
    const char *value = std::getenv(name);
    return value && std::strcmp(value, "1") == 0;
}

// Appends one line to the record file; callers hold g_lock.
__attribute__((format(printf, 1, 2))) void record(const char *format, ...)
{
    const char *path = std::getenv("QUORVIX_FAKE_NDI_LOG");
    if (!path || !*path)
        return;
    FILE *file = std::fopen(path, "a");
    if (!file)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fclose(file);
}

unsigned long long fnv1a(unsigned long long hash, const uint8_t *data, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        hash ^= data[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

int senderId(NDIlib_send_instance_t sender)
{
    return g_senders.count(sender) ? *reinterpret_cast<int *>(sender) : -1;
}

__attribute__((constructor)) void loaded()
{
    std::lock_guard<std::mutex> guard(g_lock);
    record("load major=%d", FAKE_NDI_MAJOR);
}

__attribute__((destructor)) void unloaded()
{
    std::lock_guard<std::mutex> guard(g_lock);
    record("unload major=%d live_senders=%zu initialised=%d", FAKE_NDI_MAJOR, g_senders.size(),
           g_initialised);
}

} // namespace

FAKE_NDI_EXPORT void fakeNdiHoldVideo(int hold)
{
    std::lock_guard<std::mutex> guard(g_holdLock);
    g_holdVideo = hold != 0;
    g_holdChanged.notify_all();
}

FAKE_NDI_EXPORT int fakeNdiVideoHeld(void)
{
    std::lock_guard<std::mutex> guard(g_holdLock);
    return g_videoHeld;
}

FAKE_NDI_EXPORT bool NDIlib_initialize(void)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (flag("QUORVIX_FAKE_NDI_REFUSE_INIT")) {
        record("initialize result=0");
        return false;
    }
    ++g_initialised;
    record("initialize result=1");
    return true;
}

FAKE_NDI_EXPORT void NDIlib_destroy(void)
{
    std::lock_guard<std::mutex> guard(g_lock);
    --g_initialised;
    record("destroy live_senders=%zu", g_senders.size());
}

FAKE_NDI_EXPORT const char *NDIlib_version(void)
{
    return FAKE_NDI_MAJOR == 6 ? "Fake NDI 6.0.0" : "Fake NDI 5.6.0";
}

FAKE_NDI_EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t *settings)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!settings || flag("QUORVIX_FAKE_NDI_REFUSE_SENDER") || g_initialised <= 0) {
        record("send_create result=null initialised=%d", g_initialised);
        return nullptr;
    }
    auto sender = reinterpret_cast<NDIlib_send_instance_t>(new int(g_nextSender++));
    g_senders.insert(sender);
    record("send_create sender=%d name=%s groups=%s clock_video=%d clock_audio=%d",
           senderId(sender), settings->p_ndi_name ? settings->p_ndi_name : "(null)",
           settings->p_groups ? settings->p_groups : "(null)", settings->clock_video ? 1 : 0,
           settings->clock_audio ? 1 : 0);
    return sender;
}

FAKE_NDI_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t sender)
{
    std::lock_guard<std::mutex> guard(g_lock);
    const int id = senderId(sender);
    record("send_destroy sender=%d", id);
    if (id >= 0) {
        g_senders.erase(sender);
        delete reinterpret_cast<int *>(sender);
    }
}

FAKE_NDI_EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t sender,
                                               const NDIlib_video_frame_v2_t *frame)
{
    {
        // Bounded, so a test that forgets to release cannot hang the suite.
        std::unique_lock<std::mutex> hold(g_holdLock);
        ++g_videoHeld;
        g_holdChanged.wait_for(hold, std::chrono::seconds(20), [] { return !g_holdVideo; });
        --g_videoHeld;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (!frame || !frame->p_data || frame->xres <= 0 || frame->yres <= 0) {
        record("video sender=%d bad_frame=1", senderId(sender));
        return;
    }
    // The visible picture only, read as the documented layout of its FourCC places it: I420's
    // chroma planes after the luma at half the line size, NV12's interleaved chroma after the
    // luma at the line size, UYVY packed.
    const int stride = frame->line_stride_in_bytes;
    const int chromaWidth = (frame->xres + 1) / 2;
    const int chromaHeight = (frame->yres + 1) / 2;
    const uint8_t *y = frame->p_data;
    unsigned long long hash = 14695981039346656037ull;
    int yMid = 0;
    int uMid = 0;
    int vMid = 0;
    if (frame->FourCC == kNdiFourCcUyvy) {
        for (int row = 0; row < frame->yres; ++row)
            hash = fnv1a(hash, y + static_cast<size_t>(row) * stride, 2 * frame->xres);
        const uint8_t *mid =
            y + static_cast<size_t>(frame->yres / 2) * stride + (frame->xres / 2) * 2;
        uMid = mid[0];
        yMid = mid[1];
        vMid = mid[2];
    } else {
        const bool nv12 = frame->FourCC == kNdiFourCcNv12;
        const int chromaStride = nv12 ? stride : stride / 2;
        const uint8_t *u = y + static_cast<size_t>(stride) * frame->yres;
        const uint8_t *v = nv12 ? u + 1 : u + static_cast<size_t>(chromaStride) * chromaHeight;
        for (int row = 0; row < frame->yres; ++row)
            hash = fnv1a(hash, y + static_cast<size_t>(row) * stride, frame->xres);
        const uint8_t *const planes[2] = {u, v};
        for (int plane = 0; plane < (nv12 ? 1 : 2); ++plane)
            for (int row = 0; row < chromaHeight; ++row)
                hash = fnv1a(hash, planes[plane] + static_cast<size_t>(row) * chromaStride,
                             nv12 ? 2 * chromaWidth : chromaWidth);
        const int step = nv12 ? 2 : 1;
        const int midC = frame->yres / 4 * chromaStride + frame->xres / 4 * step;
        yMid = y[frame->yres / 2 * stride + frame->xres / 2];
        uMid = u[midC];
        vMid = v[midC];
    }
    record("video sender=%d xres=%d yres=%d fourcc=%d rate=%d/%d aspect=%g format=%d "
           "timecode=%lld stride=%d metadata=%d checksum=%016llx ymid=%d umid=%d vmid=%d",
           senderId(sender), frame->xres, frame->yres, frame->FourCC, frame->frame_rate_N,
           frame->frame_rate_D, static_cast<double>(frame->picture_aspect_ratio),
           frame->frame_format_type, static_cast<long long>(frame->timecode), stride,
           frame->p_metadata ? 1 : 0, hash, yMid, uMid, vMid);
}

#ifndef FAKE_NDI_INCOMPLETE
FAKE_NDI_EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t sender,
                                               const NDIlib_audio_frame_v2_t *frame)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!frame || !frame->p_data || frame->no_channels <= 0 || frame->no_samples <= 0) {
        record("audio sender=%d bad_frame=1", senderId(sender));
        return;
    }
    // Every value, channel by channel, read through the channel stride as a receiver would.
    std::string values;
    char number[32];
    for (int channel = 0; channel < frame->no_channels; ++channel) {
        const float *plane = reinterpret_cast<const float *>(
            reinterpret_cast<const uint8_t *>(frame->p_data) +
            static_cast<size_t>(channel) * frame->channel_stride_in_bytes);
        for (int i = 0; i < frame->no_samples; ++i) {
            std::snprintf(number, sizeof number, "%s%.9g", values.empty() ? "" : ",",
                          static_cast<double>(plane[i]));
            values += number;
        }
    }
    record("audio sender=%d rate=%d channels=%d samples=%d stride=%d timecode=%lld values=%s",
           senderId(sender), frame->sample_rate, frame->no_channels, frame->no_samples,
           frame->channel_stride_in_bytes, static_cast<long long>(frame->timecode), values.c_str());
}
#endif
