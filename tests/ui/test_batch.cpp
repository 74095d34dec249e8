// Whole batches through the real window, the real queue and the real engine against nginx on
// loopback.
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <algorithm>
#include <string>
#include <vector>

#include "download/progress.h"
#include "tests/ui/window_fixture.h"

namespace tolvane::testing {
namespace {

// The engine's start_task, with the addresses it was given recorded in order.
std::vector<std::string> started;
bool record_and_start(Download& download, const TaskParam& param) {
  started.push_back(param.remote_address);
  return start_task(download, param);
}

class BatchTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    started.clear();
    engine_ops().start_task = &record_and_start;
  }

  // Saves the list and the folder as the settings window would, then opens the window, which
  // loads them.
  void save_settings(const std::vector<std::string>& urls, const std::string& folder) {
    write_address_file(urls);
    write_setting(key_save_folder, folder);
  }

  void click_start() {
    QTest::mouseClick(form().下载, Qt::LeftButton);
    EXPECT_FALSE(form().下载->isEnabled());
    EXPECT_EQ(app_state().is_downloading, 1);
  }

  void expect_idle_after_batch() {
    EXPECT_TRUE(form().下载->isEnabled());
    EXPECT_EQ(app_state().is_downloading, 0);
    EXPECT_FALSE(window().timer(MainTimer::时钟).isActive());
    EXPECT_FALSE(window().timer(MainTimer::时钟1).isActive());
    EXPECT_FALSE(window().banner_playing());
    EXPECT_EQ(form().标签->text(), QString::fromUtf8(waiting_text));
  }

  TempDir site;
  TempDir downloads;
};

int number_in(const QString& text) {
  const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("(-?\\d+)")).match(text);
  return m.hasMatch() ? m.captured(1).toInt() : -1;
}

TEST_F(BatchTest, EveryAddressIsFetchedInOrderAndAnnouncedOnce) {
  const std::vector<std::pair<std::string, std::string>> files = {{"c.dat", make_payload(1'500'000, 3)},
                                                                  {"a.bin", make_payload(3'000, 1)},
                                                                  {"b.txt", make_payload(100'000, 2)}};
  NginxServer server(site.path());
  ASSERT_TRUE(server.ok()) << server.error();
  std::vector<std::string> urls;
  for (const auto& [name, bytes] : files) {
    write_file(site.file(name), bytes);
    urls.push_back(server.http_url(name));
  }
  urls[1] = "  " + urls[1] + "\xE3\x80\x80";  // spaces around an address are not part of it
  save_settings(urls, downloads.path());
  open_window();

  click_start();
  ASSERT_TRUE(wait_for_messages(1));
  QTest::qWait(300);  // no second message follows

  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, all_done);
  EXPECT_EQ(messages[0].flags, message_ok);
  EXPECT_EQ(messages[0].title, "信息：");
  EXPECT_EQ(started, (std::vector<std::string>{server.http_url("c.dat"), server.http_url("a.bin"),
                                               server.http_url("b.txt")}));
  EXPECT_EQ(list_folder(downloads.path()), (std::vector<std::string>{"a.bin", "b.txt", "c.dat"}));
  for (const auto& [name, bytes] : files) {
    EXPECT_TRUE(read_file(downloads.file(name)) == bytes) << name;
  }
  expect_idle_after_batch();

  // A second batch in the same run fetches the list again beside the first files.
  messages.clear();
  started.clear();
  click_start();
  ASSERT_TRUE(wait_for_messages(1));
  EXPECT_EQ(messages[0].text, all_done);
  EXPECT_EQ(started.size(), 3u);
  EXPECT_EQ(list_folder(downloads.path()).size(), 6u);
}

TEST_F(BatchTest, FailedAddressesAreListedAndTheGoodFilesAreWhole) {
  NginxServer server(site.path());
  ASSERT_TRUE(server.ok()) << server.error();
  const std::string first = make_payload(50'000, 7);
  const std::string last = make_payload(20'000, 8);
  write_file(site.file("first.bin"), first);
  write_file(site.file("last.bin"), last);
  const std::string missing = server.http_url("missing.bin");
  const std::string unreachable = "http://127.0.0.1:" + std::to_string(unused_port()) + "/x.bin";
  const std::string refused = "http://host-without-slash";
  save_settings({server.http_url("first.bin"), missing, unreachable, refused, server.http_url("last.bin")},
                downloads.path());
  open_window();

  click_start();
  ASSERT_TRUE(wait_for_messages(1));
  QTest::qWait(300);

  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "下载结束；共5个文件，其中3个下载失败：\r\n" + missing + "\r\n" + unreachable + "\r\n" + refused);
  EXPECT_EQ(messages[0].flags, message_ok);
  EXPECT_EQ(started.size(), 5u);
  EXPECT_TRUE(read_file(downloads.file("first.bin")) == first);
  EXPECT_TRUE(read_file(downloads.file("last.bin")) == last);
  expect_idle_after_batch();
}

TEST_F(BatchTest, ProgressAndSpeedFollowASlowTransfer) {
  constexpr std::size_t rate = 100 * 1024;
  constexpr std::size_t size = 300 * 1024;
  NginxServer server(site.path(), rate);
  ASSERT_TRUE(server.ok()) << server.error();
  const std::string bytes = make_payload(size, 11);
  write_file(site.file("slow.bin"), bytes);
  save_settings({server.limited_url("slow.bin")}, downloads.path());
  TempDir other_folder;
  open_window();

  click_start();
  std::vector<int> percents, bars;
  std::vector<QString> amounts, speeds;
  bool folder_changed = false;
  QString folder_label_after_change;
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    QTest::qWait(50);
    if (!messages.empty()) break;
    ASSERT_LT(clock.elapsed(), 60'000) << "the batch did not end";
    const int percent = number_in(form().标签->text().section(QStringLiteral("："), 1));
    if (form().标签->text().startsWith(QStringLiteral("正在下载...已完成：")) &&
        (percents.empty() || percents.back() != percent)) {
      percents.push_back(percent);
    }
    if (bars.empty() || bars.back() != form().进度条->value()) bars.push_back(form().进度条->value());
    amounts.push_back(form().已经下载->text());
    speeds.push_back(form().下载速度->text());
    if (!folder_changed && percent >= 30) {
      app_state().save_folder = other_folder.path();  // as the settings window's browse button does
      folder_changed = true;
    }
    if (folder_changed && folder_label_after_change.isEmpty()) {
      QTest::qWait(250);
      folder_label_after_change = form().下载保存->text();
    }
  }

  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, all_done);
  // The percentage and the bar rise through values between the ends, never falling back.
  EXPECT_GE(percents.size(), 3u);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_TRUE(std::is_sorted(bars.begin(), bars.end()));
  EXPECT_GE(std::count_if(bars.begin(), bars.end(), [](int v) { return v > 0 && v < 100; }), 2);
  // Once the file exists its full size shows; the speed is near the server's rate.
  const QString full = QStringLiteral("KB(文件总大小：%1KB)").arg(size / 1024);
  EXPECT_TRUE(std::any_of(amounts.begin(), amounts.end(), [&](const QString& t) {
    return t.startsWith(QStringLiteral("已经下载：")) && t.endsWith(full) && number_in(t) > 0;
  }));
  int best_speed = 0;
  for (const QString& t : speeds) {
    if (t.startsWith(QStringLiteral("下载速度：")) && t.endsWith(QStringLiteral("KB/1秒"))) {
      best_speed = std::max(best_speed, number_in(t));
    }
  }
  EXPECT_GE(best_speed, 20);
  EXPECT_LE(best_speed, 1000);
  // The folder label follows the changed folder while the file goes on into the first one.
  ASSERT_TRUE(folder_changed);
  EXPECT_EQ(folder_label_after_change,
            QStringLiteral("下载保存到：") + QString::fromStdString(other_folder.path()));
  EXPECT_TRUE(read_file(downloads.file("slow.bin")) == bytes);
  EXPECT_TRUE(list_folder(other_folder.path()).empty());
  expect_idle_after_batch();
  // After the batch the last values stay.
  EXPECT_EQ(form().下载保存->text(), folder_label_after_change);
}

TEST_F(BatchTest, AListReplacedDuringABatchTakesEffectForTheNextAddress) {
  NginxServer server(site.path(), 64 * 1024);
  ASSERT_TRUE(server.ok()) << server.error();
  const std::string slow = make_payload(160 * 1024, 21);
  const std::string replacement = make_payload(5'000, 22);
  write_file(site.file("slow.bin"), slow);
  write_file(site.file("old2.bin"), "old");
  write_file(site.file("old3.bin"), "old");
  write_file(site.file("new.bin"), replacement);
  save_settings({server.limited_url("slow.bin"), server.http_url("old2.bin"), server.http_url("old3.bin")},
                downloads.path());
  TempDir other_folder;
  open_window();

  click_start();
  ASSERT_EQ(started.size(), 1u);
  // While the first file runs the settings window is confirmed with a shorter list and a new folder.
  app_state().url_list = {"http://ignored.invalid/first", server.http_url("new.bin")};
  app_state().save_folder = other_folder.path();
  ASSERT_TRUE(wait_for_messages(1));

  EXPECT_EQ(messages[0].text, all_done);
  EXPECT_EQ(started, (std::vector<std::string>{server.limited_url("slow.bin"), server.http_url("new.bin")}));
  EXPECT_TRUE(read_file(downloads.file("slow.bin")) == slow);
  EXPECT_EQ(list_folder(downloads.path()), std::vector<std::string>{"slow.bin"});
  EXPECT_TRUE(read_file(other_folder.file("new.bin")) == replacement);
  expect_idle_after_batch();
}

}  // namespace
}  // namespace tolvane::testing
