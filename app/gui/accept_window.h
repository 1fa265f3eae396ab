// AcceptWindow: the last check's changes, each with a check box, and 承認, which takes the
// ticked ones into the baseline and the archive through the same core as `norv-cli accept`
// (ChangeAcceptor). An item that changed again since the list was made is refused, and the
// window says which and why. Opened from 編集 → 変更の承認; hidden, never destroyed, by its close.
//   changeList      one row per change: tick, kind, path, size, time, MD5 recorded and found
//   acceptSummary   how many changes the list holds, or why there is none
//   tickAllButton   ticks every row             untickAllButton   clears every tick
//   acceptButton    承認: accepts the ticked rows
//   acceptResults   what was accepted and what was refused, and why
//   closeButton     閉じる
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <cstdint>
#include <vector>

#include "app/gui/child_window.h"
#include "response/accept.h"

namespace norv::gui {

class AcceptWindow : public ChildWindow {
    Q_OBJECT
  public:
    explicit AcceptWindow(MainWindow* main_window);

    // Reads the last check's changes into the list and shows the window.
    void Open();
    // Reads the list again; the results stay.
    void Reload();

  public slots:
    void AcceptTicked();
    void TickAll();
    void UntickAll();

  private:
    void BuildControls();
    void SetAllTicks(Qt::CheckState state);

    int64_t generation_ = 0;
    std::vector<ReviewedChange> changes_;  // row i of the list shows changes_[i]
    QTreeWidget* list_ = nullptr;
    QLabel* summary_ = nullptr;
    QPushButton* accept_ = nullptr;
    QPlainTextEdit* results_ = nullptr;
};

}  // namespace norv::gui
