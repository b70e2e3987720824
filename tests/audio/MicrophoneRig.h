#pragma once

#include "PipeWireDaemon.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <cmath>
#include <memory>

// The whole program with its microphone for one test: a private PipeWire, `quorvix <port>
// Other` offscreen with settings in a private folder (its SRT listener on a port of the test's
// or off), and a camera: the ffmpeg CLI sending a sine of known pitch and level (AAC) with a
// green picture, by RTMP, by SRT with ffmpeg's default TS muxing, or through srt-live-transmit.
// Everything it starts stops with the object. Test thread only; waits run the event loop.
class MicrophoneRig
{
public:
    static constexpr const char *kNode = "quorvix_microphone"; // the microphone's node.name
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer build runs the program several times slower, too slow to keep real time: its
    // dropouts are reported, not held against it.
    static constexpr bool kRealTime = false;
#else
    static constexpr bool kRealTime = true;
#endif
    static constexpr double kToneHz = 1000.0;
    // lavfi's sine has amplitude 1/8; volume=4 makes it 0.5: -9.03 dBFS RMS.
    static double toneRmsDbfs()
    {
        return 20 * std::log10(0.5 / std::sqrt(2.0));
    }

    enum class Transport
    {
        Rtmp,            // FLV to rtmp://127.0.0.1:<port>/@/@
        Srt,             // MPEG-TS, ffmpeg's default muxing, ffmpeg as the SRT caller
        SrtLiveTransmit, // the same TS over UDP into srt-live-transmit, which calls the program
    };

    // The camera's sound: the sine at `rate` with `layout` one of "mono", "stereo", "left"
    // (stereo, right channel silent) or "5.1 centre" (5.1, the tone in the centre only).
    struct Camera
    {
        Transport transport = Transport::Rtmp;
        int rate = 48000;
        QString layout = QStringLiteral("stereo");
        double seconds = 8;
    };

    MicrophoneRig();
    ~MicrophoneRig();

    MicrophoneRig(const MicrophoneRig &) = delete;
    MicrophoneRig &operator=(const MicrophoneRig &) = delete;

    // Whether the folder, ports and daemon object were set up.
    bool valid() const
    {
        return m_valid;
    }
    // Empty when everything the rig needs for `transport` is installed, else what is missing.
    static QString missing(Transport transport);

    PipeWireDaemon &daemon()
    {
        return *m_daemon;
    }
    QProcess &program()
    {
        return *m_program;
    }
    QString filePath(const QString &name) const
    {
        return m_dir.filePath(name);
    }
    QByteArray log() const
    {
        return m_log;
    }
    quint16 port() const
    {
        return m_port;
    }

    bool startDaemon();
    // Starts the program (SRT listening when `srt`) and waits until it serves. A tap path
    // turns on the webcam tap (a YUV4MPEG2 FIFO).
    bool startProgram(bool srt = false, const QString &tapPath = QString());
    // Waits for the microphone node to be listed.
    bool waitForNode(int timeoutMs = 20000);
    // Starts the camera's publisher(s): false when one did not start.
    bool startCamera(const Camera &camera);
    // The camera's pictures reach the output (the state line names its size).
    bool waitForCamera(int timeoutMs = 30000);
    // The publisher ended by itself within the time (its -t).
    bool waitForCameraEnd(int timeoutMs);
    bool cameraRunning() const;
    void stopCamera();
    // SIGTERM to the program; true when it ended with exit code 0 in time.
    bool quitProgram(int timeoutMs = 10000);

    // Starts the recorders ("pw-record", "parecord") on the microphone together and stops them
    // once each file holds `seconds` of audio (48 kHz stereo S16). The files are named
    // "<name>-<recorder>.wav" in the rig's folder; their paths, or none with *error when a
    // recorder did not start, fill in time or end on its signal.
    QStringList record(const QStringList &recorders, const QString &name, double seconds,
                       QString *error, int timeoutMs = 30000);
    // Cycles of the last take in which the server was late for a recorder while the microphone
    // was on time (PipeWireDaemon::cyclesMissedBesides): each may break the recorders' tone.
    int serverMissedCycles() const
    {
        return m_missedCycles;
    }

    static QStringList publisherArguments(const Camera &camera, const QStringList &output);

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PipeWireDaemon> m_daemon;
    std::unique_ptr<QProcess> m_program;
    std::unique_ptr<QProcess> m_publisher;
    std::unique_ptr<QProcess> m_transmit; // srt-live-transmit between publisher and program
    QByteArray m_log;
    quint16 m_port = 0;
    quint16 m_srtPort = 0;
    int m_missedCycles = 0;
    bool m_valid = false;
};
