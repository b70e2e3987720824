#pragma once

#include "output/MFTypes.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// A recording fake of the whole output adapter, installed behind MFCreateInstance. Every
// object the output object creates (factory, sink, preview, NDI renderer) is a fake that
// records what it is asked; every frame put to an output is recorded with a copy of its
// picture and audio. Failures and misbehaviour can be configured per object.
//
//     RecordingOutput output;          // installs itself; the destructor uninstalls
//     VCam cam("Quorvix", nullptr);
//     ... drive the code under test ...
//     QVERIFY(output.waitForFrames(10));
//     const auto frames = output.frames(RecordingOutput::Sink);
//
// Configure before the VCam is built. All functions are thread-safe; puts may come from any
// thread. Fake objects outlive the RecordingOutput safely (they share its state).
class RecordingOutput
{
public:
    enum Target
    {
        Sink,
        Ndi,
        Preview
    };
    enum PutBehaviour
    {
        PutOk,
        PutFails,
        PutThrows
    };

    struct Creation
    {
        MFGuid clsid;
        MFGuid iid;
        quint32 clsContext;
        bool outerNull;
        int result;
    };

    struct Frame
    {
        Target target;
        int wait;
        quint64 sequence; // the frame object's number; the same for all outputs of one frame
        MFFrameProps props;
        qint32 fcc, width, height, rowBytes;
        qint32 channels, sampleRate, bitsPerSample;
        bool audioAdded;
        int audioBytes;
        QVector<qint16> samples;
        QByteArray picture; // the I420 picture as handed over (rows with rowBytes, or packed)
        quint64 checksum;   // FNV-1a 64 of the picture bytes
    };

    RecordingOutput();
    ~RecordingOutput();
    RecordingOutput(const RecordingOutput &) = delete;
    RecordingOutput &operator=(const RecordingOutput &) = delete;

    void install();
    void uninstall();

    // -- configuration
    void failCreate(const MFGuid &clsid);
    void setSinkInitResult(int result);
    // What the sink reports as its device state (VCam::webcamAvailable); true until set.
    // Any time, from any thread.
    void setWebcamAvailable(bool available);
    void refuseReceiver(Target target); // queryInterface for the frame receiver fails
    void setNdiDevices(const QStringList &names);
    void setDeviceCountResult(int result);
    void setDeviceSetResult(int result);
    void setPropsSetResult(int result);
    void setPutBehaviour(Target target, PutBehaviour behaviour);
    // Copying pictures costs time; hammer tests may keep only the checksum.
    void setCopyPictures(bool copy);
    // Puts to `target` block until releaseHeldPuts(); waitForHeldPut() tells one is blocked.
    void holdPuts(Target target);
    bool waitForHeldPut(int timeoutMs = 5000);
    void releaseHeldPuts();

    // -- records
    QList<Creation> creations() const;
    // Calls in order, e.g. "sink.init Quorvix Quorvix 0", "frame.addAudio 7680",
    // "sink.put -1" (entered) / "sink.done" (returning), "preview.attach 42", "ndi.name 0 1",
    // "sink.released".
    QStringList calls() const;
    QList<Frame> frames() const;
    QList<Frame> frames(Target target) const;
    int frameCount(Target target) const;
    int framesCreated() const;
    // Fake objects alive now (factory, sink, ... and frames not yet released).
    int liveObjects() const;
    // Waits until at least `count` frames are recorded (for `target`, or any when -1).
    bool waitForFrames(int count, int timeoutMs = 5000, int target = -1) const;
    void clear();

    static quint64 checksum(const void *data, qint64 bytes);
    static QString targetName(Target target);

    struct State;

private:
    std::shared_ptr<State> m_state;
    bool m_installed = false;
};
