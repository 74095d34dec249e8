// The progress and speed display. refresh_progress runs ten times a second for as long as a batch
// runs, so it keeps its text buffers between ticks and allocates nothing beyond the engine's path.
#include "download/progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <string_view>

#include "app/app_state.h"
#include "download/queue.h"

#ifdef _WIN32
#include <filesystem>
#include <system_error>
#endif

namespace tolvane {

namespace {

constexpr std::string_view kPercentStart = "正在下载...已完成：";
constexpr std::string_view kDoneStart = "已经下载：";
constexpr std::string_view kDoneMiddle = "KB(文件总大小：";
constexpr std::string_view kDoneEnd = "KB)";
constexpr std::string_view kFolderStart = "下载保存到：";
constexpr std::string_view kSpeedStart = "下载速度：";
constexpr std::string_view kSpeedEnd = "KB/1秒";

// A size below this magnitude counts as not yet known.
constexpr double kNoSize = 1e-7;

// Appends whole_text(w) without a temporary string.
void append_whole(std::string& out, double whole) {
  char digits[400];  // enough for any double written out in full
  char* end = digits;
  if (std::fabs(whole) < 9.0e18) {
    // Integer formatting also turns -0 into "0".
    end = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(whole)).ptr;
  } else {
    end = std::to_chars(digits, digits + sizeof digits, whole, std::chars_format::fixed, 0).ptr;
  }
  out.append(digits, end);
}

std::int64_t done_length(const AppState& state) {
  return state.downloader ? engine_ops().received_bytes(*state.downloader) : 0;
}

double percent(std::int64_t done, double total) { return static_cast<double>(done) / total * 100.0; }

}  // namespace

double round_to_whole(double x) {
  if (x == 0.0) return x;
  const double y = std::fabs(x) + 1e-12;
  const double i = std::floor(y);
  const double magnitude = (y - i) >= 0.5 ? i + 1.0 : i;
  return std::copysign(magnitude, x);
}

std::string whole_text(double whole) {
  std::string text;
  append_whole(text, whole);
  return text;
}

std::int64_t file_size_on_disk(const std::string& path) {
  if (path.empty() || path.back() == '/') return -1;
#ifdef _WIN32
  if (path.back() == '\\') return -1;
  std::error_code error;
  const std::filesystem::path file(std::u8string(path.begin(), path.end()));
  if (!std::filesystem::is_regular_file(file, error)) return -1;
  const auto size = std::filesystem::file_size(file, error);
  return error ? -1 : static_cast<std::int64_t>(size);
#else
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
#endif
}

void refresh_progress() {
  MainView* view = main_view();
  if (view == nullptr || !view->download_button_disabled()) return;
  AppState& state = app_state();

  // Kept between ticks so that their storage is reused; only the interface thread runs this.
  static std::string percent_text;
  static std::string done_text;
  static std::string folder_text;

  double total = state.total_size.load(std::memory_order_relaxed);
  percent_text.assign(kPercentStart);
  if (std::fabs(total) > kNoSize) {
    append_whole(percent_text, round_to_whole(percent(done_length(state), total)));
  } else {
    percent_text += '0';
  }
  percent_text += '%';
  view->set_caption(MainLabel::标签, percent_text);

  total = state.total_size.load(std::memory_order_relaxed);
  int position = 0;
  if (std::fabs(total) > kNoSize) {
    const double p = round_to_whole(percent(done_length(state), total));
    position = p >= 100.0 ? 100 : p > 0.0 ? static_cast<int>(p) : 0;
  }
  view->set_progress_position(position);

  std::int64_t size_on_disk = -1;
  if (state.downloader) size_on_disk = file_size_on_disk(engine_ops().current_local_path(*state.downloader));
  const double size_kb = round_to_whole(static_cast<double>(size_on_disk) / 1024.0);

  const double done_kb = round_to_whole(static_cast<double>(done_length(state)) / 1024.0);
  done_text.assign(kDoneStart);
  append_whole(done_text, done_kb);
  done_text += kDoneMiddle;
  append_whole(done_text, size_kb);
  done_text += kDoneEnd;
  view->set_caption(MainLabel::已经下载, done_text);

  folder_text.assign(kFolderStart);
  folder_text += state.save_folder;
  view->set_caption(MainLabel::下载保存, folder_text);
}

void refresh_speed() {
  MainView* view = main_view();
  if (view == nullptr || !view->download_button_disabled()) return;
  AppState& state = app_state();
  const std::int64_t recent = state.downloader ? engine_ops().take_recent_bytes(*state.downloader) : 0;

  static std::string speed_text;
  speed_text.assign(kSpeedStart);
  append_whole(speed_text, round_to_whole(static_cast<double>(recent) / 1024.0));
  speed_text += kSpeedEnd;
  view->set_caption(MainLabel::下载速度, speed_text);
}

}  // namespace tolvane
