#pragma once

#include <QByteArray>
#include <QString>

// Every environment variable the program reads, read here and nowhere else. They exist for
// tests, benchmarks and unusual installs; an unset variable means the normal behaviour. Each
// getter returns the raw value; its user checks and logs it.
//
// Threads: any. The environment is read afresh on every call (no caching), so a test may set a
// variable before the object that reads it is made.
class Environment
{
public:
    Environment() = delete;

    static constexpr const char *kGuiWatchdog = "QUORVIX_GUI_WATCHDOG";
    static constexpr const char *kManifestUrl = "QUORVIX_MANIFEST_URL";
    static constexpr const char *kIntakePortBase = "QUORVIX_INTAKE_PORT_BASE";
    static constexpr const char *kVcamDevice = "QUORVIX_VCAM_DEVICE";
    static constexpr const char *kVcamSize = "QUORVIX_VCAM_SIZE";
    static constexpr const char *kVcamTap = "QUORVIX_VCAM_TAP";

    // Non-zero: the GUI thread's stall watchdog runs and reports its gaps.
    static bool guiWatchdog();
    // The update manifest's address in place of the site's; set but empty skips the check.
    static bool manifestUrlSet();
    static QString manifestUrl();
    // The first loopback port the stream intakes take (text as set; "" when unset).
    static QByteArray intakePortBase();
    // A fixed V4L2 device path, an even WIDTHxHEIGHT for the webcam, and a file that receives
    // every picture written to the webcam.
    static QString vcamDevice();
    static QString vcamSize();
    static QString vcamTap();
    // A folder holding the NDI runtime library; `variable` is one of the runtime's own
    // NDI_RUNTIME_DIR_V* names.
    static QString ndiRuntimeDir(const char *variable);
};
