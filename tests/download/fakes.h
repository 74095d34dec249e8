// A plain main window and a scripted engine for the download control's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_state.h"
#include "download/main_view.h"
#include "download/queue.h"

namespace tolvane::testing {

inline const char* label_name(MainLabel label) {
  switch (label) {
    case MainLabel::标签:
      return "标签";
    case MainLabel::下载速度:
      return "下载速度";
    case MainLabel::已经下载:
      return "已经下载";
    case MainLabel::下载保存:
      return "下载保存";
  }
  return "?";
}

// Records every property write in order; answers message boxes with `answer`.
class FakeView : public MainView {
 public:
  struct Message {
    std::string text;
    int flags;
    std::string title;
  };

  bool disabled = false;
  bool has_picture = false;
  bool animating = false;
  int position = -1;
  std::map<MainLabel, std::string> captions;
  std::map<MainTimer, int> periods;
  std::vector<Message> messages;
  std::vector<std::string> log;  // every write and message, in order
  int answer = answer_ok;

  bool download_button_disabled() const override { return disabled; }
  void set_download_button_disabled(bool value) override {
    disabled = value;
    record(value ? "disable" : "enable");
  }
  void set_caption(MainLabel label, std::string_view text) override {
    captions[label] = std::string(text);
    record(std::string("caption ") + label_name(label) + " " + std::string(text));
  }
  void set_progress_position(int value) override {
    position = value;
    record("position " + std::to_string(value));
  }
  void set_timer_period(MainTimer timer, int period_ms) override {
    periods[timer] = period_ms;
    record(std::string(timer == MainTimer::时钟 ? "时钟 " : "时钟1 ") + std::to_string(period_ms));
  }
  bool banner_has_picture() const override { return has_picture; }
  void set_banner_picture() override {
    has_picture = true;
    record("banner picture");
  }
  void set_banner_animation(bool play) override {
    animating = play;
    record(play ? "banner play" : "banner stop");
  }
  int show_message(std::string_view text, int flags, std::string_view title) override {
    messages.push_back({std::string(text), flags, std::string(title)});
    record("message " + std::string(text));
    return answer;
  }

  std::string caption(MainLabel label) const {
    auto it = captions.find(label);
    return it == captions.end() ? std::string() : it->second;
  }

 private:
  // Each entry carries is_downloading at the moment of the call, so tests can check the order of
  // state changes against window changes.
  void record(const std::string& entry) {
    log.push_back(entry + (app_state_exists() && app_state().is_downloading ? " [busy]" : ""));
  }
};

// The engine as the download control sees it, scripted by the test.
struct FakeEngine {
  std::vector<TaskParam> started;  // every start_task call, accepted or not
  std::set<std::string> refused;   // addresses start_task refuses
  bool holds_task = false;
  std::int64_t received = 0;
  std::int64_t recent = 0;
  int recent_reads = 0;
  std::string local_path;
  std::vector<int> network_options;

  static FakeEngine*& current() {
    static FakeEngine* engine = nullptr;
    return engine;
  }

  static void configure_network(int buffer_size, int retry_wait_ms, int retry_count) {
    current()->network_options = {buffer_size, retry_wait_ms, retry_count};
  }
  static bool start_task(Download&, const TaskParam& param) {
    FakeEngine& engine = *current();
    engine.started.push_back(param);
    if (engine.holds_task || engine.refused.count(param.remote_address) != 0) return false;
    engine.holds_task = true;
    return true;
  }
  static std::int64_t received_bytes(const Download&) { return current()->received; }
  static std::int64_t take_recent_bytes(Download&) {
    FakeEngine& engine = *current();
    ++engine.recent_reads;
    const std::int64_t value = engine.recent;
    engine.recent = 0;
    return value;
  }
  static std::string current_local_path(const Download&) { return current()->local_path; }

  // The running task ends as the engine ends it: the object is empty before task_finished.
  void finish(TaskOutcome outcome, std::int64_t bytes = 0) {
    ASSERT_TRUE(holds_task) << "no task to finish";
    holds_task = false;
    on_task_event(task_event::task_finished, 0, bytes, static_cast<int>(outcome), 0);
  }
};

// Fresh AppState, a FakeView as the main window and a FakeEngine behind engine_ops().
class DownloadFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    init_app_state();
    saved_ops_ = engine_ops();
    FakeEngine::current() = &engine_;
    engine_ops() =
        EngineOps{&FakeEngine::configure_network, &FakeEngine::start_task, &FakeEngine::received_bytes,
                  &FakeEngine::take_recent_bytes, &FakeEngine::current_local_path};
    set_main_view(&view_);
  }
  void TearDown() override {
    set_main_view(nullptr);
    engine_ops() = saved_ops_;
    FakeEngine::current() = nullptr;
    release_app_state();
  }

  AppState& state() { return app_state(); }

  FakeView view_;
  FakeEngine engine_;

 private:
  EngineOps saved_ops_{};
};

}  // namespace tolvane::testing
