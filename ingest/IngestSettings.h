#pragma once

#include "ingest/SrtOptions.h"

#include <QByteArray>

// What the listener needs of the user's settings, handed to it as a value by whoever builds
// the program. Admission values apply to the next camera, not to one already streaming; a new
// stream key ends the sessions that were let in without it.
struct IngestSettings
{
    // Audio is not decoded; the stream carries video only.
    bool ignoreAudio = false;
    // The chosen camera type is Mevo: audio discovery waits for the audio stream.
    bool mevo = false;
    // Buffer bounds in milliseconds, with audio and with audio ignored.
    int maxBufferMs = 2000;
    int maxBufferIgnoreAudioMs = 300;
    // The key every camera must name (RTMP stream name, SRT streamid); empty: none required.
    QByteArray streamKey;
    // The SRT listener, applied when listening starts; port 0 leaves SRT off.
    SrtOptions srt;

    int bufferBoundMs() const { return ignoreAudio ? maxBufferIgnoreAudioMs : maxBufferMs; }
};
