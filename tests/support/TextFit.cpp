#include "support/TextFit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOption>
#include <QTextDocument>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

// QLineEdit keeps this much room beside its text inside the contents rectangle.
constexpr int kLineEditMarginXPx = 2;
constexpr int kLineEditMarginYPx = 1;
// QPushButton puts this gap between its icon and its text.
constexpr int kButtonIconGapPx = 4;
// QStatusBar draws its message from here to just before its first permanent widget, or to
// this far from its right edge.
constexpr int kStatusMessageLeftPx = 6;
constexpr int kStatusMessageRightPx = 12;
// Text that cannot be wider than this; only its height counts when wrapping.
constexpr int kUnboundedPx = 100000;

QString withoutMnemonics(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('&') && i + 1 < text.size())
            ++i;
        out += text.at(i);
    }
    return out;
}

QRect placed(const QWidget *widget, Qt::Alignment alignment, const QSize &size, const QRect &area)
{
    return QStyle::alignedRect(widget->layoutDirection(), alignment, size, area);
}

TextFit::Text labelText(const QLabel *label)
{
    TextFit::Text t;
    if (label->text().isEmpty() || !label->pixmap(Qt::ReturnByValue).isNull())
        return t;
    t.shows = true;
    t.text = label->text();
    t.area = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(),
                                            -label->margin());
    const bool rich = label->textFormat() == Qt::RichText ||
                      (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(t.text));
    QSize size;
    if (rich) {
        QTextDocument doc;
        doc.setDefaultFont(label->font());
        doc.setDocumentMargin(0);
        doc.setHtml(t.text);
        if (label->wordWrap())
            doc.setTextWidth(t.area.width());
        size = QSize(static_cast<int>(std::ceil(doc.idealWidth())),
                     static_cast<int>(std::ceil(doc.size().height())));
        t.text = doc.toPlainText();
    } else {
        const QFontMetrics fm(label->font());
        size = label->wordWrap() ? fm.boundingRect(QRect(0, 0, t.area.width(), kUnboundedPx),
                                                   Qt::TextWordWrap | Qt::TextExpandTabs, t.text)
                                       .size()
                                 : fm.size(Qt::TextExpandTabs, t.text);
    }
    t.needed = placed(label, label->alignment(), size, t.area);
    return t;
}

TextFit::Text buttonText(const QAbstractButton *button)
{
    TextFit::Text t;
    const QString text = withoutMnemonics(button->text());
    if (text.isEmpty())
        return t;
    t.shows = true;
    t.text = text;
    QStyleOptionButton opt;
    opt.initFrom(button);
    opt.text = button->text();
    opt.icon = button->icon();
    opt.iconSize = button->iconSize();
    const QFontMetrics fm(button->font());
    const QSize size = fm.size(Qt::TextShowMnemonic, button->text());
    QStyle *style = button->style();
    if (qobject_cast<const QCheckBox *>(button)) {
        t.area = style->subElementRect(QStyle::SE_CheckBoxContents, &opt, button);
        t.needed = placed(button, Qt::AlignLeft | Qt::AlignVCenter, size, t.area);
    } else if (qobject_cast<const QRadioButton *>(button)) {
        t.area = style->subElementRect(QStyle::SE_RadioButtonContents, &opt, button);
        t.needed = placed(button, Qt::AlignLeft | Qt::AlignVCenter, size, t.area);
    } else {
        if (auto *push = qobject_cast<const QPushButton *>(button); push && push->isFlat())
            opt.features |= QStyleOptionButton::Flat;
        t.area = qobject_cast<const QPushButton *>(button)
                     ? style->subElementRect(QStyle::SE_PushButtonContents, &opt, button)
                     : button->contentsRect();
        if (!opt.icon.isNull())
            t.area.setLeft(t.area.left() + opt.iconSize.width() + kButtonIconGapPx);
        t.needed = placed(button, Qt::AlignCenter, size, t.area);
    }
    return t;
}

TextFit::Text groupTitle(const QGroupBox *group)
{
    TextFit::Text t;
    if (group->title().isEmpty())
        return t;
    t.shows = true;
    t.text = withoutMnemonics(group->title());
    QStyleOptionGroupBox opt;
    opt.initFrom(group);
    opt.text = group->title();
    opt.lineWidth = 1;
    opt.midLineWidth = 0;
    opt.textAlignment = group->alignment();
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    if (group->isCheckable())
        opt.subControls |= QStyle::SC_GroupBoxCheckBox;
    if (group->isFlat())
        opt.features |= QStyleOptionFrame::Flat;
    t.area =
        group->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, group);
    const QFontMetrics fm(group->font());
    t.needed = placed(group, Qt::AlignLeft | Qt::AlignVCenter,
                      QSize(fm.horizontalAdvance(t.text), fm.height()), t.area);
    return t;
}

TextFit::Text lineEditText(const QLineEdit *edit)
{
    TextFit::Text t;
    const bool placeholder = edit->text().isEmpty();
    t.text = placeholder ? edit->placeholderText() : edit->displayText();
    if (t.text.isEmpty())
        return t;
    t.shows = true;
    QStyleOptionFrame opt;
    opt.initFrom(edit);
    opt.lineWidth =
        edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit) : 0;
    opt.midLineWidth = 0;
    opt.state |= QStyle::State_Sunken;
    QRect area = edit->style()->subElementRect(QStyle::SE_LineEditContents, &opt, edit);
    area = area.marginsRemoved(edit->textMargins());
    t.area = area.adjusted(kLineEditMarginXPx, kLineEditMarginYPx, -kLineEditMarginXPx,
                           -kLineEditMarginYPx);
    const QFontMetrics fm(edit->font());
    t.needed =
        placed(edit, edit->alignment(), QSize(fm.horizontalAdvance(t.text), fm.height()), t.area);
    return t;
}

TextFit::Text comboText(const QComboBox *combo)
{
    TextFit::Text t;
    // An editable one shows its text in a line edit, which is checked as such.
    if (combo->isEditable() || combo->currentText().isEmpty())
        return t;
    t.shows = true;
    t.text = combo->currentText();
    QStyleOptionComboBox opt;
    opt.initFrom(combo);
    opt.editable = false;
    opt.frame = combo->hasFrame();
    opt.currentText = t.text;
    opt.currentIcon = combo->itemIcon(combo->currentIndex());
    opt.iconSize = combo->iconSize();
    opt.subControls = QStyle::SC_All;
    t.area = combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField,
                                            combo);
    if (!opt.currentIcon.isNull())
        t.area.setLeft(t.area.left() + opt.iconSize.width() + kButtonIconGapPx);
    const QFontMetrics fm(combo->font());
    t.needed = placed(combo, Qt::AlignLeft | Qt::AlignVCenter,
                      QSize(fm.horizontalAdvance(t.text), fm.height()), t.area);
    return t;
}

TextFit::Text statusMessage(const QStatusBar *bar)
{
    TextFit::Text t;
    t.text = bar->currentMessage();
    if (t.text.isEmpty())
        return t;
    t.shows = true;
    // While a message shows, only the permanent widgets are visible; it ends before the first.
    int right = bar->width() - kStatusMessageRightPx;
    for (const QWidget *child : bar->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        if (child->isVisible() && !child->isWindow())
            right = std::min(right, child->x() - 1);
    t.area = QRect(kStatusMessageLeftPx, 0, right - kStatusMessageLeftPx, bar->height());
    const QFontMetrics fm(bar->font());
    t.needed = placed(bar, Qt::AlignLeft | Qt::AlignVCenter,
                      QSize(fm.horizontalAdvance(t.text), fm.height()), t.area);
    return t;
}

// Widgets that draw their text among their own children (a group's title, a status bar's
// message): a child lying over it covers it as well.
bool drawsAmongChildren(const QWidget *widget)
{
    return qobject_cast<const QGroupBox *>(widget) || qobject_cast<const QStatusBar *>(widget);
}

QRect inWindow(const QWidget *widget, const QRect &rect)
{
    return QRect(widget->mapTo(widget->window(), rect.topLeft()), rect.size());
}

} // namespace

TextFit::Text TextFit::textOf(const QWidget *widget)
{
    if (auto *label = qobject_cast<const QLabel *>(widget))
        return labelText(label);
    if (auto *button = qobject_cast<const QAbstractButton *>(widget))
        return buttonText(button);
    if (auto *group = qobject_cast<const QGroupBox *>(widget))
        return groupTitle(group);
    if (auto *edit = qobject_cast<const QLineEdit *>(widget))
        return lineEditText(edit);
    if (auto *combo = qobject_cast<const QComboBox *>(widget))
        return comboText(combo);
    if (auto *bar = qobject_cast<const QStatusBar *>(widget))
        return statusMessage(bar);
    return {};
}

QString TextFit::describe(const QWidget *widget, const QString &text)
{
    const QString name = widget->objectName().isEmpty()
                             ? QString::fromLatin1(widget->metaObject()->className())
                             : widget->objectName();
    QString shown = text;
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QStringLiteral("%1 \"%2\"").arg(name, shown);
}

QStringList TextFit::faults(const QWidget *window)
{
    QList<const QWidget *> shown;
    shown << window;
    for (const QWidget *w : window->findChildren<QWidget *>())
        if (w->window() == window && w->isVisible() && !w->size().isEmpty())
            shown << w;

    QStringList out;
    for (const QWidget *widget : shown) {
        const Text t = textOf(widget);
        if (!t.shows)
            continue;
        const QString who = describe(widget, t.text);
        if (t.needed.width() > t.area.width())
            out << QStringLiteral("%1: needs %2 px wide, has %3")
                       .arg(who)
                       .arg(t.needed.width())
                       .arg(t.area.width());
        if (auto *edit = qobject_cast<const QLineEdit *>(widget); edit && edit->text().isEmpty()) {
            const QPalette &palette = edit->palette();
            if (palette.color(QPalette::PlaceholderText) == palette.color(QPalette::Text))
                out << QStringLiteral("%1: placeholder drawn like typed text").arg(who);
        }
        if (t.needed.height() > t.area.height())
            out << QStringLiteral("%1: needs %2 px high, has %3")
                       .arg(who)
                       .arg(t.needed.height())
                       .arg(t.area.height());

        // Every widget from this one up to the window must hold the text, or it is cut.
        const QRect text = inWindow(widget, t.needed);
        for (const QWidget *holder = widget; holder; holder = holder->parentWidget()) {
            const QRect room = holder == window ? window->rect() : inWindow(holder, holder->rect());
            if (!room.contains(text)) {
                out << QStringLiteral("%1: cut by %2 (text %3,%4 %5x%6, room %7,%8 %9x%10)")
                           .arg(who, describe(holder, QString()))
                           .arg(text.x())
                           .arg(text.y())
                           .arg(text.width())
                           .arg(text.height())
                           .arg(room.x())
                           .arg(room.y())
                           .arg(room.width())
                           .arg(room.height());
                break;
            }
            if (holder == window)
                break;
        }

        // Any other visible widget over the text, unless it holds this one.
        for (const QWidget *other : shown) {
            if (other == widget || other == window || other->isAncestorOf(widget))
                continue;
            if (widget->isAncestorOf(other) && !drawsAmongChildren(widget))
                continue;
            if (inWindow(other, other->rect()).intersects(text))
                out << QStringLiteral("%1: covered by %2")
                           .arg(who, describe(other, TextFit::textOf(other).text));
        }
    }
    return out;
}
