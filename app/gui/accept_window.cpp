#include "app/gui/accept_window.h"

#include <QHeaderView>

#include "app/application.h"
#include "app/gui/main_window.h"
#include "app/gui/twips.h"
#include "app/gui/widgets.h"
#include "engine/scan_log.h"
#include "engine/writer_json.h"
#include "platform/base/notice_code.h"

namespace norv::gui {
namespace {

enum Column { kKind, kPath, kSize, kTime, kOldMd5, kNewMd5, kWriter, kColumns };

QString KindText(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kCreated:
            return QStringLiteral("新規作成");
        case ChangeKind::kAltered:
            return QStringLiteral("変更");
        case ChangeKind::kDeleted:
            return QStringLiteral("削除");
        case ChangeKind::kMoved:
            return QStringLiteral("移動");
    }
    return {};
}

QString DigestText(const std::optional<platform::Md5Digest>& md5) {
    return md5 ? Q(md5->text()) : QStringLiteral("-");
}

}  // namespace

AcceptWindow::AcceptWindow(MainWindow* main_window)
    : ChildWindow(main_window, "acceptChangesWindow", QStringLiteral("変更の承認")) {
    BuildControls();
    center_form(this);
}

void AcceptWindow::BuildControls() {
    setFixedSize(Px(10500), Px(7320));
    summary_ = MakeLabel(this, "acceptSummary", "", Twips(120, 180, 6960, 255));
    connect(MakeButton(this, "tickAllButton", QStringLiteral("すべて選択"),
                       Twips(7200, 120, 1515, 375)),
            &QPushButton::clicked, this, &AcceptWindow::TickAll);
    connect(MakeButton(this, "untickAllButton", QStringLiteral("選択解除"),
                       Twips(8865, 120, 1515, 375)),
            &QPushButton::clicked, this, &AcceptWindow::UntickAll);

    list_ = Place<QTreeWidget>(this, "changeList", Twips(120, 600, 10260, 3960));
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setColumnCount(kColumns);
    list_->setHeaderLabels({QStringLiteral("種類"), QStringLiteral("パス"),
                            QStringLiteral("サイズ"), QStringLiteral("日時"),
                            QStringLiteral("基準の MD5"), QStringLiteral("現在の MD5"),
                            QStringLiteral("書き込んだプロセス")});
    list_->header()->setStretchLastSection(false);
    list_->setColumnWidth(kKind, Px(1260));
    list_->setColumnWidth(kPath, Px(3600));
    list_->setColumnWidth(kSize, Px(900));
    list_->setColumnWidth(kTime, Px(2100));
    list_->setColumnWidth(kOldMd5, Px(3900));
    list_->setColumnWidth(kNewMd5, Px(3900));
    list_->setColumnWidth(kWriter, Px(4500));

    accept_ =
        MakeButton(this, "acceptButton", QStringLiteral("承認"), Twips(7680, 4680, 1215, 375));
    connect(accept_, &QPushButton::clicked, this, &AcceptWindow::AcceptTicked);
    connect(MakeButton(this, "closeButton", QStringLiteral("閉じる"), Twips(9165, 4680, 1215, 375)),
            &QPushButton::clicked, this, &QWidget::hide);
    MakeLabel(this, "resultsLabel", QStringLiteral("承認の結果"), Twips(120, 4740, 2400, 255));
    results_ = Place<QPlainTextEdit>(this, "acceptResults", Twips(120, 5160, 10260, 2040));
    results_->setReadOnly(true);
}

void AcceptWindow::Open() {
    results_->clear();
    Reload();
    show();
    raise();
    activateWindow();
}

void AcceptWindow::Reload() {
    list_->clear();
    changes_.clear();
    Application& app = main_window_->app();
    // The program folder's lock is this process's own while a check runs.
    if (app.engine().running()) {
        summary_->setText(Q(Render(Message(NoticeCode::kRunInProgress))));
        accept_->setEnabled(false);
        return;
    }
    auto loaded = app.acceptor().LoadChanges();
    if (!loaded.ok()) {
        summary_->setText(Q(DisplayText(loaded.status().message())));
        accept_->setEnabled(false);
        return;
    }
    if (!loaded->checked) {
        summary_->setText(QStringLiteral("初期化のあと、検査を最後まで終えていません"));
        accept_->setEnabled(false);
        return;
    }
    generation_ = loaded->generation;
    changes_ = std::move(loaded->changes);
    for (const ReviewedChange& change : changes_) {
        const bool gone = change.kind == ChangeKind::kDeleted || change.mtime == -1;
        auto* row = new QTreeWidgetItem(list_);
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        row->setCheckState(kKind, Qt::Unchecked);
        row->setText(kKind, KindText(change.kind));
        // A move shows where from and where to.
        const std::string shown_path =
            change.kind == ChangeKind::kMoved
                ? DisplayPath(change.moved_from) + " → " + DisplayPath(change.path)
                : DisplayPath(change.path);
        row->setText(kPath, Q(shown_path));
        row->setToolTip(kPath, Q(shown_path));
        row->setText(kSize, gone ? QStringLiteral("-") : QString::number(change.size));
        row->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
        row->setText(kTime,
                     gone ? QStringLiteral("-")
                          : Q(app.regional().DateTime(platform::FromTimespec({change.mtime, 0}))));
        row->setText(kOldMd5, DigestText(change.old_md5));
        row->setText(kNewMd5, DigestText(change.new_md5));
        // Where the watch saw who made it.
        if (auto writer = WriterFromJsonText(change.writer)) {
            row->setText(kWriter, Q(WriterSummary(*writer)));
            row->setToolTip(kWriter, Q(WriterJson(*writer).dump()));
        }
    }
    summary_->setText(changes_.empty()
                          ? QStringLiteral("最後の検査で見つかった変更はありません")
                          : QStringLiteral("最後の検査で見つかった変更: %1 件。承認するものに印を"
                                           "付けてください")
                                .arg(changes_.size()));
    accept_->setEnabled(!changes_.empty());
}

void AcceptWindow::SetAllTicks(Qt::CheckState state) {
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        list_->topLevelItem(i)->setCheckState(kKind, state);
    }
}

void AcceptWindow::TickAll() { SetAllTicks(Qt::Checked); }
void AcceptWindow::UntickAll() { SetAllTicks(Qt::Unchecked); }

void AcceptWindow::AcceptTicked() {
    Application& app = main_window_->app();
    std::vector<ReviewedChange> ticked;
    for (int i = 0; i < list_->topLevelItemCount() && static_cast<size_t>(i) < changes_.size();
         ++i) {
        if (list_->topLevelItem(i)->checkState(kKind) == Qt::Checked) {
            ticked.push_back(changes_[static_cast<size_t>(i)]);
        }
    }
    if (ticked.empty()) {
        results_->setPlainText(QStringLiteral("承認する変更に印がありません"));
        return;
    }
    if (app.engine().running()) {
        results_->setPlainText(Q(Render(Message(NoticeCode::kRunInProgress))));
        return;
    }
    auto outcome = app.acceptor().Accept(generation_, ticked, app.process().user);
    if (!outcome.ok()) {
        results_->setPlainText(QStringLiteral("何も承認していません: ") +
                               Q(DisplayText(outcome.status().message())));
        return;
    }
    QStringList lines;
    lines << QStringLiteral("承認しました: %1 件、承認しなかったもの: %2 件")
                 .arg(outcome->accepted.size())
                 .arg(outcome->refused.size());
    for (const ReviewedChange& change : outcome->accepted) {
        lines << QStringLiteral("承認: ") + KindText(change.kind) + " " +
                     Q(DisplayPath(change.path));
    }
    for (const Refusal& refusal : outcome->refused) {
        lines << QStringLiteral("承認しません: ") + Q(DisplayText(Render(refusal.reason)));
    }
    results_->setPlainText(lines.join('\n'));
    Reload();
}

}  // namespace norv::gui
