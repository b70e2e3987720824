#pragma once

#include <QtGlobal>

#include <atomic>

// The times one session's stages hand each other, on the session clock (milliseconds since
// the session's first packet). Each field has one writer, named below; any thread reads.
struct SessionTimeline
{
    std::atomic<qint64> startPtsMs{-1};  // intake (manager thread): the session's origin
    std::atomic<qint64> lastVideoMs{-1}; // video decoder: newest picture queued
    std::atomic<qint64> lastAudioMs{-1}; // audio decoder: newest audio queued
    std::atomic<qint64> clockMs{-1};     // delivery: where the output stands

    void reset()
    {
        startPtsMs = -1;
        lastVideoMs = -1;
        lastAudioMs = -1;
        clockMs = -1;
    }
};
