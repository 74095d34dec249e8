// The cost of one refresh_progress tick while a task runs (it runs ten times a second for hours),
// against two peers measured in the same run: one stat() of the same file and one snprintf of the
// same texts. Prints nanoseconds per operation (median over rounds) and the ratios.
//
//   bench_refresh_progress                 engine queries answered by stand-ins, a real file on disk
//   bench_refresh_progress --url URL DIR   a real engine task fetching URL into DIR (use a slow,
//                                          limited location so that it keeps running)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "download/engine/engine.h"
#include "download/main_view.h"
#include "download/progress.h"
#include "download/queue.h"

namespace {

volatile std::size_t g_sink = 0;

// A main window that only takes the texts: the tick's own work is what is measured.
class TrivialView final : public tolvane::MainView {
 public:
  bool download_button_disabled() const override { return true; }
  void set_download_button_disabled(bool) override {}
  void set_caption(tolvane::MainLabel, std::string_view text) override { g_sink = g_sink + text.size(); }
  void set_progress_position(int position) override { g_sink = g_sink + static_cast<std::size_t>(position); }
  void set_timer_period(tolvane::MainTimer, int) override {}
  bool banner_has_picture() const override { return true; }
  void set_banner_picture() override {}
  void set_banner_animation(bool) override {}
  int show_message(std::string_view, int, std::string_view) override { return tolvane::answer_ok; }
};

// Stand-ins for a running task: a growing byte count and the path of a real file.
std::string g_fake_path;
std::atomic<std::int64_t> g_fake_received{0};
std::int64_t fake_received(const tolvane::Download&) {
  return g_fake_received.fetch_add(4096, std::memory_order_relaxed) % (512LL << 20);
}
std::int64_t fake_recent(tolvane::Download&) { return 0; }
std::string fake_path(const tolvane::Download&) { return g_fake_path; }

template <typename F>
double ns_per_op(int count, F&& f) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) f();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / count;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int task_event(int code, std::intptr_t, std::int64_t arg3, std::int64_t, std::intptr_t) {
  if (code == tolvane::task_event::total_size_known) {
    tolvane::app_state().total_size.store(static_cast<double>(arg3));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url, folder;
  if (argc == 4 && std::string_view(argv[1]) == "--url") {
    url = argv[2];
    folder = argv[3];
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: bench_refresh_progress [--url URL FOLDER]\n");
    return 2;
  }

  tolvane::init_app_state();
  tolvane::AppState& state = tolvane::app_state();
  TrivialView view;
  tolvane::set_main_view(&view);

  std::string temp_dir;
  if (url.empty()) {
    const char* tmp_root = std::getenv("TMPDIR");
    std::string temp_template = std::string(tmp_root != nullptr && *tmp_root != '\0' ? tmp_root : "/tmp") +
                                "/tolvane-bench-XXXXXX";
    const char* tmp = mkdtemp(temp_template.data());
    if (tmp == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    temp_dir = tmp;
    folder = temp_dir;
    // The engine creates the file at its full size before writing into it; so does this stand-in.
    g_fake_path = temp_dir + "/a file being fetched.bin";
    FILE* f = std::fopen(g_fake_path.c_str(), "wb");
    if (f == nullptr || ftruncate(fileno(f), 700LL << 20) != 0) {
      std::perror("cannot create the stand-in file");
      return 1;
    }
    std::fclose(f);
    state.total_size.store(700.0 * 1024 * 1024);
    tolvane::engine_ops().received_bytes = fake_received;
    tolvane::engine_ops().take_recent_bytes = fake_recent;
    tolvane::engine_ops().current_local_path = fake_path;
  } else {
    tolvane::TaskParam param;
    param.task_kind = 4096;
    param.remote_address = url;
    param.save_path = folder + "/";
    param.event_callback = task_event;
    if (!tolvane::start_task(*state.downloader, param)) {
      std::fprintf(stderr, "the engine refused the task for %s\n", url.c_str());
      return 1;
    }
    // Measure once the file exists, as for most of a real download.
    for (int i = 0; i < 500; ++i) {
      const std::string p = tolvane::current_local_path(*state.downloader);
      if (!p.empty() && p.back() != '/' && tolvane::file_size_on_disk(p) >= 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  state.save_folder = folder;
  const std::string stat_path = tolvane::engine_ops().current_local_path(*state.downloader);

  struct stat info {};
  char text[1024];
  const auto tick = [] { tolvane::refresh_progress(); };
  const auto one_stat = [&] { g_sink = g_sink + static_cast<std::size_t>(::stat(stat_path.c_str(), &info) + info.st_size); };
  const auto one_snprintf = [&] {
    const long long done = static_cast<long long>(g_sink % 100000);
    g_sink = g_sink + static_cast<std::size_t>(std::snprintf(
        text, sizeof text, "正在下载...已完成：%d%%|已经下载：%lldKB(文件总大小：%lldKB)|下载保存到：%s",
        static_cast<int>(done % 101), done, 716800LL, folder.c_str()));
  };

  constexpr int kRounds = 31, kBatch = 2000;
  for (int i = 0; i < 200; ++i) tick(), one_stat(), one_snprintf();  // warm up
  std::vector<double> ticks, stats, prints;
  for (int r = 0; r < kRounds; ++r) {  // alternating, so that all three see the same machine
    ticks.push_back(ns_per_op(kBatch, tick));
    stats.push_back(ns_per_op(kBatch, one_stat));
    prints.push_back(ns_per_op(kBatch, one_snprintf));
  }
  const double t = median(ticks), s = median(stats), p = median(prints);
  std::printf("mode: %s\n", url.empty() ? "stand-in engine queries, real file" : "real engine task");
  std::printf("file: %s\n", stat_path.c_str());
  std::printf("refresh_progress tick: %10.1f ns\n", t);
  std::printf("stat() of the file:    %10.1f ns   tick/stat     = %.2f\n", s, t / s);
  std::printf("snprintf of the texts: %10.1f ns   tick/snprintf = %.2f\n", p, t / p);
  std::printf("at 10 ticks a second:  %10.4f %% of one core\n", t * 10 / 1e9 * 100);

  tolvane::set_main_view(nullptr);
  if (!url.empty()) tolvane::release_download(*state.downloader);
  if (!temp_dir.empty()) {
    ::unlink(g_fake_path.c_str());
    ::rmdir(temp_dir.c_str());
  }
  return 0;
}
