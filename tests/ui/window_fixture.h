// The fixture of the window tests: a fresh program folder and state record for every test, the
// real main window, message boxes answered through the facility hook and the program's end
// recorded instead of ending the test program.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/settings.h"
#include "download/queue.h"
#include "tests/support/servers.h"
#include "ui/facilities.h"
#include "ui/main_window.h"
#include "ui/platform.h"
#include "ui_main_window.h"

namespace tolvane::testing {

inline QApplication& test_application() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* application = [] {
    auto* created = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    install_platform_look(*created);
    return created;
  }();
  return *application;
}

struct ShownMessage {
  std::string text;
  int flags;
  std::string title;
};

inline constexpr const char* quit_question =
    "当前文件正在下载中！\r\n如果退出，将结束当前下载任务，是否真的退出？";
inline constexpr const char* all_done = "恭喜你；当前文件已下载成功";
inline constexpr const char* waiting_text = "正在等候数据…";

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_application();
    messages.clear();
    question_answers.clear();
    ended_with.clear();
    saved_ops_ = engine_ops();
    program_dir_.emplace();
    set_run_directory(program_dir_->path());
    ASSERT_EQ(chdir(program_dir_->path().c_str()), 0);
    init_app_state();
    set_message_hook([this](std::string_view text, int flags, std::string_view title) {
      messages.push_back({std::string(text), flags, std::string(title)});
      if (flags == message_yes_no_question) {
        int answer = answer_no;
        if (!question_answers.empty()) {
          answer = question_answers.front();
          question_answers.pop_front();
        }
        return answer;
      }
      return answer_ok;
    });
    set_program_ending([this](int code) { ended_with.push_back(code); });
  }

  void TearDown() override {
    delete window_.data();
    set_message_hook({});
    set_program_ending({});
    release_app_state();
    engine_ops() = saved_ops_;
    if (chdir("/") != 0) {
    }
    program_dir_.reset();
  }

  // The window as the program creates it at start-up, shown.
  MainWindow& open_window() {
    window_ = new MainWindow;
    window_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.data()));
    window_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window_.data()));
    return *window_;
  }

  MainWindow& window() { return *window_; }
  Ui::MainWindow& form() { return window_->form(); }
  bool window_alive() const { return !window_.isNull(); }

  // Lets deferred deletes run, as the message loop would right after a handler.
  void settle() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }

  // Waits for the end message of a batch; false when it did not come in time.
  bool wait_for_messages(std::size_t count, int timeout_ms = 60000) {
    return QTest::qWaitFor([&] { return messages.size() >= count; }, timeout_ms);
  }

  const std::string& program_dir() const { return program_dir_->path(); }

  std::vector<ShownMessage> messages;
  std::deque<int> question_answers;
  std::vector<int> ended_with;

 private:
  std::optional<TempDir> program_dir_;
  QPointer<MainWindow> window_;
  EngineOps saved_ops_{};
};

}  // namespace tolvane::testing
