#include "tests/engine/engine_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace tolvane::testing {

namespace {
std::atomic<Recorder*> g_recorder{nullptr};
}

Recorder::Recorder() { g_recorder.store(this); }
Recorder::~Recorder() { g_recorder.store(nullptr); }

int Recorder::callback(int code, std::intptr_t subject, std::int64_t a3, std::int64_t a4,
                       std::intptr_t task) {
  Recorder* r = g_recorder.load();
  if (r == nullptr) return 0;
  Recorded e{code, subject, a3, a4, task, {}, std::this_thread::get_id()};
  if (code == task_event::total_size_known && a4 != 0) e.path = reinterpret_cast<const char*>(a4);
  std::lock_guard lock(r->mu_);
  r->events_.push_back(e);
  if (code == task_event::task_finished) {
    ++r->finished_;
    r->cv_.notify_all();
  }
  return code == task_event::same_name_file ? r->same_name_answer_ : 0;
}

std::vector<Recorded> Recorder::events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<int> Recorder::codes() const {
  std::vector<int> out;
  for (const Recorded& e : events())
    if (!(e.code == task_event::data_received && !out.empty() && out.back() == e.code)) out.push_back(e.code);
  return out;
}

bool Recorder::wait_finished(int count, int seconds) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return finished_ >= count; });
}

int Recorder::finished_count() const {
  std::lock_guard lock(mu_);
  return finished_;
}

TaskParam task_param(const std::string& address, const std::string& save_path) {
  TaskParam p;
  p.task_kind = 4096;
  p.remote_address = address;
  p.save_path = save_path;
  p.connection_count = 1;
  p.speed_limit = 0;
  p.connect_timeout_ms = 5000;
  p.send_timeout_ms = 5001;
  p.receive_timeout_ms = 10000;
  p.stop_wait_ms = 1000;
  p.receive_block_size = 10240;
  p.event_callback = &Recorder::callback;
  return p;
}

void use_program_options() { configure_network(10240, 1, 5); }

RunResult run_task(const TaskParam& param) {
  Recorder recorder;
  RunResult out;
  {
    Download download;
    if (!start_task(download, param)) {
      ADD_FAILURE() << "start_task refused " << param.remote_address;
      return out;
    }
    out.finished = recorder.wait_finished();
    release_download(download);
  }
  out.events = recorder.events();
  for (const Recorded& e : out.events) {
    if (e.code == task_event::total_size_known) {
      out.path = e.path;
      out.total = e.arg3;
    }
    if (e.code == task_event::task_finished) {
      out.outcome = static_cast<TaskOutcome>(e.arg4);
      out.final_bytes = e.arg3;
    }
  }
  return out;
}

}  // namespace tolvane::testing
