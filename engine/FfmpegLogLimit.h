#pragma once

#include <QByteArray>
#include <QLoggingCategory>

// FFmpeg's own log lines (av_log from the demuxer, decoders, the network layer) go through a
// callback that puts each whole line into the Qt category "quorvix.ffmpeg": errors and worse
// as warnings, warnings as info lines (FFmpeg warns about much this program expects, such as a
// publisher's app name), everything else as debug lines, off by default
// (QT_LOGGING_RULES="quorvix.ffmpeg.debug=true" shows them). Pieces of one line (a stream dump
// is written in parts) are joined first, per thread.
//
// Each distinct line is let through once per second, and how often it was repeated is reported
// after: a hostile stream that makes the decoder complain on every packet writes a few lines a
// second, not thousands. Lines are formatted into fixed buffers and compared with the few most
// recent distinct lines.
//
// A text registered with setMaskedText (the stream key: FFmpeg's RTMP intake logs the stream
// name a publisher used) is replaced by "****" in every line before it is compared or written.
//
// Any thread (FFmpeg calls it from every thread that uses it); one mutex, no allocation in the
// callback before a line is let through.
Q_DECLARE_LOGGING_CATEGORY(lcFfmpeg)

namespace FfmpegLogLimit {

// Installs the callback (idempotent). Call once, before the first FFmpeg use.
void install();

// Any thread (the GUI thread, when the key changes): the text to hide from now on; empty hides
// nothing. Only its first kMaxMaskedBytes bytes are kept: no line is longer than that.
constexpr int kMaxMaskedBytes = 511;
void setMaskedText(const QByteArray &text);

// Lines let through and lines held back so far (tests, diagnostics).
long long passedLines();
long long heldLines();

} // namespace FfmpegLogLimit
