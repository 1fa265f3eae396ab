// Small helpers both windows build their controls with.
#pragma once

#include <QLabel>
#include <QRect>
#include <QString>
#include <string>

namespace norv::gui {

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

// A label named `name` (its object name, which tests find it by) at `geometry`, optionally on a
// coloured background.
inline QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                         const char* background = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    if (background) {
        label->setAutoFillBackground(true);
        label->setStyleSheet(QStringLiteral("background-color: %1;").arg(background));
    }
    return label;
}

}  // namespace norv::gui
