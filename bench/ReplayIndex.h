#pragma once

// What the stamped publisher's --write log says of a stream encoded before the run: each
// picture's stamp and where its span ends from the file's start, which is when a real-time
// replay sends it, counted from the replay's clock start (bench/Replay.h). Plus the matching
// of a stamp read back against the logged one, and the percentile the benchmarks print.
// Header only, shared by the latency and the several-cameras benchmarks. Any thread.

#include "Stamp.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace bench {

struct ReplayIndex
{
    // frame -> (stamped send time, due time from the file's start), both in microseconds.
    std::map<uint32_t, std::pair<int64_t, int64_t>> frames;
    std::set<uint32_t> keyframes;
};

// The writer's "F <frame> <send us> <due us> <key>" lines; empty when the file cannot be read.
inline ReplayIndex readReplayIndex(const QString &path)
{
    ReplayIndex index;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return index;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 4 || f.at(0) != "F")
            continue;
        const uint32_t frame = uint32_t(f.at(1).toLongLong());
        index.frames[frame] = {f.at(2).toLongLong(), f.at(3).toLongLong()};
        if (f.size() >= 5 && f.at(4).trimmed() == "1")
            index.keyframes.insert(frame);
    }
    return index;
}

// Whether a stamp read from the webcam is the one the publisher logged: the stamp keeps the
// time's low bits only, and a file replayed minutes after it was made resolves them to
// another period of them.
inline bool sameStamp(int64_t loggedUs, int64_t readUs)
{
    constexpr int64_t kMask = (int64_t(1) << stamp::kTimeBits) - 1;
    return ((loggedUs ^ readUs) & kMask) == 0;
}

// The value at fraction p (0..1) of the sorted values, nearest rank; NAN for none.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

} // namespace bench
