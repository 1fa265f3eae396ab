#include "app/gui/settings_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressDialog>
#include <QPushButton>
#include <chrono>

#include "app/application.h"
#include "app/gui/dialogs.h"
#include "app/gui/main_window.h"
#include "app/gui/twips.h"
#include "app/gui/widgets.h"

namespace norv::gui {
namespace {

void ShowState(QCheckBox* box, int state) {
    box->setCheckState(state == 1   ? Qt::Checked
                       : state == 2 ? Qt::PartiallyChecked
                                    : Qt::Unchecked);
}

}  // namespace

SettingsWindow::SettingsWindow(MainWindow* main_window)
    : ChildWindow(main_window, "configfrm", QStringLiteral("設定編集")) {
    BuildControls();
    center_form(this);
}

void SettingsWindow::BuildControls() {
    auto* menu_bar = new QMenuBar(this);
    QMenu* ssave = menu_bar->addMenu(QStringLiteral("保存"));
    ssave->setObjectName("ssave");
    QAction* save_config = ssave->addAction(QStringLiteral("設定保存"));
    save_config->setObjectName("save_config");
    // A menu item called "save settings" saves them, as OK does.
    connect(save_config, &QAction::triggered, this, &SettingsWindow::ok);
    int top = menu_bar->sizeHint().height();
    menu_bar->setGeometry(0, 0, Px(6570), top);

    auto* client = new QWidget(this);
    client->setGeometry(0, top, Px(6570), Px(9390));
    setFixedSize(Px(6570), Px(9390) + top);

    MakeLabel(client, "Label4", QStringLiteral("サーバ名"), Twips(240, 120, 1575, 255));
    text4_ = Place<QLineEdit>(client, "Text4", Twips(2040, 120, 3015, 270));
    connect(MakeButton(client, "Command1", QStringLiteral("OK"), Twips(5280, 120, 1095, 375)),
            &QPushButton::clicked, this, &SettingsWindow::ok);
    connect(
        MakeButton(client, "Command2", QStringLiteral("キャンセル"), Twips(5280, 600, 1095, 375)),
        &QPushButton::clicked, this, &SettingsWindow::cancel);

    QGroupBox* frame3 =
        MakeFrame(client, "Frame3", QStringLiteral("検査オプション"), Twips(120, 600, 4215, 1095));
    scan_flg_check_ = MakeCheckBox(frame3, "scan_flg_check", QStringLiteral("自動検査を行う"),
                                   Twips(240, 360, 1695, 255));
    MakeLabel(frame3, "Label10", QStringLiteral("検査周期分"), Twips(2280, 360, 975, 255));
    text2_ = Place<QLineEdit>(frame3, "Text2", Twips(3720, 360, 375, 270), QStringLiteral("10"));
    evrymail_flg_ =
        MakeCheckBox(frame3, "evrymail_flg", QStringLiteral("改ざんがなくてもメールを送る"),
                     Twips(240, 720, 3375, 255));

    QGroupBox* frame4 = MakeFrame(client, "Frame4", QStringLiteral("自動ファイル復旧"),
                                  Twips(120, 1800, 6375, 1455));
    check2_ = MakeCheckBox(frame4, "Check2",
                           QStringLiteral("改ざんを検知したら自動で保存してあるファイルで復旧する"),
                           Twips(240, 240, 5895, 255));
    // The caption takes the whole first row; the button that builds the archive sits beside the
    // folder it writes to.
    connect(MakeButton(frame4, "Command3", QStringLiteral("保存"), Twips(5160, 540, 1095, 375)),
            &QPushButton::clicked, this, &SettingsWindow::save_archive);
    MakeLabel(frame4, "Label1(5)", QStringLiteral("保存ディレクトリ"), Twips(360, 600, 1695, 255));
    label11_ = MakeLabel(frame4, "Label11", "", Twips(2160, 600, 2880, 255));
    MakeLabel(frame4, "Label9", QStringLiteral("クラックされたファイルの一保存"),
              Twips(360, 960, 1575, 375))
        ->setWordWrap(true);
    label12_ = MakeLabel(frame4, "Label12", "", Twips(2160, 1080, 3855, 255));

    QGroupBox* frame2 =
        MakeFrame(client, "Frame2", QStringLiteral("改ざん検査対象"), Twips(120, 3360, 6375, 2775));
    MakeLabel(frame2, "Label8", QStringLiteral("検査ディレクトリ"), Twips(240, 240, 2175, 375));
    connect(MakeButton(frame2, "new_file", QStringLiteral("新規"), Twips(5280, 240, 855, 345)),
            &QPushButton::clicked, this, &SettingsWindow::new_file);
    list1_ = Place<QListWidget>(frame2, "List1", Twips(240, 600, 5895, 1740));
    list1_->viewport()->installEventFilter(this);
    connect(list1_, &QListWidget::itemChanged, this, &SettingsWindow::RuleItemChanged);
    MakeLabel(frame2, "Label3", QStringLiteral("チェックするとサブディレクトリを検索する "),
              Twips(2400, 2400, 3855, 255));

    QGroupBox* frame1 =
        MakeFrame(client, "Frame1", QStringLiteral("メール"), Twips(120, 6240, 6375, 2895));
    // A monospaced gothic face, so the mail fields line up as the layout expects.
    QFont gothic(QStringLiteral("VL Gothic"));
    gothic.setStyleHint(QFont::Monospace);
    alert_by_email_ =
        MakeCheckBox(frame1, "alert_by_email", QStringLiteral("メールでアラートを送る"),
                     Twips(720, 240, 4335, 255));
    const struct {
        const char* label_name;
        const char* caption;
        int top, width;
    } fields[] = {{"Label1(0)", "POP", 600, 3135},         {"Label1(1)", "SMTP", 960, 3135},
                  {"Label1(2)", "アカウント", 1320, 1095}, {"Label1(3)", "パスワード", 1680, 1095},
                  {"Label1(4)", "送信者", 2040, 3135},     {"Label1(6)", "受信者", 2400, 3135}};
    for (int k = 0; k < 6; ++k) {
        QLabel* label =
            MakeLabel(frame1, fields[k].label_name, QString::fromUtf8(fields[k].caption),
                      Twips(720, k == 0 ? 630 : fields[k].top, 1095, 255));
        label->setFont(gothic);
        text1_[k] = Place<QLineEdit>(frame1, QStringLiteral("Text1(%1)").arg(k),
                                     Twips(1920, fields[k].top, fields[k].width, 270));
        text1_[k]->setFont(gothic);
    }
    text1_[kMailPassword]->setEchoMode(QLineEdit::Password);
}

void SettingsWindow::Bind(Application& app) {
    app_ = &app;
    SettingsEditState& edit = main_window_->edit();
    LiveSwitches& switches = app.switches();
    // Every edit goes straight into the editing state.
    connect(text4_, &QLineEdit::textEdited, this,
            [&edit](const QString& t) { edit.server_name = t.toStdString(); });
    connect(text2_, &QLineEdit::textEdited, this,
            [&edit](const QString& t) { edit.scan_period = t.toStdString(); });
    for (int k = 0; k < 6; ++k) {
        connect(text1_[k], &QLineEdit::textEdited, this,
                [&edit, k](const QString& t) { edit.mail_fields[k] = t.toStdString(); });
    }
    auto bind_box = [this](QCheckBox* box, int* state) {
        connect(box, &QCheckBox::stateChanged, this, [this, state](int value) {
            if (!refreshing_)
                *state = value == Qt::Checked ? 1 : value == Qt::PartiallyChecked ? 2 : 0;
        });
    };
    bind_box(alert_by_email_, &edit.alert_by_email);
    bind_box(scan_flg_check_, &edit.scan_flg_check);
    bind_box(evrymail_flg_, &switches.mail_always);
    bind_box(check2_, &switches.auto_restore);
    Refresh();
}

void SettingsWindow::Refresh() {
    if (!app_) return;
    const SettingsEditState& edit = main_window_->edit();
    const LiveSwitches& switches = app_->switches();
    refreshing_ = true;
    text4_->setText(Q(edit.server_name));
    text2_->setText(Q(edit.scan_period));
    for (int k = 0; k < 6; ++k) text1_[k]->setText(Q(edit.mail_fields[k]));
    ShowState(alert_by_email_, edit.alert_by_email);
    ShowState(scan_flg_check_, edit.scan_flg_check);
    ShowState(evrymail_flg_, switches.mail_always);
    ShowState(check2_, switches.auto_restore);
    label11_->setText(Q(edit.save_dir_label));
    label12_->setText(Q(edit.cracked_dir_label));
    list1_->clear();
    for (const auto& item : edit.rule_list) {
        auto* row = new QListWidgetItem(Q(item.text), list1_);
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        row->setCheckState(item.checked ? Qt::Checked : Qt::Unchecked);
    }
    refreshing_ = false;
}

void SettingsWindow::Open() {
    Status status = app_->ReloadSettingsAndRules();
    Refresh();
    // Shown first: the box that says what failed to load stands over this window.
    show();
    raise();
    activateWindow();
    if (!status.ok()) main_window_->ShowMessageBox(status.ToString(), this);
}

void SettingsWindow::ok() {
    Status status = app_->SaveSettings(SettingsToSave(app_->settings(), main_window_->edit()));
    if (status.ok()) status = main_window_->StripStatus();
    main_window_->SettingsSaved();
    if (!status.ok()) {
        main_window_->ShowMessageBox(status.ToString(), this);
        return;
    }
    hide();
}

void SettingsWindow::cancel() { hide(); }

void SettingsWindow::closeEvent(QCloseEvent* event) {
    // The window keeps living, hidden: it holds the two live switches.
    event->ignore();
    hide();
}

void SettingsWindow::new_file() {
    QString folder = BrowseFolder(this);
    Status status = app_->AddRule(folder.toStdString());
    if (!status.ok()) main_window_->ShowMessageBox(status.ToString(), this);
    Refresh();
}

void SettingsWindow::RuleItemChanged(QListWidgetItem* item) {
    if (refreshing_ || !app_) return;
    Status status = app_->SetRuleRecursion(list1_->row(item), item->checkState() == Qt::Checked);
    if (!status.ok()) main_window_->ShowMessageBox(status.ToString(), this);
}

bool SettingsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list1_->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* press = static_cast<QMouseEvent*>(event);
        // The item current before the press: a right press does not move it.
        selected_rule_ = list1_->currentRow() + 1;
        if (press->button() == Qt::RightButton) {
            QMenu popup(this);
            popup.setObjectName("del_rule");
            QAction* del = popup.addAction(QStringLiteral("このルールを削除する"));
            del->setObjectName("del_rule_one");
            connect(del, &QAction::triggered, this, &SettingsWindow::del_rule_one);
            popup.exec(press->globalPosition().toPoint());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SettingsWindow::del_rule_one() {
    Status status = app_->DeleteRule(selected_rule_);
    if (!status.ok()) main_window_->ShowMessageBox(status.ToString(), this);
    Refresh();
}

void SettingsWindow::save_archive() {
    auto* button = findChild<QPushButton*>("Command3");
    button->setEnabled(false);  // one archive at a time
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QProgressDialog progress(QStringLiteral("保護ファイルを保存しています…"), QString(), 0, 0,
                             this);
    progress.setWindowTitle(QStringLiteral("norv"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    auto last = app_->context().env->SteadyNow();
    // Like a scan, the archive holds the program folder: refused during a scan, and scans wait.
    Status status = app_->engine().RunExclusive([&] {
        app_->archive().CreateArchive([&](const std::string& path) {
            // Long trees keep the windows alive and show where the archive has got to.
            auto now = app_->context().env->SteadyNow();
            if (now - last < std::chrono::milliseconds(50)) return;
            last = now;
            progress.setLabelText(Q(path));
            QCoreApplication::processEvents();
        });
        return Status::Ok();
    });
    QApplication::restoreOverrideCursor();
    if (!status.ok()) main_window_->ShowMessageBox(status.message(), this);
    button->setEnabled(true);
}

}  // namespace norv::gui
