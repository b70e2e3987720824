#include "output/PipeWireMicrophone.h"

#include "output/MicrophoneLog.h"

#include <cstring>

namespace {

// Rates PipeWire's resampler takes from a stream.
constexpr int kMinRate = 8000;
constexpr int kMaxRate = 192000;

bool supportedFormat(int rate, int channels)
{
    return rate >= kMinRate && rate <= kMaxRate && (channels == 1 || channels == 2);
}

qint64 packFormat(int rate, int channels)
{
    return static_cast<qint64>(rate) * 16 + channels;
}

} // namespace

PipeWireMicrophone::PipeWireMicrophone(const QString &nodeName, const QString &description,
                                       int probeIntervalMs)
    : m_nodeName(nodeName), m_unavailableReason(QStringLiteral("Microphone: looking for PipeWire")),
      m_connection([this](bool probe) { step(probe); }, probeIntervalMs),
      m_stream(m_connection, m_accounting, nodeName, description)
{
    if (!m_connection.start())
        setUnavailable(QStringLiteral("No microphone: PipeWire could not start"));
}

PipeWireMicrophone::~PipeWireMicrophone()
{
    // With the loop stopped nothing of ours runs there: the node and the connection go here.
    m_connection.stop();
    m_stream.close();
    m_connection.disconnect();
}

void PipeWireMicrophone::setEnabled(bool enabled)
{
    if (m_enabled.exchange(enabled) != enabled)
        m_connection.requestStep();
}

void PipeWireMicrophone::putLive(const OutputFrame &frame)
{
    if (!frame.audio || frame.samples <= 0)
        return;
    m_accounting.countReceived(frame.samples);
    if (!m_enabled.load()) {
        m_accounting.countDropped(DropReason::MicrophoneOff, frame.samples);
        return;
    }
    if (!supportedFormat(frame.sampleRate, frame.channels)) {
        m_accounting.countDropped(DropReason::UnsupportedFormat, frame.samples);
        if (microphonelog::due(m_lastUnsupportedLogMs))
            qCWarning(lcMicrophone)
                << "MIC: audio format not supported, dropped:" << frame.sampleRate << "Hz"
                << frame.channels << "channels";
        return;
    }
    const qint64 format = packFormat(frame.sampleRate, frame.channels);
    if (m_wantedFormat.exchange(format) != format)
        m_connection.requestStep();
    // The frame's samples themselves are read there.
    switch (m_stream.queueAudio(frame)) {
    case MicrophoneStream::Queued::Yes:
        break;
    case MicrophoneStream::Queued::NotLive:
        m_accounting.countDropped(DropReason::NoServer, frame.samples);
        break;
    case MicrophoneStream::Queued::FormatChange:
        m_accounting.countDropped(DropReason::FormatChange, frame.samples);
        break;
    }
}

void PipeWireMicrophone::sessionChanged()
{
    m_stream.flush();
}

QString PipeWireMicrophone::unavailableReason() const
{
    std::lock_guard<std::mutex> guard(m_reasonLock);
    return m_unavailableReason;
}

MicrophoneOutput::SoundGaps PipeWireMicrophone::soundGaps() const
{
    return MicrophoneAccounting::soundGaps(m_stream.totals());
}

int PipeWireMicrophone::outputDelayMs() const
{
    return m_enabled.load() ? m_stream.outputDelayMs() : 0;
}

void PipeWireMicrophone::setUnavailable(const QString &reason)
{
    std::lock_guard<std::mutex> guard(m_reasonLock);
    m_unavailableReason = reason;
}

void PipeWireMicrophone::step(bool probe)
{
    control();
    // Every few seconds, which also bounds how often it is logged.
    if (probe)
        m_accounting.report(m_stream.totals());
}

void PipeWireMicrophone::control()
{
    if (!m_enabled.load()) {
        if (!m_off) {
            m_stream.close();
            m_connection.disconnect();
            qCInfo(lcMicrophone) << "MIC: microphone off:" << m_nodeName;
            m_off = true;
        }
        m_noServerLogged = false;
        setUnavailable(QStringLiteral("Microphone off"));
        return;
    }
    m_off = false;
    if (m_connection.lost()) {
        qCInfo(lcMicrophone) << "MIC: PipeWire server gone";
        m_stream.close();
        m_connection.disconnect();
        // Back to looking; the gone line was the one log line for this.
        m_noServerLogged = true;
        setUnavailable(QStringLiteral("No microphone: the PipeWire server went away"));
        // Not at once: a server on its way down still takes connections for a moment (longer on
        // a busy computer), and would go away a second time. The next probe is soon enough.
        return;
    }
    switch (m_stream.state()) {
    case MicrophoneStream::State::Opening:
        return; // the server's answer, or the timeout, comes as an event
    case MicrophoneStream::State::Failed: {
        const QString error = m_stream.failure();
        if (microphonelog::due(m_lastStreamLogMs))
            qCWarning(lcMicrophone) << "MIC: stream failed:" << m_nodeName << error;
        m_stream.close();
        setUnavailable(QStringLiteral("No microphone: PipeWire stream failed (%1)").arg(error));
        return; // the next step reopens it
    }
    case MicrophoneStream::State::TimedOut:
        qCWarning(lcMicrophone) << "MIC: stream not accepted in time:" << m_nodeName
                                << kStreamReadyTimeoutMs << "ms";
        m_stream.close();
        setUnavailable(QStringLiteral("No microphone: PipeWire did not take the stream"));
        return;
    case MicrophoneStream::State::Ready:
        // The reason goes before the flag, so that an observer never sees the node there with a
        // reason why it is not.
        setUnavailable(QString());
        m_stream.goLive();
        qCInfo(lcMicrophone) << "MIC: microphone started:" << m_nodeName << m_stream.streamRate()
                             << "Hz" << m_stream.streamChannels() << "channels";
        break;
    case MicrophoneStream::State::Closed:
    case MicrophoneStream::State::Live:
        break;
    }
    if (!m_connection.connected() && !connectServer())
        return;

    const qint64 wanted = m_wantedFormat.load();
    const int rate = wanted ? static_cast<int>(wanted / 16) : kDefaultRate;
    const int channels = wanted ? static_cast<int>(wanted % 16) : kDefaultChannels;
    if (m_stream.state() == MicrophoneStream::State::Live) {
        if (m_stream.isFormat(rate, channels))
            return;
        // The node stays: removing it would move a recording call to another microphone.
        if (m_stream.changeFormat(rate, channels)) {
            // A camera flipping formats could repeat this; the line is rate-limited.
            if (microphonelog::due(m_lastReopenLogMs))
                qCInfo(lcMicrophone) << "MIC: format changed:" << m_nodeName << rate << "Hz"
                                     << channels << "channels";
            return;
        }
        if (microphonelog::due(m_lastReopenLogMs))
            qCWarning(lcMicrophone) << "MIC: reopening for the audio's format:" << rate << "Hz"
                                    << channels << "channels";
    }
    if (!m_stream.open(rate, channels))
        setUnavailable(QStringLiteral("No microphone: PipeWire refused the stream"));
}

bool PipeWireMicrophone::connectServer()
{
    int error = 0;
    switch (m_connection.connect(&error)) {
    case MicrophoneConnection::Result::Connected:
        m_noServerLogged = false;
        setUnavailable(QStringLiteral("Microphone: connecting to PipeWire"));
        return true;
    case MicrophoneConnection::Result::CouldNotStart:
        setUnavailable(QStringLiteral("No microphone: PipeWire could not start"));
        return false;
    case MicrophoneConnection::Result::NoServer:
        break;
    }
    const QString text = QString::fromLocal8Bit(strerror(error));
    if (!m_noServerLogged) {
        qCInfo(lcMicrophone) << "MIC: no PipeWire server:" << text << "- looking again every"
                             << m_connection.probeIntervalMs() / 1000.0 << "s";
        m_noServerLogged = true;
    }
    setUnavailable(QStringLiteral("No microphone: no PipeWire server (%1)").arg(text));
    return false;
}
