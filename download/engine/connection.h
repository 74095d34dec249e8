// One connection of a task, on a thread of its own with its own transfer handle: it fetches its
// byte range, writes it in place, retries from the first byte not stored, and takes over part of
// another range when its own is done.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/engine/task.h"

namespace tolvane::engine {

class Connection {
 public:
  Connection(std::shared_ptr<Task> task, int id);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  void run();

 private:
  enum class Result { range_done, retry, fatal, halted };
  enum class Abort { none, range_done, halted, fatal, retry, redirect };
  enum class Store { ok, range_done, halted, disk };

  struct Response {
    long status = 0;
    bool has_length = false;
    std::int64_t length = -1;
    std::string content_range, location, cookie, disposition;
    bool has_disposition = false;
    std::size_t header_bytes = 0;
  };

  Result attempt();
  Result http_attempt();
  Result ftp_attempt();
  Result finish_transfer(CURLcode rc);
  CURLcode transfer();
  void setup_common(const std::string& url);
  bool take_over(bool first);
  bool establish(std::int64_t size, const std::string& name_source_url, const std::string* disposition);
  Store store(const char* data, std::size_t len);
  bool flush();
  void note_data(std::int64_t n);
  void report_data();
  std::intptr_t subject() const { return id_; }
  void set_fatal(TaskOutcome o, std::string why);
  void set_retry(TaskOutcome o, std::string why);

  size_t on_body(const char* data, size_t len);
  size_t on_header(const char* data, size_t len);
  bool on_headers_complete();

  static size_t body_cb(char* data, size_t size, size_t n, void* self);
  static size_t header_cb(char* data, size_t size, size_t n, void* self);
  static int prereq_cb(void* self, char*, char*, int, int);

  std::shared_ptr<Task> t_;
  const int id_;
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::vector<char> buf_;
  std::size_t buf_len_ = 0;
  int range_ = -1;             // index into the task's ranges
  std::int64_t next_ = 0;      // file offset of the next byte to buffer
  std::int64_t body_off_ = 0;  // file offset of the next body byte that arrives
  std::int64_t offset_reached_ = 0;

  // The attempt in progress.
  std::string url_, cookie_;
  bool ranged_ = false;
  std::int64_t req_first_ = 0, req_last_ = -1;
  Response resp_;
  Abort abort_ = Abort::none;
  TaskOutcome abort_outcome_ = TaskOutcome::network;
  std::string abort_why_;
  bool connected_ = false;
  bool answered_ = false;
  std::chrono::steady_clock::time_point last_activity_;

  std::int64_t unreported_ = 0;
  std::chrono::steady_clock::time_point last_report_;
};

}  // namespace tolvane::engine
