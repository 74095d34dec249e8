// The progress and speed display through the real refresh operations, a fake window and a fake
// engine: rounding and number texts, percentage, bar, KB figures, the file on disk, sizes over 2 GiB.
#include "download/progress.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/download/fakes.h"
#include "tests/support/servers.h"

namespace tolvane::testing {
namespace {

TEST(RoundingTest, HalfAwayFromZeroAfterTheBiasAndPlainDigits) {
  struct Case {
    double x;
    double rounded;
    const char* text;
  };
  const Case cases[] = {
      {0.0, 0.0, "0"},
      {0.5, 1.0, "1"},
      {2.5, 3.0, "3"},
      {2.49, 2.0, "2"},
      {2.4999999999995, 3.0, "3"},  // the 1e-12 bias tips it over
      {-2.5, -3.0, "-3"},
      {-0.4, 0.0, "0"},  // no "-0"
      {12.5, 13.0, "13"},
      {2.0 / 3.0 * 100.0, 67.0, "67"},
      {1.0 / 400.0 * 100.0, 0.0, "0"},
      {9999999999999.0, 9999999999999.0, "9999999999999"},
      {-1234567890123.5, -1234567890124.0, "-1234567890124"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(round_to_whole(c.x), c.rounded);
    EXPECT_EQ(whole_text(round_to_whole(c.x)), c.text);
  }
}

TEST(FileSizeOnDiskTest, RegularFilesOnly) {
  TempDir dir;
  write_file(dir.file("f.bin"), std::string(1536, 'x'));
  std::filesystem::create_directory(dir.file("sub"));
  struct Case {
    std::string path;
    std::int64_t size;
  };
  const Case cases[] = {
      {dir.file("f.bin"), 1536},   {"", -1},
      {dir.path() + "/", -1},      {dir.file("sub"), -1},
      {dir.file("sub") + "/", -1}, {dir.file("f.bin") + "/", -1},
      {dir.file("missing"), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(file_size_on_disk(c.path), c.size) << "'" << c.path << "'";
}

class ProgressTest : public DownloadFixture {
 protected:
  void SetUp() override {
    DownloadFixture::SetUp();
    view_.disabled = true;  // a batch is running
    engine_.holds_task = true;
  }
  std::string percent_text() const { return view_.caption(MainLabel::标签); }
  std::string amount_text() const { return view_.caption(MainLabel::已经下载); }

  TempDir dir_;
};

TEST_F(ProgressTest, PercentageBarAndKilobytes) {
  enum class Local { none, folder, file };
  struct Case {
    double total;
    std::int64_t done;
    Local local;
    std::int64_t file_bytes;
    const char* percent;
    int bar;
    const char* amount;
  };
  const Case cases[] = {
      {1000, 125, Local::file, 1000, "13", 13, "已经下载：0KB(文件总大小：1KB)"},
      {200, 1, Local::file, 200, "1", 1, "已经下载：0KB(文件总大小：0KB)"},
      {3, 2, Local::file, 3, "67", 67, "已经下载：0KB(文件总大小：0KB)"},
      {400, 1, Local::file, 400, "0", 0, "已经下载：0KB(文件总大小：0KB)"},
      {100, 250, Local::file, 100, "250", 100, "已经下载：0KB(文件总大小：0KB)"},  // previous file's size
      {511, 511, Local::file, 511, "100", 100, "已经下载：0KB(文件总大小：0KB)"},
      {512, 512, Local::file, 512, "100", 100, "已经下载：1KB(文件总大小：1KB)"},
      {3072, 1536, Local::file, 1536, "50", 50, "已经下载：2KB(文件总大小：2KB)"},
      {0, 5000, Local::folder, 0, "0", 0, "已经下载：5KB(文件总大小：0KB)"},  // no size yet, no file yet
      {-1e-8, 5000, Local::folder, 0, "0", 0, "已经下载：5KB(文件总大小：0KB)"},
      {1000, 0, Local::none, 0, "0", 0, "已经下载：0KB(文件总大小：0KB)"},  // between two tasks
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.percent + std::string(" ") + c.amount);
    state().total_size = c.total;
    engine_.received = c.done;
    switch (c.local) {
      case Local::none:
        engine_.local_path.clear();
        break;
      case Local::folder:
        engine_.local_path = dir_.path() + "/";
        break;
      case Local::file:
        engine_.local_path = dir_.file("data.bin");
        write_file(engine_.local_path, std::string(static_cast<std::size_t>(c.file_bytes), '\0'));
        break;
    }
    refresh_progress();
    EXPECT_EQ(percent_text(), std::string("正在下载...已完成：") + c.percent + "%");
    EXPECT_EQ(view_.position, c.bar);
    EXPECT_EQ(amount_text(), c.amount);
  }
}

TEST_F(ProgressTest, FolderCaptionFollowsTheCurrentFolder) {
  state().save_folder = "";
  refresh_progress();
  EXPECT_EQ(view_.caption(MainLabel::下载保存), "下载保存到：");
  state().save_folder = "/home/用户/下载";
  refresh_progress();
  EXPECT_EQ(view_.caption(MainLabel::下载保存), "下载保存到：/home/用户/下载");
  // Only the four display properties are written.
  for (const std::string& entry : view_.log) {
    EXPECT_TRUE(entry.starts_with("caption 标签 ") || entry.starts_with("caption 已经下载 ") ||
                entry.starts_with("caption 下载保存 ") || entry.starts_with("position "))
        << entry;
  }
}

TEST_F(ProgressTest, SpeedIsTheRecentCountInKilobytesAndRestartsIt) {
  struct Case {
    std::int64_t recent;
    const char* text;
  };
  const Case cases[] = {{0, "下载速度：0KB/1秒"},
                        {511, "下载速度：0KB/1秒"},
                        {512, "下载速度：1KB/1秒"},
                        {1536, "下载速度：2KB/1秒"},
                        {std::int64_t{3} << 30, "下载速度：3145728KB/1秒"}};
  for (const Case& c : cases) {
    engine_.recent = c.recent;
    refresh_speed();
    EXPECT_EQ(view_.caption(MainLabel::下载速度), c.text);
    EXPECT_EQ(engine_.recent, 0) << "the count was taken";
  }
  EXPECT_EQ(engine_.recent_reads, static_cast<int>(std::size(cases)));
  EXPECT_EQ(view_.log.size(), std::size(cases)) << "only the speed caption is written";
}

TEST_F(ProgressTest, NothingChangesWhileDownloadIsEnabled) {
  view_.disabled = false;
  state().total_size = 1000;
  engine_.received = 500;
  engine_.recent = 4096;
  engine_.local_path = dir_.path() + "/";
  for (int i = 0; i < 3; ++i) {
    refresh_progress();
    refresh_speed();
    on_timer_tick();
    on_timer1_tick();
  }
  EXPECT_TRUE(view_.log.empty());
  EXPECT_EQ(engine_.recent_reads, 0);
  EXPECT_EQ(engine_.recent, 4096);
}

TEST_F(ProgressTest, FilesBeyondTwoGibibytesShowTrueFigures) {
  const std::int64_t total = std::int64_t{5} << 30;
  const std::string path = dir_.file("big.iso");
  write_file(path, "");
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(total));  // sparse
  ASSERT_EQ(file_size_on_disk(path), total);

  on_task_event(task_event::total_size_known, 0, total, reinterpret_cast<std::intptr_t>(path.c_str()), 0);
  engine_.local_path = path;
  engine_.received = (std::int64_t{33} << 30) / 10;  // 3.3 GiB: 66 %
  refresh_progress();

  EXPECT_EQ(percent_text(), "正在下载...已完成：66%");
  EXPECT_EQ(view_.position, 66);
  EXPECT_EQ(amount_text(), "已经下载：3460301KB(文件总大小：5242880KB)");
}

}  // namespace
}  // namespace tolvane::testing
