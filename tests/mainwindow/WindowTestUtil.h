#pragma once

// Small helpers shared by the main-window tests: a clean settings store, widget lookup, icon
// comparison and driving the modal settings dialog.

#include "app/AppSettings.h"
#include "app/Application.h"
#include "ui/GlobalSettings.h"
#include "app/Application.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QSettings>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace windowtest {

inline void clearStore()
{
    auto store = AppSettings::openStore();
    store->clear();
    store->sync();
}

inline QVariant stored(const char *key)
{
    auto store = AppSettings::openStore();
    return store->value(QString::fromLatin1(key));
}

inline void store(const char *key, const QVariant &value)
{
    auto s = AppSettings::openStore();
    s->setValue(QString::fromLatin1(key), value);
    s->sync();
}

template <class T>
T *child(const QObject &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

// The same picture as the resource's icon at the button's size.
inline bool showsIcon(const QIcon &icon, const char *resource)
{
    const QSize size(50, 50);
    return icon.pixmap(size).toImage() ==
           QIcon(QString::fromLatin1(resource)).pixmap(size).toImage();
}

// Runs `act` on the settings dialog once it is the active modal widget. `act` must end the
// dialog (accept or reject). Returns after the dialog's exec() has returned, via `trigger`.
inline bool driveSettingsDialog(const std::function<void()> &trigger,
                                const std::function<void(GlobalSettings *)> &act)
{
    bool seen = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto *dialog = qobject_cast<GlobalSettings *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll.stop();
        seen = true;
        act(dialog);
    });
    poll.start();
    trigger();
    poll.stop();
    return seen;
}

} // namespace windowtest
