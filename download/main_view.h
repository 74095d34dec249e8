// What the download control reads and writes on the main window: exactly these control
// properties and the message box. The main window implements it; tests use a plain fake.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// Labels whose captions the download control writes.
enum class MainLabel { 标签, 下载速度, 已经下载, 下载保存 };
// The main window's two timers.
enum class MainTimer { 时钟, 时钟1 };

inline constexpr std::string_view default_message_title = "信息：";
// Message box flags and answers, as the platform numbers them.
inline constexpr int message_ok = 0;             // one OK button, no icon
inline constexpr int message_yes_no_question = 36;  // Yes and No, question icon
inline constexpr int answer_ok = 0;
inline constexpr int answer_yes = 5;
inline constexpr int answer_no = 6;

class MainView {
 public:
  virtual ~MainView() = default;

  // `下载`: disabled while a batch runs.
  virtual bool download_button_disabled() const = 0;
  virtual void set_download_button_disabled(bool disabled) = 0;

  virtual void set_caption(MainLabel label, std::string_view text) = 0;   // UTF-8
  virtual void set_progress_position(int position) = 0;                   // `进度条`, limited to 0..100
  virtual void set_timer_period(MainTimer timer, int period_ms) = 0;      // 0 stops

  // `图片框1`: whether it holds picture data, giving it the banner picture, and its animation.
  virtual bool banner_has_picture() const = 0;
  virtual void set_banner_picture() = 0;
  virtual void set_banner_animation(bool play) = 0;

  // A modal message box; returns the code of the pressed button.
  virtual int show_message(std::string_view text, int flags = message_ok,
                           std::string_view title = default_message_title) = 0;
};

}  // namespace tolvane
