#pragma once

#include "output/MFTypes.h"

#include <QString>
#include <QWidget>

// The adapter's object interfaces: the operations the output object calls, one interface per
// role, each reached through queryInterface as the output object has always done. Objects are
// reference counted (addRef / release); MFPtr holds one reference. Strings that the output
// object passes empty are plain `const QString &` (an empty QString allocates nothing).
//
// Every backend states in its own header which threads may call it.

class IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFUnknown;
    // On success *object holds a new reference to the interface iid.
    virtual int queryInterface(const MFGuid &iid, void **object) = 0;
    virtual unsigned long addRef() = 0;
    virtual unsigned long release() = 0;

protected:
    ~IMFUnknown() = default;
};

// One frame: the properties record, the caller's picture and, optionally, its audio. A frame
// only points at the caller's buffers; it is released before the send call returns.
class IMFFrame : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFFrame;
    // Attach interleaved audio described by audioProps (`bytes` bytes at `audio`).
    virtual int addAudio(const MFAudioProps *audioProps, int bytes, const void *audio) = 0;

    // Read side for the backends.
    virtual const MFFrameProps &props() const = 0;
    virtual const uchar *video() const = 0;
    virtual const void *audio() const = 0;
    virtual int audioBytes() const = 0;

protected:
    ~IMFFrame() = default;
};

class IMFFactory : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFFactory;
    // A frame from the properties record and the caller's picture; *frame gets a reference.
    virtual int createFromMemory(const MFFrameProps *props, const uchar *video, qint64 reserved1,
                                 qint64 reserved2, IMFFrame **frame, const QString &hints) = 0;

protected:
    ~IMFFactory() = default;
};

// Wait values of the put operations: -1 waits as long as the output needs, 0 (or any other
// value) does not wait: a busy output drops the frame.
constexpr int kMfWaitForever = -1;
constexpr int kMfNoWait = 0;

class IMFSink : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFSink;
    virtual int putFrame(IMFFrame *frame, int waitMs, const QString &hints) = 0;
    virtual int init(const QString &name, const QString &label, int flags) = 0;

protected:
    ~IMFSink() = default;
};

class IMFPreview : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFPreview;
    virtual int setup(const QString &hints, int video, int audio) = 0;
    virtual int attachWindow(const QString &hints, WId window) = 0;

protected:
    ~IMFPreview() = default;
};

class IMFReceiver : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFReceiver;
    virtual int receiverPutFrame(IMFFrame *frame, int waitMs, const QString &hints) = 0;

protected:
    ~IMFReceiver() = default;
};

class IMFDevice : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFDevice;
    virtual int deviceGetCount(eMFDeviceType type, int *count) = 0;
    virtual int deviceGetByIndex(eMFDeviceType type, int index, QString *name, int *busy) = 0;
    virtual int deviceSet(eMFDeviceType type, int index, const QString &hints) = 0;

protected:
    ~IMFDevice() = default;
};

class IMFProps : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFProps;
    virtual int propsSet(const QString &name, const QString &value) = 0;

protected:
    ~IMFProps() = default;
};

// What the virtual camera sink can tell about its device. Our own addition; a sink without it
// simply refuses the query.
class IMFSinkStatus : public IMFUnknown
{
public:
    static constexpr const MFGuid &kIid = kIID_IMFSinkStatus;
    // True while the sink has an output device open. Any thread; cheap.
    virtual bool sinkDeviceOpen() const = 0;

protected:
    ~IMFSinkStatus() = default;
};
