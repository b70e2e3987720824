#pragma once

#include "output/MicrophoneAccounting.h"
#include "output/MicrophoneConnection.h"
#include "output/MicrophoneOutput.h"
#include "output/MicrophoneStream.h"

#include <QString>

#include <atomic>
#include <mutex>

// The camera's sound as a microphone: a PipeWire node (media.class "Audio/Source") that call
// programs and browsers list as an input device. The stream runs in the audio's own rate
// and channel count (mono or stereo) and PipeWire's adapter converts to the graph's rate;
// before the first audio it is 48 kHz stereo. The node stays while no camera streams and
// plays silence then, and a new format is negotiated on the same node, because removing it
// would move a call to another microphone.
//
// Three parts: the connection to the server (MicrophoneConnection, which also runs PipeWire's
// loop), the node and its hand-over (MicrophoneStream) and the books (MicrophoneAccounting).
// This class is the control state machine between them. It runs on PipeWire's loop thread only,
// one step at a time, whenever something changed (an event) and every probe interval (a timer):
//
//   off --setEnabled(true)--> looking --server answers--> connected --format differs--+
//    ^                          ^   |                       |     ^                    |
//    |                          |   +--every 3 s------------+     +-renegotiated in place+
//    |                          +--------server gone-----------+
//    +-----------setEnabled(false) from any state: the node is removed----------------+
//
// Threads:
//   - GUI thread: constructor, destructor, setEnabled, putCard.
//   - The output's thread: putLive, sessionChanged. They never wait for the server: the audio
//     goes into the ring, or is counted as dropped with a reason; a change for the loop to act
//     on is signalled to it, not waited for.
//   - PipeWire's loop thread (no thread of ours): step, and the connection's and the stream's
//     events.
//   - PipeWire's real-time data thread: the stream's process callback; it only reads the ring.
//   - Observers (available, counters, unavailableReason, graphDelayMs): any thread.
class PipeWireMicrophone final : public MicrophoneOutput
{
public:
    static constexpr char kDefaultNodeName[] = "quorvix_microphone";
    static constexpr char kDefaultDescription[] = "Quorvix Microphone";
    // How often a missing server is looked for (like the webcam's device probe).
    static constexpr int kProbeIntervalMs = 3000;
    // The stream's format before the first audio.
    static constexpr int kDefaultRate = MicrophoneStream::kDefaultRate;
    static constexpr int kDefaultChannels = MicrophoneStream::kDefaultChannels;
    // How long a stream may take to be accepted by the server before it counts as failed.
    static constexpr int kStreamReadyTimeoutMs = MicrophoneStream::kReadyTimeoutMs;

    using DropReason = MicrophoneAccounting::DropReason;
    static constexpr int kDropReasons = MicrophoneAccounting::kDropReasons;

    // GUI thread. Starts enabled: the loop looks for a server at once.
    explicit PipeWireMicrophone(const QString &nodeName = QLatin1String(kDefaultNodeName),
                                const QString &description = QLatin1String(kDefaultDescription),
                                int probeIntervalMs = kProbeIntervalMs);
    ~PipeWireMicrophone() override;

    PipeWireMicrophone(const PipeWireMicrophone &) = delete;
    PipeWireMicrophone &operator=(const PipeWireMicrophone &) = delete;

    void putLive(const OutputFrame &frame) override;
    // The stream plays silence while the ring is empty: nothing to do for a card.
    void putCard(const OutputFrame &) override {}
    void sessionChanged() override;

    // GUI thread. Off removes the node at once; on looks for a server again.
    void setEnabled(bool enabled) override;
    bool enabled() const { return m_enabled.load(); }

    // Any thread. True while the node is in the graph.
    bool available() const override { return m_stream.live(); }
    // Any thread. One line for the status bar; empty while available.
    QString unavailableReason() const override;
    int outputDelayMs() const override;

    // Counters, any thread; samples are per channel.
    qint64 samplesReceived() const { return m_accounting.samplesReceived(); }
    qint64 samplesDropped(DropReason reason) const { return m_accounting.samplesDropped(reason); }
    qint64 samplesDropped() const { return m_accounting.samplesDropped(); }
    qint64 underruns() const { return m_stream.totals().underruns; }
    // Cut: more came than could be played in time.
    qint64 samplesTrimmed() const { return m_stream.totals().trimmed; }
    // Never played because no program listened (or before one started to).
    qint64 samplesSkipped() const { return m_stream.totals().skipped; }
    // Played more (positive) or fewer than came, by matching the rate.
    qint64 samplesAdjusted() const { return m_stream.totals().adjusted; }
    SoundGaps soundGaps() const override;
    qint64 samplesPlayed() const { return m_stream.totals().played; }
    // Formats changed in place, without removing the node.
    qint64 formatChanges() const { return m_stream.formatChanges(); }
    // The rate the server agreed on for the stream (0 while none is).
    int negotiatedRate() const { return m_stream.negotiatedRate(); }
    // Connection attempts so far (each look for a server counts one).
    qint64 connectAttempts() const { return m_connection.connectAttempts(); }
    // The open stream's rate and channel count (0 without a stream).
    int streamRate() const { return m_stream.streamRate(); }
    int streamChannels() const { return m_stream.streamChannels(); }
    // The delay PipeWire adds after the ring (pw_stream_get_time_n), in ms; -1 without a
    // stream. Plus the ring's queue, about its reserve, for the whole path.
    double graphDelayMs() const { return m_stream.graphDelayMs(); }
    double queuedMs() const { return m_stream.queuedMs(); }

private:
    // -- Loop thread.
    void step(bool probe);
    void control();
    bool connectServer();
    void setUnavailable(const QString &reason);

    const QString m_nodeName;

    // Set by the GUI and the output's thread, acted on by the loop's next step.
    std::atomic<bool> m_enabled{true};
    // The audio's format as last seen by putLive, rate * 16 + channels; 0 before any audio.
    std::atomic<qint64> m_wantedFormat{0};

    // -- The output's thread.
    qint64 m_lastUnsupportedLogMs = -1;

    // -- Loop thread.
    bool m_off = false;
    bool m_noServerLogged = false;
    qint64 m_lastStreamLogMs = -1;
    qint64 m_lastReopenLogMs = -1;

    // Written by the loop thread, read by the GUI's status line.
    mutable std::mutex m_reasonLock;
    QString m_unavailableReason;

    // Declared in this order: the stream uses the connection and the books.
    MicrophoneAccounting m_accounting;
    MicrophoneConnection m_connection;
    MicrophoneStream m_stream;
};
