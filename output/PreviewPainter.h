#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <mutex>

// The GUI-thread half of the preview renderer: watches the attached widget (an event filter,
// so the window needs no code of its own), keeps the latest converted picture and paints it
// into the widget with aspect kept and black around it. The delivery thread hands pictures
// over with publish(); at most one repaint request is queued at any time.
class PreviewPainter : public QObject
{
    Q_OBJECT
public:
    // GUI thread.
    explicit PreviewPainter(QObject *parent = nullptr);

    // GUI thread. nullptr detaches.
    void attach(QWidget *widget);

    // Any thread: whether a widget is attached, and its size (0x0 when none).
    bool attached() const { return m_attached.load(); }
    QSize targetSize() const { return QSize(m_targetWidth.load(), m_targetHeight.load()); }

    // Delivery thread: swaps `picture` with the shown one (no copy) and asks for a repaint.
    // False when the GUI is painting right now; the caller keeps its picture and drops it.
    bool publish(QImage &picture);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void repaint();
    void paint(QWidget *widget);
    void storeSize(const QSize &size);

    QPointer<QWidget> m_widget; // GUI thread only
    std::atomic<bool> m_attached{false};
    std::atomic<int> m_targetWidth{0};
    std::atomic<int> m_targetHeight{0};
    std::atomic<bool> m_repaintPending{false};

    // -- guarded by m_frontLock
    std::mutex m_frontLock;
    QImage m_front;
};
