#pragma once

#include "app/LogThrottle.h"
#include "engine/FfmpegPtr.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include <atomic>

// Turns decoded pictures into YUV420P of the session's size with an FFmpeg filter graph
// (buffer source -> "null" or "scale=W:H" -> buffer sink). The graph is built for the size and
// format of the pictures it gets; a picture that differs rebuilds it, so the queues and the
// output never see a change of size or format.
//
// Threads: the video decoding thread only.
class PictureConverter
{
public:
    // The size every converted picture gets.
    void setTarget(int width, int height);
    // True when `frame` has to go through the graph.
    bool needed(const AVFrame *frame) const;
    // Builds the graph for `frame` now (the session's first picture); false when it failed.
    bool prepare(const AVFrame *frame, AVRational timeBase);
    // The converted picture (owned by the converter, valid until finish()), or null (logged,
    // counted) when `frame` could not be converted.
    AVFrame *convert(const AVFrame *frame, AVRational timeBase);
    // Releases the converted picture and drains anything more the graph produced.
    void finish();
    // A new session: no graph, not used.
    void reset();
    // The session's end: frees the graph; used() keeps its answer.
    void release();

    // Any thread: whether a graph has been used this session.
    bool used() const { return m_used.load(); }
    qint64 failures() const { return m_failures.total(); }

private:
    // Builds buffer source -> `filters` -> buffer sink (YUV420P) for `frame`.
    int build(const char *filters, const AVFrame *frame, AVRational timeBase);
    void remember(const AVFrame *frame);

    int m_width = 0;
    int m_height = 0;
    std::atomic<bool> m_used{false};
    AVFilterGraphPtr m_graph;
    AVFilterContext *m_source = nullptr; // owned by m_graph
    AVFilterContext *m_sink = nullptr;   // owned by m_graph
    AVFramePtr m_converted;
    // What the graph was built for (or last failed for).
    int m_graphWidth = 0;
    int m_graphHeight = 0;
    int m_graphFormat = -1;
    LogThrottle m_failures;
};
