#pragma once

#include <QByteArray>

// FFmpeg's own log lines (av_log from the demuxer, decoders, the network layer) go through a
// callback that lets each distinct line through once per second and then reports how often it
// was repeated: a hostile stream that makes the decoder complain on every packet writes a few
// lines a second, not thousands. Lines are formatted into fixed buffers, compared with the few
// most recent distinct lines, and handed to FFmpeg's default callback.
//
// A text registered with setMaskedText (the stream key: FFmpeg's RTMP intake logs the stream
// name a publisher used) is replaced by "****" in every line before it is compared or written.
//
// Any thread (FFmpeg calls it from every thread that uses it); one mutex, no allocation in the
// callback.
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
