// The desktop windows on Qt's offscreen platform, driven by object name.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <chrono>

#include "app/gui/about_window.h"
#include "app/gui/accept_window.h"
#include "app/gui/dialogs.h"
#include "app/gui/interface_look.h"
#include "app/gui/main_window.h"
#include "app/gui/settings_window.h"
#include "app/wording/japanese.h"
#include "platform/text/text_file.h"
#include "tests/support/gui_fit.h"
#include "tests/support/smtp_fixture.h"
#include "tests/support/test_support.h"

namespace norv::gui {
namespace {

using testing::TempDir;

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetMessageRecorder([this](const QString& m) { messages.push_back(m.toStdString()); });
        lines = testing::SettingsLines(program / "save", program / "cracked");
    }
    void TearDown() override { SetMessageRecorder(nullptr); }

    void StartWindow() {
        ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), program / "norvcfg.txt",
                                                  lines, "UTF-8")
                        .ok());
        window = std::make_unique<MainWindow>();
        StartupOptions options;
        options.program_dir = program.path();
        options.charset = "UTF-8";
        options.locale = "ja_JP";
        options.time_zone = "Asia/Tokyo";
        ASSERT_TRUE(window->Start(options).ok());
    }
    template <typename T>
    T* Find(const char* name) {
        T* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString Text(const char* name) { return Find<QLabel>(name)->text(); }
    bool TimerActive(const char* name) { return Find<QTimer>(name)->isActive(); }
    void Trigger(const char* name) { Find<QAction>(name)->trigger(); }

    TempDir program;
    TempDir tree;
    std::vector<std::string> lines;
    std::vector<std::string> messages;
    std::unique_ptr<MainWindow> window;
};

TEST_F(GuiTest, CaptionMenusAndInitialState) {
    StartWindow();
    EXPECT_EQ(window->windowTitle(), "Orlavane V1.10");
    EXPECT_EQ(window->objectName(), "filecheck");
    QStringList menus;
    for (QAction* top : window->menuBar()->actions()) {
        menus << top->text();
        for (QAction* item : top->menu()->actions()) {
            menus << "  " + (item->isSeparator() ? QStringLiteral("-") : item->text()) + " " +
                         item->objectName();
        }
    }
    EXPECT_EQ(menus.join('\n').toStdString(),
              "ファイル\n  終了 fend\n編集\n  設定 editconfig\n  変更の承認 acceptChanges\n実行\n  "
              "スキャン開始 check_file\n"
              "  データベース更新 updatedb\n  データベース初期化 initdb\n  - d2\n"
              "  タスクトレイに入れる auto_scan\n  - d1\n  ログの表示 viewlog\n"
              "ヘルプ\n  ヘルプ help\n  バージョン ver");
    EXPECT_EQ(Text("status"), QString(40, QChar(0x25A0)));
    EXPECT_EQ(Find<QLabel>("status")->width(), 0);
    for (const char* empty : {"msg", "scandate", "Label5(0)", "Label5(3)", "Label6", "Label7"}) {
        EXPECT_TRUE(Text(empty).isEmpty()) << empty;
    }
    EXPECT_EQ(Text("Label2"), "最終検査時間");
    EXPECT_EQ(Text("Label4(1)"), "変更");
    EXPECT_EQ(Text("Label4(2)"), "新規作成");
    EXPECT_TRUE(TimerActive("Timer3"));
    EXPECT_FALSE(TimerActive("Timer1"));
    EXPECT_FALSE(TimerActive("Timer2"));
    EXPECT_EQ(Find<QTimer>("Timer1")->interval(), 30000);
    EXPECT_EQ(Find<QTimer>("Timer2")->interval(), 1000);
    EXPECT_EQ(Find<QWidget>("client")->width(), 330);  // 4950 twips
}

TEST_F(GuiTest, StatusStripAndClockFollowTimer2) {
    lines[10] = "1";
    StartWindow();
    std::vector<float> widths;
    for (int i = 0; i < 4; ++i) {
        window->OnClockTick();
        widths.push_back(window->status_strip().width);
    }
    EXPECT_EQ(widths, (std::vector<float>{4695, 0, 4695, 0}));
    // The clock in the regional form: short date, a blank, the time with seconds.
    EXPECT_TRUE(QRegularExpression("^\\d{4}/\\d{2}/\\d{2} \\d{1,2}:\\d{2}:\\d{2}$")
                    .match(Text("Label6"))
                    .hasMatch())
        << Text("Label6").toStdString();
}

TEST_F(GuiTest, SchedulerLabelAndManualChecksBetweenTicks) {
    tree.Write("a", "1");
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree.path() + ",1</rule>\r\n");
    StartWindow();
    for (int i = 0; i < 3; ++i) window->OnAutoCheckTick();
    EXPECT_EQ(Text("Label7"), "1.5/10");
    Trigger("check_file");  // a manual check does not reset the count
    window->OnAutoCheckTick();
    EXPECT_EQ(Text("Label7"), "2/10");
}

TEST_F(GuiTest, ScanFromTheMenuFillsTheCountsInOrder) {
    tree.Write("keep", "k");
    tree.Write("change", "c");
    tree.Write("gone", "g");
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree.path() + ",1</rule>\r\n");
    StartWindow();
    Trigger("initdb");
    tree.Write("change", "changed");
    tree.Write("new1", "n");
    tree.Write("new2", "n");
    ::unlink((tree / "keep").c_str());
    ::unlink((tree / "gone").c_str());
    Trigger("check_file");
    EXPECT_EQ(Text("Label5(0)"), "3");  // checked
    EXPECT_EQ(Text("Label5(1)"), "1");  // altered
    EXPECT_EQ(Text("Label5(2)"), "2");  // created
    EXPECT_EQ(Text("Label5(3)"), "2");  // deleted
    EXPECT_EQ(Text("msg"), "スキャンされたファイル数 ( 3 )  ");
    EXPECT_FALSE(Text("scandate").isEmpty());
    EXPECT_TRUE(messages.empty());
}

TEST_F(GuiTest, ADueTickDuringACommandIsDeferredAndAnyCheckAnswersIt) {
    lines[10] = "0";  // every tick is due
    tree.Write("a", "1");
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree.path() + ",1</rule>\r\n");
    StartWindow();
    messages.clear();
    // The window lets pending events run at most every 15 ms while a command works: a tick
    // posted now arrives inside the next command once that much time has passed.
    auto tick_inside_next_command = [this] {
        QTest::qWait(20);
        QTimer::singleShot(0, window.get(), [this] { window->OnAutoCheckTick(); });
    };
    const ScanScheduler& scheduler = window->scheduler();

    // During an init: the due check runs right after it and starts the count over.
    tick_inside_next_command();
    Trigger("initdb");
    EXPECT_EQ(Text("Label7"), "0.5/0");
    EXPECT_EQ(scheduler.elapsed_minutes(), 0);
    EXPECT_FALSE(scheduler.check_deferred());

    // During a manual check: that check answers the tick; none follows, the count goes on.
    tick_inside_next_command();
    Trigger("check_file");
    EXPECT_EQ(scheduler.elapsed_minutes(), 0.5);
    EXPECT_FALSE(scheduler.check_deferred());

    // During an automatic check: nothing is left behind for the next command.
    tick_inside_next_command();
    window->OnAutoCheckTick();
    EXPECT_EQ(scheduler.elapsed_minutes(), 0);
    EXPECT_FALSE(scheduler.check_deferred());
    Trigger("updatedb");
    EXPECT_EQ(scheduler.elapsed_minutes(), 0);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(Find<QAction>("check_file")->isEnabled());
}

// Nobody waits on a timed check: a rule warning must not hold it, its log or its mail in a box.
TEST_F(GuiTest, ATimedCheckWithARuleWarningEndsAndMailsWithoutAClick) {
    testing::SmtpServer smtp;
    ASSERT_TRUE(smtp.started());
    lines[2] = " 1 ";
    lines[4] = smtp.address();
    lines[5] = "";  // no account: the loopback server offers no STARTTLS
    lines[9] = " 1 ";
    lines[10] = "0.5";
    tree.Write("sub/a", "1");
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree.path() + ",3</rule>\r\n<rule>" +
                                                     tree / "sub" + ",1</rule>\r\n");
    StartWindow();
    Trigger("initdb");
    tree.Write("sub/a", "tampered");
    // Real boxes from here on. One still waiting once the bound has passed is closed, so that a
    // check it holds fails the test instead of hanging it.
    SetMessageRecorder(nullptr);
    bool box_waited = false;
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!box || std::chrono::steady_clock::now() < bound) return;
        box_waited = true;
        box->reject();
    });
    watchdog.start(100);
    window->OnAutoCheckTick();
    EXPECT_FALSE(box_waited);
    const std::string log = testing::ReadAll(program / "norv.log");
    EXPECT_NE(log.find("Warning: ルール 2"), std::string::npos) << log;
    EXPECT_NE(log.find("削除\u3000："), std::string::npos) << log;  // the summary's last line
    const auto mails = smtp.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].body, log);
    EXPECT_NE(Find<QLabel>("msg")->toolTip().toStdString().find("ルール 2"), std::string::npos);
}

TEST_F(GuiTest, AnActionByHandDuringATimedCheckKeepsItsBox) {
    lines[10] = "0";  // every tick is due
    tree.Write("a", "1");
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree.path() + ",1</rule>\r\n");
    StartWindow();
    messages.clear();
    // Posted now, the menu choice arrives while the check lets events run (after 15 ms).
    QTest::qWait(20);
    QTimer::singleShot(0, window.get(), [this] { Trigger("help"); });  // no help page here
    window->OnAutoCheckTick();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("ヘルプ"), std::string::npos) << messages[0];
}

// Start-up waits on no one: the timers may already run, and nothing has been asked for yet.
TEST_F(GuiTest, ABadPeriodAtStartUpIsSaidOnTheMessageLine) {
    lines[9] = " 1 ";
    lines[10] = "abc";
    StartWindow();
    EXPECT_TRUE(messages.empty());
    // Longer than the line: it ends in an ellipsis within the line, and the tool tip holds it
    // whole.
    const QLabel* msg = Find<QLabel>("msg");
    EXPECT_TRUE(msg->text().endsWith(QChar(0x2026))) << msg->text().toStdString();
    EXPECT_LE(msg->fontMetrics().horizontalAdvance(msg->text()), msg->contentsRect().width());
    const std::string whole = msg->toolTip().toStdString();
    EXPECT_NE(whole.find(program / "norvcfg.txt"), std::string::npos) << whole;
    EXPECT_NE(whole.find("状態表示は動きません"), std::string::npos) << whole;
}

TEST_F(GuiTest, SavedSettingsActAtOnce) {
    StartWindow();
    window->StartAutoCheckTimers();
    for (int i = 0; i < 3; ++i) window->OnAutoCheckTick();
    EXPECT_EQ(Text("Label7"), "1.5/10");
    const float old_step = window->status_strip().step;
    SettingsWindow& s = window->settings_window();
    s.Open();
    QLineEdit* period = s.findChild<QLineEdit*>("Text2");
    period->selectAll();
    QTest::keyClicks(period, "1");
    s.findChild<QPushButton*>("Command1")->click();
    // The label, the record the timer reads, and the strip's step follow the saved period.
    EXPECT_EQ(Text("Label7"), "1.5/1");
    EXPECT_EQ(window->app().settings().scan_period, "1");
    EXPECT_FLOAT_EQ(window->status_strip().step, old_step * 10);
    // The next tick runs the check that is now due.
    window->OnAutoCheckTick();
    EXPECT_EQ(window->scheduler().elapsed_minutes(), 0);
    // The same through the menu's save item.
    s.Open();
    period->selectAll();
    QTest::keyClicks(period, "5");
    s.findChild<QAction*>("save_config")->trigger();
    EXPECT_EQ(Text("Label7"), "0/5");
    EXPECT_EQ(window->app().settings().scan_period, "5");
}

// A box answers the window it was raised from: over the settings window, not the main one.
TEST_F(GuiTest, ABoxFromTheSettingsWindowBelongsToIt) {
    StartWindow();
    SetMessageRecorder(nullptr);
    SettingsWindow& s = window->settings_window();
    s.Open();
    QWidget* parent = nullptr;
    QWindow* transient = nullptr;
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        ASSERT_NE(box, nullptr);
        parent = box->parentWidget();
        transient = box->windowHandle() ? box->windowHandle()->transientParent() : nullptr;
        box->close();
    });
    QLineEdit* period = s.findChild<QLineEdit*>("Text2");
    period->selectAll();
    QTest::keyClicks(period, "abc");  // a period that is no number: the save says so
    s.findChild<QPushButton*>("Command1")->click();
    EXPECT_EQ(parent, &s);
    EXPECT_EQ(transient, s.windowHandle());
}

TEST_F(GuiTest, EveryTextFitsItsControl) {
    // One face for Latin and Japanese alike (this program's main sets the look up as the
    // desktop program's does): the face asked for is the face the digits come from.
    // Under a Japanese locale the face answers to its Japanese name.
    if (QFontDatabase::hasFamily(QStringLiteral("VL PGothic"))) {
        EXPECT_EQ(QApplication::font().families().value(0), QStringLiteral("VL PGothic"));
        const QString used = QFontInfo(QApplication::font()).family();
        EXPECT_TRUE(used == QStringLiteral("VL PGothic") || used == QStringLiteral("VL Pゴシック"))
            << used.toStdString();
    }
    tree.Write("a", "1");
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree.path() + ",1</rule>\r\n");
    StartWindow();
    // The texts at their widest: counts after a check, the clock, the period label.
    Trigger("initdb");
    Trigger("check_file");
    for (int i = 0; i < 21; ++i) window->OnAutoCheckTick();
    window->OnClockTick();
    window->show();
    EXPECT_EQ(testing::ClippedControls(window.get()), std::vector<std::string>{});
    SettingsWindow& s = window->settings_window();
    s.Open();
    EXPECT_EQ(testing::ClippedControls(&s), std::vector<std::string>{});
    AboutWindow about(window.get());
    about.show();
    EXPECT_EQ(testing::ClippedControls(&about), std::vector<std::string>{});
    // The accept window with a change listed, and its answer to a click with nothing ticked.
    tree.Write("a", "2");
    Trigger("check_file");
    Trigger("acceptChanges");
    AcceptWindow* accept = window->accept_window();
    ASSERT_NE(accept, nullptr);
    ASSERT_EQ(accept->findChild<QTreeWidget*>("changeList")->topLevelItemCount(), 1);
    accept->findChild<QPushButton*>("acceptButton")->click();
    EXPECT_EQ(testing::ClippedControls(accept), std::vector<std::string>{});
}

// The viewer is xdg-open's to find: when it finds none (exit 3) or is not there at all, the box
// names the file and says so, once xdg-open has answered, without holding the window meanwhile.
TEST_F(GuiTest, HelpAndLogSayWhyTheyCannotOpenAndNameTheFile) {
    StartWindow();
    messages.clear();
    Trigger("viewlog");  // no scan yet: no log
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(program / "norv.log"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("ありません"), std::string::npos) << messages[0];
    ::mkdir((program / "help").c_str(), 0700);
    testing::WriteAll(program / "help/index.html", "<html></html>");
    TempDir bin;
    testing::WriteAll(bin / "xdg-open", "#!/bin/sh\nexit 3\n");
    ::chmod((bin / "xdg-open").c_str(), 0755);
    const std::string saved_path = ::getenv("PATH") ? ::getenv("PATH") : "";
    for (const std::string& path : {bin.path() + ":" + saved_path, bin / "none"}) {
        ::setenv("PATH", path.c_str(), 1);
        messages.clear();
        Trigger("help");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !messages.empty(); }, 10000)) << path;
        ASSERT_EQ(messages.size(), 1u) << path;
        EXPECT_NE(messages[0].find(program / "help/index.html"), std::string::npos) << messages[0];
        EXPECT_NE(messages[0].find("プログラムが見つかりません"), std::string::npos) << messages[0];
    }
    ::setenv("PATH", saved_path.c_str(), 1);
}

TEST_F(GuiTest, MessageBoxesShowNamesEscapedAndJapaneseAsItIs) {
    StartWindow();
    messages.clear();
    window->Notify({NoticeKind::kResponseFailure, "/srv/a", Status::Ok(),
                    std::string("移動できません: /srv/a\nforged\r\x1B[2J\xFF\u202Etxt.exe")});
    ASSERT_EQ(messages.size(), 1u);
    // The box keeps the message's lines; within each, every control and stray byte is escaped.
    EXPECT_EQ(messages[0], "移動できません: /srv/a\nforged\\r\\x1B[2J\\xFF\\u202Etxt.exe");
}

TEST_F(GuiTest, LoadNeverStopsTimersSaveDoes) {
    StartWindow();
    window->StartAutoCheckTimers();
    window->settings_window().Open();  // auto_check is 0 in the file
    EXPECT_TRUE(TimerActive("Timer1"));
    window->settings_window().findChild<QPushButton*>("Command1")->click();
    EXPECT_FALSE(TimerActive("Timer1"));
    EXPECT_FALSE(TimerActive("Timer2"));
    EXPECT_FALSE(window->settings_window().isVisible());
}

TEST_F(GuiTest, TrayOnlyALeftPressBringsTheWindowBack) {
    StartWindow();
    window->PutIntoTray();
    EXPECT_TRUE(TimerActive("Timer1"));
    EXPECT_FALSE(TimerActive("Timer2"));
    EXPECT_FALSE(Find<QWidget>("Picture1")->isVisibleTo(window.get()));
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // No tray here: the window stays reachable and the administrator is told why.
        EXPECT_EQ(messages.size(), 1u);
        return;
    }
    EXPECT_FALSE(window->isVisible());
    for (auto reason :
         {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
        window->TrayActivated(reason);
        EXPECT_FALSE(window->isVisible());
    }
    window->TrayActivated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(GuiTest, AboutWindowShowsItsVersionAndClosesOnEscape) {
    StartWindow();
    AboutWindow about(window.get());
    EXPECT_EQ(about.windowTitle(), "ﾊﾞｰｼﾞｮﾝ情報");
    EXPECT_EQ(about.findChild<QLabel*>("lblVersion")->text(), "ﾊﾞｰｼﾞｮﾝ 1.0.0");
    EXPECT_EQ(about.findChild<QLabel*>("lblTitle")->text(), "NORV( Orlavane )");
    EXPECT_TRUE(about.findChild<QPushButton*>("cmdOK")->isDefault());
    about.show();
    QTest::keyClick(&about, Qt::Key_Escape);
    EXPECT_FALSE(about.isVisible());
}

TEST_F(GuiTest, SettingsWindowEditsTheOneEditingState) {
    lines[11] = " 1 ";
    StartWindow();
    SettingsWindow& s = window->settings_window();
    s.Open();
    EXPECT_EQ(s.windowTitle(), "設定編集");
    EXPECT_EQ(s.findChild<QLineEdit*>("Text1(1)")->text(), "smtp.example");
    EXPECT_EQ(s.findChild<QLineEdit*>("Text1(3)")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(s.findChild<QLabel*>("Label11")->text().toStdString(), program / "save");

    // Edit and Cancel: the file stays, but the live switch acts at once.
    std::string before = testing::ReadAll(program / "norvcfg.txt");
    QTest::keyClicks(s.findChild<QLineEdit*>("Text1(1)"), "x");
    s.findChild<QCheckBox*>("evrymail_flg")->click();
    s.findChild<QPushButton*>("Command2")->click();
    EXPECT_EQ(testing::ReadAll(program / "norvcfg.txt"), before);
    EXPECT_EQ(window->app().switches().mail_always, 0);
    EXPECT_EQ(window->edit().mail_fields[kSmtpServer], "smtp.examplex");

    // OK writes the 15 lines from the controls.
    s.Open();
    s.findChild<QCheckBox*>("scan_flg_check")->click();
    s.findChild<QPushButton*>("Command1")->click();
    auto saved =
        platform::ReadTextLines(testing::SystemEnv(), program / "norvcfg.txt", "UTF-8").value();
    ASSERT_EQ(saved.size(), 15u);
    EXPECT_EQ(saved[9], " 1 ");
    EXPECT_TRUE(TimerActive("Timer1"));
}

TEST_F(GuiTest, RuleListEditsAreSavedAtOnce) {
    StartWindow();
    SettingsWindow& s = window->settings_window();
    s.Open();
    SetNextFolder(QString::fromStdString(tree.path()));
    s.findChild<QPushButton*>("new_file")->click();
    SetNextFolder(QString::fromStdString(tree / "second"));
    s.new_file();
    auto* list = s.findChild<QListWidget*>("List1");
    ASSERT_EQ(list->count(), 2);
    list->item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(
        testing::ReadAll(program / "user_rule.txt"),
        "<rule>" + tree.path() + ",3</rule>\r\n<rule>" + tree.path() + "/second,1</rule>\r\n");

    // A right press with no current item deletes nothing; with one, that one.
    list->setCurrentRow(-1);
    QTimer::singleShot(50, [&] {
        if (auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            popup->actions()[0]->trigger();
            popup->close();
        }
    });
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_EQ(s.selected_rule(), 0);
    EXPECT_EQ(window->app().rules().rule_count(), 2);
    list->setCurrentRow(1);
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    list->setCurrentRow(1);
    QTimer::singleShot(0, [] {});
    s.del_rule_one();
    EXPECT_EQ(window->app().rules().rule_count(), 1);
    EXPECT_EQ(testing::ReadAll(program / "user_rule.txt"),
              "<rule>" + tree.path() + ",3</rule>\r\n");
}

TEST_F(GuiTest, SaveButtonBuildsTheArchive) {
    tree.Write("site/index.html", "good");
    ::mkdir((program / "save").c_str(), 0700);
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree / "site" + ",3</rule>\r\n");
    StartWindow();
    window->settings_window().findChild<QPushButton*>("Command3")->click();
    EXPECT_TRUE(messages.empty()) << messages[0];
    EXPECT_TRUE(platform::FileExists(testing::SystemEnv(), program / "save/arcive.lzh"));
    EXPECT_TRUE(window->settings_window().findChild<QPushButton*>("Command3")->isEnabled());
}

TEST_F(GuiTest, TheAcceptWindowAcceptsTheTickedRowsAndShowsWhatItRefused) {
    tree.Write("site/a.html", "a");
    tree.Write("site/b.html", "b");
    tree.Write("site/c.html", "c");
    ::mkdir((program / "save").c_str(), 0700);
    testing::WriteAll(program / "user_rule.txt", "<rule>" + tree / "site" + ",3</rule>\r\n");
    StartWindow();
    ASSERT_EQ(window->app().archive().CreateArchive(), 0);
    Trigger("initdb");
    tree.Write("site/a.html", "a2");
    tree.Write("site/b.html", "b2");
    tree.Write("site/c.html", "c2");
    Trigger("check_file");
    Trigger("acceptChanges");
    AcceptWindow* accept = window->accept_window();
    ASSERT_NE(accept, nullptr);
    auto* list = accept->findChild<QTreeWidget*>("changeList");
    ASSERT_EQ(list->topLevelItemCount(), 3);
    // a and c ticked; c changes again after the review, and is refused.
    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem* row = list->topLevelItem(i);
        EXPECT_EQ(row->text(0), QStringLiteral("変更"));
        if (!row->text(1).endsWith("b.html")) row->setCheckState(0, Qt::Checked);
    }
    // A click while a check runs says so and accepts nothing: the same rows are accepted or
    // refused below.
    auto* results_box = accept->findChild<QPlainTextEdit*>("acceptResults");
    std::string during;
    QTest::qWait(20);  // the window lets events in after 15 ms of a command
    QTimer::singleShot(0, window.get(), [&] {
        accept->findChild<QPushButton*>("acceptButton")->click();
        during = results_box->toPlainText().toStdString();
    });
    Trigger("check_file");
    EXPECT_EQ(during, "スキャン中のため実行できません。スキャンの終了を待ってください");
    tree.Write("site/c.html", "c3");
    accept->findChild<QPushButton*>("acceptButton")->click();
    const std::string results =
        accept->findChild<QPlainTextEdit*>("acceptResults")->toPlainText().toStdString();
    EXPECT_NE(results.find("承認: 変更 " + tree / "site/a.html"), std::string::npos) << results;
    EXPECT_NE(results.find("承認しません: "), std::string::npos) << results;
    EXPECT_NE(results.find("c.html"), std::string::npos) << results;
    EXPECT_EQ(results.find("b.html"), std::string::npos) << results;
    accept->show();
    EXPECT_EQ(testing::ClippedControls(accept), std::vector<std::string>{});
    // a is the baseline now: the next check finds b and c only.
    Trigger("check_file");
    EXPECT_EQ(Text("Label5(1)"), "2");
}

}  // namespace
}  // namespace norv::gui

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    norv::gui::UseInterfaceLook();
    norv::UseJapaneseWording();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
