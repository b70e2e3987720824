#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

#include <memory>

struct AVFrame;

// A recording fake of the output backends, installed behind OutputBackends::create: every
// OutputRouter built while it is installed gets a recording webcam, NDI, preview and microphone,
// which record each frame they are given with a copy of its picture and audio, and each session
// change. Missing, failing and slow backends can be configured per backend.
//
//     RecordingOutput output;          // installs itself; the destructor uninstalls
//     OutputRouter cam("Quorvix", nullptr);
//     ... drive the code under test ...
//     QVERIFY(output.waitForFrames(10));
//     const auto frames = output.frames(RecordingOutput::Sink);
//
// Configure before the OutputRouter is built (put behaviour, holds, copying and the webcam's device
// state may change at any time). All functions are thread-safe; puts may come from any thread.
// Fake backends outlive the RecordingOutput safely (they share its state).
class RecordingOutput
{
public:
    enum Target
    {
        Sink,
        Ndi,
        Preview,
        Microphone
    };
    static constexpr int kTargets = 4;

    enum PutBehaviour
    {
        PutOk,
        // The backend records the frame (or the session change), then throws.
        PutThrows
    };

    struct Frame
    {
        Target target = Sink;
        bool live = false; // putLive (true) or putCard
        int width = 0;
        int height = 0;
        int rowBytes = 0;     // the luma line size as handed over
        int pixelFormat = -1; // AVPixelFormat; -1 without a picture
        int rateNum = 0;
        int rateDen = 0;
        int channels = 0;
        int sampleRate = 0;
        bool audioAdded = false;     // the frame carried audio
        QVector<qint16> samples;     // interleaved, samples per channel x channels
        QByteArray picture;          // the planes as handed over, each with its line size, one
                                     // after the other (empty when not copied)
        quint64 checksum = 0;        // FNV-1a 64 of those bytes
        const void *video = nullptr; // the first plane the backend was pointed at
        qint64 putMs = 0;            // steady clock at the put, in milliseconds
    };

    RecordingOutput();
    ~RecordingOutput();
    RecordingOutput(const RecordingOutput &) = delete;
    RecordingOutput &operator=(const RecordingOutput &) = delete;

    void install();
    void uninstall();

    // -- configuration
    // The factory leaves that backend null (the webcam without a device node, no NDI runtime).
    void failCreate(Target target);
    // What the webcam reports as its device state (OutputRouter::webcamAvailable); true until set.
    void setWebcamAvailable(bool available);
    // What the microphone reports (OutputRouter::microphoneAvailable and the reason when not); true
    // and no reason until set.
    void setMicrophoneAvailable(bool available, const QString &reason = QString());
    void setPutBehaviour(Target target, PutBehaviour behaviour);
    // Copying pictures costs time; hammer tests may keep only the checksum.
    void setCopyPictures(bool copy);
    // Puts to `target` block until releaseHeldPuts(); waitForHeldPut() tells one is blocked.
    void holdPuts(Target target);
    bool waitForHeldPut(int timeoutMs = 5000);
    void releaseHeldPuts();

    // -- records
    QList<Frame> frames() const;
    QList<Frame> frames(Target target) const;
    int frameCount(Target target) const;
    // Waits until at least `count` frames are recorded (for `target`, or any when -1).
    bool waitForFrames(int count, int timeoutMs = 5000, int target = -1) const;
    // The windows the preview was attached to, in order.
    QList<quintptr> attachedWindows() const;
    // The microphone's setEnabled calls, in order.
    QList<bool> microphoneSwitches() const;
    // sessionChanged calls (on `target`, or on any backend when -1).
    int sessionChanges(int target = -1) const;
    // Fake backends alive now, over all routers built while installed.
    int backendsAlive() const;
    // Backends destroyed while one of their calls was still running (always a fault).
    int destroyedWhileBusy() const;
    // Forgets the frames and session changes recorded so far.
    void clear();

    static quint64 checksum(const void *data, qint64 bytes);
    // The rows of each plane of `picture` (its pixel format's chroma subsampling); -1 for a
    // format FFmpeg does not describe.
    static int planeHeights(int heights[4], const AVFrame *picture);

    struct State;

private:
    std::shared_ptr<State> m_state;
    bool m_installed = false;
};
