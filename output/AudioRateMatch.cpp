#include "output/AudioRateMatch.h"

#include "output/AudioRing.h"
#include "output/OutputLog.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>

namespace {

QString ffmpegError(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromUtf8(text);
}

} // namespace

double AudioRateMatch::ratioFor(double errorMs)
{
    // From nothing at the dead band's edge, so that a queue drifting slowly (two clocks a few
    // hundred ppm apart) is held there with a change far too small to hear.
    // Too little is let be longer: it is mostly a step the delivery took (sound came later once
    // and its delay rose), already heard, and the reserve has room for it; slowing down to
    // refill it would only bend the pitch.
    if (errorMs <= kDeadbandMs && errorMs >= -kDeficitBandMs)
        return 0.0;
    const double beyond = errorMs > 0 ? errorMs - kDeadbandMs : errorMs + kDeficitBandMs;
    return std::clamp(beyond / kSettleMs, -kMaxRatio, kMaxRatio);
}

bool AudioRateMatch::configure(int sampleRate, int channels)
{
    m_swr.reset();
    m_rate = sampleRate;
    m_channels = channels;
    restart();
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    SwrContext *swr = nullptr;
    // The one conversion the microphone's sound needs (planar float to the node's S16) is
    // done here, in the pass that runs for the compensation anyway.
    int res = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, sampleRate, &layout,
                                  AV_SAMPLE_FMT_FLTP, sampleRate, 0, nullptr);
    outputffmpeg::SwrContextPtr owner(swr);
    if (res >= 0 && (channels <= 0 || channels > kMaxChannels))
        res = AVERROR(EINVAL); // more planes than a write hands over
    if (res >= 0)
        // Resample even at one rate, so that the compensation can act.
        res = av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
    if (res >= 0)
        res = swr_init(swr);
    av_channel_layout_uninit(&layout);
    // A chunk at the fastest rate and swresample's filter delay fit; the fallback without
    // swresample converts into it too.
    m_out.assign(static_cast<size_t>(kChunkFrames * (1.0 + 2 * kMaxRatio) + 256) *
                     static_cast<size_t>(std::max(channels, 0)),
                 0);
    if (res < 0) {
        qCWarning(lcOutput) << "MIC: rate matching not available:" << sampleRate << "Hz" << channels
                            << "channels:" << ffmpegError(res);
        return false;
    }
    m_swr = std::move(owner);
    return true;
}

void AudioRateMatch::restart()
{
    m_averageFill = -1.0;
    m_baselineFill = -1.0;
    m_primingsSeen = -1;
    m_readsSeen = -1;
    m_ratio = 0.0;
    m_carry = 0.0;
}

int AudioRateMatch::writeUnmatched(AudioRing &ring, const float *const *planes, int from,
                                   int frames)
{
    const int channels = ring.channels();
    if (channels <= 0 || m_channels != channels || m_out.empty())
        return 0;
    const int chunk = static_cast<int>(m_out.size() / static_cast<size_t>(channels));
    int written = 0;
    for (int done = 0; done < frames;) {
        const int in = std::min(chunk, frames - done);
        for (int channel = 0; channel < channels; ++channel) {
            const float *plane = planes[channel] + from + done;
            qint16 *out = m_out.data() + channel;
            for (int i = 0; i < in; ++i, out += channels)
                *out = static_cast<qint16>(
                    std::lrint(std::clamp(plane[i] * 32768.0f, -32768.0f, 32767.0f)));
        }
        written += ring.write(m_out.data(), in);
        done += in;
    }
    return written;
}

int AudioRateMatch::write(AudioRing &ring, const float *const *samples, int frames)
{
    if (!samples || frames <= 0)
        return 0;
    const qint64 primings = ring.primings();
    const qint64 reads = ring.reads();
    const qint64 fillSum = ring.fillSum();
    const double frameMs = 1000.0 / std::max(1, ring.sampleRate());
    if (primings != m_primingsSeen) {
        // The queue (re)started at its prime level: the level it then keeps by itself is the
        // one to hold, measured first. Nothing is corrected meanwhile.
        m_primingsSeen = primings;
        m_baselineFill = -1.0;
        m_baselineSum = 0.0;
        m_baselineReads = 0;
        m_baselineFrames = 0;
        m_averageFill = -1.0;
        m_ratio = 0.0;
    }
    if (m_readsSeen >= 0 && reads > m_readsSeen) {
        // Only while somebody listens: an idle queue says nothing about the rates. All the reads
        // since the last write count, as the reads fall into the writes' rhythm: one of them
        // alone would always be the same one of its period.
        const double sum = double(fillSum - m_fillSumSeen);
        const double fill = sum / double(reads - m_readsSeen);
        if (m_baselineFill < 0) {
            m_baselineSum += sum;
            m_baselineReads += reads - m_readsSeen;
            m_baselineFrames += frames;
            if (m_baselineFrames * frameMs >= kAverageMs) {
                m_baselineFill = m_baselineSum / double(m_baselineReads);
                m_averageFill = m_baselineFill;
            }
        } else {
            const double weight = std::min(1.0, frames * frameMs / kAverageMs);
            m_averageFill += weight * (fill - m_averageFill);
            const double errorMs = (m_averageFill - m_baselineFill) * frameMs;
            if (errorMs > kMaxExcessMs) {
                // Far too much at once: one cut now rather than seconds of too much delay.
                ring.countCut(frames);
                m_averageFill -= frames;
                m_adjusted -= frames;
                m_readsSeen = reads;
                m_fillSumSeen = fillSum;
                return 0;
            }
            m_ratio = ratioFor(errorMs);
        }
    }
    m_readsSeen = reads;
    m_fillSumSeen = fillSum;
    if (!m_swr || !configuredFor(ring.sampleRate(), ring.channels()))
        return writeUnmatched(ring, samples, 0, frames);

    int written = 0;
    for (int done = 0; done < frames;) {
        const int in = std::min(kChunkFrames, frames - done);
        // Fewer frames out than in to play faster; swresample asks for whole frames.
        const double wanted = -m_ratio * in + m_carry;
        const int delta = static_cast<int>(std::lround(wanted));
        m_carry = wanted - delta;
        int res = swr_set_compensation(m_swr.get(), delta, in);
        // One pointer per plane, `done` frames in; a frame has at most kMaxChannels planes.
        const uint8_t *input[kMaxChannels] = {};
        for (int channel = 0; channel < m_channels && channel < kMaxChannels; ++channel)
            input[channel] = reinterpret_cast<const uint8_t *>(samples[channel] + done);
        uint8_t *output[1] = {reinterpret_cast<uint8_t *>(m_out.data())};
        const int capacity = static_cast<int>(m_out.size() / static_cast<size_t>(m_channels));
        if (res >= 0)
            res = swr_convert(m_swr.get(), output, capacity, input, in);
        if (res < 0) {
            // Hand the audio over as it is rather than lose it.
            if (m_lastSwrError == 0)
                qCWarning(lcOutput) << "MIC: rate matching failed:" << ffmpegError(res);
            m_lastSwrError += in;
            if (m_lastSwrError > 10 * ring.sampleRate())
                m_lastSwrError = 0;
            written += writeUnmatched(ring, samples, done, in);
            done += in;
            continue;
        }
        m_adjusted += res - in;
        written += ring.write(m_out.data(), res);
        done += in;
    }
    return written;
}
