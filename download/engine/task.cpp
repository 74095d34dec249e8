#include "download/engine/task.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "download/engine/connection.h"

namespace tolvane::engine {

namespace {

using Clock = std::chrono::steady_clock;

// The task whose callback runs on this thread right now, if any.
thread_local const void* tl_in_callback = nullptr;

std::string referer_for(const TaskParam& param, const std::string& address_text) {
  return param.http_referer.empty() ? default_referer(address_text) : param.http_referer;
}

const char* outcome_text(TaskOutcome o) {
  switch (o) {
    case TaskOutcome::completed:
      return "completed";
    case TaskOutcome::stopped:
      return "stopped";
    case TaskOutcome::bad_address:
      return "the address cannot be fetched";
    case TaskOutcome::bad_name:
      return "no usable local file name";
    case TaskOutcome::http_status:
      return "the server answered with an error status";
    case TaskOutcome::network:
      return "network failure";
    case TaskOutcome::short_transfer:
      return "the data ended before the declared size";
    case TaskOutcome::no_size:
      return "the server declared no size";
    case TaskOutcome::disk:
      return "the local file could not be created or written";
    case TaskOutcome::protocol:
      return "the server broke the protocol";
  }
  return "failed";
}

}  // namespace

Task::Task(const TaskParam& param, Address address, std::string address_text, std::shared_ptr<Slot> slot)
    : param_(param),
      address_(std::move(address)),
      address_text_(std::move(address_text)),
      referer_(referer_for(param, address_text_)),
      net_(current_network_options()),
      slot_(std::move(slot)),
      local_path_(param.save_path) {}

bool Task::launch() {
  try {
    std::thread([self = shared_from_this()] { self->run(); }).detach();
    return true;
  } catch (...) {
    return false;
  }
}

std::string Task::local_path() {
  std::lock_guard lock(mu_);
  return local_path_;
}

void Task::push(const Event& e) {
  {
    std::lock_guard lock(qmu_);
    if (e.code == task_event::data_received && !queue_.empty() && queue_.back().code == e.code &&
        queue_.back().subject == e.subject) {
      queue_.back().arg3 += e.arg3;
      return;
    }
    queue_.push_back(e);
  }
  qcv_.notify_all();
}

int Task::call_now(int code, std::intptr_t subject, std::int64_t a3, std::int64_t a4) {
  std::lock_guard lock(cbmu_);
  if (detached_ || param_.event_callback == nullptr) return 0;
  tl_in_callback = this;
  const int answer = param_.event_callback(code, subject, a3, a4, handle());
  tl_in_callback = nullptr;
  return answer;
}

void Task::message(const std::string& text) {
  std::lock_guard lock(cbmu_);
  if (detached_ || param_.message_callback == nullptr) return;
  tl_in_callback = this;
  param_.message_callback(text.c_str());
  tl_in_callback = nullptr;
}

void Task::fail(TaskOutcome outcome) {
  int none = -1;
  fatal_.compare_exchange_strong(none, static_cast<int>(outcome));
}

void Task::spawn_connection(int id) {
  {
    std::lock_guard lock(qmu_);
    ++active_;
  }
  try {
    std::thread([self = shared_from_this(), id] { Connection(self, id).run(); }).detach();
  } catch (...) {
    connection_done();
  }
}

void Task::connection_done() {
  {
    std::lock_guard lock(qmu_);
    --active_;
  }
  qcv_.notify_all();
}

void Task::run() {
  if (address_.scheme == Scheme::streaming) {
    fail(TaskOutcome::bad_address);
  } else {
    spawn_connection(1);
  }
  std::unique_lock lock(qmu_);
  for (;;) {
    qcv_.wait(lock, [this] {
      if (!queue_.empty() || active_ == 0) return true;
      std::lock_guard file_lock(mu_);
      return abandoned_;
    });
    if (queue_.empty()) break;
    const Event e = queue_.front();
    queue_.pop_front();
    lock.unlock();
    if (e.code == kSpawnConnections) {
      const int wanted = static_cast<int>(e.arg3);
      for (int id = 2; id <= wanted && !halted(); ++id) spawn_connection(id);
    } else if (e.code == task_event::total_size_known) {
      const std::string path = local_path();
      call_now(e.code, handle(), e.arg3, reinterpret_cast<std::intptr_t>(path.c_str()));
    } else if (!(e.code == task_event::data_received && stop_requested_.load())) {
      call_now(e.code, e.subject, e.arg3, e.arg4);
    }
    lock.lock();
  }
  lock.unlock();
  finish();
}

void Task::finish() {
  TaskOutcome outcome;
  std::int64_t size;
  std::string error;
  {
    std::lock_guard lock(mu_);
    bool complete = size_ >= 0;
    for (const Range& r : ranges_) complete = complete && r.pos >= r.end;
    const int fatal = fatal_.load();
    if (complete && fatal != static_cast<int>(TaskOutcome::disk)) {
      outcome = TaskOutcome::completed;
    } else if (stop_requested_.load()) {
      outcome = TaskOutcome::stopped;
    } else if (fatal >= 0) {
      outcome = static_cast<TaskOutcome>(fatal);
    } else {
      outcome = last_failure_;
    }
    size = size_ < 0 ? 0 : size_;
    error = last_error_;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    abandoned_ = true;
  }
  {
    // The object is free again before the end is reported.
    std::lock_guard lock(slot_->mu);
    if (slot_->task.get() == this) slot_->task.reset();
  }
  std::string text = std::string("Task ") + outcome_text(outcome) + ": " + address_text_;
  if (!error.empty()) text += " (" + error + ")";
  message(text);
  call_now(task_event::task_finished, handle(), outcome == TaskOutcome::stopped ? received() : size,
           static_cast<std::int64_t>(outcome));
  {
    std::lock_guard lock(qmu_);
    finished_ = true;
  }
  qcv_.notify_all();
}

void Task::stop_and_release() {
  stop_requested_.store(true);
  if (tl_in_callback == this) {
    // Released from inside one of its own callbacks: that callback holds cbmu_, so the task is
    // cut off here without waiting for threads that wait for this one.
    detached_ = true;
    {
      std::lock_guard lock(mu_);
      abandoned_ = true;
    }
    qcv_.notify_all();
    std::lock_guard lock(slot_->mu);
    if (slot_->task.get() == this) slot_->task.reset();
    return;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, param_.stop_wait_ms));
  {
    std::unique_lock lock(qmu_);
    while (active_ > 0 && !finished_ && Clock::now() < deadline)
      qcv_.wait_for(lock, std::chrono::milliseconds(20));
  }
  {
    // Whatever still runs is abandoned: it can no longer write the file or report.
    std::lock_guard lock(mu_);
    abandoned_ = true;
  }
  qcv_.notify_all();
  {
    std::unique_lock lock(qmu_);
    qcv_.wait(lock, [this] { return finished_; });
  }
  {
    std::lock_guard lock(cbmu_);
    detached_ = true;
  }
  std::lock_guard lock(slot_->mu);
  if (slot_->task.get() == this) slot_->task.reset();
}

}  // namespace tolvane::engine
