// The program's main window: the banner, the status texts, the progress bar, four buttons and
// the two timers that drive a batch. It is the download control's view of the window.
#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

// The moc does not read UTF-8 names in enumerations; it needs nothing from this header.
#ifndef Q_MOC_RUN
#include "download/main_view.h"
#endif

class QMovie;
class QKeyEvent;
class QCloseEvent;
class QSessionManager;

namespace Ui {
class MainWindow;
}

namespace tolvane {

class MainWindow : public QWidget, public MainView {
  Q_OBJECT

 public:
  // Creates the window from its form, runs on_main_created and becomes the download control's view.
  explicit MainWindow(QWidget* parent = nullptr);
  // Runs on_main_destroying, which ends the program.
  ~MainWindow() override;

  // The window's outer size on a usual frame (3 pixels at the sides and bottom, a 23-pixel title
  // bar), used to centre it before the window system has given it a frame.
  static constexpr int outer_width = 391;
  static constexpr int outer_height = 276;

  // MainView
  bool download_button_disabled() const override;
  void set_download_button_disabled(bool disabled) override;
  void set_caption(MainLabel label, std::string_view text) override;
  void set_progress_position(int position) override;
  void set_timer_period(MainTimer timer, int period_ms) override;
  bool banner_has_picture() const override;
  void set_banner_picture() override;
  void set_banner_animation(bool play) override;
  int show_message(std::string_view text, int flags = message_ok,
                   std::string_view title = default_message_title) override;

  // Handlers.
  void on_main_created();
  bool confirm_quit();
  bool on_main_close_query();   // true lets the window close
  bool on_session_end_query();  // false refuses the log-off or shut-down
  void on_exit_clicked();
  void on_main_destroying();
  void on_banner_pressed();

  // For tests and the screenshots: the controls by their form names and the timers' state.
  Ui::MainWindow& form() { return *ui_; }
  QTimer& timer(MainTimer which) { return which == MainTimer::时钟 ? 时钟 : 时钟1; }
  int timer_period(MainTimer which) const;
  bool banner_playing() const;
  int banner_frame() const;

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Esc and Enter, handled before the focused control sees them; true when taken.
  bool handle_window_key(QKeyEvent* event);
  void on_commit_data(QSessionManager& manager);
  void centre_on_screen();
  bool load_banner();  // a new movie of the banner picture, still; false when there is none

  std::unique_ptr<Ui::MainWindow> ui_;
  QTimer 时钟;
  QTimer 时钟1;
  int period_ = 0;   // `时钟`
  int period1_ = 0;  // `时钟1`
  QMovie* movie_ = nullptr;
  bool banner_play_ = false;
  bool destroying_ = false;
};

}  // namespace tolvane
