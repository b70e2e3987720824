#pragma once

#include "PipeWireDaemon.h"

#include <QProcess>
#include <QString>

// A recorder program on a PipeWire source, as a user runs it: pw-record (PipeWire's own API)
// or parecord (the PulseAudio API through pipewire-pulse), 48 kHz stereo S16 WAV, stopped
// with SIGINT. The destructor stops it too. Test thread only.
class Recorder
{
public:
    Recorder(const PipeWireDaemon &daemon, const QString &program, const QString &node,
             const QString &path);
    ~Recorder();

    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    bool started();
    // SIGINT and a bounded wait (then SIGKILL); true when the recorder ended by itself.
    bool stop();

private:
    QProcess m_process;
};
