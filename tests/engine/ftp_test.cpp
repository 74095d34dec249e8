// The engine against pyftpdlib: anonymous and named logins, resuming at an offset (several
// connections), and a missing file.
#include <gtest/gtest.h>

#include "download/engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/servers.h"

namespace tolvane::testing {
namespace {

class FtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_program_options();
    payload_ = make_payload(200 * 1024 + 9, 21);
    write_file(src_.file("file.bin"), payload_);
    ASSERT_TRUE(ftp_.ok()) << ftp_.error();
  }
  TempDir src_, dst_;
  std::string payload_;
  FtpServer ftp_{src_.path(), "tester", "secret"};
};

TEST_F(FtpTest, LoginsFromTheAddressOrTheRecord) {
  const std::string plain = ftp_.url("file.bin");
  const std::string with_login = ftp_.url_with_login("file.bin");
  const struct {
    std::string address, user, password;
    TaskOutcome outcome;
  } cases[] = {
      {plain, "", "", TaskOutcome::completed},                  // anonymous by default
      {plain, "tester", "secret", TaskOutcome::completed},      // from the record
      {with_login, "nobody", "wrong", TaskOutcome::completed},  // the address wins
      {plain, "tester", "wrong", TaskOutcome::protocol},        // refused login, no retries
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address + " " + c.user);
    TempDir dst;
    TaskParam p = task_param(c.address, dst.path() + "/");
    p.ftp_user = c.user;
    p.ftp_password = c.password;
    const RunResult r = run_task(p);
    EXPECT_EQ(r.outcome, c.outcome);
    if (c.outcome == TaskOutcome::completed) {
      EXPECT_EQ(read_file(dst.file("file.bin")), payload_);
    } else {
      EXPECT_TRUE(list_folder(dst.path()).empty());
    }
  }
}

TEST_F(FtpTest, SeveralConnectionsResumeAtTheirOffsets) {
  const std::string big = make_payload(700 * 1024 + 5, 4);
  write_file(src_.file("big.bin"), big);
  TaskParam p = task_param(ftp_.url("big.bin"), dst_.path() + "/");
  p.connection_count = 3;
  const RunResult r = run_task(p);
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_EQ(read_file(dst_.file("big.bin")), big);
}

TEST_F(FtpTest, MissingFileAndEmptyFile) {
  RunResult r = run_task(task_param(ftp_.url("nothing.bin"), dst_.path() + "/"));
  EXPECT_EQ(r.outcome, TaskOutcome::protocol);
  EXPECT_TRUE(list_folder(dst_.path()).empty());

  write_file(src_.file("empty.bin"), "");
  r = run_task(task_param(ftp_.url("empty.bin"), dst_.path() + "/"));
  EXPECT_EQ(r.outcome, TaskOutcome::completed);
  EXPECT_TRUE(file_exists(dst_.file("empty.bin")));
}

}  // namespace
}  // namespace tolvane::testing
