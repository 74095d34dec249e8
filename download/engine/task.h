// A running task: its state shared by the task thread (which delivers the events in order) and
// the connection threads (which receive and write in place), and kept alive by shared ownership
// so that a connection abandoned at a stop can never touch freed memory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/engine/engine.h"
#include "download/engine/names.h"

namespace tolvane::engine {

struct NetworkOptions {
  int buffer_size = 20480;
  int retry_wait_ms = 5000;
  int retry_count = 999;
  std::string ca_file;
};

NetworkOptions current_network_options();

struct Event {
  int code;
  std::intptr_t subject;
  std::int64_t arg3;
  std::int64_t arg4;
};

// A byte range of the file, [begin, end); `pos` is the first byte not yet stored.
struct Range {
  std::int64_t begin;
  std::int64_t pos;
  std::int64_t end;
  int owner;  // connection id, -1 when its connection gave up
};

class Task;

// What a Download object holds: the task now on it. Shared with the task so that the task can
// leave the object before it reports its end, even after the object itself is gone.
struct Slot {
  std::mutex mu;
  std::shared_ptr<Task> task;
};

class Task : public std::enable_shared_from_this<Task> {
 public:
  Task(const TaskParam& param, Address address, std::string address_text, std::shared_ptr<Slot> slot);

  // Starts the task thread; false when no thread could be made.
  bool launch();

  // release_download's part: stop, wait up to stop_wait_ms, abandon what still runs, wait for the
  // final event and cut the task off from the callbacks.
  void stop_and_release();

  std::int64_t received() const { return received_.load(std::memory_order_relaxed); }
  std::int64_t take_recent() { return recent_.exchange(0, std::memory_order_relaxed); }
  std::string local_path();

 private:
  friend class Connection;
  static constexpr int kSpawnConnections = -1;  // internal queue entry, never delivered

  void run();
  void finish();
  void push(const Event& e);
  int call_now(int code, std::intptr_t subject, std::int64_t a3, std::int64_t a4);
  void message(const std::string& text);
  void spawn_connection(int id);
  void connection_done();
  void fail(TaskOutcome outcome);
  bool halted() const {
    return stop_requested_.load(std::memory_order_relaxed) || fatal_.load(std::memory_order_relaxed) >= 0;
  }
  std::intptr_t handle() const { return reinterpret_cast<std::intptr_t>(this); }

  // Fixed at the start.
  const TaskParam param_;
  const Address address_;
  const std::string address_text_;
  const std::string referer_;
  const NetworkOptions net_;
  std::shared_ptr<Slot> slot_;

  std::atomic<bool> stop_requested_{false};
  std::atomic<int> fatal_{-1};  // TaskOutcome of a failure that ends the whole task
  std::atomic<std::int64_t> received_{0};
  std::atomic<std::int64_t> recent_{0};

  // Guards the file, the ranges and what the first connection learnt about the address.
  std::mutex mu_;
  int fd_ = -1;
  bool abandoned_ = false;  // no connection may write any more
  std::int64_t size_ = -1;
  std::vector<Range> ranges_;
  std::string local_path_;
  bool path_settled_ = false;
  std::string final_url_, final_cookie_;
  bool have_final_ = false;
  TaskOutcome last_failure_ = TaskOutcome::network;
  std::string last_error_;

  // The event queue between connection threads and the task thread.
  std::mutex qmu_;
  std::condition_variable qcv_;
  std::deque<Event> queue_;
  int active_ = 0;
  bool finished_ = false;

  // Held while a callback of the program runs; once detached, none runs again.
  std::mutex cbmu_;
  bool detached_ = false;
};

}  // namespace tolvane::engine
