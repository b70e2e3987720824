#pragma once

#include "app/Settings.h"

#include <QObject>

class QSettings;

// Holds the program's Settings value and runs the settings dialog: it reads the store once at
// start, opens GlobalSettings with the current values, and when the user saves, writes the
// store, reads it back and hands the new value out through `changed`.
//
// Threads: GUI thread only.
class SettingsController : public QObject
{
    Q_OBJECT

public:
    // Reads the settings from `store`, which must outlive this object. A passphrase libsrt
    // would refuse is dropped; a required key that is missing is made and stored.
    explicit SettingsController(QSettings &store, QObject *parent = nullptr);
    ~SettingsController() override;

    const Settings &settings() const { return m_settings; }
    // The port for this run only (the command line's); not stored.
    void overridePort(int port);
    // Opens the dialog modally; `listening` locks the ports. The picture's rotation, mirror and
    // shape shown and saved are those of `cameraType` (the main window's key), shown as
    // `cameraText`. True when the user saved.
    bool edit(bool listening, const QString &cameraType = QString(),
              const QString &cameraText = QString());

signals:
    void changed(const Settings &settings);

private:
    QSettings &m_store;
    Settings m_settings;
};
