#pragma once

#include "output/OutputFfmpegPtr.h"

#include <QtGlobal>

#include <vector>

class AudioRing;

// Keeps the microphone's queue (an AudioRing) at its level by playing the camera's sound
// imperceptibly faster or slower, at most kMaxRatio (libswresample's compensation), instead of
// cutting pieces out when it has too much or running dry when it has too little. Too much comes
// when the delivery lowers sound's delay, or when its clock runs faster than the sound card's;
// too little when the sound card's runs faster, or the server asks for more at a time.
//
// The queue is judged as the consumer finds it before its reads (AudioRing::fillSum),
// averaged over about kAverageMs, against the level it settled at over the first kAverageMs
// after it last primed (which the ring sizes for the bursts and quanta it sees): so a queue
// that plays steadily is never touched, and within kDeadbandMs of that level the rate stays. An
// excess of more than kMaxExcessMs (the delivery skipping far ahead at once) is dropped in one cut,
// as playing it out at 1 % would take many seconds of too much delay.
//
// Threads: the producer's (the delivery thread, through the microphone's putLive), the ring's
// producer side only. configure() allocates; write() does not (swresample's buffers are sized by
// the first writes of a format).
class AudioRateMatch
{
public:
    static constexpr double kMaxRatio = 0.01;
    // The queue's error is closed over about this time, never faster than kMaxRatio.
    static constexpr double kSettleMs = 6000.0;
    static constexpr double kDeadbandMs = 6.0;
    static constexpr double kDeficitBandMs = 15.0;
    static constexpr double kAverageMs = 500.0;
    static constexpr double kMaxExcessMs = 100.0;
    // Frames converted per call into swresample; longer writes go in pieces.
    static constexpr int kChunkFrames = 4096;
    // Planes one write may carry (more channels are refused at configure()).
    static constexpr int kMaxChannels = 8;

    // Pure: how much faster to play (negative: slower) for a queue `errorMs` above its goal.
    static double ratioFor(double errorMs);

    AudioRateMatch() = default;
    AudioRateMatch(const AudioRateMatch &) = delete;
    AudioRateMatch &operator=(const AudioRateMatch &) = delete;

    // For the ring's format; false (logged) when swresample cannot be set up: then write() hands
    // the audio over unchanged.
    bool configure(int sampleRate, int channels);
    bool configuredFor(int sampleRate, int channels) const
    {
        return m_rate == sampleRate && m_channels == channels;
    }
    // A new session: the queue starts again from its prime level.
    void restart();

    // Writes `frames` frames of planar float (one plane per channel) into `ring` (whose format
    // it was configured for) as its signed 16-bit, adjusted to the queue's level, in one
    // swresample pass. Returns the frames the ring took.
    int write(AudioRing &ring, const float *const *samples, int frames);

    // Frames played more (positive) or fewer (negative) than were handed over, so far.
    qint64 framesAdjusted() const { return m_adjusted; }
    // The rate change in use (tests, statistics).
    double ratio() const { return m_ratio; }

private:
    // Without swresample: converted (clipped) to the ring's format, not rate-matched.
    int writeUnmatched(AudioRing &ring, const float *const *planes, int from, int frames);

    outputffmpeg::SwrContextPtr m_swr;
    int m_rate = 0;
    int m_channels = 0;
    std::vector<qint16> m_out;
    double m_averageFill = -1.0; // frames; < 0: no read seen yet
    // The level the queue settled at after it last primed (< 0 while it is measured).
    double m_baselineFill = -1.0;
    double m_baselineSum = 0.0;
    qint64 m_baselineReads = 0;
    qint64 m_baselineFrames = 0;
    qint64 m_primingsSeen = -1;
    qint64 m_readsSeen = -1;
    qint64 m_fillSumSeen = 0;
    double m_ratio = 0.0;
    double m_carry = 0.0; // fraction of a frame of compensation not yet asked for
    qint64 m_adjusted = 0;
    qint64 m_lastSwrError = 0; // frames since the last logged swresample failure
};
