#pragma once

#include "engine/DeliverySink.h"
#include "engine/OutputSink.h"

#include <QByteArray>
#include <QList>
#include <QVector>

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>

// Records what reaches it, from any thread: as the delivery policy's sink (deliver) and as the
// program's output (OutputSink). Puts can be held, to keep a delivery thread inside one put.
class RecordingSink : public DeliverySink, public OutputSink
{
public:
    struct Frame
    {
        int width = 0;
        int height = 0;
        int stride = 0;
        int luma = -1;           // first byte of the picture
        QByteArray picture;      // the whole picture when copyPictures is on
        QVector<qint16> samples; // interleaved
        QVector<float> audio;    // interleaved, as the delivery policy hands it (deliver)
        int channels = 0;
        int sampleRate = 0;
        qint64 pictureMs = -1;
        bool newPicture = false;
        int rateNum = 0; // the output's frame rate when the frame arrived (OutputSink only)
        int rateDen = 0;
    };

    bool copyPictures = false;
    // What the output reports as the delay its sound adds (OutputSink).
    std::atomic<int> audioDelayMs{0};
    int audioOutputDelayMs() const override { return audioDelayMs.load(); }

    void deliver(const DeliveredFrame &frame) override
    {
        // A picture counts as sent when it is a new one; the one on show again is not.
        const AVFrame *picture = frame.newPicture ? frame.picture : nullptr;
        record(picture ? picture->data[0] : nullptr, picture ? picture->width : 0,
               picture ? picture->height : 0, picture ? picture->linesize[0] : 0, nullptr,
               frame.samples, frame.sampleRate, frame.channels, frame.pictureMs, frame.newPicture,
               frame.audio);
    }
    void sendFrame(const OutputFrame &frame) override
    {
        // The output's planar float back as interleaved 16-bit (exact for 16-bit sources).
        QVector<qint16> interleaved;
        if (frame.audio && frame.samples > 0 && frame.channels > 0) {
            interleaved.resize(frame.samples * frame.channels);
            for (int channel = 0; channel < frame.channels; ++channel)
                for (int i = 0; i < frame.samples; ++i)
                    interleaved[i * frame.channels + channel] = static_cast<qint16>(std::lrint(
                        std::clamp(frame.audio[channel][i] * 32768.0f, -32768.0f, 32767.0f)));
        }
        const qint16 *audio = frame.audio ? interleaved.constData() : nullptr;
        const AVFrame *picture = frame.picture;
        if (!picture) {
            record(nullptr, 0, 0, 0, audio, frame.samples, frame.sampleRate, frame.channels, -1,
                   false);
            return;
        }
        // The engine hands its pictures over as YUV420P, planes one after the other.
        record(picture->data[0], picture->width, picture->height, picture->linesize[0], audio,
               frame.samples, frame.sampleRate, frame.channels, -1, true);
    }
    void setFrameRate(int num, int den) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_rateNum = num;
        m_rateDen = den;
    }
    void setStreamLive(bool live) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_live = live;
        ++m_liveChanges;
    }

    void hold()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_hold = true;
    }
    bool waitForHeld(int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_wake.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                               [this] { return m_held; });
    }
    void release()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_hold = false;
        m_wake.notify_all();
    }

    int count() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames.size();
    }
    QList<Frame> frames() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames;
    }
    Frame last() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames.isEmpty() ? Frame() : m_frames.last();
    }
    // The last frame that carried a picture (audio can go without one).
    Frame lastPicture() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int i = m_frames.size() - 1; i >= 0; --i)
            if (m_frames.at(i).luma >= 0)
                return m_frames.at(i);
        return Frame();
    }
    bool live() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_live;
    }
    int liveChanges() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_liveChanges;
    }

private:
    void record(const uchar *video, int width, int height, int stride, const qint16 *audio,
                int samples, int sampleRate, int channels, qint64 pictureMs, bool newPicture,
                const float *const *planar = nullptr)
    {
        Frame frame;
        frame.width = width;
        frame.height = height;
        frame.stride = stride;
        frame.luma = video ? video[0] : -1;
        if (copyPictures && video && stride > 0)
            frame.picture = QByteArray(reinterpret_cast<const char *>(video),
                                       stride * height + 2 * (stride / 2) * ((height + 1) / 2));
        if (audio && channels > 0)
            frame.samples = QVector<qint16>(audio, audio + qint64(samples) * channels);
        if (planar && channels > 0) {
            frame.audio.reserve(samples * channels);
            for (int i = 0; i < samples; ++i)
                for (int channel = 0; channel < channels; ++channel)
                    frame.audio.append(planar[channel][i]);
        }
        frame.channels = audio || planar ? channels : 0;
        frame.sampleRate = audio || planar ? sampleRate : 0;
        frame.pictureMs = pictureMs;
        frame.newPicture = newPicture;
        std::unique_lock<std::mutex> guard(m_lock);
        frame.rateNum = m_rateNum;
        frame.rateDen = m_rateDen;
        if (m_hold) {
            m_held = true;
            m_wake.notify_all();
            m_wake.wait(guard, [this] { return !m_hold; });
            m_held = false;
        }
        m_frames.append(frame);
    }

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    QList<Frame> m_frames;
    bool m_hold = false;
    bool m_held = false;
    bool m_live = false;
    int m_liveChanges = 0;
    int m_rateNum = 0;
    int m_rateDen = 0;
};
