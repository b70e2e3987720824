#pragma once

#include <QtGlobal>

#include <vector>

// Audio as the outputs take it (planar float, one plane per channel) made from interleaved
// signed 16-bit samples, each s as s / 32768 (exact in a float, so s comes back unchanged).
class PlanarAudio
{
public:
    PlanarAudio() = default;
    PlanarAudio(const qint16 *interleaved, int frames, int channels)
        : m_frames(interleaved && frames > 0 && channels > 0 ? frames : 0),
          m_channels(m_frames > 0 ? channels : 0)
    {
        m_planes.assign(static_cast<size_t>(m_channels), std::vector<float>(size_t(m_frames)));
        for (int channel = 0; channel < m_channels; ++channel) {
            for (int i = 0; i < m_frames; ++i)
                m_planes[size_t(channel)][size_t(i)] =
                    interleaved[size_t(i) * size_t(channels) + size_t(channel)] / 32768.0f;
            m_pointers.push_back(m_planes[size_t(channel)].data());
        }
    }
    PlanarAudio(const std::vector<qint16> &interleaved, int channels)
        : PlanarAudio(interleaved.data(), static_cast<int>(interleaved.size()) / channels, channels)
    {
    }
    PlanarAudio(const PlanarAudio &) = delete;
    PlanarAudio &operator=(const PlanarAudio &) = delete;

    // Null without samples.
    const float *const *planes() const { return m_pointers.empty() ? nullptr : m_pointers.data(); }
    int frames() const { return m_frames; }
    int channels() const { return m_channels; }

private:
    int m_frames = 0;
    int m_channels = 0;
    std::vector<std::vector<float>> m_planes;
    std::vector<const float *> m_pointers;
};
