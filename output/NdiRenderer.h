#pragma once

#include "output/NdiApi.h"
#include "output/OutputBackend.h"
#include "output/OutputFfmpegPtr.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

class NdiRuntime;

// The NDI renderer: one NDI sender named after the source name. The sender is created on the
// first frame (clocks off: the program paces its frames itself) and sends each picture with
// the stream's exact frame rate: as it is when NDI takes its layout (I420, NV12 or UYVY in one
// buffer), else after one conversion into I420 in a buffer allocated once per geometry; and
// the frame's audio as the planar float it already is.
//
// Created and named on the GUI thread. Pictures (live and card) come from the video-out thread,
// sound from the playout thread. The runtime takes video and audio on one sender from two
// threads at once, so the sound never waits behind a picture's synchronous send: each kind has
// its own lock, and the sender itself is only shared between them. Creating or renaming the
// sender needs it alone; sound that meets that (rare: the first frame, a rename) is dropped and
// counted rather than waiting.
class NdiRenderer final : public OutputBackend
{
public:
    // Rate given to frames that carry none (the no-signal card).
    static constexpr int kDefaultRateNum = 30;
    static constexpr int kDefaultRateDen = 1;
    // A sender the runtime refused is asked for again after this long, not on every frame.
    static constexpr int kSenderRetryMs = 3000;
    // Bounds of one frame's audio; larger descriptions are dropped rather than allocated for.
    static constexpr int kMaxAudioChannels = 16;
    static constexpr int kMaxAudioSamples = 192000;

    explicit NdiRenderer(std::unique_ptr<NdiRuntime> runtime);
    ~NdiRenderer() override;

    // The NDI source name (not empty; false otherwise). A new name takes effect with the next
    // frame. Any thread.
    bool setSourceName(const QString &name);

    void putLive(const OutputFrame &frame) override { put(frame, true); }
    void putCard(const OutputFrame &frame) override { put(frame, false); }

    // Observers for tests and benchmarks; any thread.
    qint64 framesSent() const { return m_framesSent.load(); }
    qint64 framesDropped() const { return m_framesDropped.load(); }
    // Pictures that needed the conversion (not sent as they were).
    qint64 conversions() const { return m_conversions.load(); }

private:
    bool put(const OutputFrame &frame, bool wait);
    bool putPicture(const OutputFrame &frame, bool wait);
    bool putSound(const OutputFrame &frame);
    // Takes the sender for one send: `shared` when it exists under the current name, else
    // `exclusive` after creating it. False (nothing held) when there is none or, without
    // `wait`, when another thread has the lock the step needs.
    bool lockSender(std::shared_lock<std::shared_mutex> &shared,
                    std::unique_lock<std::shared_mutex> &exclusive, bool wait);
    // The sender exists under the name last set; under m_senderLock, shared or exclusive.
    bool senderCurrent() const;
    // The sender, created with the current name if there is none; null while refused. Under
    // m_senderLock held exclusively.
    bool ensureSender();
    void destroySender();
    // Under m_soundLock and m_senderLock (shared or exclusive).
    void sendAudio(const OutputFrame &frame);
    // The picture as I420 in m_converted, or null (logged) when libswscale cannot convert it.
    // Under m_pictureLock.
    const uint8_t *convert(const AVFrame *picture);

    const std::unique_ptr<NdiRuntime> m_runtime;

    // The name the source should have; written on the GUI thread.
    std::mutex m_nameLock;
    QByteArray m_sourceName;                  // UTF-8; under m_nameLock
    std::atomic<quint64> m_nameGeneration{1}; // bumped with each new name

    // -- The sender: shared while sending, exclusive to create, rename or destroy it.
    mutable std::shared_mutex m_senderLock;
    NDIlib_send_instance_t m_sender = nullptr;
    quint64 m_senderGeneration = 0; // the name generation m_sender was created with
    QElapsedTimer m_sinceRefused;
    quint64 m_refusedGeneration = 0;

    // -- One picture at a time: the conversion's state.
    std::mutex m_pictureLock;
    outputffmpeg::SwsContextPtr m_sws;
    std::vector<uint8_t> m_converted; // the converted picture, sized per geometry
    int m_convertedFormat = -1;       // what m_sws and m_converted were made for
    int m_convertedWidth = 0;
    int m_convertedHeight = 0;
    int m_convertedRange = -1;

    // -- One sound frame at a time.
    std::mutex m_soundLock;
    std::vector<float> m_planar; // audio planes gathered, grown to the largest frame seen

    std::atomic<qint64> m_framesSent{0};
    std::atomic<qint64> m_framesDropped{0};
    std::atomic<qint64> m_conversions{0};
};

// The NDI renderer over the runtime, or null (logged) when no runtime is usable; the output
// object then logs its "failed to create NDI" line. GUI thread.
std::unique_ptr<NdiRenderer> createNdiRenderer();
