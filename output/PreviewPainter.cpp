#include "output/PreviewPainter.h"

#include <QEvent>
#include <QPainter>
#include <QResizeEvent>

PreviewPainter::PreviewPainter(QObject *parent) : QObject(parent) {}

void PreviewPainter::storeSize(const QSize &size)
{
    m_targetWidth.store(size.width());
    m_targetHeight.store(size.height());
}

void PreviewPainter::attach(QWidget *widget)
{
    if (m_widget == widget)
        return;
    if (m_widget) {
        m_widget->removeEventFilter(this);
        disconnect(m_widget, &QObject::destroyed, this, nullptr);
    }
    m_widget = widget;
    if (widget) {
        widget->installEventFilter(this);
        // A closed window stops the conversions on the delivery thread.
        connect(widget, &QObject::destroyed, this, [this] {
            m_attached.store(false);
            storeSize(QSize());
        });
        storeSize(widget->size());
        widget->update();
    } else {
        storeSize(QSize());
    }
    m_attached.store(widget != nullptr);
}

bool PreviewPainter::publish(QImage &picture)
{
    {
        std::unique_lock<std::mutex> guard(m_frontLock, std::try_to_lock);
        if (!guard.owns_lock())
            return false;
        m_front.swap(picture);
    }
    if (!m_repaintPending.exchange(true))
        QMetaObject::invokeMethod(this, &PreviewPainter::repaint, Qt::QueuedConnection);
    return true;
}

void PreviewPainter::repaint()
{
    m_repaintPending.store(false);
    if (m_widget)
        m_widget->update();
}

void PreviewPainter::paint(QWidget *widget)
{
    QPainter painter(widget);
    const QRect area = widget->rect();
    std::lock_guard<std::mutex> guard(m_frontLock);
    if (m_front.isNull()) {
        painter.fillRect(area, Qt::black);
        return;
    }
    // The picture was made for the size of the widget when it was converted; if the widget
    // changed since, fit it again.
    QSize fitted = m_front.size().scaled(area.size(), Qt::KeepAspectRatio);
    QRect target(QPoint(0, 0), fitted);
    target.moveCenter(area.center());
    if (target != area) {
        const QRegion bars = QRegion(area).subtracted(QRegion(target));
        for (const QRect &bar : bars)
            painter.fillRect(bar, Qt::black);
    }
    if (target.size() == m_front.size())
        painter.drawImage(target.topLeft(), m_front);
    else
        painter.drawImage(target, m_front);
}

bool PreviewPainter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_widget)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Resize:
        storeSize(static_cast<QResizeEvent *>(event)->size());
        break;
    case QEvent::Paint:
        paint(m_widget);
        return true;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
