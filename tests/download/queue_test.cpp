// The queue against a fake window and a fake engine: batch start and its refusals, dispatch order,
// task parameters, the end of a batch and its message.
#include "download/queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/download/fakes.h"

namespace tolvane::testing {
namespace {

constexpr const char* kAllDone = "恭喜你；当前文件已下载成功";

class QueueTest : public DownloadFixture {
 protected:
  std::vector<std::string> started_addresses() const {
    std::vector<std::string> out;
    for (const TaskParam& param : engine_.started) out.push_back(param.remote_address);
    return out;
  }

  // Runs a whole batch: every accepted task ends with the outcome the script gives its address
  // (completed when not named), and the queue moves on the timer tick. Returns the end messages.
  std::vector<std::string> run_batch(const std::map<std::string, TaskOutcome>& outcomes = {}) {
    start_batch();
    for (int tick = 0; tick < 1000 && state().is_downloading == 1; ++tick) {
      if (engine_.holds_task) {
        auto it = outcomes.find(engine_.started.back().remote_address);
        engine_.finish(it == outcomes.end() ? TaskOutcome::completed : it->second);
      }
      on_timer_tick();
    }
    EXPECT_EQ(state().is_downloading, 0) << "the batch did not end";
    std::vector<std::string> texts;
    for (const auto& message : view_.messages) texts.push_back(message.text);
    return texts;
  }
};

TEST_F(QueueTest, ApplyEngineOptionsSetsBufferRetryWaitAndRetries) {
  apply_engine_options();
  EXPECT_EQ(engine_.network_options, (std::vector<int>{10240, 1, 5}));
}

TEST_F(QueueTest, StartBatchRefusesWithoutAddressesOrFolderAndChangesNothingElse) {
  struct Case {
    std::vector<std::string> list;
    std::string folder;
    const char* message;
  };
  const Case cases[] = {
      {{}, "", "抱歉；当前没有找到可下载的文件地址，请重新设置"},  // the list is tested first
      {{}, "/tmp/x", "抱歉；当前没有找到可下载的文件地址，请重新设置"},
      {{"http://h/a"}, "", "抱歉；下载的文件保存到文件夹的路径不能为空，请重新设置"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    view_ = FakeView{};
    state().url_list = c.list;
    state().save_folder = c.folder;
    state().current_index = 7;
    state().current_url = "before";

    start_batch();

    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].text, c.message);
    EXPECT_EQ(view_.messages[0].flags, message_ok);
    EXPECT_EQ(view_.messages[0].title, "信息：");
    EXPECT_EQ(view_.log.size(), 1u) << "nothing but the message";
    EXPECT_EQ(state().is_downloading, 0);
    EXPECT_EQ(state().current_index, 7);
    EXPECT_EQ(state().current_url, "before");
    EXPECT_TRUE(engine_.started.empty());
  }
}

TEST_F(QueueTest, StartBatchEntersTheRunningStateAndDispatchesTheFirstAddress) {
  state().url_list = {"http://h/a", "http://h/b"};
  state().save_folder = "/data/in";
  start_batch();

  EXPECT_EQ(view_.log, (std::vector<std::string>{"banner picture", "banner play", "时钟 100 [busy]",
                                                 "时钟1 1000 [busy]", "disable [busy]"}));
  EXPECT_EQ(state().is_downloading, 1);
  EXPECT_EQ(state().current_index, 1);
  EXPECT_EQ(state().current_url, "http://h/a");
  ASSERT_EQ(engine_.started.size(), 1u);

  const TaskParam& p = engine_.started[0];
  EXPECT_EQ(p.task_kind, 4096);
  EXPECT_EQ(p.remote_address, "http://h/a");
  EXPECT_EQ(p.save_path, "/data/in/");
  EXPECT_EQ(p.connection_count, 1);
  EXPECT_EQ(p.speed_limit, 0);
  EXPECT_EQ(p.connect_timeout_ms, 5000);
  EXPECT_EQ(p.send_timeout_ms, 5001);
  EXPECT_EQ(p.receive_timeout_ms, 10000);
  EXPECT_EQ(p.stop_wait_ms, 1000);
  EXPECT_EQ(p.receive_block_size, 10240);
  EXPECT_EQ(p.event_callback, &on_task_event);
  // Fields the queue does not own keep their start-up values.
  const TaskParam startup;
  EXPECT_EQ(p.ftp_user, startup.ftp_user);
  EXPECT_EQ(p.ftp_password, startup.ftp_password);
  EXPECT_EQ(p.upload_block_size, startup.upload_block_size);
  EXPECT_EQ(p.message_callback, nullptr);
  EXPECT_EQ(p.ftp_transfer_type, startup.ftp_transfer_type);
  EXPECT_EQ(p.binary_extensions, startup.binary_extensions);
  EXPECT_EQ(p.http_proxy, "");
  EXPECT_EQ(p.http_referer, "");

  // A banner that already holds its picture only starts playing.
  release_app_state();
  init_app_state();
  view_ = FakeView{};
  view_.has_picture = true;
  state().url_list = {"http://h/a"};
  state().save_folder = "/data/in";
  start_batch();
  EXPECT_EQ(view_.log.front(), "banner play");
}

TEST_F(QueueTest, EachAddressStartsOnlyAfterThePreviousTaskFinished) {
  state().url_list = {"http://h/1", "http://h/2", "http://h/3"};
  state().save_folder = "/f";
  start_batch();

  for (std::size_t n = 1; n <= 3; ++n) {
    ASSERT_EQ(engine_.started.size(), n);
    // Ticks while the task runs, size reports and other events included, move nothing.
    on_task_event(task_event::total_size_known, 0, 1000, 0, 0);
    on_task_event(task_event::data_received, 0, 100, 0, 0);
    for (int i = 0; i < 3; ++i) on_timer_tick();
    EXPECT_EQ(engine_.started.size(), n);
    EXPECT_EQ(state().current_index, static_cast<int>(n));
    EXPECT_TRUE(view_.messages.empty());

    engine_.finish(TaskOutcome::completed, 1000);
    on_timer_tick();
  }
  EXPECT_EQ(started_addresses(), (std::vector<std::string>{"http://h/1", "http://h/2", "http://h/3"}));
  EXPECT_EQ(state().is_downloading, 0);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, kAllDone);

  // Idle ticks after the end do nothing more.
  on_timer_tick();
  EXPECT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(engine_.started.size(), 3u);
}

TEST_F(QueueTest, FailedAndRefusedTasksAreNamedInTheEndMessage) {
  state().url_list = {"http://h/good1", " http://h/missing ", "nohost", "http://h/good2", "http://h/cut"};
  state().save_folder = "/f";
  engine_.refused = {"nohost"};

  const auto messages = run_batch(
      {{"http://h/missing", TaskOutcome::http_status}, {"http://h/cut", TaskOutcome::short_transfer}});

  // The refused address did not stall the queue: every address was handed over, in order.
  EXPECT_EQ(started_addresses(), (std::vector<std::string>{"http://h/good1", "http://h/missing", "nohost",
                                                           "http://h/good2", "http://h/cut"}));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "下载结束；共5个文件，其中3个下载失败：\r\nhttp://h/missing\r\nnohost\r\nhttp://h/cut");

  // The next batch starts a fresh tally.
  view_.messages.clear();
  engine_.refused.clear();
  EXPECT_EQ(run_batch(), (std::vector<std::string>{kAllDone}));
}

TEST_F(QueueTest, EndMessageListsTenFailuresAndThenAnEllipsis) {
  std::map<std::string, TaskOutcome> outcomes;
  for (int i = 1; i <= 12; ++i) {
    const std::string address = "http://h/f" + std::to_string(i);
    state().url_list.push_back(address);
    outcomes[address] = TaskOutcome::network;
  }
  state().url_list.push_back("http://h/ok");
  state().save_folder = "/f";

  const auto messages = run_batch(outcomes);

  std::string expected = "下载结束；共13个文件，其中12个下载失败：";
  for (int i = 1; i <= 10; ++i) expected += "\r\nhttp://h/f" + std::to_string(i);
  expected += "\r\n……";
  EXPECT_EQ(messages, (std::vector<std::string>{expected}));
}

TEST_F(QueueTest, AFirstAddressRefusedEndsAOneAddressBatchOnTheNextTick) {
  state().url_list = {"ftp:/broken"};
  state().save_folder = "/f";
  engine_.refused = {"ftp:/broken"};
  start_batch();
  EXPECT_EQ(state().is_downloading, 1);
  EXPECT_TRUE(view_.messages.empty()) << "no message at the refusal itself";
  on_timer_tick();
  EXPECT_EQ(state().is_downloading, 0);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "下载结束；共1个文件，其中1个下载失败：\r\nftp:/broken");
}

TEST_F(QueueTest, AddressesLoseSpacesAndIdeographicSpacesAtBothEndsOnly) {
  struct Case {
    std::string entry;
    std::string address;
  };
  const Case cases[] = {
      {"  http://h/a  ", "http://h/a"},
      {"\xE3\x80\x80 http://h/a\xE3\x80\x80\xE3\x80\x80 ", "http://h/a"},
      {"\thttp://h/a\t", "\thttp://h/a\t"},
      {" \thttp://h/a b\t ", "\thttp://h/a b\t"},
      {"http://h/a\xE3\x80\x80x", "http://h/a\xE3\x80\x80x"},
      {"   ", ""},
      {"\xE3\x80", "\xE3\x80"},  // a cut sequence is not a space
  };
  for (const Case& c : cases) {
    state().url_list.push_back(c.entry);
    engine_.refused.insert(c.address);  // so that run_batch needs no outcome script
  }
  state().save_folder = "/f";
  run_batch();
  ASSERT_EQ(engine_.started.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(engine_.started[i].remote_address, cases[i].address) << "entry " << i;
  }
}

TEST_F(QueueTest, ListAndFolderChangedDuringABatchTakeEffectForTheNextAddress) {
  state().url_list = {"http://h/1", "http://h/2"};
  state().save_folder = "/old";
  start_batch();

  // A longer list: the entry after current_index of the new list comes next, into the new folder.
  state().url_list = {"http://n/1", "http://n/2", "http://n/3"};
  state().save_folder = "/new/";
  engine_.finish(TaskOutcome::completed);
  on_timer_tick();
  ASSERT_EQ(engine_.started.size(), 2u);
  EXPECT_EQ(engine_.started[1].remote_address, "http://n/2");
  EXPECT_EQ(engine_.started[1].save_path, "/new//");
  EXPECT_EQ(engine_.started[0].save_path, "/old/");

  // A list no longer than current_index ends the batch when the running task ends.
  state().url_list = {"http://m/1"};
  engine_.finish(TaskOutcome::completed);
  on_timer_tick();
  EXPECT_EQ(engine_.started.size(), 2u);
  EXPECT_EQ(state().is_downloading, 0);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, kAllDone);
}

TEST_F(QueueTest, FinishBatchRestoresIdleInOrderAndShowsTheMessageLast) {
  state().is_downloading = 1;
  state().task_done = 1;
  view_.disabled = true;
  view_.animating = true;
  finish_batch();

  EXPECT_EQ(view_.log, (std::vector<std::string>{"caption 标签 正在等候数据… [busy]", "时钟 0 [busy]",
                                                 "时钟1 0 [busy]", "banner picture", "banner stop", "enable",
                                                 std::string("message ") + kAllDone}));
  EXPECT_EQ(state().task_done, 0);
  EXPECT_EQ(state().is_downloading, 0);
  EXPECT_EQ(view_.messages[0].flags, message_ok);
  EXPECT_EQ(view_.messages[0].title, "信息：");
}

TEST_F(QueueTest, TaskEventsStoreOnlySizeAndEndAndAnswerZero) {
  state().current_index = 3;
  state().current_url = "u";
  struct Event {
    int code;
    std::int64_t arg2, arg3, arg4;
  };
  const Event ignored[] = {{task_event::connection_started, 0, 0, 0},
                           {task_event::range_started, 0, 10, 20},
                           {task_event::range_taken_over, 0, 10, 20},
                           {task_event::connection_ended, 0, 5, 0},
                           {task_event::connection_failed, 0, 5, 0},
                           {task_event::data_received, 0, 99, 0},
                           {task_event::same_name_file, 123, 456, 0},
                           {2, 0, 1, 1},
                           {17, 0, 1, 1}};
  for (const Event& e : ignored) {
    EXPECT_EQ(on_task_event(e.code, e.arg2, e.arg3, e.arg4, 0), 0) << e.code;
  }
  EXPECT_EQ(state().total_size, 0.0);
  EXPECT_EQ(state().task_done, 0);
  EXPECT_EQ(state().current_index, 3);
  EXPECT_EQ(state().current_url, "u");

  const std::int64_t five_gib = std::int64_t{5} << 30;
  EXPECT_EQ(on_task_event(task_event::total_size_known, 0, five_gib, 0, 0), 0);
  EXPECT_EQ(state().total_size, 5368709120.0);
  EXPECT_EQ(on_task_event(task_event::task_finished, 0, five_gib, static_cast<int>(TaskOutcome::disk), 0), 0);
  EXPECT_EQ(state().task_done, 1);
  EXPECT_EQ(state().task_outcome, static_cast<int>(TaskOutcome::disk));
}

}  // namespace
}  // namespace tolvane::testing
