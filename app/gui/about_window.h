// AboutWindow (`frmAbout`): the program's name, what it does, and its version number.
#pragma once

#include <QDialog>

namespace norv::gui {

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionRevision = 0;

class AboutWindow : public QDialog {
    Q_OBJECT
  public:
    explicit AboutWindow(QWidget* parent);
};

}  // namespace norv::gui
