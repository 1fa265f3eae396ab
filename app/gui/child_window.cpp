#include "app/gui/child_window.h"

#include "app/gui/main_window.h"

namespace norv::gui {

ChildWindow::ChildWindow(MainWindow* main_window, const char* object_name, const QString& title)
    : QWidget(main_window, Qt::Window), main_window_(main_window) {
    setObjectName(object_name);
    setWindowTitle(title);
}

}  // namespace norv::gui
