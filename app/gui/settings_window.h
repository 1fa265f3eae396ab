// SettingsWindow (`configfrm`): edits the settings and the rules, and builds the archive.
//
// It shows the one SettingsEditState of the Application and writes every edit straight into it.
// Its two live check boxes ("mail even without tampering", "restore automatically") are bound to
// the Application's LiveSwitches, so they act at once, whether the window is shown or hidden. OK
// saves the settings file; Cancel and the title bar's close button only hide the window. Rule
// edits are saved when they are made.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <array>

#include "app/gui/child_window.h"

namespace norv {
class Application;
}

namespace norv::gui {

class SettingsWindow : public ChildWindow {
    Q_OBJECT
  public:
    explicit SettingsWindow(MainWindow* main_window);

    void Bind(Application& app);
    // editconfig: reload both files, then show.
    void Open();
    // Shows the editing state in the controls.
    void Refresh();
    int selected_rule() const { return selected_rule_; }

  public slots:
    void ok();
    void cancel();
    void new_file();
    void save_archive();
    void del_rule_one();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void RuleItemChanged(QListWidgetItem* item);

    Application* app_ = nullptr;
    bool refreshing_ = false;
    int selected_rule_ = 0;

    QLineEdit* text4_ = nullptr;
    std::array<QLineEdit*, 6> text1_{};
    QLineEdit* text2_ = nullptr;
    QCheckBox* alert_by_email_ = nullptr;
    QCheckBox* scan_flg_check_ = nullptr;
    QCheckBox* evrymail_flg_ = nullptr;
    QCheckBox* check2_ = nullptr;
    QLabel* label11_ = nullptr;
    QLabel* label12_ = nullptr;
    QListWidget* list1_ = nullptr;
};

}  // namespace norv::gui
