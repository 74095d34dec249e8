#include "download/engine/engine.h"

#include <curl/curl.h>

#include <atomic>
#include <mutex>

#include "download/engine/names.h"
#include "download/engine/task.h"

namespace tolvane {

namespace {

std::atomic<int> g_buffer_size{0};
std::atomic<int> g_retry_wait_ms{0};
std::atomic<int> g_retry_count{0};
std::mutex g_ca_mutex;
std::string g_ca_file;

void ensure_transfer_library() {
  // Runs once, from the first Download or task, before any engine thread exists.
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)ready;
}

}  // namespace

namespace engine {

NetworkOptions current_network_options() {
  NetworkOptions o;
  if (const int v = g_buffer_size.load(); v > 0) o.buffer_size = v;
  if (const int v = g_retry_wait_ms.load(); v > 0) o.retry_wait_ms = v;
  if (const int v = g_retry_count.load(); v > 0) o.retry_count = v;
  std::lock_guard lock(g_ca_mutex);
  o.ca_file = g_ca_file;
  return o;
}

}  // namespace engine

struct Download::Impl {
  std::shared_ptr<engine::Slot> slot = std::make_shared<engine::Slot>();
};

Download::Download() : impl_(std::make_unique<Impl>()) { ensure_transfer_library(); }
Download::~Download() { release_download(*this); }

void configure_network(int buffer_size, int retry_wait_ms, int retry_count) {
  g_buffer_size.store(buffer_size);
  g_retry_wait_ms.store(retry_wait_ms);
  g_retry_count.store(retry_count);
}

void set_engine_ca_file(const std::string& pem_path) {
  std::lock_guard lock(g_ca_mutex);
  g_ca_file = pem_path;
}

bool start_task(Download& download, const TaskParam& param) {
  ensure_transfer_library();
  std::string text = engine::strip_line_breaks(param.remote_address);
  auto address = engine::parse_address(text);
  if (!address) return false;
  auto& slot = download.impl_->slot;
  std::lock_guard lock(slot->mu);
  if (slot->task) return false;
  auto task = std::make_shared<engine::Task>(param, std::move(*address), std::move(text), slot);
  slot->task = task;
  if (!task->launch()) {
    slot->task.reset();
    return false;
  }
  return true;
}

namespace {
std::shared_ptr<engine::Task> task_of(const Download::Impl& impl) {
  std::lock_guard lock(impl.slot->mu);
  return impl.slot->task;
}
}  // namespace

std::int64_t received_bytes(const Download& download) {
  const auto t = task_of(*download.impl_);
  return t ? t->received() : 0;
}

std::int64_t take_recent_bytes(Download& download) {
  const auto t = task_of(*download.impl_);
  return t ? t->take_recent() : 0;
}

std::string current_local_path(const Download& download) {
  const auto t = task_of(*download.impl_);
  return t ? t->local_path() : std::string();
}

void release_download(Download& download) {
  if (!download.impl_) return;
  if (const auto t = task_of(*download.impl_)) t->stop_and_release();
}

void engine_program_ending() {
  // Tasks still running end with the process; only the engine-level options are dropped.
  std::lock_guard lock(g_ca_mutex);
  g_ca_file.clear();
}

}  // namespace tolvane
