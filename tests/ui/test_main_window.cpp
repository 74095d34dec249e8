// The main window with its real form, its facilities and the download control behind it.
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <string>
#include <vector>

#include "tests/ui/window_fixture.h"

// The font configuration library keeps some allocations for the life of the process; the leak
// checker of the address-sanitised build is told so.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace tolvane::testing {
namespace {

// An engine that accepts every task and never ends one: the window stays in its running state.
std::vector<std::string> accepted_addresses;
std::vector<std::string> accepted_save_paths;
bool accept_and_hold(Download&, const TaskParam& param) {
  accepted_addresses.push_back(param.remote_address);
  accepted_save_paths.push_back(param.save_path);
  return true;
}

class MainWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    accepted_addresses.clear();
    accepted_save_paths.clear();
  }

  void hold_every_task() { engine_ops().start_task = &accept_and_hold; }

  // A list and a folder in memory, as a saved configuration gives them.
  void give_list_and_folder() {
    app_state().url_list = {"http://127.0.0.1:9/a.bin", "http://127.0.0.1:9/b.bin"};
    app_state().save_folder = program_dir();
  }

  void expect_idle() {
    EXPECT_TRUE(form().下载->isEnabled());
    EXPECT_EQ(app_state().is_downloading, 0);
    EXPECT_EQ(window().timer_period(MainTimer::时钟), 0);
    EXPECT_EQ(window().timer_period(MainTimer::时钟1), 0);
    EXPECT_FALSE(window().timer(MainTimer::时钟).isActive());
    EXPECT_FALSE(window().timer(MainTimer::时钟1).isActive());
    EXPECT_FALSE(window().banner_playing());
  }

  void expect_running() {
    EXPECT_FALSE(form().下载->isEnabled());
    EXPECT_EQ(app_state().is_downloading, 1);
    EXPECT_EQ(window().timer_period(MainTimer::时钟), 100);
    EXPECT_EQ(window().timer_period(MainTimer::时钟1), 1000);
    EXPECT_TRUE(window().timer(MainTimer::时钟).isActive());
    if (window().banner_has_picture()) {
      EXPECT_TRUE(window().banner_playing());
    }
  }

  void start_running_batch() {
    hold_every_task();
    give_list_and_folder();
    QTest::mouseClick(form().下载, Qt::LeftButton);
    ASSERT_EQ(accepted_addresses.size(), 1u);
    expect_running();
  }
};

TEST_F(MainWindowTest, FirstStartWithoutFilesShowsTheIdleFormAndCreatesNoFile) {
  MainWindow& w = open_window();

  EXPECT_EQ(w.windowTitle(), QStringLiteral("Tolvane-文件批量下载器 V1.0"));
  EXPECT_EQ(w.size(), QSize(385, 250));
  EXPECT_EQ(w.minimumSize(), QSize(385, 250));
  EXPECT_EQ(w.maximumSize(), QSize(385, 250));
  const Qt::WindowFlags flags = w.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(w.palette().color(QPalette::Window), QColor(Qt::white));

  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(w.pos(), QPoint((screen.width() - 391) / 2, (screen.height() - 276) / 2));

  EXPECT_EQ(form().标签->text(), QString::fromUtf8(waiting_text));
  EXPECT_EQ(form().下载速度->text(), QStringLiteral("下载速度："));
  EXPECT_EQ(form().已经下载->text(), QStringLiteral("已经下载："));
  EXPECT_EQ(form().下载保存->text(), QStringLiteral("保存路径："));
  EXPECT_EQ(form().下载->text(), QStringLiteral("开始下载"));
  EXPECT_EQ(form().设置->text(), QStringLiteral("下载设置"));
  EXPECT_EQ(form().取消->text(), QStringLiteral("退出程序"));
  EXPECT_EQ(form().关于->text(), QStringLiteral("关于我们"));
  EXPECT_TRUE(form().下载->isDefault());
  EXPECT_EQ(form().进度条->minimum(), 0);
  EXPECT_EQ(form().进度条->maximum(), 100);
  EXPECT_EQ(form().进度条->value(), 0);
  EXPECT_FALSE(form().进度条->isTextVisible());
  expect_idle();
  if (resource_exists(":/banner_picture.gif")) {
    EXPECT_TRUE(w.banner_has_picture());
    EXPECT_EQ(w.banner_frame(), 0);
    EXPECT_FALSE(w.banner_playing());
  }
  if (resource_exists(":/program_icon.ico")) {
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_TRUE(w.windowIcon().availableSizes().contains(QSize(32, 32)));
  }

  EXPECT_TRUE(app_state().url_list.empty());
  EXPECT_TRUE(app_state().save_folder.empty());
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(list_folder(program_dir()).empty());

  // Closing the idle window asks nothing, ends the program with 0 and still creates no file.
  w.close();
  settle();
  EXPECT_FALSE(window_alive());
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(ended_with, std::vector<int>{0});
  EXPECT_TRUE(list_folder(program_dir()).empty());
}

TEST_F(MainWindowTest, EveryControlStandsWhereTheFormPutsIt) {
  struct Place {
    const char* name;
    const char* kind;
    QRect geometry;
  };
  const Place places[] = {
      {"图片框1", "QLabel", {16, 9, 360, 47}},       {"标签", "QLabel", {10, 67, 323, 17}},
      {"进度条", "QProgressBar", {10, 90, 365, 18}}, {"下载速度", "QLabel", {16, 118, 280, 16}},
      {"已经下载", "QLabel", {16, 140, 280, 16}},    {"下载保存", "QLabel", {16, 162, 360, 16}},
      {"下载", "QPushButton", {20, 205, 68, 28}},    {"设置", "QPushButton", {111, 205, 68, 28}},
      {"取消", "QPushButton", {204, 205, 68, 28}},   {"关于", "QPushButton", {296, 205, 68, 28}},
  };
  MainWindow& w = open_window();
  for (const Place& place : places) {
    SCOPED_TRACE(place.name);
    auto* control = w.findChild<QWidget*>(QString::fromUtf8(place.name));
    ASSERT_NE(control, nullptr);
    EXPECT_STREQ(control->metaObject()->className(), place.kind);
    EXPECT_EQ(control->geometry(), place.geometry);
    EXPECT_TRUE(control->isEnabled());
    EXPECT_TRUE(control->isVisible());
  }
  EXPECT_EQ(form().图片框1->alignment(), Qt::AlignCenter);
  for (QLabel* label : {form().图片框1, form().标签, form().下载速度, form().已经下载, form().下载保存}) {
    EXPECT_EQ(label->palette().color(QPalette::Window), QColor(Qt::white));
  }

  // Tab walks the four buttons in order and comes round again; nothing else takes the focus.
  form().下载->setFocus();
  const std::vector<QWidget*> order = {form().设置, form().取消, form().关于, form().下载};
  for (QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }
}

TEST_F(MainWindowTest, SavedListAndFolderAreLoadedWithoutShowingThem) {
  const std::string folder = program_dir() + "/downloads";
  write_address_file({"http://example.invalid/1.bin", "  http://example.invalid/2.bin", "ftp://h/3"});
  write_setting(key_save_folder, folder);
  open_window();
  EXPECT_EQ(app_state().url_list, (std::vector<std::string>{"http://example.invalid/1.bin",
                                                            "  http://example.invalid/2.bin", "ftp://h/3"}));
  EXPECT_EQ(app_state().save_folder, folder);
  EXPECT_EQ(form().下载保存->text(), QStringLiteral("保存路径："));
  EXPECT_EQ(form().标签->text(), QString::fromUtf8(waiting_text));
}

TEST_F(MainWindowTest, StartRefusesWithoutListOrFolderAndChangesNothing) {
  struct Case {
    bool list;
    bool folder;
    const char* message;
  };
  const Case cases[] = {
      {false, false, "抱歉；当前没有找到可下载的文件地址，请重新设置"},  // the list is tested first
      {false, true, "抱歉；当前没有找到可下载的文件地址，请重新设置"},
      {true, false, "抱歉；下载的文件保存到文件夹的路径不能为空，请重新设置"},
  };
  hold_every_task();
  open_window();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    messages.clear();
    app_state().url_list =
        c.list ? std::vector<std::string>{"http://127.0.0.1:9/a"} : std::vector<std::string>{};
    app_state().save_folder = c.folder ? program_dir() : "";
    QTest::mouseClick(form().下载, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, c.message);
    EXPECT_EQ(messages[0].flags, message_ok);
    EXPECT_EQ(messages[0].title, "信息：");
    expect_idle();
    EXPECT_EQ(app_state().current_index, 0);
    EXPECT_TRUE(accepted_addresses.empty());
    EXPECT_EQ(form().标签->text(), QString::fromUtf8(waiting_text));
    EXPECT_EQ(form().进度条->value(), 0);
  }
  EXPECT_TRUE(list_folder(program_dir()).empty());
}

// Esc, the close box and `取消`, idle and running, answered Yes or No.
TEST_F(MainWindowTest, ClosingAsksOnlyWhileRunningAndNoKeepsEverything) {
  enum class Way { escape, close_box, exit_button };
  struct Case {
    Way way;
    bool running;
    int answer;
    bool closes;
  };
  const Case cases[] = {
      {Way::escape, false, answer_no, true},      {Way::close_box, false, answer_no, true},
      {Way::exit_button, false, answer_no, true}, {Way::escape, true, answer_no, false},
      {Way::close_box, true, answer_no, false},   {Way::exit_button, true, answer_no, false},
      {Way::escape, true, answer_yes, true},      {Way::close_box, true, answer_yes, true},
      {Way::exit_button, true, answer_yes, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "way " << static_cast<int>(c.way) << " running " << c.running << " answer " << c.answer);
    TearDown();
    SetUp();
    open_window();
    if (c.running) start_running_batch();
    question_answers = {c.answer};

    switch (c.way) {
      case Way::escape:
        QTest::keyClick(form().设置, Qt::Key_Escape);
        break;
      case Way::close_box:
        window().close();
        break;
      case Way::exit_button:
        QTest::mouseClick(form().取消, Qt::LeftButton);
        break;
    }
    settle();

    if (c.running) {
      ASSERT_EQ(messages.size(), 1u);  // asked once, never twice
      EXPECT_EQ(messages[0].text, quit_question);
      EXPECT_EQ(messages[0].flags, message_yes_no_question);
      EXPECT_EQ(messages[0].title, "系统提示:");
    } else {
      EXPECT_TRUE(messages.empty());
    }
    EXPECT_EQ(window_alive(), !c.closes);
    EXPECT_EQ(ended_with, c.closes ? std::vector<int>{0} : std::vector<int>{});
    if (!c.closes) {
      expect_running();
      EXPECT_EQ(accepted_addresses.size(), 1u);
      EXPECT_EQ(app_state().current_index, 1);
    }
  }
}

TEST_F(MainWindowTest, SessionEndAsksWhileRunningAndNoRefusesIt) {
  open_window();
  EXPECT_TRUE(window().on_session_end_query());
  EXPECT_TRUE(messages.empty());

  start_running_batch();
  question_answers = {answer_no, answer_yes};
  EXPECT_FALSE(window().on_session_end_query());
  EXPECT_TRUE(window().on_session_end_query());
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].text, quit_question);
  EXPECT_EQ(messages[1].title, "系统提示:");
  EXPECT_TRUE(window_alive());
  expect_running();
}

TEST_F(MainWindowTest, EnterStartsAnIdleBatchAndDoesNothingWhileRunning) {
  hold_every_task();
  open_window();
  give_list_and_folder();
  form().设置->setFocus();  // Enter goes to the default button whichever button has the focus
  QTest::keyClick(form().设置, Qt::Key_Return);
  ASSERT_EQ(accepted_addresses.size(), 1u);
  expect_running();

  QTest::keyClick(window().focusWidget() ? window().focusWidget() : &window(), Qt::Key_Enter,
                  Qt::KeypadModifier);
  QTest::keyClick(&window(), Qt::Key_Return);
  EXPECT_EQ(accepted_addresses.size(), 1u);
  EXPECT_TRUE(messages.empty());
  expect_running();
}

TEST_F(MainWindowTest, BannerClickChangesNothingIdleOrRunning) {
  hold_every_task();
  open_window();
  for (bool running : {false, true}) {
    SCOPED_TRACE(running);
    if (running) start_running_batch();
    const bool playing = window().banner_playing();
    QTest::mouseClick(form().图片框1, Qt::LeftButton);
    QTest::mouseClick(form().图片框1, Qt::LeftButton, {}, QPoint(100, 20));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(window().banner_playing(), playing);
    EXPECT_EQ(accepted_addresses.size(), running ? 1u : 0u);
    if (running) {
      expect_running();
    } else {
      expect_idle();
    }
  }
}

TEST_F(MainWindowTest, TimerPeriodRestartsOnlyWhenItChanges) {
  MainWindow& w = open_window();
  QTimer& clock = w.timer(MainTimer::时钟1);
  w.set_timer_period(MainTimer::时钟1, 2000);
  ASSERT_TRUE(clock.isActive());
  QTest::qWait(300);
  w.set_timer_period(MainTimer::时钟1, 2000);  // the same period: the running count goes on
  EXPECT_LE(clock.remainingTime(), 1800);
  w.set_timer_period(MainTimer::时钟1, 5000);  // another period: starts again from now
  EXPECT_GT(clock.remainingTime(), 4000);
  EXPECT_EQ(clock.interval(), 5000);
  w.set_timer_period(MainTimer::时钟1, -3);
  EXPECT_FALSE(clock.isActive());
  EXPECT_EQ(w.timer_period(MainTimer::时钟1), 0);
  w.set_timer_period(MainTimer::时钟1, 0);
  EXPECT_FALSE(clock.isActive());
}

TEST_F(MainWindowTest, BannerAnimationStartsFromTheFirstFrameAndStopsOnIt) {
  if (!resource_exists(":/banner_picture.gif")) GTEST_SKIP() << "the banner picture is not embedded";
  MainWindow& w = open_window();
  ASSERT_TRUE(w.banner_has_picture());
  EXPECT_FALSE(w.banner_playing());
  w.set_banner_animation(true);
  EXPECT_TRUE(w.banner_playing());
  ASSERT_TRUE(QTest::qWaitFor([&] { return w.banner_frame() >= 2; }, 5000));
  w.set_banner_animation(false);
  EXPECT_FALSE(w.banner_playing());
  EXPECT_EQ(w.banner_frame(), 0);
  w.set_banner_animation(true);
  EXPECT_EQ(w.banner_frame(), 0);
  // A new picture while the animation is on plays at once.
  w.set_banner_picture();
  EXPECT_TRUE(w.banner_playing());
  const QMovie* movie = form().图片框1->movie();
  ASSERT_NE(movie, nullptr);
  EXPECT_EQ(movie->frameCount(), 13);
  EXPECT_EQ(movie->frameRect().size(), QSize(270, 40));
}

// A modal window runs a nested loop: the timers go on ticking, and the modal window is gone when
// open_modal returns.
TEST_F(MainWindowTest, ModalWindowKeepsTheTimersTickingAndIsGoneAfterwards) {
  MainWindow& w = open_window();
  int ticks = 0;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] { ++ticks; });
  probe.start(20);
  auto* modal = new QWidget;
  QPointer<QWidget> watched(modal);
  bool checked = false;
  QTimer::singleShot(300, [&] {
    checked = true;
    EXPECT_EQ(QApplication::activeModalWidget(), watched.data());
    EXPECT_TRUE(watched->isVisible());
    EXPECT_GT(ticks, 3);
    EXPECT_EQ(watched->windowModality(), Qt::ApplicationModal);
    watched->close();
  });
  open_modal(modal);
  EXPECT_TRUE(checked);
  EXPECT_TRUE(watched.isNull());
  EXPECT_TRUE(window_alive());
  EXPECT_TRUE(w.isEnabled());
}

// The toolkit's own dialogs (the folder browser among them) read in Chinese, in a CJK font.
TEST_F(MainWindowTest, ToolkitButtonsReadInChineseInACjkFont) {
  QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Yes |
                       QDialogButtonBox::No);
  EXPECT_EQ(box.button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
  EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
  EXPECT_EQ(box.button(QDialogButtonBox::Yes)->text(), QStringLiteral("是(&Y)"));
  EXPECT_EQ(box.button(QDialogButtonBox::No)->text(), QStringLiteral("否(&N)"));
  const QFontMetrics metrics(QApplication::font());
  EXPECT_TRUE(metrics.inFont(QChar(0x4E0B)));  // 下
  EXPECT_EQ(QApplication::font().pixelSize(), 12);
}

// The real message box: its buttons, texts, icon and answers.
TEST_F(MainWindowTest, MessageBoxShowsChineseButtonsAndReturnsTheirCodes) {
  set_message_hook({});
  struct Case {
    int flags;
    const char* title;
    std::vector<QString> buttons;
    QMessageBox::Icon icon;
    int press;  // index of the button pressed, or -1 for the key Y
    int expected;
  };
  const Case cases[] = {
      {message_ok, "信息：", {QStringLiteral("确定")}, QMessageBox::NoIcon, 0, answer_ok},
      {message_yes_no_question,
       "系统提示:",
       {QStringLiteral("是(&Y)"), QStringLiteral("否(&N)")},
       QMessageBox::Question,
       0,
       answer_yes},
      {message_yes_no_question,
       "系统提示:",
       {QStringLiteral("是(&Y)"), QStringLiteral("否(&N)")},
       QMessageBox::Question,
       1,
       answer_no},
      {message_yes_no_question,
       "系统提示:",
       {QStringLiteral("是(&Y)"), QStringLiteral("否(&N)")},
       QMessageBox::Question,
       -1,
       answer_yes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    bool inspected = false;
    QTimer::singleShot(50, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      inspected = true;
      EXPECT_EQ(box->windowTitle(), QString::fromUtf8(c.title));
      EXPECT_EQ(box->text(), QStringLiteral("第一行\n第二行"));
      EXPECT_EQ(box->icon(), c.icon);
      // The layout may order the buttons its own way; they are found by their texts.
      std::vector<QAbstractButton*> shown;
      for (const QString& text : c.buttons) {
        QAbstractButton* found = nullptr;
        for (QAbstractButton* b : box->buttons()) {
          if (b->text() == text) found = b;
        }
        ASSERT_NE(found, nullptr) << text.toStdString();
        shown.push_back(found);
      }
      EXPECT_EQ(box->buttons().size(), static_cast<qsizetype>(c.buttons.size()));
      EXPECT_EQ(box->defaultButton(), shown.front());
      if (c.press < 0) {
        QTest::keyClick(box, Qt::Key_Y);
      } else {
        shown[static_cast<std::size_t>(c.press)]->click();
      }
    });
    const int answer = c.flags == message_ok ? show_message("第一行\r\n第二行")
                                             : show_message("第一行\r\n第二行", c.flags, c.title);
    EXPECT_TRUE(inspected);
    EXPECT_EQ(answer, c.expected);
  }
}

}  // namespace
}  // namespace tolvane::testing
