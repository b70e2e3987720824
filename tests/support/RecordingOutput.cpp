#include "support/RecordingOutput.h"

#include "output/OutputBackends.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

struct RecordingOutput::State
{
    // std primitives rather than QMutex, so ThreadSanitizer sees the synchronisation.
    mutable std::mutex lock;
    mutable std::condition_variable changed;

    // -- configuration, guarded by lock
    bool failing[kTargets] = {false, false, false, false};
    PutBehaviour behaviour[kTargets] = {PutOk, PutOk, PutOk, PutOk};
    bool copyPictures = true;
    bool hold[kTargets] = {false, false, false, false};
    int heldNow = 0;
    // What the webcam tells OutputRouter::webcamAvailable; read without the lock by any thread.
    std::atomic<bool> webcamAvailable{true};
    std::atomic<bool> microphoneAvailable{true};
    QString microphoneReason; // guarded by lock

    // -- records, guarded by lock
    QList<Frame> frames;
    int sessionChanges[kTargets] = {0, 0, 0, 0};
    QList<quintptr> attachedWindows;
    QList<bool> microphoneSwitches;
    int backendsAlive = 0;
    int destroyedWhileBusy = 0;

    void put(Target target, bool live, const OutputFrame &frame);
    void sessionChanged(Target target);
    void backendBorn()
    {
        std::lock_guard<std::mutex> guard(lock);
        ++backendsAlive;
    }
    void backendGone(bool busy)
    {
        std::lock_guard<std::mutex> guard(lock);
        --backendsAlive;
        destroyedWhileBusy += busy ? 1 : 0;
        changed.notify_all();
    }
};

namespace {

using State = RecordingOutput::State;

// Counts a call on one backend in, so its destruction can tell it came too early.
class Busy
{
public:
    explicit Busy(std::atomic<int> &count) : m_count(count) { m_count.fetch_add(1); }
    ~Busy() { m_count.fetch_sub(1); }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    std::atomic<int> &m_count;
};

// One recording backend of kind `Base` (OutputBackend or one of the kinds derived from it).
template <class Base>
class FakeBackend : public Base
{
public:
    FakeBackend(std::shared_ptr<State> state, RecordingOutput::Target target)
        : m_state(std::move(state)), m_target(target)
    {
        m_state->backendBorn();
    }
    ~FakeBackend() override { m_state->backendGone(m_busy.load() > 0); }

    void putLive(const OutputFrame &frame) override
    {
        const Busy busy(m_busy);
        m_state->put(m_target, true, frame);
    }
    void putCard(const OutputFrame &frame) override
    {
        const Busy busy(m_busy);
        m_state->put(m_target, false, frame);
    }
    void sessionChanged() override
    {
        const Busy busy(m_busy);
        m_state->sessionChanged(m_target);
    }

protected:
    const std::shared_ptr<State> m_state;

private:
    const RecordingOutput::Target m_target;
    std::atomic<int> m_busy{0};
};

class FakeWebcam final : public FakeBackend<WebcamOutput>
{
public:
    explicit FakeWebcam(std::shared_ptr<State> state)
        : FakeBackend(std::move(state), RecordingOutput::Sink)
    {
    }
    bool deviceOpen() const override { return m_state->webcamAvailable.load(); }
};

class FakePreview final : public FakeBackend<PreviewOutput>
{
public:
    explicit FakePreview(std::shared_ptr<State> state)
        : FakeBackend(std::move(state), RecordingOutput::Preview)
    {
    }
    void attachWindow(WId window) override
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        m_state->attachedWindows << static_cast<quintptr>(window);
    }
};

class FakeMicrophone final : public FakeBackend<MicrophoneOutput>
{
public:
    explicit FakeMicrophone(std::shared_ptr<State> state)
        : FakeBackend(std::move(state), RecordingOutput::Microphone)
    {
    }
    void setEnabled(bool enabled) override
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        m_state->microphoneSwitches << enabled;
    }
    bool available() const override { return m_state->microphoneAvailable.load(); }
    QString unavailableReason() const override
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        return m_state->microphoneReason;
    }
};

} // namespace

void RecordingOutput::State::put(Target target, bool live, const OutputFrame &frame)
{
    Frame record;
    record.target = target;
    record.live = live;
    const AVFrame *picture = frame.picture;
    if (picture) {
        record.width = picture->width;
        record.height = picture->height;
        record.rowBytes = picture->linesize[0];
        record.pixelFormat = picture->format;
        record.video = picture->data[0];
    }
    record.rateNum = frame.rateNum;
    record.rateDen = frame.rateDen;
    record.channels = frame.channels;
    record.sampleRate = frame.sampleRate;
    record.audioAdded = frame.audio != nullptr;
    if (frame.audio && frame.samples > 0 && frame.channels > 0) {
        // Back to interleaved 16-bit, exact for samples that were 16-bit (s / 32768).
        record.samples.resize(frame.samples * frame.channels);
        for (int channel = 0; channel < frame.channels; ++channel)
            for (int i = 0; i < frame.samples; ++i)
                record.samples[i * frame.channels + channel] = static_cast<qint16>(std::lrint(
                    std::clamp(frame.audio[channel][i] * 32768.0f, -32768.0f, 32767.0f)));
    }
    bool copy;
    PutBehaviour behaviour;
    {
        std::unique_lock<std::mutex> guard(lock);
        copy = copyPictures;
        behaviour = this->behaviour[target];
        // Held puts block here, as a slow backend would.
        if (hold[target]) {
            ++heldNow;
            changed.notify_all();
            while (hold[target])
                changed.wait(guard);
            --heldNow;
        }
    }
    // Read while the put runs: the buffer is the caller's and only valid until it returns.
    record.putMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
    if (picture && picture->width > 0 && picture->height > 0) {
        // The planes as they are, each with its line size, one after the other.
        int planeHeights[4] = {};
        if (RecordingOutput::planeHeights(planeHeights, picture) >= 0) {
            for (int plane = 0; plane < 4 && picture->data[plane]; ++plane)
                record.picture.append(reinterpret_cast<const char *>(picture->data[plane]),
                                      picture->linesize[plane] * planeHeights[plane]);
        }
        record.checksum = checksum(record.picture.constData(), record.picture.size());
        if (!copy)
            record.picture.clear();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        frames << record;
        changed.notify_all();
    }
    if (behaviour == PutThrows)
        throw std::runtime_error("fake backend failure");
}

void RecordingOutput::State::sessionChanged(Target target)
{
    PutBehaviour behaviour;
    {
        std::lock_guard<std::mutex> guard(lock);
        ++sessionChanges[target];
        behaviour = this->behaviour[target];
        changed.notify_all();
    }
    if (behaviour == PutThrows)
        throw std::runtime_error("fake backend failure");
}

RecordingOutput::RecordingOutput() : m_state(std::make_shared<State>())
{
    install();
}

RecordingOutput::~RecordingOutput()
{
    releaseHeldPuts();
    uninstall();
}

void RecordingOutput::install()
{
    std::shared_ptr<State> state = m_state;
    OutputBackends::setFactory_for_testing([state](const QString &) {
        bool failing[kTargets];
        {
            std::lock_guard<std::mutex> guard(state->lock);
            std::copy(std::begin(state->failing), std::end(state->failing), failing);
        }
        OutputBackends backends;
        if (!failing[Sink])
            backends.webcam = std::make_unique<FakeWebcam>(state);
        if (!failing[Ndi])
            backends.ndi = std::make_unique<FakeBackend<OutputBackend>>(state, Ndi);
        if (!failing[Preview])
            backends.preview = std::make_unique<FakePreview>(state);
        if (!failing[Microphone])
            backends.microphone = std::make_unique<FakeMicrophone>(state);
        return backends;
    });
    m_installed = true;
}

void RecordingOutput::uninstall()
{
    if (m_installed)
        OutputBackends::setFactory_for_testing({});
    m_installed = false;
}

void RecordingOutput::failCreate(Target target)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->failing[target] = true;
}

void RecordingOutput::setWebcamAvailable(bool available)
{
    m_state->webcamAvailable.store(available);
}

void RecordingOutput::setMicrophoneAvailable(bool available, const QString &reason)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->microphoneReason = reason;
    m_state->microphoneAvailable.store(available);
}

void RecordingOutput::setPutBehaviour(Target target, PutBehaviour behaviour)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->behaviour[target] = behaviour;
}

void RecordingOutput::setCopyPictures(bool copy)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->copyPictures = copy;
}

void RecordingOutput::holdPuts(Target target)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->hold[target] = true;
}

bool RecordingOutput::waitForHeldPut(int timeoutMs)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [this] { return m_state->heldNow > 0; });
}

void RecordingOutput::releaseHeldPuts()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    for (bool &hold : m_state->hold)
        hold = false;
    m_state->changed.notify_all();
}

QList<RecordingOutput::Frame> RecordingOutput::frames() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->frames;
}

QList<RecordingOutput::Frame> RecordingOutput::frames(Target target) const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    QList<Frame> result;
    for (const Frame &frame : m_state->frames)
        if (frame.target == target)
            result << frame;
    return result;
}

int RecordingOutput::frameCount(Target target) const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    int count = 0;
    for (const Frame &frame : m_state->frames)
        count += frame.target == target ? 1 : 0;
    return count;
}

bool RecordingOutput::waitForFrames(int count, int timeoutMs, int target) const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        int have = 0;
        for (const Frame &frame : m_state->frames)
            have += (target < 0 || frame.target == target) ? 1 : 0;
        return have >= count;
    });
}

QList<quintptr> RecordingOutput::attachedWindows() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->attachedWindows;
}

QList<bool> RecordingOutput::microphoneSwitches() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->microphoneSwitches;
}

int RecordingOutput::sessionChanges(int target) const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    if (target >= 0)
        return m_state->sessionChanges[target];
    int total = 0;
    for (int count : m_state->sessionChanges)
        total += count;
    return total;
}

int RecordingOutput::backendsAlive() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->backendsAlive;
}

int RecordingOutput::destroyedWhileBusy() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->destroyedWhileBusy;
}

void RecordingOutput::clear()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->frames.clear();
    m_state->attachedWindows.clear();
    m_state->microphoneSwitches.clear();
    for (int &count : m_state->sessionChanges)
        count = 0;
}

int RecordingOutput::planeHeights(int heights[4], const AVFrame *picture)
{
    const AVPixFmtDescriptor *format =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
    if (!format)
        return -1;
    for (int plane = 0; plane < 4; ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        heights[plane] =
            chroma ? AV_CEIL_RSHIFT(picture->height, format->log2_chroma_h) : picture->height;
    }
    return 0;
}

quint64 RecordingOutput::checksum(const void *data, qint64 bytes)
{
    quint64 hash = 1469598103934665603ull;
    const uchar *p = static_cast<const uchar *>(data);
    for (qint64 i = 0; i < bytes; ++i) {
        hash ^= p[i];
        hash *= 1099511628211ull;
    }
    return hash;
}
