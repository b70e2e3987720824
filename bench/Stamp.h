#pragma once

// The stamp the benchmark publisher draws into each picture and the readers of the webcam tap
// decode again: a band of black/white luma blocks at the top of the picture carrying a magic
// byte, the publisher's id, the frame number and the monotonic send time, followed by the same
// bits inverted. A read is accepted only when every bit and its inverted copy disagree, so a
// picture that was scaled, blended or torn never yields a wrong number.
//
// Header only: shared by the publisher, the latency benchmark and the soak runner.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace stamp {

constexpr unsigned kMagic = 0xA5;
constexpr int kMagicBits = 8;
constexpr int kIdBits = 8;
constexpr int kFrameBits = 20; // 9.7 hours at 30 fps
// Microseconds modulo 2^28 (268 s): resolved against the reader's clock, so any latency below
// that reads right.
constexpr int kTimeBits = 28;
constexpr int kPayloadBits = kMagicBits + kIdBits + kFrameBits + kTimeBits;
static_assert(kPayloadBits == 64, "the payload is one 64-bit word");
constexpr int kBlocks = 2 * kPayloadBits;
// Luma of a zero and a one; well inside the limited range so no conversion clips them.
constexpr uint8_t kBlack = 16;
constexpr uint8_t kWhite = 235;
constexpr uint8_t kGrey = 128;
// A block's centre must be clearly dark or clearly light; anything between is a bad read.
constexpr int kDarkBelow = 100;
constexpr int kLightAbove = 150;

// CLOCK_MONOTONIC in microseconds: the same clock in every process of this machine.
inline int64_t nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// 16x16 blocks (one macroblock each) from 640 pixels width on, 8x8 below.
inline int blockSize(int width)
{
    return width >= 640 ? 16 : 8;
}

inline int blocksPerRow(int width)
{
    return width / blockSize(width);
}

// Height of the band in rows of pixels.
inline int bandHeight(int width)
{
    const int perRow = blocksPerRow(width);
    return perRow > 0 ? ((kBlocks + perRow - 1) / perRow) * blockSize(width) : 0;
}

// True when a picture of this size can carry a stamp.
inline bool fits(int width, int height)
{
    return width >= 128 && bandHeight(width) > 0 && bandHeight(width) <= height / 2;
}

struct Value
{
    unsigned id = 0;
    uint32_t frame = 0;
    int64_t sendUs = 0; // full monotonic microseconds once resolved
};

inline uint64_t payloadBits(const Value &value)
{
    const uint64_t time = uint64_t(value.sendUs) & ((uint64_t(1) << kTimeBits) - 1);
    uint64_t bits = kMagic;
    bits = (bits << kIdBits) | (value.id & 0xFF);
    bits = (bits << kFrameBits) | (value.frame & ((1u << kFrameBits) - 1));
    bits = (bits << kTimeBits) | time;
    return bits;
}

// Draws the band into a luma plane (and grey chroma under it, when chroma planes are given).
inline void draw(uint8_t *luma, int lumaStride, uint8_t *u, uint8_t *v, int chromaStride, int width,
                 const Value &value)
{
    const int block = blockSize(width);
    const int perRow = blocksPerRow(width);
    const int band = bandHeight(width);
    for (int y = 0; y < band; ++y)
        std::memset(luma + size_t(y) * lumaStride, kGrey, size_t(width));
    if (u && v) {
        for (int y = 0; y < band / 2; ++y) {
            std::memset(u + size_t(y) * chromaStride, 128, size_t(width / 2));
            std::memset(v + size_t(y) * chromaStride, 128, size_t(width / 2));
        }
    }
    const uint64_t bits = payloadBits(value);
    for (int k = 0; k < kBlocks; ++k) {
        const int bitIndex = k % kPayloadBits; // most significant first
        bool one = (bits >> (kPayloadBits - 1 - bitIndex)) & 1;
        if (k >= kPayloadBits)
            one = !one;
        const int x0 = (k % perRow) * block;
        const int y0 = (k / perRow) * block;
        for (int y = 0; y < block; ++y)
            std::memset(luma + size_t(y0 + y) * lumaStride + x0, one ? kWhite : kBlack,
                        size_t(block));
    }
}

// Reads the band back from a picture of the size it was drawn in. False for a picture without
// a whole, consistent stamp. `nowUs` (the reader's clock) resolves the 28-bit time into the full
// monotonic time.
inline bool read(const uint8_t *luma, int lumaStride, int width, int height, int64_t nowUs,
                 Value *out);

// The same from a picture scaled to width x height after the band was drawn into one of
// sourceWidth x sourceHeight (a webcam of another size than the camera's): each block's centre
// is looked for where the scaling put it.
inline bool readScaled(const uint8_t *luma, int lumaStride, int width, int height, int sourceWidth,
                       int sourceHeight, int64_t nowUs, Value *out)
{
    if (!fits(sourceWidth, sourceHeight) || width <= 0 || height <= 0)
        return false;
    const int block = blockSize(sourceWidth);
    const int perRow = blocksPerRow(sourceWidth);
    const int inner = block / 2;
    const int offset = block / 4;
    // Source coordinates to the picture's; the centre square shrinks with the picture.
    const auto toX = [&](int x) { return int(int64_t(x) * width / sourceWidth); };
    const auto toY = [&](int y) { return int(int64_t(y) * height / sourceHeight); };
    const int innerX = std::max(1, toX(inner));
    const int innerY = std::max(1, toY(inner));
    if (toY(bandHeight(sourceWidth)) > height)
        return false;
    uint64_t bits = 0;
    uint64_t inverted = 0;
    for (int k = 0; k < kBlocks; ++k) {
        const int x0 = toX((k % perRow) * block + offset);
        const int y0 = toY((k / perRow) * block + offset);
        int sum = 0;
        for (int y = 0; y < innerY; ++y) {
            const uint8_t *row = luma + size_t(y0 + y) * lumaStride + x0;
            for (int x = 0; x < innerX; ++x)
                sum += row[x];
        }
        const int mean = sum / (innerX * innerY);
        if (mean >= kDarkBelow && mean <= kLightAbove)
            return false;
        const uint64_t bit = mean > kLightAbove ? 1 : 0;
        if (k < kPayloadBits)
            bits = (bits << 1) | bit;
        else
            inverted = (inverted << 1) | bit;
    }
    if ((bits ^ inverted) != ~uint64_t(0))
        return false;
    if ((bits >> (kPayloadBits - kMagicBits)) != kMagic)
        return false;
    Value value;
    const uint64_t timeMask = (uint64_t(1) << kTimeBits) - 1;
    const uint64_t time = bits & timeMask;
    value.frame = uint32_t((bits >> kTimeBits) & ((1u << kFrameBits) - 1));
    value.id = unsigned((bits >> (kTimeBits + kFrameBits)) & 0xFF);
    // The send time is the latest time at or before now with these low bits.
    const uint64_t now = uint64_t(nowUs);
    value.sendUs = int64_t(now - ((now - time) & timeMask));
    *out = value;
    return true;
}

inline bool read(const uint8_t *luma, int lumaStride, int width, int height, int64_t nowUs,
                 Value *out)
{
    return readScaled(luma, lumaStride, width, height, width, height, nowUs, out);
}

} // namespace stamp
