// The download queue: one address of url_list after another on the single engine object.
#pragma once

#include <cstdint>

#include "download/engine/engine.h"
#include "download/main_view.h"

namespace tolvane {

// The main window the queue and the display write to; set by the window once it exists.
void set_main_view(MainView* view);
MainView* main_view();

// The engine operations the download control calls. They point at the real engine; tests put a
// fake in their place.
struct EngineOps {
  void (*configure_network)(int buffer_size, int retry_wait_ms, int retry_count);
  bool (*start_task)(Download&, const TaskParam&);
  std::int64_t (*received_bytes)(const Download&);
  std::int64_t (*take_recent_bytes)(Download&);
  std::string (*current_local_path)(const Download&);
};
EngineOps& engine_ops();

// Sets the engine's process-wide options (buffer 10240, retry wait 1 ms, 5 retries).
void apply_engine_options();
// Click on `下载`.
void start_batch();
// Fills task_param for the address at current_index and hands it to the engine.
void dispatch_current_task();
// The task event callback; runs on engine threads and only stores into atomics.
int on_task_event(int code, std::intptr_t subject, std::int64_t arg3, std::int64_t arg4, std::intptr_t task);
// The queue half of every 100 ms tick of `时钟`, after refresh_progress.
void queue_step();
// End of the batch: idle state and the end message.
void finish_batch();

// The tick handlers of the two timers.
void on_timer_tick();    // `时钟`: refresh_progress, then queue_step
void on_timer1_tick();   // `时钟1`: refresh_speed

}  // namespace tolvane
