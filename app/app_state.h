// The program's single state record and its life: created at start-up, released once at the end.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "download/engine/engine.h"

namespace tolvane {

struct AppState {
  std::vector<std::string> url_list;          // the batch's addresses, in order
  std::string save_folder;                    // target folder
  std::unique_ptr<Download> downloader;       // the engine object, one task at a time
  int is_downloading = 0;                     // 1 while a batch runs
  std::atomic<double> total_size{0.0};        // size of the file being fetched (engine thread writes)
  int current_index = 0;                      // 1-based position of the running task
  std::atomic<int> task_done{0};              // 1 once the running task has ended (engine thread writes)
  std::string current_url;                    // trimmed address of the running task
  TaskParam task_param;                       // reused for every task

  // How the task that just ended went (a TaskOutcome), stored with task_done, and the batch's tally,
  // so that the end of a batch never reports a failure as success.
  std::atomic<int> task_outcome{0};
  int batch_dispatched = 0;                   // tasks handed to the engine (or refused) in this batch
  std::vector<std::string> batch_failed;      // addresses of the tasks that failed, in order
};

// The record; valid between init_app_state and release_app_state.
AppState& app_state();
bool app_state_exists();

// Creates the record with its start values: empty list, an engine object holding no task, and a
// TaskParam with its start-up values.
void init_app_state();

// Releases the record in this order: the address list, the folder, the engine object (stopping a
// running task), the current address, the task parameters. Safe to call when there is none.
void release_app_state();

// A clean-up the windowing layer registers to shut itself down inside end_program.
void set_platform_shutdown(void (*shutdown)());

// Runs release_app_state once, shuts the platform and the engine down and ends the process.
[[noreturn]] void end_program(int exit_code);

}  // namespace tolvane
