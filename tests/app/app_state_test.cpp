#include "app/app_state.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tolvane {
namespace {

TEST(AppState, InitGivesStartValuesAndReleaseIsSafeTwice) {
  EXPECT_FALSE(app_state_exists());
  init_app_state();
  ASSERT_TRUE(app_state_exists());
  AppState& state = app_state();
  EXPECT_TRUE(state.url_list.empty());
  EXPECT_TRUE(state.save_folder.empty());
  ASSERT_NE(state.downloader, nullptr);
  EXPECT_EQ(received_bytes(*state.downloader), 0);
  EXPECT_EQ(state.is_downloading, 0);
  EXPECT_EQ(state.current_index, 0);
  EXPECT_EQ(state.task_done.load(), 0);
  EXPECT_EQ(state.task_param.connection_count, TaskParam{}.connection_count);

  state.url_list = {"http://a/b"};
  state.save_folder = "/d";
  release_app_state();
  EXPECT_FALSE(app_state_exists());
  release_app_state();
  EXPECT_FALSE(app_state_exists());
}

void report_platform_shutdown() {
  std::fprintf(stderr, "platform down, state %s\n", app_state_exists() ? "alive" : "released");
}

TEST(AppStateDeathTest, EndProgramReleasesThenShutsDownAndExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        init_app_state();
        app_state().url_list = {"http://a/b"};
        set_platform_shutdown(report_platform_shutdown);
        end_program(3);
      },
      ::testing::ExitedWithCode(3), "platform down, state released");
}

}  // namespace
}  // namespace tolvane
