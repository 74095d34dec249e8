#include "app/app_state.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

namespace tolvane {
namespace {

std::unique_ptr<AppState>& state_record() {
  static std::unique_ptr<AppState> record;
  return record;
}

void (*platform_shutdown)() = nullptr;
bool state_released = false;

}  // namespace

AppState& app_state() { return *state_record(); }

bool app_state_exists() { return static_cast<bool>(state_record()); }

void init_app_state() {
  auto record = std::make_unique<AppState>();
  record->downloader = std::make_unique<Download>();
  record->task_param = TaskParam{};
  state_record() = std::move(record);
  state_released = false;
}

void release_app_state() {
  std::unique_ptr<AppState>& record = state_record();
  if (!record) return;
  AppState& state = *record;

  std::vector<std::string>().swap(state.url_list);
  std::string().swap(state.save_folder);
  if (state.downloader) {
    // Stops a running task; once this returns no engine thread touches the record any more.
    release_download(*state.downloader);
    state.downloader.reset();
  }
  std::string().swap(state.current_url);
  state.task_param = TaskParam{};
  record.reset();
}

void set_platform_shutdown(void (*shutdown)()) { platform_shutdown = shutdown; }

void end_program(int exit_code) {
  if (!state_released) {
    state_released = true;
    release_app_state();
  }
  if (auto* shutdown = std::exchange(platform_shutdown, nullptr)) shutdown();
  engine_program_ending();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(exit_code);
}

}  // namespace tolvane
