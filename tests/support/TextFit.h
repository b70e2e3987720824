#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

class QWidget;

// Looks at a shown window the way its user does: every visible widget that shows text (labels,
// links, buttons, check and radio boxes, group titles, line edits with their placeholder, combo
// and spin boxes, a status bar's message) must show all of it, and no other visible widget may
// lie over it. Widgets are found generically, so ones added later are checked without naming
// them.
//
//     const QStringList faults = TextFit::faults(window);
//     QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
//
// Threads: GUI thread; the window must be laid out (shown, events processed).
class TextFit
{
public:
    // One line per fault: the widget's object name (or class), its text and what is wrong.
    static QStringList faults(const QWidget *window);

    // Where a widget's text is drawn, in the widget's coordinates, and how much room it needs;
    // `shows` false for widgets that show no text now.
    struct Text
    {
        bool shows = false;
        QString text;
        QRect area;   // the room the widget gives its text
        QRect needed; // the text's own extent, placed in `area` as the widget aligns it
    };
    static Text textOf(const QWidget *widget);

    // "lblDesc \"this QR code ...\"" for fault lines.
    static QString describe(const QWidget *widget, const QString &text);
};
