#include "engine/H264SpsSize.h"

#include <array>
#include <limits>

namespace {

// Reads bits of an unescaped SPS, most significant first. Reading past the end fails the whole
// read (ok() turns false) rather than inventing zeros.
class BitReader
{
public:
    BitReader(const uint8_t *data, int size) : m_data(data), m_bits(qint64(size) * 8) {}

    bool ok() const { return m_ok; }

    quint32 bits(int count)
    {
        quint32 value = 0;
        for (int i = 0; i < count; ++i) {
            if (m_position >= m_bits) {
                m_ok = false;
                return 0;
            }
            const int bit = (m_data[m_position >> 3] >> (7 - (m_position & 7))) & 1;
            value = (value << 1) | quint32(bit);
            ++m_position;
        }
        return value;
    }

    // Exp-Golomb, unsigned. More than 31 leading zeros is no valid SPS.
    quint32 ue()
    {
        int zeros = 0;
        while (bits(1) == 0) {
            if (!m_ok || ++zeros > 31) {
                m_ok = false;
                return 0;
            }
        }
        return quint32((quint64(1) << zeros) - 1 + bits(zeros));
    }

    qint32 se()
    {
        const quint32 code = ue();
        return (code & 1) ? qint32((code + 1) / 2) : -qint32(code / 2);
    }

private:
    const uint8_t *m_data;
    qint64 m_bits;
    qint64 m_position = 0;
    bool m_ok = true;
};

// Profiles whose SPS carries chroma format, bit depths and scaling matrices.
bool hasChromaInfo(quint32 profile)
{
    switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
        return true;
    default:
        return false;
    }
}

void skipScalingList(BitReader &reader, int size)
{
    qint32 last = 8;
    qint32 next = 8;
    for (int j = 0; j < size && reader.ok(); ++j) {
        if (next != 0)
            next = (last + reader.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

int clampToInt(qint64 value)
{
    return int(qMin<qint64>(value, std::numeric_limits<int>::max()));
}

} // namespace

bool H264SpsSize::fromAvcC(const uint8_t *data, int size, int *width, int *height)
{
    // version, profile, compatibility, level, length size, SPS count, then each SPS with a
    // 16-bit length.
    if (!data || size < 8 || data[0] != 1 || (data[5] & 0x1f) == 0)
        return false;
    const int length = (data[6] << 8) | data[7];
    if (length <= 0 || 8 + length > size)
        return false;
    return fromSps(data + 8, length, width, height);
}

bool H264SpsSize::fromSps(const uint8_t *nal, int size, int *width, int *height)
{
    if (!nal || size < 2 || (nal[0] & 0x1f) != 7)
        return false;
    // Unescape: 00 00 03 stands for 00 00.
    std::array<uint8_t, kMaxSpsBytes> rbsp{};
    int length = 0;
    int zeros = 0;
    for (int i = 1; i < size && length < kMaxSpsBytes; ++i) {
        const uint8_t byte = nal[i];
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        rbsp[size_t(length++)] = byte;
    }

    BitReader reader(rbsp.data(), length);
    const quint32 profile = reader.bits(8);
    reader.bits(16); // constraint flags, level
    if (reader.ue() > 31)
        return false;
    quint32 chromaFormat = 1;
    if (hasChromaInfo(profile)) {
        chromaFormat = reader.ue();
        if (chromaFormat > 3)
            return false;
        if (chromaFormat == 3)
            reader.bits(1); // separate colour planes
        reader.ue();        // luma bit depth
        reader.ue();        // chroma bit depth
        reader.bits(1);     // transform bypass
        if (reader.bits(1)) {
            const int lists = chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists && reader.ok(); ++i)
                if (reader.bits(1))
                    skipScalingList(reader, i < 6 ? 16 : 64);
        }
    }
    reader.ue(); // log2 of the largest frame number, less 4
    const quint32 pocType = reader.ue();
    if (pocType == 0) {
        reader.ue();
    } else if (pocType == 1) {
        reader.bits(1);
        reader.se();
        reader.se();
        const quint32 cycle = reader.ue();
        if (cycle > 255)
            return false;
        for (quint32 i = 0; i < cycle && reader.ok(); ++i)
            reader.se();
    } else if (pocType != 2) {
        return false;
    }
    reader.ue();    // reference frames
    reader.bits(1); // gaps allowed
    const qint64 widthMbs = qint64(reader.ue()) + 1;
    const qint64 heightUnits = qint64(reader.ue()) + 1;
    const qint64 frameMbsOnly = reader.bits(1);
    if (!frameMbsOnly)
        reader.bits(1); // adaptive frame/field
    reader.bits(1);     // direct 8x8 inference
    qint64 cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (reader.bits(1)) {
        cropLeft = reader.ue();
        cropRight = reader.ue();
        cropTop = reader.ue();
        cropBottom = reader.ue();
    }
    if (!reader.ok())
        return false;

    // Cropping counts in chroma samples (luma ones without chroma), rows twice for fields.
    const qint64 cropX = chromaFormat == 1 || chromaFormat == 2 ? 2 : 1;
    const qint64 cropY = (chromaFormat == 1 ? 2 : 1) * (2 - frameMbsOnly);
    const qint64 w = widthMbs * 16 - cropX * (cropLeft + cropRight);
    const qint64 h = heightUnits * 16 * (2 - frameMbsOnly) - cropY * (cropTop + cropBottom);
    if (w <= 0 || h <= 0)
        return false;
    *width = clampToInt(w);
    *height = clampToInt(h);
    return true;
}
