// Small helpers the windows build their controls with.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <string>
#include <utility>

namespace norv::gui {

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

// A control made from `args` and its parent, named `name` (its object name, which tests find it
// by), at `geometry`.
template <class Control, class... Args>
Control* Place(QWidget* parent, const QString& name, QRect geometry, Args&&... args) {
    auto* control = new Control(std::forward<Args>(args)..., parent);
    control->setObjectName(name);
    control->setGeometry(geometry);
    return control;
}

inline QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                               QRect geometry) {
    return Place<QPushButton>(parent, name, geometry, caption);
}

inline QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& caption,
                               QRect geometry) {
    return Place<QCheckBox>(parent, name, geometry, caption);
}

inline QGroupBox* MakeFrame(QWidget* parent, const char* name, const QString& caption,
                            QRect geometry) {
    return Place<QGroupBox>(parent, name, geometry, caption);
}

// A label, optionally on a coloured background.
inline QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                         const char* background = nullptr) {
    auto* label = Place<QLabel>(parent, name, geometry, text);
    if (background) {
        label->setAutoFillBackground(true);
        label->setStyleSheet(QStringLiteral("background-color: %1;").arg(background));
    }
    return label;
}

}  // namespace norv::gui
