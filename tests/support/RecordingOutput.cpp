#include "support/RecordingOutput.h"

#include "output/FrameScaler.h"
#include "output/MFCreateInstance.h"
#include "output/MFObject.h"

#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

struct RecordingOutput::State
{
    // std primitives rather than QMutex, so ThreadSanitizer sees the synchronisation.
    mutable std::mutex lock;
    mutable std::condition_variable changed;

    // -- configuration, guarded by lock
    QList<MFGuid> failing;
    int sinkInitResult = kMfOk;
    bool refuse[3] = {false, false, false};
    QStringList ndiDevices = {QStringLiteral("NDI Renderer")};
    int deviceCountResult = kMfOk;
    int deviceSetResult = kMfOk;
    int propsSetResult = kMfOk;
    PutBehaviour behaviour[3] = {PutOk, PutOk, PutOk};
    bool copyPictures = true;
    bool hold[3] = {false, false, false};
    int heldNow = 0;
    // What the sink tells VCam::webcamAvailable; read without the lock by any thread.
    std::atomic<bool> webcamAvailable{true};

    // -- records, guarded by lock
    QList<Creation> creations;
    QStringList calls;
    QList<Frame> frames;
    int framesCreated = 0;
    int liveObjects = 0;
    quint64 nextSequence = 0;

    void call(const QString &text)
    {
        std::unique_lock<std::mutex> guard(lock);
        calls << text;
    }
    void objectBorn()
    {
        std::unique_lock<std::mutex> guard(lock);
        ++liveObjects;
    }
    void objectGone(const QString &what)
    {
        std::unique_lock<std::mutex> guard(lock);
        --liveObjects;
        if (!what.isEmpty())
            calls << what + QStringLiteral(".released");
        changed.notify_all();
    }
    int put(Target target, IMFFrame *frame, int wait);
};

namespace {

class FakeFrame final : public MFObject<IMFFrame>
{
public:
    FakeFrame(std::shared_ptr<RecordingOutput::State> state, const MFFrameProps &props,
              const uchar *video, quint64 sequence)
        : m_state(std::move(state)), m_props(props), m_video(video), m_sequence(sequence)
    {
        m_state->objectBorn();
    }
    ~FakeFrame() override { m_state->objectGone(QString()); }

    int addAudio(const MFAudioProps *audioProps, int bytes, const void *audio) override
    {
        m_state->call(QStringLiteral("frame.addAudio %1").arg(bytes));
        m_props.audio = *audioProps;
        m_audio = audio;
        m_audioBytes = bytes;
        m_audioAdded = true;
        return kMfOk;
    }
    const MFFrameProps &props() const override { return m_props; }
    const uchar *video() const override { return m_video; }
    const void *audio() const override { return m_audio; }
    int audioBytes() const override { return m_audioBytes; }
    bool audioAdded() const { return m_audioAdded; }
    quint64 sequence() const { return m_sequence; }

private:
    std::shared_ptr<RecordingOutput::State> m_state;
    MFFrameProps m_props;
    const uchar *m_video;
    const void *m_audio = nullptr;
    int m_audioBytes = 0;
    bool m_audioAdded = false;
    quint64 m_sequence;
};

class FakeFactory final : public MFObject<IMFFactory>
{
public:
    explicit FakeFactory(std::shared_ptr<RecordingOutput::State> state) : m_state(std::move(state))
    {
        m_state->objectBorn();
    }
    ~FakeFactory() override { m_state->objectGone(QStringLiteral("factory")); }

    int createFromMemory(const MFFrameProps *props, const uchar *video, qint64 reserved1,
                         qint64 reserved2, IMFFrame **frame, const QString &hints) override
    {
        quint64 sequence;
        {
            std::unique_lock<std::mutex> guard(m_state->lock);
            m_state->calls << QStringLiteral("factory.create %1 %2 %3")
                                  .arg(reserved1)
                                  .arg(reserved2)
                                  .arg(hints.isEmpty() ? QStringLiteral("\"\"") : hints);
            ++m_state->framesCreated;
            sequence = m_state->nextSequence++;
        }
        FakeFrame *made = new FakeFrame(m_state, *props, video, sequence);
        made->addRef();
        *frame = made;
        return kMfOk;
    }

private:
    std::shared_ptr<RecordingOutput::State> m_state;
};

class FakeSink final : public MFObject<IMFSink, IMFSinkStatus>
{
public:
    explicit FakeSink(std::shared_ptr<RecordingOutput::State> state) : m_state(std::move(state))
    {
        m_state->objectBorn();
    }
    ~FakeSink() override { m_state->objectGone(QStringLiteral("sink")); }

    int putFrame(IMFFrame *frame, int waitMs, const QString &) override
    {
        return m_state->put(RecordingOutput::Sink, frame, waitMs);
    }
    int init(const QString &name, const QString &label, int flags) override
    {
        std::unique_lock<std::mutex> guard(m_state->lock);
        m_state->calls << QStringLiteral("sink.init %1 %2 %3").arg(name, label).arg(flags);
        return m_state->sinkInitResult;
    }
    bool sinkDeviceOpen() const override { return m_state->webcamAvailable.load(); }

private:
    std::shared_ptr<RecordingOutput::State> m_state;
};

class FakePreview final : public MFObject<IMFPreview, IMFReceiver>
{
public:
    explicit FakePreview(std::shared_ptr<RecordingOutput::State> state) : m_state(std::move(state))
    {
        m_state->objectBorn();
    }
    ~FakePreview() override { m_state->objectGone(QStringLiteral("preview")); }

    int queryInterface(const MFGuid &iid, void **object) override
    {
        {
            std::unique_lock<std::mutex> guard(m_state->lock);
            if (iid == kIID_IMFReceiver && m_state->refuse[RecordingOutput::Preview]) {
                *object = nullptr;
                return kMfNoInterface;
            }
        }
        return MFObject::queryInterface(iid, object);
    }
    int setup(const QString &hints, int video, int audio) override
    {
        m_state->call(
            QStringLiteral("preview.setup \"%1\" %2 %3").arg(hints).arg(video).arg(audio));
        return kMfOk;
    }
    int attachWindow(const QString &, WId window) override
    {
        m_state->call(QStringLiteral("preview.attach %1").arg(window));
        return kMfOk;
    }
    int receiverPutFrame(IMFFrame *frame, int waitMs, const QString &) override
    {
        return m_state->put(RecordingOutput::Preview, frame, waitMs);
    }

private:
    std::shared_ptr<RecordingOutput::State> m_state;
};

class FakeNdi final : public MFObject<IMFDevice, IMFProps, IMFReceiver>
{
public:
    explicit FakeNdi(std::shared_ptr<RecordingOutput::State> state) : m_state(std::move(state))
    {
        m_state->objectBorn();
    }
    ~FakeNdi() override { m_state->objectGone(QStringLiteral("ndi")); }

    int queryInterface(const MFGuid &iid, void **object) override
    {
        {
            std::unique_lock<std::mutex> guard(m_state->lock);
            if (iid == kIID_IMFReceiver && m_state->refuse[RecordingOutput::Ndi]) {
                *object = nullptr;
                return kMfNoInterface;
            }
        }
        return MFObject::queryInterface(iid, object);
    }
    int deviceGetCount(eMFDeviceType type, int *count) override
    {
        std::unique_lock<std::mutex> guard(m_state->lock);
        m_state->calls << QStringLiteral("ndi.count %1").arg(type);
        *count = m_state->ndiDevices.size();
        return m_state->deviceCountResult;
    }
    int deviceGetByIndex(eMFDeviceType type, int index, QString *name, int *busy) override
    {
        std::unique_lock<std::mutex> guard(m_state->lock);
        m_state->calls << QStringLiteral("ndi.name %1 %2").arg(type).arg(index);
        *name = m_state->ndiDevices.value(index);
        *busy = 0;
        return kMfOk;
    }
    int deviceSet(eMFDeviceType type, int index, const QString &hints) override
    {
        std::unique_lock<std::mutex> guard(m_state->lock);
        m_state->calls << QStringLiteral("ndi.set %1 %2 \"%3\"").arg(type).arg(index).arg(hints);
        return m_state->deviceSetResult;
    }
    int propsSet(const QString &name, const QString &value) override
    {
        std::unique_lock<std::mutex> guard(m_state->lock);
        m_state->calls << QStringLiteral("ndi.props %1 %2").arg(name, value);
        return m_state->propsSetResult;
    }
    int receiverPutFrame(IMFFrame *frame, int waitMs, const QString &) override
    {
        return m_state->put(RecordingOutput::Ndi, frame, waitMs);
    }

private:
    std::shared_ptr<RecordingOutput::State> m_state;
};

} // namespace

int RecordingOutput::State::put(Target target, IMFFrame *frame, int wait)
{
    FakeFrame *fake = static_cast<FakeFrame *>(frame);
    Frame record;
    record.target = target;
    record.wait = wait;
    record.sequence = fake->sequence();
    record.props = fake->props();
    const MFVideoProps &video = record.props.video;
    const MFAudioProps &audio = record.props.audio;
    record.fcc = video.fcc;
    record.width = video.width;
    record.height = video.height;
    record.rowBytes = video.rowBytes;
    record.channels = audio.channels;
    record.sampleRate = audio.sampleRate;
    record.bitsPerSample = audio.bitsPerSample;
    record.audioAdded = fake->audioAdded();
    record.audioBytes = fake->audioBytes();
    if (fake->audio() && record.audioBytes > 0)
        record.samples =
            QVector<qint16>(static_cast<const qint16 *>(fake->audio()),
                            static_cast<const qint16 *>(fake->audio()) + record.audioBytes / 2);
    const qint64 bytes = video.width > 0 && video.height > 0
                             ? FrameScaler::i420Bytes(video.width, video.height, video.rowBytes)
                             : 0;
    bool copy;
    PutBehaviour behaviour;
    {
        std::unique_lock<std::mutex> guard(lock);
        calls << QStringLiteral("%1.put %2").arg(targetName(target)).arg(wait);
        copy = copyPictures;
        behaviour = this->behaviour[target];
        // Held puts block here, as a slow output would.
        if (hold[target]) {
            ++heldNow;
            changed.notify_all();
            while (hold[target])
                changed.wait(guard);
            --heldNow;
        }
    }
    if (fake->video() && bytes > 0) {
        record.checksum = checksum(fake->video(), bytes);
        if (copy)
            record.picture =
                QByteArray(reinterpret_cast<const char *>(fake->video()), static_cast<int>(bytes));
    } else {
        record.checksum = 0;
    }
    {
        std::unique_lock<std::mutex> guard(lock);
        calls << QStringLiteral("%1.done").arg(targetName(target));
        frames << record;
        changed.notify_all();
    }
    if (behaviour == PutThrows)
        throw std::runtime_error("fake output failure");
    return behaviour == PutFails ? kMfFail : kMfOk;
}

RecordingOutput::RecordingOutput() : m_state(std::make_shared<State>())
{
    install();
}

RecordingOutput::~RecordingOutput()
{
    releaseHeldPuts();
    uninstall();
}

void RecordingOutput::install()
{
    std::shared_ptr<State> state = m_state;
    mfInstallCreator([state](const MFGuid &clsid, IMFUnknown *outer, quint32 clsContext,
                             const MFGuid &iid, void **object) {
        *object = nullptr;
        MFPtr<IMFUnknown> made;
        bool fail;
        {
            std::unique_lock<std::mutex> guard(state->lock);
            fail = state->failing.contains(clsid);
        }
        if (!fail) {
            if (clsid == kCLSID_MFFactory)
                made = MFPtr<IMFUnknown>(mfMake<FakeFactory>(state).get());
            else if (clsid == kCLSID_MFSink)
                made = MFPtr<IMFUnknown>(static_cast<IMFSink *>(mfMake<FakeSink>(state).get()));
            else if (clsid == kCLSID_MFPreview)
                made =
                    MFPtr<IMFUnknown>(static_cast<IMFPreview *>(mfMake<FakePreview>(state).get()));
            else if (clsid == kCLSID_MFNdiRenderer)
                made = MFPtr<IMFUnknown>(static_cast<IMFDevice *>(mfMake<FakeNdi>(state).get()));
        }
        const int result = made ? made->queryInterface(iid, object) : kMfClassNotRegistered;
        std::unique_lock<std::mutex> guard(state->lock);
        state->creations << Creation{clsid, iid, clsContext, outer == nullptr, result};
        return result;
    });
    m_installed = true;
}

void RecordingOutput::uninstall()
{
    if (m_installed)
        mfInstallCreator(MFCreator());
    m_installed = false;
}

void RecordingOutput::failCreate(const MFGuid &clsid)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->failing << clsid;
}

void RecordingOutput::setSinkInitResult(int result)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->sinkInitResult = result;
}

void RecordingOutput::setWebcamAvailable(bool available)
{
    m_state->webcamAvailable.store(available);
}

void RecordingOutput::refuseReceiver(Target target)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->refuse[target] = true;
}

void RecordingOutput::setNdiDevices(const QStringList &names)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->ndiDevices = names;
}

void RecordingOutput::setDeviceCountResult(int result)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->deviceCountResult = result;
}

void RecordingOutput::setDeviceSetResult(int result)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->deviceSetResult = result;
}

void RecordingOutput::setPropsSetResult(int result)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->propsSetResult = result;
}

void RecordingOutput::setPutBehaviour(Target target, PutBehaviour behaviour)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->behaviour[target] = behaviour;
}

void RecordingOutput::setCopyPictures(bool copy)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->copyPictures = copy;
}

void RecordingOutput::holdPuts(Target target)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->hold[target] = true;
}

bool RecordingOutput::waitForHeldPut(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    std::unique_lock<std::mutex> guard(m_state->lock);
    while (m_state->heldNow == 0) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        m_state->changed.wait_for(guard, std::chrono::milliseconds(left));
    }
    return true;
}

void RecordingOutput::releaseHeldPuts()
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    for (bool &hold : m_state->hold)
        hold = false;
    m_state->changed.notify_all();
}

QList<RecordingOutput::Creation> RecordingOutput::creations() const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->creations;
}

QStringList RecordingOutput::calls() const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->calls;
}

QList<RecordingOutput::Frame> RecordingOutput::frames() const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->frames;
}

QList<RecordingOutput::Frame> RecordingOutput::frames(Target target) const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    QList<Frame> result;
    for (const Frame &frame : m_state->frames)
        if (frame.target == target)
            result << frame;
    return result;
}

int RecordingOutput::frameCount(Target target) const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    int count = 0;
    for (const Frame &frame : m_state->frames)
        count += frame.target == target ? 1 : 0;
    return count;
}

int RecordingOutput::framesCreated() const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->framesCreated;
}

int RecordingOutput::liveObjects() const
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->liveObjects;
}

bool RecordingOutput::waitForFrames(int count, int timeoutMs, int target) const
{
    QElapsedTimer timer;
    timer.start();
    std::unique_lock<std::mutex> guard(m_state->lock);
    for (;;) {
        int have = 0;
        for (const Frame &frame : m_state->frames)
            have += (target < 0 || frame.target == target) ? 1 : 0;
        if (have >= count)
            return true;
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        m_state->changed.wait_for(guard, std::chrono::milliseconds(left));
    }
}

void RecordingOutput::clear()
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    m_state->calls.clear();
    m_state->frames.clear();
    m_state->creations.clear();
    m_state->framesCreated = 0;
}

quint64 RecordingOutput::checksum(const void *data, qint64 bytes)
{
    quint64 hash = 1469598103934665603ull;
    const uchar *p = static_cast<const uchar *>(data);
    for (qint64 i = 0; i < bytes; ++i) {
        hash ^= p[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

QString RecordingOutput::targetName(Target target)
{
    switch (target) {
    case Sink:
        return QStringLiteral("sink");
    case Ndi:
        return QStringLiteral("ndi");
    case Preview:
        return QStringLiteral("preview");
    }
    return QString();
}
