// ChildWindow: what the main window's own windows (settings, accept) share. Each is a window of
// its own that the main window owns and that reaches back to it, known by its object name and
// shown under its title. A closed one is hidden, never destroyed before the main window.
#pragma once

#include <QString>
#include <QWidget>

namespace norv::gui {

class MainWindow;

class ChildWindow : public QWidget {
  protected:
    // A subclass then builds its controls, sizing itself, and centres itself (center_form).
    ChildWindow(MainWindow* main_window, const char* object_name, const QString& title);

    MainWindow* main_window_;
};

}  // namespace norv::gui
