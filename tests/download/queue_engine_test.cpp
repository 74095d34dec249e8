// The queue driving the real engine against a real nginx on loopback, the way the main window's
// timer drives it: tick after tick until the batch is over.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "download/progress.h"
#include "download/queue.h"
#include "tests/download/fakes.h"
#include "tests/support/servers.h"

namespace tolvane::testing {
namespace {

class QueueEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_app_state();
    set_main_view(&view_);
    apply_engine_options();
  }
  void TearDown() override {
    set_main_view(nullptr);
    release_app_state();
  }

  // Ticks every 20 ms until the batch is over; the guard only keeps a broken queue from hanging
  // the test run.
  void run_until_idle() {
    start_batch();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (app_state().is_downloading == 1 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      on_timer_tick();
      on_timer1_tick();
    }
    ASSERT_EQ(app_state().is_downloading, 0) << "the batch never ended";
  }

  FakeView view_;
};

TEST_F(QueueEngineTest, ABatchFetchesEveryFileWholeAndNamesExactlyTheFailures) {
  TempDir root;
  TempDir target;
  const std::vector<std::pair<std::string, std::size_t>> files = {{"one.bin", 1},
                                                                  {"small.txt", 5000},
                                                                  {"middle.dat", 300 * 1024 + 7},
                                                                  {"large.bin", 3 * 1024 * 1024 + 1}};
  for (std::size_t i = 0; i < files.size(); ++i) {
    write_file(root.file(files[i].first), make_payload(files[i].second, static_cast<unsigned>(i + 1)));
  }
  NginxServer server(root.path());
  ASSERT_TRUE(server.ok()) << server.error();

  const std::string missing = server.http_url("missing.bin");
  const std::string unreachable = "http://127.0.0.1:" + std::to_string(unused_port()) + "/x.bin";
  const std::string refused = "http://127.0.0.1";  // no "/" after the host
  app_state().url_list = {" " + server.http_url("one.bin"),
                          missing,
                          server.http_url("small.txt"),
                          unreachable,
                          refused,
                          server.http_url("middle.dat"),
                          server.http_url("large.bin") + "\xE3\x80\x80"};
  app_state().save_folder = target.path();

  run_until_idle();

  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text,
            "下载结束；共7个文件，其中3个下载失败：\r\n" + missing + "\r\n" + unreachable + "\r\n" + refused);
  for (const auto& [name, size] : files) {
    EXPECT_EQ(read_file(target.file(name)), read_file(root.file(name))) << name;
  }
  // The display ran during the batch and kept its last values; the window is idle again.
  EXPECT_EQ(view_.caption(MainLabel::标签), "正在等候数据…");
  EXPECT_EQ(view_.caption(MainLabel::下载保存), "下载保存到：" + target.path());
  EXPECT_FALSE(view_.disabled);
  EXPECT_EQ(view_.periods[MainTimer::时钟], 0);
  EXPECT_EQ(view_.periods[MainTimer::时钟1], 0);

  // The same list again, now all good: the tally starts afresh and files get new names beside the old.
  view_.messages.clear();
  app_state().url_list = {server.http_url("small.txt")};
  run_until_idle();
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "恭喜你；当前文件已下载成功");
  EXPECT_EQ(read_file(target.file("small(1).txt")), read_file(root.file("small.txt")));
}

}  // namespace
}  // namespace tolvane::testing
