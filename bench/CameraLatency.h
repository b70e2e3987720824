#pragma once

// One camera's figures from what the stand-in webcams recorded (bench/StampReadingWebcams.h):
// the pictures of its publisher id written within a window, each counted and timed at its
// first write only (a picture written again is no new picture), matched to the replay's index
// by frame number and stamp, with its wire -> webcam latency from when the replay's clock sent
// it. Header only, pure; any thread.

#include "ReplayIndex.h"
#include "StampReadingWebcams.h"

#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

namespace bench {

struct CameraFigures
{
    int pictures = 0;      // distinct pictures written to any webcam in the window
    int device = -1;       // the webcam most of them went to (-1: none)
    double medianMs = NAN; // wire -> webcam
    double p95Ms = NAN;
};

// The writes of publisher `id` in [fromUs, toUs]; the replay's clock started at originUs.
// Devices 0 and 1 are told apart.
inline CameraFigures cameraFigures(const std::vector<StampReadingWebcams::Write> &writes,
                                   unsigned id, const ReplayIndex &index, int64_t originUs,
                                   int64_t fromUs, int64_t toUs)
{
    CameraFigures f;
    std::set<uint32_t> seen;
    std::vector<double> latency;
    int perDevice[2] = {0, 0};
    for (const StampReadingWebcams::Write &w : writes) {
        if (w.id != id || w.writeUs < fromUs || w.writeUs > toUs)
            continue;
        const auto it = index.frames.find(w.frame);
        if (it == index.frames.end() || !sameStamp(it->second.first, w.sendUs))
            continue;
        if (!seen.insert(w.frame).second)
            continue;
        if (w.device >= 0 && w.device < 2)
            ++perDevice[w.device];
        latency.push_back(double(w.writeUs - (originUs + it->second.second)) / 1000.0);
    }
    f.pictures = int(seen.size());
    if (f.pictures > 0)
        f.device = perDevice[1] > perDevice[0] ? 1 : 0;
    f.medianMs = percentile(latency, 0.5);
    f.p95Ms = percentile(latency, 0.95);
    return f;
}

} // namespace bench
