// Per-frame cost of OutputRouter::sendFrame into the virtual camera sink (v4l2loopback at its
// system-call seam, so the figure is our own work: fan-out, scaling, write call) and into the
// frame tap, and heap allocations per frame after warm-up (target 0). Beside the webcam
// OutputRouter has the real NDI renderer (off) when a runtime is installed and the preview
// (detached); the microphone is left out, so the figures stay those of the picture path alone.
// Baseline measured in the same run: one memcpy of a 1280x720 I420 frame.

#include "output/NdiRenderer.h"
#include "support/I420Frame.h"
#include "output/OutputBackends.h"
#include "output/QtPreviewRenderer.h"
#include "output/V4l2Io.h"
#include "output/V4l2Sink.h"
#include "output/OutputRouter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <linux/videodev2.h>
#include <malloc.h>
#include <vector>

// -- Allocation counter: every malloc-family call of the process goes through here.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
std::atomic<long long> g_allocations{0};
}
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
void *memalign(size_t alignment, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **result, size_t alignment, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    *result = __libc_memalign(alignment, size);
    return *result ? 0 : ENOMEM;
}
void free(void *pointer)
{
    __libc_free(pointer);
}
}
long long allocations()
{
    return g_allocations.load();
}
#else
long long allocations()
{
    return -1;
}
#endif

namespace {

constexpr int kWarmupFrames = 30;
constexpr int kMeasuredFrames = 300;

// One free v4l2loopback device that takes every frame.
class NullLoopback final : public V4l2Io
{
public:
    QStringList videoDevices() override { return {QStringLiteral("/dev/video0")}; }
    int open(const char *, int) override { return 3; }
    int ioctl(int, unsigned long request, void *arg) override
    {
        if (request == VIDIOC_QUERYCAP) {
            v4l2_capability *cap = static_cast<v4l2_capability *>(arg);
            std::memset(cap, 0, sizeof *cap);
            std::strcpy(reinterpret_cast<char *>(cap->driver), "v4l2 loopback");
            std::strcpy(reinterpret_cast<char *>(cap->card), "Quorvix");
            cap->capabilities = V4L2_CAP_VIDEO_OUTPUT;
        }
        return 0;
    }
    ssize_t write(int, const void *data, size_t bytes) override
    {
        // Touch the picture as the kernel's copy would.
        m_sum += static_cast<const uchar *>(data)[bytes / 2];
        return static_cast<ssize_t>(bytes);
    }
    int close(int) override { return 0; }
    unsigned m_sum = 0;
};

struct Figures
{
    double msPerFrame;
    double allocationsPerFrame;
};

Figures measure(const std::vector<uchar> &picture, int width, int height,
                const std::vector<qint16> &audio)
{
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    for (int i = 0; i < kWarmupFrames; ++i)
        sendI420(cam, picture.data(), width, height, width, audio.data(), 1600, 48000, 2);
    const long long before = allocations();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kMeasuredFrames; ++i)
        sendI420(cam, picture.data(), width, height, width, audio.data(), 1600, 48000, 2);
    const double ms = timer.nsecsElapsed() / 1e6 / kMeasuredFrames;
    const long long after = allocations();
    return {ms, before < 0 ? -1.0 : double(after - before) / kMeasuredFrames};
}

std::vector<uchar> makePicture(int width, int height)
{
    std::vector<uchar> picture(static_cast<size_t>(width) * height * 3 / 2);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<uchar>((i * 2654435761u) >> 24);
    return picture;
}

} // namespace

int main(int argc, char **argv)
{
    // The output logs its set-up lines; the figures are what this program prints.
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.info=false");
    QCoreApplication app(argc, argv);
    qunsetenv("QUORVIX_VCAM_DEVICE");
    qunsetenv("QUORVIX_VCAM_SIZE");
    auto device = std::make_shared<NullLoopback>();
    OutputBackends::setFactory_for_testing([device](const QString &name) {
        OutputBackends backends;
        auto webcam = std::make_unique<V4l2Sink>(device);
        webcam->init(name);
        backends.webcam = std::move(webcam);
        backends.preview = std::make_unique<QtPreviewRenderer>();
        if (std::unique_ptr<NdiRenderer> ndi = createNdiRenderer()) {
            ndi->setSourceName(name);
            backends.ndi = std::move(ndi);
        }
        return backends;
    });

    const std::vector<uchar> in1080 = makePicture(1920, 1080);
    const std::vector<uchar> in720 = makePicture(1280, 720);
    const std::vector<qint16> audio(1600 * 2, 100);

    // Baseline: copying one output frame.
    std::vector<uchar> copy(in720.size());
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kMeasuredFrames; ++i) {
        std::memcpy(copy.data(), in720.data(), copy.size());
        asm volatile("" : : "r"(copy.data()) : "memory");
    }
    const double baselineMs = timer.nsecsElapsed() / 1e6 / kMeasuredFrames;
    std::printf("baseline: memcpy of one 1280x720 I420 frame: %.3f ms\n\n", baselineMs);
    std::printf("%-40s %10s %12s %14s\n", "case", "ms/frame", "x baseline", "allocs/frame");

    QTemporaryDir dir;
    const QByteArray tapPath = dir.filePath(QStringLiteral("bench.y4m")).toLocal8Bit();
    for (const bool tap : {false, true}) {
        if (tap)
            qputenv("QUORVIX_VCAM_TAP", tapPath);
        else
            qunsetenv("QUORVIX_VCAM_TAP");
        struct Case
        {
            const char *name;
            const std::vector<uchar> *picture;
            int width;
            int height;
        };
        for (const Case &c : {Case{"1920x1080 -> 1280x720 (scaled)", &in1080, 1920, 1080},
                              Case{"1280x720 (unscaled)", &in720, 1280, 720}}) {
            const Figures f = measure(*c.picture, c.width, c.height, audio);
            const QByteArray name = QByteArray(c.name) + (tap ? " + tap" : "");
            std::printf("%-40s %10.4f %12.2f %14.2f\n", name.constData(), f.msPerFrame,
                        f.msPerFrame / baselineMs, f.allocationsPerFrame);
        }
    }
    std::printf("\n(frames through the v4l2 sink seam: %u checksum)\n", device->m_sum);
    OutputBackends::setFactory_for_testing({});
    return 0;
}
