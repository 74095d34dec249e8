// The engine against nginx: whole files over HTTP and HTTPS, several connections, the event
// order, the refusals of start_task and stopping a running task.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <map>
#include <set>

#include "download/engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/servers.h"

namespace tolvane::testing {
namespace {

std::int64_t size_on_disk(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

class NginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_program_options();
    payload_ = make_payload(300 * 1024 + 17, 7);
    write_file(src_.file("file.bin"), payload_);
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
  }
  void TearDown() override { set_engine_ca_file(""); }

  TempDir src_, dst_;
  std::string payload_;
  NginxServer nginx_{src_.path(), 256 * 1024};
};

TEST_F(NginxTest, WholeFileOverHttpWithEventsInOrder) {
  const RunResult r = run_task(task_param(nginx_.http_url("file.bin"), dst_.path() + "/"));
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(r.path, dst_.path() + "/file.bin");
  EXPECT_EQ(r.total, static_cast<std::int64_t>(payload_.size()));
  EXPECT_EQ(r.final_bytes, r.total);
  EXPECT_EQ(read_file(dst_.file("file.bin")), payload_);

  // 5, 3, 6, then data, then 8 and 4 last; all from one thread that is not the test's.
  std::vector<int> codes;
  std::int64_t data = 0;
  for (const Recorded& e : r.events) {
    if (e.code == task_event::data_received) data += e.arg3;
    if (codes.empty() || codes.back() != e.code || e.code != task_event::data_received)
      codes.push_back(e.code);
    EXPECT_NE(e.thread, std::this_thread::get_id());
    EXPECT_EQ(e.thread, r.events.front().thread);
  }
  EXPECT_EQ(codes, (std::vector<int>{5, 3, 6, 16, 8, 4}));
  EXPECT_EQ(data, r.total);
  const Recorded& range = r.events[2];
  EXPECT_EQ(range.arg3, 0);
  EXPECT_EQ(range.arg4, r.total);
  EXPECT_EQ(r.events[r.events.size() - 2].arg3, r.total);  // connection ended at the end of the file
  EXPECT_EQ(r.events.back().subject, r.events.back().task);
}

TEST_F(NginxTest, FullPathSaveAndQueriesAnswerForTheTask) {
  Recorder recorder;
  Download d;
  EXPECT_EQ(received_bytes(d), 0);
  EXPECT_EQ(current_local_path(d), "");
  TaskParam p = task_param(nginx_.limited_url("file.bin"), dst_.file("chosen.dat"));
  ASSERT_TRUE(start_task(d, p));
  EXPECT_FALSE(start_task(d, p)) << "the object already holds a task";
  // The path is the save path as given, before and after the name is settled.
  EXPECT_EQ(current_local_path(d), p.save_path);
  ASSERT_TRUE(recorder.wait_finished());
  EXPECT_EQ(received_bytes(d), 0);
  EXPECT_EQ(take_recent_bytes(d), 0);
  EXPECT_EQ(current_local_path(d), "");
  EXPECT_EQ(read_file(p.save_path), payload_);
  // The object is free again: the next task is accepted.
  p.save_path = dst_.path() + "/";
  ASSERT_TRUE(start_task(d, p));
  ASSERT_TRUE(recorder.wait_finished(2));
  EXPECT_EQ(read_file(dst_.file("file.bin")), payload_);
}

TEST_F(NginxTest, HttpsWithTheTestAuthorityAndNotWithoutIt) {
  set_engine_ca_file(nginx_.ca_file());
  RunResult r = run_task(task_param(nginx_.https_url("file.bin"), dst_.path() + "/"));
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("file.bin")), payload_);

  set_engine_ca_file("");
  TempDir other;
  r = run_task(task_param(nginx_.https_url("file.bin"), other.path() + "/"));
  EXPECT_EQ(r.outcome, TaskOutcome::network);
  EXPECT_TRUE(list_folder(other.path()).empty());
}

TEST_F(NginxTest, SeveralConnectionsSplitTheFile) {
  const std::string big = make_payload(1024 * 1024 + 333, 11);
  write_file(src_.file("big.bin"), big);
  TaskParam p = task_param(nginx_.limited_url("big.bin"), dst_.path() + "/");
  p.connection_count = 4;
  const RunResult r = run_task(p);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("big.bin")), big);

  // Every connection starts once with a range; ranges and take-overs never overlap and cover
  // the file.
  std::set<std::intptr_t> started;
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  for (const Recorded& e : r.events) {
    if (e.code == task_event::connection_started) {
      EXPECT_TRUE(started.insert(e.subject).second);
    }
    if (e.code == task_event::range_started || e.code == task_event::range_taken_over)
      ranges.emplace_back(e.arg3, e.arg4);
  }
  EXPECT_EQ(started.size(), 4u);
  std::sort(ranges.begin(), ranges.end());
  ASSERT_FALSE(ranges.empty());
  EXPECT_EQ(ranges.front().first, 0);
  for (std::size_t i = 1; i < ranges.size(); ++i) EXPECT_LT(ranges[i - 1].first, ranges[i].first);
  EXPECT_GE(ranges.back().second, ranges.back().first);
}

TEST_F(NginxTest, SpeedLimitSharedByConnectionsKeepsTheFileExact) {
  TaskParam p = task_param(nginx_.http_url("file.bin"), dst_.path() + "/");
  p.connection_count = 2;
  p.speed_limit = 1024 * 1024;
  const RunResult r = run_task(p);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("file.bin")), payload_);
}

TEST_F(NginxTest, SmallFileUsesOneConnection) {
  write_file(src_.file("tiny.txt"), "hello");
  TaskParam p = task_param(nginx_.http_url("tiny.txt"), dst_.path() + "/");
  p.connection_count = 4;
  const RunResult r = run_task(p);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("tiny.txt")), "hello");
  EXPECT_EQ(std::count_if(r.events.begin(), r.events.end(),
                          [](const Recorded& e) { return e.code == task_event::connection_started; }),
            1);
}

TEST_F(NginxTest, EmptyFileCompletes) {
  write_file(src_.file("empty.txt"), "");
  const RunResult r = run_task(task_param(nginx_.http_url("empty.txt"), dst_.path() + "/"));
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_TRUE(file_exists(dst_.file("empty.txt")));
  EXPECT_EQ(size_on_disk(dst_.file("empty.txt")), 0);
}

TEST_F(NginxTest, ReleaseDuringTransferStopsAndKeepsTheFileAtFullSize) {
  const std::string big = make_payload(2 * 1024 * 1024, 3);
  write_file(src_.file("slow.bin"), big);
  Recorder recorder;
  auto d = std::make_unique<Download>();
  ASSERT_TRUE(start_task(*d, task_param(nginx_.limited_url("slow.bin"), dst_.path() + "/")));
  // Wait until data flow.
  for (int i = 0; i < 500 && received_bytes(*d) < 100000; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(received_bytes(*d), 100000);
  EXPECT_GT(take_recent_bytes(*d), 0);
  release_download(*d);
  EXPECT_EQ(received_bytes(*d), 0);
  EXPECT_EQ(current_local_path(*d), "");
  d.reset();

  const auto events = recorder.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().code, task_event::task_finished);
  EXPECT_EQ(static_cast<TaskOutcome>(events.back().arg4), TaskOutcome::stopped);
  EXPECT_GT(events.back().arg3, 0);
  EXPECT_LT(events.back().arg3, static_cast<std::int64_t>(big.size()));
  EXPECT_EQ(size_on_disk(dst_.file("slow.bin")), static_cast<std::int64_t>(big.size()));
  const std::string got = read_file(dst_.file("slow.bin"));
  const auto stored = static_cast<std::size_t>(events.back().arg3);
  EXPECT_EQ(got.substr(0, stored), big.substr(0, stored));

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(recorder.events().size(), events.size()) << "no callback after release_download";
}

namespace from_callback {
std::atomic<Download*> download{nullptr};
std::atomic<int> calls{0};
std::atomic<bool> released{false};
int release_on_data(int code, std::intptr_t, std::int64_t, std::int64_t, std::intptr_t) {
  ++calls;
  if (code == task_event::data_received && !released.load()) {
    release_download(*download.load());
    released = true;
  }
  return 0;
}
}  // namespace from_callback

TEST_F(NginxTest, ReleaseFromInsideTheCallbackReturnsAndEndsTheCallbacks) {
  const std::string big = make_payload(1024 * 1024, 8);
  write_file(src_.file("slow.bin"), big);
  Download d;
  from_callback::download = &d;
  TaskParam p = task_param(nginx_.limited_url("slow.bin"), dst_.path() + "/");
  p.event_callback = &from_callback::release_on_data;
  ASSERT_TRUE(start_task(d, p));
  for (int i = 0; i < 1000 && !from_callback::released.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(from_callback::released.load());
  const int calls = from_callback::calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(from_callback::calls.load(), calls);
  EXPECT_EQ(received_bytes(d), 0);
  EXPECT_TRUE(start_task(d, task_param(nginx_.http_url("file.bin"), dst_.path() + "/")))
      << "the object is free";
  release_download(d);
}

TEST(StartTask, RefusalsSendNoEvent) {
  Recorder recorder;
  const char* refused[] = {"",
                           "www.example.com/file.zip",
                           "gopher://127.0.0.1/x",
                           "http://127.0.0.1",
                           "http:///file.zip",
                           "ftp://",
                           "http//127.0.0.1/x",
                           "\r\n"};
  Download d;
  for (const char* address : refused)
    EXPECT_FALSE(start_task(d, task_param(address, "/nonexistent/"))) << address;
  release_download(d);
  EXPECT_TRUE(recorder.events().empty());
}

TEST(StartTask, StreamingSchemesAreAcceptedAndFailAsTasks) {
  use_program_options();
  TempDir dst;
  const RunResult r = run_task(task_param("rtsp://127.0.0.1/stream", dst.path() + "/"));
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(r.outcome, TaskOutcome::bad_address);
  EXPECT_TRUE(list_folder(dst.path()).empty());
}

TEST(StartTask, UnreachableHostFailsAfterRetries) {
  use_program_options();
  TempDir dst;
  const RunResult r =
      run_task(task_param("http://127.0.0.1:" + std::to_string(unused_port()) + "/x.bin", dst.path() + "/"));
  EXPECT_EQ(r.outcome, TaskOutcome::network);
  std::vector<int> codes;
  for (const Recorded& e : r.events) codes.push_back(e.code);
  EXPECT_EQ(codes, (std::vector<int>{5, 9, 4}));
  EXPECT_TRUE(list_folder(dst.path()).empty());
}

TEST(StartTask, MissingFolderFailsTheTask) {
  use_program_options();
  TempDir src;
  write_file(src.file("f.bin"), "data");
  NginxServer nginx(src.path());
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const RunResult r = run_task(task_param(nginx.http_url("f.bin"), src.path() + "/no/such/folder/"));
  EXPECT_EQ(r.outcome, TaskOutcome::disk);
}

// No room for the file (here a file-size limit, as a full disk would refuse the space): the task
// fails at once as a disk failure, without asking the server again.
TEST_F(NginxTest, NoRoomForTheFileFailsAtOnceWithoutRetries) {
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const RunResult r = run_task(task_param(nginx_.http_url("file.bin"), dst_.path() + "/"));
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);

  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.outcome, TaskOutcome::disk);
  const std::string log = nginx_.request_log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

}  // namespace
}  // namespace tolvane::testing
