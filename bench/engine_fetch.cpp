// Downloads one address into a folder through the engine's public interface and prints how long it
// took and how it ended, on one line:
//   elapsed_s=12.345 outcome=completed bytes=1073741824 file=/dev/shm/x/big.bin
// The exit status is 0 only for a completed task.
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "download/engine/engine.h"

namespace {

struct Result {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int outcome = -1;
  std::int64_t bytes = 0;
  std::int64_t total = -1;
  std::string local_path;
};
Result g_result;

int on_event(int code, std::intptr_t, std::int64_t arg3, std::int64_t arg4, std::intptr_t) {
  if (code == tolvane::task_event::total_size_known) {
    const std::lock_guard lock(g_result.mutex);
    g_result.total = arg3;
    if (arg4 != 0) g_result.local_path = reinterpret_cast<const char*>(arg4);
  } else if (code == tolvane::task_event::task_finished) {
    const std::lock_guard lock(g_result.mutex);
    g_result.bytes = arg3;
    g_result.outcome = static_cast<int>(arg4);
    g_result.done = true;
    g_result.done_cv.notify_all();
  }
  return 0;
}

const char* outcome_name(int outcome) {
  static const char* const names[] = {"completed", "stopped", "bad_address", "bad_name", "http_status",
                                      "network",   "short_transfer", "no_size", "disk", "protocol"};
  return outcome >= 0 && outcome < 10 ? names[outcome] : "unknown";
}

bool parse_int(std::string_view text, int& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

void usage() {
  std::fprintf(stderr,
               "usage: bench_engine_fetch [--program-options | --engine-defaults] [--connections N]\n"
               "                          [--ca-file PEM] [--timeout SECONDS] URL FOLDER\n"
               "  --program-options  network options 10240/1/5, buffer 10240, time-outs 5000/5001/10000 ms\n"
               "  --engine-defaults  the engine's own defaults (the default)\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool program_options = false;
  int connections = 1;
  int timeout_s = 600;
  std::string ca_file, url, folder;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--program-options") {
      program_options = true;
    } else if (arg == "--engine-defaults") {
      program_options = false;
    } else if ((arg == "--connections" || arg == "--timeout" || arg == "--ca-file") && i + 1 < argc) {
      const std::string_view value = argv[++i];
      if (arg == "--ca-file") {
        ca_file = value;
      } else if (!parse_int(value, arg == "--connections" ? connections : timeout_s) ||
                 (arg == "--connections" ? connections : timeout_s) < 1) {
        std::fprintf(stderr, "bench_engine_fetch: bad value for %s: %s\n", argv[i - 1], argv[i]);
        return 2;
      }
    } else if (arg.starts_with("--")) {
      usage();
      return 2;
    } else if (url.empty()) {
      url = arg;
    } else if (folder.empty()) {
      folder = arg;
    } else {
      usage();
      return 2;
    }
  }
  if (url.empty() || folder.empty()) {
    usage();
    return 2;
  }

  if (!ca_file.empty()) tolvane::set_engine_ca_file(ca_file);
  tolvane::TaskParam param;
  param.task_kind = 4096;
  param.remote_address = url;
  param.save_path = folder.ends_with('/') ? folder : folder + "/";
  param.connection_count = connections;
  param.event_callback = on_event;
  if (program_options) {
    tolvane::configure_network(10240, 1, 5);
    param.connect_timeout_ms = 5000;
    param.send_timeout_ms = 5001;
    param.receive_timeout_ms = 10000;
    param.receive_block_size = 10240;
  }

  tolvane::Download download;
  const auto start = std::chrono::steady_clock::now();
  if (!tolvane::start_task(download, param)) {
    std::printf("elapsed_s=0 outcome=refused bytes=0 file=\n");
    return 1;
  }
  bool finished = false;
  {
    std::unique_lock lock(g_result.mutex);
    finished = g_result.done_cv.wait_for(lock, std::chrono::seconds(timeout_s), [] { return g_result.done; });
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string path = tolvane::current_local_path(download);
  tolvane::release_download(download);
  tolvane::engine_program_ending();

  const std::lock_guard lock(g_result.mutex);
  const std::string& file = g_result.local_path.empty() ? path : g_result.local_path;
  if (!finished) {
    std::printf("elapsed_s=%.3f outcome=timeout bytes=%lld file=%s\n", elapsed,
                static_cast<long long>(g_result.bytes), file.c_str());
    return 1;
  }
  std::printf("elapsed_s=%.3f outcome=%s bytes=%lld file=%s\n", elapsed, outcome_name(g_result.outcome),
              static_cast<long long>(g_result.bytes), file.c_str());
  return g_result.outcome == 0 ? 0 : 1;
}
