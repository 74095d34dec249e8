// The download queue: start_batch hands the first address to the engine; on every 100 ms tick
// queue_step looks whether the running task has ended and then hands over the next address, or ends
// the batch after the last one. The engine reports on its own threads through on_task_event, which
// only stores into the atomics of AppState.
#include "download/queue.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "app/app_state.h"
#include "download/progress.h"

namespace tolvane {

namespace {

MainView* g_view = nullptr;

constexpr std::string_view kNoAddresses = "抱歉；当前没有找到可下载的文件地址，请重新设置";
constexpr std::string_view kNoFolder = "抱歉；下载的文件保存到文件夹的路径不能为空，请重新设置";
constexpr std::string_view kAllDone = "恭喜你；当前文件已下载成功";
constexpr std::string_view kWaiting = "正在等候数据…";
constexpr std::size_t kFailedListed = 10;  // failed addresses named in the end message

// The ideographic space U+3000 as UTF-8.
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";

// Removes ASCII spaces and ideographic spaces at both ends; tabs and inner spaces stay.
std::string trim_spaces(std::string_view text) {
  for (;;) {
    if (!text.empty() && text.front() == ' ') {
      text.remove_prefix(1);
    } else if (text.starts_with(kIdeographicSpace)) {
      text.remove_prefix(kIdeographicSpace.size());
    } else {
      break;
    }
  }
  for (;;) {
    if (!text.empty() && text.back() == ' ') {
      text.remove_suffix(1);
    } else if (text.ends_with(kIdeographicSpace)) {
      text.remove_suffix(kIdeographicSpace.size());
    } else {
      break;
    }
  }
  return std::string(text);
}

std::string end_message(const AppState& state) {
  if (state.batch_failed.empty()) return std::string(kAllDone);
  std::string text = "下载结束；共" + std::to_string(state.batch_dispatched) + "个文件，其中" +
                     std::to_string(state.batch_failed.size()) + "个下载失败：";
  std::size_t listed = 0;
  for (const std::string& address : state.batch_failed) {
    if (listed == kFailedListed) {
      text += "\r\n……";
      break;
    }
    text += "\r\n";
    text += address;
    ++listed;
  }
  return text;
}

}  // namespace

void set_main_view(MainView* view) { g_view = view; }
MainView* main_view() { return g_view; }

EngineOps& engine_ops() {
  static EngineOps ops{&configure_network, &start_task, &received_bytes, &take_recent_bytes,
                       &current_local_path};
  return ops;
}

void apply_engine_options() { engine_ops().configure_network(10240, 1, 5); }

void start_batch() {
  MainView* view = main_view();
  if (view == nullptr) return;
  AppState& state = app_state();
  if (state.url_list.empty()) {
    view->show_message(kNoAddresses);
    return;
  }
  if (state.save_folder.empty()) {
    view->show_message(kNoFolder);
    return;
  }
  if (!view->banner_has_picture()) view->set_banner_picture();
  view->set_banner_animation(true);
  state.is_downloading = 1;
  view->set_timer_period(MainTimer::时钟, 100);
  view->set_timer_period(MainTimer::时钟1, 1000);
  view->set_download_button_disabled(true);
  state.current_index = 1;
  state.task_done.store(0, std::memory_order_relaxed);
  state.task_outcome.store(static_cast<int>(TaskOutcome::completed), std::memory_order_relaxed);
  state.batch_dispatched = 0;
  state.batch_failed.clear();
  dispatch_current_task();
}

void dispatch_current_task() {
  AppState& state = app_state();
  const auto index = static_cast<std::size_t>(state.current_index);
  // Always within the list here; an index outside it gives an empty address, which the engine refuses.
  state.current_url =
      index >= 1 && index <= state.url_list.size() ? trim_spaces(state.url_list[index - 1]) : std::string();

  TaskParam& param = state.task_param;
  param.task_kind = 4096;
  param.remote_address = state.current_url;
  param.speed_limit = 0;
  param.stop_wait_ms = 1000;
  param.connection_count = 1;
  param.save_path = state.save_folder + "/";
  param.connect_timeout_ms = 5000;
  param.send_timeout_ms = 5001;
  param.receive_timeout_ms = 10000;
  param.receive_block_size = 10240;
  param.event_callback = &on_task_event;

  ++state.batch_dispatched;
  const bool accepted = state.downloader != nullptr && engine_ops().start_task(*state.downloader, param);
  if (!accepted) {
    // No event ever comes for a refused task: it counts as ended and failed, and the next tick's
    // queue_step moves on.
    state.task_outcome.store(static_cast<int>(TaskOutcome::bad_address), std::memory_order_relaxed);
    state.task_done.store(1, std::memory_order_release);
  }
}

int on_task_event(int code, std::intptr_t /*subject*/, std::int64_t arg3, std::int64_t arg4,
                  std::intptr_t /*task*/) {
  AppState& state = app_state();
  if (code == task_event::total_size_known) {
    state.total_size.store(static_cast<double>(arg3), std::memory_order_relaxed);
  } else if (code == task_event::task_finished) {
    // The outcome is published by the release store of task_done.
    state.task_outcome.store(static_cast<int>(arg4), std::memory_order_relaxed);
    state.task_done.store(1, std::memory_order_release);
  }
  return 0;
}

void queue_step() {
  AppState& state = app_state();
  if (state.task_done.load(std::memory_order_acquire) != 1) return;
  state.task_done.store(0, std::memory_order_relaxed);
  if (state.task_outcome.load(std::memory_order_relaxed) != static_cast<int>(TaskOutcome::completed)) {
    state.batch_failed.push_back(state.current_url);
  }
  if (state.current_index < 0 || static_cast<std::size_t>(state.current_index) >= state.url_list.size()) {
    finish_batch();
  } else {
    ++state.current_index;
    dispatch_current_task();
  }
}

void finish_batch() {
  AppState& state = app_state();
  MainView* view = main_view();
  if (view != nullptr) view->set_caption(MainLabel::标签, kWaiting);
  state.task_done.store(0, std::memory_order_relaxed);
  if (view != nullptr) {
    view->set_timer_period(MainTimer::时钟, 0);
    view->set_timer_period(MainTimer::时钟1, 0);
  }
  state.is_downloading = 0;
  if (view == nullptr) return;
  if (!view->banner_has_picture()) view->set_banner_picture();
  view->set_banner_animation(false);
  view->set_download_button_disabled(false);
  view->show_message(end_message(state));
}

void on_timer_tick() {
  refresh_progress();
  queue_step();
}

void on_timer1_tick() { refresh_speed(); }

}  // namespace tolvane
