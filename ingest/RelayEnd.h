#pragma once

// Why a relay ended: logged once, with the camera's address, when it ends.
enum class RelayEnd
{
    None,       // still running (or never started)
    CameraLeft, // the camera closed or reset its connection
    Silent,     // nothing from the camera for the idle timeout
    Refused,    // no valid session start in time: not RTMP, no publish, wrong key, evicted
    Overloaded, // no intake could take it, or the intake was not ours
    IntakeGone, // the intake ended the session (or could not be reached)
    Stopped,    // the listener stopped
};

inline const char *relayEndText(RelayEnd end)
{
    switch (end) {
    case RelayEnd::None:
        return "running";
    case RelayEnd::CameraLeft:
        return "camera left";
    case RelayEnd::Silent:
        return "silent";
    case RelayEnd::Refused:
        return "refused";
    case RelayEnd::Overloaded:
        return "overloaded";
    case RelayEnd::IntakeGone:
        return "intake ended";
    case RelayEnd::Stopped:
        return "stopped";
    }
    return "unknown";
}
