// The engine against the tests' own fault server: broken transfers are resumed to the exact
// file, errors fail the task with their reason, redirects, cookies, names from the server and
// the same-name series.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "download/engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/fault_server.h"
#include "tests/support/servers.h"

namespace tolvane::testing {
namespace {

// The value of a header in a logged request line ("GET /p | Name: value | ...").
std::string header_value(const std::string& line, const std::string& name) {
  const std::string key = "| " + name + ": ";
  const auto at = line.find(key);
  if (at == std::string::npos) return {};
  const auto begin = at + key.size();
  const auto end = line.find(" |", begin);
  return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_program_options();
    payload_ = make_payload(150 * 1024 + 3, 5);
    write_file(src_.file("file.bin"), payload_);
    ASSERT_TRUE(server_.ok()) << server_.error();
  }
  std::string folder() const { return dst_.path() + "/"; }
  std::vector<std::string> requests_containing(const std::string& text) const {
    std::vector<std::string> out;
    for (const std::string& r : server_.requests())
      if (r.find(text) != std::string::npos) out.push_back(r);
    return out;
  }

  TempDir src_, dst_;
  std::string payload_;
  FaultServer server_{src_.path()};
};

TEST_F(FaultTest, DroppedTransferResumesAtTheFirstByteNotStored) {
  for (const int drop : {1, 10239, 10240, 77777}) {
    SCOPED_TRACE(drop);
    TempDir dst;
    const std::string query = "file.bin?drop=" + std::to_string(drop);
    const RunResult r = run_task(task_param(server_.url(query), dst.path() + "/"));
    EXPECT_EQ(r.outcome, TaskOutcome::completed);
    EXPECT_EQ(read_file(dst.file("file.bin")), payload_);
    // The retry asks exactly for what is missing.
    const auto again = requests_containing("GET /" + query);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_NE(again[1].find("Range: bytes=" + std::to_string(drop) + "-"), std::string::npos) << again[1];
  }
}

TEST_F(FaultTest, StallLongerThanTheReceiveTimeoutIsRetried) {
  TaskParam p = task_param(server_.url("file.bin?stall=4000"), folder());
  p.receive_timeout_ms = 1000;
  const RunResult r = run_task(p);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("file.bin")), payload_);
  EXPECT_EQ(requests_containing("Range: bytes=").size(), 1u);
}

TEST_F(FaultTest, TransferThatKeepsBreakingFailsAsShort) {
  // Every answer breaks off early: six attempts (five retries), then the task fails; the file
  // stays at its full size with what arrived.
  const RunResult r = run_task(task_param(server_.url("file.bin?drop=1000&times=100"), folder()));
  EXPECT_EQ(r.outcome, TaskOutcome::short_transfer);
  EXPECT_EQ(server_.requests().size(), 6u);
  const std::string got = read_file(dst_.file("file.bin"));
  ASSERT_EQ(got.size(), payload_.size());
  EXPECT_EQ(got.substr(0, 6000), payload_.substr(0, 6000));
  EXPECT_EQ(got.substr(6000), std::string(payload_.size() - 6000, '\0'));
  EXPECT_EQ(r.events[r.events.size() - 2].code, task_event::connection_failed);
}

TEST_F(FaultTest, AnswersThatFailTheTaskAtOnce) {
  const struct {
    const char* query;
    TaskOutcome outcome;
    bool file_made;
  } cases[] = {
      {"file.bin?status=404", TaskOutcome::http_status, false},
      {"file.bin?status=500", TaskOutcome::http_status, false},
      {"missing.bin", TaskOutcome::http_status, false},
      {"file.bin?nolength=1", TaskOutcome::no_size, false},
      {"file.bin?disposition=attachment%3B%20filename%3D%22..%22", TaskOutcome::bad_name, false},
      {"file.bin?loop=1", TaskOutcome::bad_address, false},
      {"file.bin?to=ftp%3A%2F%2F127.0.0.1%2Ffile.bin", TaskOutcome::bad_address, false},
      {"file.bin?to=gopher%3A%2F%2F127.0.0.1%2Ffile.bin", TaskOutcome::bad_address, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    TempDir dst;
    const std::size_t before = server_.requests().size();
    const RunResult r = run_task(task_param(server_.url(c.query), dst.path() + "/"));
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.path.empty(), !c.file_made);
    EXPECT_EQ(list_folder(dst.path()).empty(), !c.file_made);
    if (std::string(c.query).find("loop") != std::string::npos) {
      EXPECT_EQ(server_.requests().size() - before, 21u) << "twenty redirects are followed, no more";
    } else if (c.outcome == TaskOutcome::http_status) {
      EXPECT_EQ(server_.requests().size() - before, 1u) << "no retry";
    }
  }
}

TEST_F(FaultTest, OkAnswerToARangeRequestIsNotWrittenAtTheOffset) {
  const RunResult r = run_task(task_param(server_.url("file.bin?drop=50000&norange=1"), folder()));
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("file.bin")), payload_);
  EXPECT_EQ(r.final_bytes, static_cast<std::int64_t>(payload_.size()));
}

TEST_F(FaultTest, PartialAnswerForAnotherRangeIsAnError) {
  const RunResult r = run_task(task_param(server_.url("file.bin?drop=50000&badrange=1"), folder()));
  EXPECT_EQ(r.outcome, TaskOutcome::protocol);
  const std::string got = read_file(dst_.file("file.bin"));
  ASSERT_EQ(got.size(), payload_.size());
  EXPECT_EQ(got.substr(0, 50000), payload_.substr(0, 50000));
  EXPECT_EQ(got.substr(50000), std::string(payload_.size() - 50000, '\0'));
}

TEST_F(FaultTest, RedirectChainNamesTheFileAfterTheFinalAddressAndCarriesTheCookie) {
  write_file(src_.file("final.bin"), payload_);
  const RunResult r = run_task(task_param(server_.url("file.bin?redirect=3&cookie=abc"), folder()));
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("file.bin")), payload_);
  EXPECT_EQ(server_.requests().size(), 4u);
  EXPECT_EQ(requests_containing("Cookie: c=abc").size(), 3u);
  EXPECT_TRUE(requests_containing("second=no").empty()) << "only the first cookie goes along";

  TempDir dst;
  const std::string to = "http%3A%2F%2F127.0.0.1%3A" + std::to_string(server_.port()) + "%2Ffinal.bin";
  const RunResult moved = run_task(task_param(server_.url("file.bin?to=" + to), dst.path() + "/"));
  EXPECT_EQ(moved.outcome, TaskOutcome::completed);
  EXPECT_EQ(list_folder(dst.path()), std::vector<std::string>{"final.bin"});
}

TEST_F(FaultTest, CookieIsNotSentToAnotherHost) {
  const std::string to = "http%3A%2F%2Flocalhost%3A" + std::to_string(server_.port()) + "%2Ffile.bin";
  const RunResult r = run_task(task_param(server_.url("file.bin?cookie=abc&to=" + to), folder()));
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_TRUE(requests_containing("Cookie:").empty());
}

TEST_F(FaultTest, NamesFromContentDispositionAndTheAddressStayInTheFolder) {
  const struct {
    const char* query;
    const char* name;
  } cases[] = {
      {"file.bin?disposition=attachment%3B%20filename%3D%22quoted%20name.bin%22", "quoted name.bin"},
      {"file.bin?disposition=attachment%3B%20filename%3Dbare.bin", "bare.bin"},
      {"file.bin?disposition=attachment%3B%20filename%3D%22%2Fetc%2Fsub%2Fx.bin%22", "x.bin"},
      {"file.bin?disposition=attachment%3B%20filename%3D%22..%2F..%2Fup.bin%22", "up.bin"},
      {"file.bin?disposition=attachment%3B%20filename%3D%22..%5C..%5Cback.bin%22", "back.bin"},
      {"file.bin?disposition=inline", "file.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    TempDir parent;
    const std::string folder = parent.file("in");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const RunResult r = run_task(task_param(server_.url(c.query), folder + "/"));
    EXPECT_EQ(r.outcome, TaskOutcome::completed);
    EXPECT_EQ(list_folder(folder), std::vector<std::string>{c.name});
    EXPECT_EQ(list_folder(parent.path()), std::vector<std::string>{"in"});
    EXPECT_EQ(read_file(folder + "/" + c.name), payload_);
  }
}

TEST_F(FaultTest, NameLengthIsThePlatformLimit) {
  for (const std::size_t length : {255u, 256u}) {
    SCOPED_TRACE(length);
    TempDir dst;
    const std::string name(length, 'n');
    const RunResult r = run_task(
        task_param(server_.url("file.bin?disposition=attachment%3B%20filename%3D" + name), dst.path() + "/"));
    EXPECT_EQ(r.outcome, length <= 255 ? TaskOutcome::completed : TaskOutcome::bad_name);
    EXPECT_EQ(list_folder(dst.path()).size(), length <= 255 ? 1u : 0u);
  }
}

TEST_F(FaultTest, EncodedSeparatorsInTheAddressDoNotLeaveTheFolder) {
  write_file(src_.file("escape.bin"), payload_);
  TempDir parent;
  const std::string folder = parent.file("in");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  // The server maps the decoded path to its own escape.bin; the engine must take only the last part.
  const RunResult r = run_task(task_param(server_.url("..%2F..%2Fescape.bin"), folder + "/"));
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(list_folder(folder), std::vector<std::string>{"escape.bin"});
  EXPECT_EQ(list_folder(parent.path()), std::vector<std::string>{"in"});
}

TEST_F(FaultTest, SameNameSeries) {
  write_file(src_.file("setup.exe"), payload_);
  write_file(src_.file("a.tar.gz"), "small");
  write_file(dst_.file("setup.exe"), "old");
  for (int i = 0; i < 2; ++i) {
    const RunResult r = run_task(task_param(server_.url("setup.exe"), folder()));
    EXPECT_EQ(r.outcome, TaskOutcome::completed);
    const auto same = std::find_if(r.events.begin(), r.events.end(),
                                   [](const Recorded& e) { return e.code == task_event::same_name_file; });
    ASSERT_NE(same, r.events.end());
    EXPECT_EQ(same->subject, 3);  // size of the file already there
    EXPECT_EQ(same->arg3, static_cast<std::int64_t>(payload_.size()));
  }
  run_task(task_param(server_.url("a.tar.gz"), folder()));
  run_task(task_param(server_.url("a.tar.gz"), folder()));
  EXPECT_EQ(list_folder(dst_.path()), (std::vector<std::string>{"a(1).tar.gz", "a.tar.gz", "setup(1).exe",
                                                                "setup(2).exe", "setup.exe"}));
  EXPECT_EQ(read_file(dst_.file("setup.exe")), "old");
  EXPECT_EQ(read_file(dst_.file("setup(1).exe")), payload_);
  EXPECT_EQ(read_file(dst_.file("setup(2).exe")), payload_);
  EXPECT_EQ(read_file(dst_.file("a(1).tar.gz")), "small");
}

TEST_F(FaultTest, SeriesEndsAtNinetyNineAndAnExistingFileIsNeverOverwritten) {
  write_file(dst_.file("file.bin"), "mine");
  write_file(dst_.file("file(99).bin"), "x");
  // file(1)..file(98) free: the series walks on; a declined rename fails without touching the file.
  {
    Recorder recorder;
    recorder.set_same_name_answer(1);
    Download d;
    ASSERT_TRUE(start_task(d, task_param(server_.url("file.bin"), folder())));
    ASSERT_TRUE(recorder.wait_finished());
    EXPECT_EQ(static_cast<TaskOutcome>(recorder.events().back().arg4), TaskOutcome::bad_name);
  }
  EXPECT_EQ(read_file(dst_.file("file.bin")), "mine");
  for (int i = 1; i <= 98; ++i) write_file(dst_.file("file(" + std::to_string(i) + ").bin"), "x");
  const RunResult r = run_task(task_param(server_.url("file.bin"), folder()));
  EXPECT_EQ(r.outcome, TaskOutcome::bad_name);
  EXPECT_EQ(list_folder(dst_.path()).size(), 100u);
}

TEST_F(FaultTest, RefererAndProxy) {
  ASSERT_EQ(::mkdir(src_.file("dir").c_str(), 0755), 0);
  write_file(src_.file("dir/x.bin"), payload_);
  run_task(task_param(server_.url("dir/x.bin"), folder()));
  const auto got = requests_containing("GET /dir/x.bin");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(header_value(got[0], "Referer"), "http://127.0.0.1:" + std::to_string(server_.port()) + "/dir");

  TempDir dst;
  TaskParam p = task_param("http://download.invalid/file.bin", dst.path() + "/");
  p.http_proxy = "127.0.0.1:" + std::to_string(server_.port());
  p.http_referer = "http://referer.invalid/page";
  const RunResult r = run_task(p);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst.file("file.bin")), payload_);
  EXPECT_EQ(requests_containing("GET http://download.invalid/file.bin").size(), 1u);
  EXPECT_EQ(requests_containing("Referer: http://referer.invalid/page").size(), 1u);
}

TEST_F(FaultTest, SeveralConnectionsSurviveDroppedRanges) {
  const std::string big = make_payload(600 * 1024 + 1, 9);
  write_file(src_.file("big.bin"), big);
  TaskParam p = task_param(server_.url("big.bin?drop=30000&times=3"), folder());
  p.connection_count = 3;
  const RunResult r = run_task(p);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("big.bin")), big);
}

}  // namespace
}  // namespace tolvane::testing
