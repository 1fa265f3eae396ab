#include "tests/support/gui_fit.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>

#include <algorithm>

namespace norv::testing {

std::vector<std::string> ClippedControls(QWidget* root) {
    std::vector<std::string> clipped;
    auto report = [&](const QWidget* w, const std::string& why) {
        clipped.push_back(w->objectName().toStdString() + ": " + why);
    };
    auto too_narrow = [&](const QWidget* w, int need, int have, const QString& text) {
        report(w, "needs " + std::to_string(need) + " px, has " + std::to_string(have) + " for \"" +
                      text.toStdString() + "\"");
    };
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root) || w->objectName().startsWith(QLatin1String("qt_"))) continue;
        // The status strip is a bar of squares that grows across its own width by design.
        if (w->objectName() == QLatin1String("status")) continue;
        const QFontMetrics fm(w->font());
        const QStyle* style = w->style();
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->text().isEmpty() || label->wordWrap() || label->textFormat() == Qt::RichText)
                continue;
            const QRect room = label->contentsRect().marginsRemoved(
                QMargins(label->margin(), label->margin(), label->margin(), label->margin()));
            const int need = fm.horizontalAdvance(label->text());
            if (need > room.width()) too_narrow(label, need, room.width(), label->text());
            if (fm.height() > room.height()) report(label, "too low for one line");
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
            const int need = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
                             style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box) +
                             fm.horizontalAdvance(box->text());
            if (need > box->width()) too_narrow(box, need, box->width(), box->text());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            const int need = fm.horizontalAdvance(button->text()) +
                             2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
            if (need > button->width()) too_narrow(button, need, button->width(), button->text());
            if (fm.height() + 2 > button->height()) report(button, "too low for its text");
        } else if (auto* frame = qobject_cast<QGroupBox*>(w)) {
            const int need = fm.horizontalAdvance(frame->title()) + 2 * fm.averageCharWidth();
            if (need > frame->width()) too_narrow(frame, need, frame->width(), frame->title());
        }
        // Inside a frame, a control stays below the title and inside the border line.
        if (auto* frame = qobject_cast<QGroupBox*>(w->parentWidget())) {
            QStyleOptionGroupBox option;
            option.initFrom(frame);
            option.text = frame->title();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QRect title = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                               QStyle::SC_GroupBoxLabel, frame);
            const QRect border = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                                QStyle::SC_GroupBoxFrame, frame);
            QRect inside = border.adjusted(1, 1, -1, -1);
            inside.setTop(std::max(inside.top(), title.bottom() + 1));
            if (!inside.contains(w->geometry())) {
                const QRect g = w->geometry();
                report(w, "crosses its frame: " + std::to_string(g.top()) + ".." +
                              std::to_string(g.bottom()) + " from the top, room " +
                              std::to_string(inside.top()) + ".." +
                              std::to_string(inside.bottom()));
            }
        }
        // Controls side by side must not cover each other's text.
        for (QWidget* other :
             w->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (other == w || !other->isVisibleTo(root) ||
                other->objectName().startsWith(QLatin1String("qt_")) ||
                other->objectName().isEmpty() || w->objectName().isEmpty())
                continue;
            if (qobject_cast<QGroupBox*>(other) || qobject_cast<QGroupBox*>(w)) continue;
            // Neighbours sharing an edge pixel after rounding twips are fine.
            const QRect common = w->geometry().intersected(other->geometry());
            if (w->objectName() < other->objectName() && common.width() > 2 && common.height() > 2)
                report(w, "overlaps " + other->objectName().toStdString());
        }
    }
    return clipped;
}

}  // namespace norv::testing
