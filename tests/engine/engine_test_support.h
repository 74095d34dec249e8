// Shared pieces of the engine tests: a recording event callback and a runner that starts a task
// and waits for its end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/engine/engine.h"

namespace tolvane::testing {

struct Recorded {
  int code;
  std::intptr_t subject;
  std::int64_t arg3;
  std::int64_t arg4;
  std::intptr_t task;
  std::string path;  // the text of total_size_known
  std::thread::id thread;
};

// Records every event of every task; one recorder is active at a time.
class Recorder {
 public:
  Recorder();
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  std::vector<Recorded> events() const;
  std::vector<int> codes() const;  // data_received runs collapsed into one 16
  bool wait_finished(int count = 1, int seconds = 60) const;
  int finished_count() const;
  void set_same_name_answer(int answer) { same_name_answer_ = answer; }

  static int callback(int code, std::intptr_t subject, std::int64_t a3, std::int64_t a4, std::intptr_t task);

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Recorded> events_;
  int finished_ = 0;
  int same_name_answer_ = 0;
};

// Task parameters as the program fills them per task, with short time-outs for the tests.
TaskParam task_param(const std::string& address, const std::string& save_path);

struct RunResult {
  bool finished = false;
  TaskOutcome outcome = TaskOutcome::network;
  std::int64_t final_bytes = -1;  // third argument of task_finished
  std::string path;               // path of total_size_known, empty without it
  std::int64_t total = -1;        // size of total_size_known
  std::vector<Recorded> events;
};

// Starts the task on a fresh Download, waits for task_finished and returns what happened.
RunResult run_task(const TaskParam& param);

// The engine options the program sets, with the shortest retry wait.
void use_program_options();

}  // namespace tolvane::testing
