// The download engine: HTTP, HTTPS and FTP tasks, each on threads of its own.
//
// A `Download` object holds at most one task at a time. `start_task` copies what it needs from a
// `TaskParam` record and returns at once; the transfer runs on engine threads and reports through
// the record's `event_callback`. Nothing here throws across this interface and nothing here
// knows about the program above it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tolvane {

// Task event codes, the first argument of the event callback.
namespace task_event {
inline constexpr int total_size_known = 3;   // 2nd: task, 3rd: total size, 4th: const char* local path
inline constexpr int task_finished = 4;      // 2nd: task, 3rd: bytes (received if stopped, else total),
                                             // 4th: TaskOutcome as an integer
inline constexpr int connection_started = 5; // 2nd: connection
inline constexpr int range_started = 6;      // 2nd: connection, 3rd: begin offset, 4th: end offset
inline constexpr int range_taken_over = 7;   // 2nd: connection, 3rd: begin offset, 4th: end offset
inline constexpr int connection_ended = 8;   // 2nd: connection, 3rd: offset reached
inline constexpr int connection_failed = 9;  // 2nd: connection, 3rd: offset reached
inline constexpr int data_received = 16;     // 2nd: connection, 3rd: number of bytes
inline constexpr int same_name_file = 18;    // 2nd: size of the existing file, 3rd: total size of the new one;
                                             // the answer 0 renames the new file
}  // namespace task_event

// How a task ended; the fourth argument of `task_finished`.
enum class TaskOutcome : int {
  completed = 0,       // every byte of the declared size is stored in the file
  stopped = 1,         // release_download stopped the task
  bad_address = 2,     // the address cannot be fetched: redirect to an unknown scheme, too many redirects
  bad_name = 3,        // no usable local name, no free name, or the path is too long
  http_status = 4,     // the server answered with an error status (404 and the like)
  network = 5,         // connecting, sending or receiving failed and the retries ran out
  short_transfer = 6,  // the data ended before the declared size and the retries ran out
  no_size = 7,         // the server declared no size (HTTP answer without Content-Length)
  disk = 8,            // the local file could not be created or written (full disk, no folder, no permission)
  protocol = 9,        // the server broke the protocol (a 206 for another range, an FTP reply we cannot use)
};

// Arguments 2 to 5 are 64 bits wide so that handles, paths and sizes over 2 GiB fit.
using EventCallback = int (*)(int code, std::intptr_t subject, std::int64_t arg3, std::int64_t arg4,
                              std::intptr_t task);
using MessageCallback = void (*)(const char* text);

// The task parameter record. Texts are UTF-8; an empty text counts as absent.
struct TaskParam {
  int task_kind = 1;                     // 4096: a download
  std::string remote_address;            // CR and LF in it are dropped
  std::string save_path;                 // ending in the separator: the folder; else the full file path
  std::string ftp_user = "anonymous";    // userinfo in an ftp:// address takes precedence
  std::string ftp_password = "tolvane@localhost";
  int connection_count = 1;
  int speed_limit = 0;                   // bytes per second for the whole task; 0 = none
  int connect_timeout_ms = 20000;
  int send_timeout_ms = 20000;
  int receive_timeout_ms = 20000;
  int stop_wait_ms = 1000;
  int receive_block_size = 20480;
  int upload_block_size = 1024;          // uploads only
  MessageCallback message_callback = nullptr;
  EventCallback event_callback = nullptr;
  std::string upload_remote_name;        // uploads only
  int ftp_transfer_type = 1;             // 1 binary, 2 text, 3 by binary_extensions
  std::string binary_extensions = ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm";
  std::string http_proxy;                // host:port; empty = direct
  std::string http_referer;              // empty = the address up to its last "/"
};

// Process-wide network options; 0 (or never set) leaves the engine's default
// (buffer 20480 bytes, retry wait 5000 ms, 999 retries).
void configure_network(int buffer_size, int retry_wait_ms, int retry_count);

// Engine-level option for HTTPS: an extra PEM file of trusted certificates used instead of the
// system store (the test suite's own CA). Empty restores the system store. Not a program setting.
void set_engine_ca_file(const std::string& pem_path);

// The engine object. Destroying it releases it as release_download does.
class Download {
 public:
  Download();
  ~Download();
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend bool start_task(Download&, const TaskParam&);
  friend std::int64_t received_bytes(const Download&);
  friend std::int64_t take_recent_bytes(Download&);
  friend std::string current_local_path(const Download&);
  friend void release_download(Download&);
};

// Starts a download task on the object and returns at once. False (and no event ever) when the
// object already holds a task, the scheme is unknown, no "/" follows the host, or the host is empty.
bool start_task(Download& download, const TaskParam& param);

// Bytes the object's task has received so far over all its connections; 0 without a task.
std::int64_t received_bytes(const Download& download);

// Bytes received since the previous call, which restarts the count; 0 without a task.
std::int64_t take_recent_bytes(Download& download);

// The local file of the task: its save_path until the name is settled, then folder + name;
// empty without a task.
std::string current_local_path(const Download& download);

// Stops the task, if any (waiting up to its stop_wait_ms), and leaves the object empty. After it
// returns no callback of that task runs again and the object is not touched by engine threads.
void release_download(Download& download);

// The program ends: release process-wide resources. Stops no task.
void engine_program_ending();

}  // namespace tolvane
