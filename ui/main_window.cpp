#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QMovie>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QString>
#include <algorithm>
#include <string>

#include "app/app_state.h"
#include "app/settings.h"
#include "download/queue.h"
#include "ui/facilities.h"
#include "ui/platform.h"
#include "ui_main_window.h"

namespace tolvane {
namespace {

constexpr const char* banner_resource = ":/banner_picture.gif";

// Handlers throw nothing: anything that escapes one (an allocation failure) is dropped here.
template <typename F>
void guarded(F&& handler) noexcept {
  try {
    handler();
  } catch (...) {
  }
}

void paint_white(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, Qt::white);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::MainWindow>()) {
  ui_->setupUi(this);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(385, 250);
  setAttribute(Qt::WA_DeleteOnClose);
  setFocusPolicy(Qt::NoFocus);

  paint_white(this);
  for (QLabel* label : {ui_->图片框1, ui_->标签, ui_->下载速度, ui_->已经下载, ui_->下载保存})
    paint_white(label);

  // Esc and Enter are the window's before they are the focused control's.
  for (QPushButton* button : {ui_->下载, ui_->设置, ui_->取消, ui_->关于}) button->installEventFilter(this);
  ui_->图片框1->installEventFilter(this);

  时钟.setObjectName(QStringLiteral("时钟"));
  时钟1.setObjectName(QStringLiteral("时钟1"));
  connect(&时钟, &QTimer::timeout, this, [] { guarded(on_timer_tick); });
  connect(&时钟1, &QTimer::timeout, this, [] { guarded(on_timer1_tick); });

  connect(ui_->下载, &QPushButton::clicked, this, [] { guarded(start_batch); });
  connect(ui_->取消, &QPushButton::clicked, this, [this] { on_exit_clicked(); });
  // 设置 and 关于 open the settings and about windows once those exist.
  if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(
        application, &QGuiApplication::commitDataRequest, this,
        [this](QSessionManager& manager) { on_commit_data(manager); }, Qt::DirectConnection);
  }

  centre_on_screen();
  set_main_view(this);
  on_main_created();
}

MainWindow::~MainWindow() {
  时钟.stop();
  时钟1.stop();
  if (main_view() == this) set_main_view(nullptr);
  on_main_destroying();
}

void MainWindow::centre_on_screen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  move(area.x() + (area.width() - outer_width) / 2, area.y() + (area.height() - outer_height) / 2);
}

// ---- handlers ----

void MainWindow::on_main_created() {
  guarded([this] {
    apply_themed_drawing();
    apply_engine_options();
    set_banner_picture();
    set_banner_animation(false);
    if (!app_state_exists()) return;
    AppState& state = app_state();
    const std::string list_path = read_setting(key_address_file);
    if (!list_path.empty()) {
      for (std::string& line : read_address_lines(list_path)) state.url_list.push_back(std::move(line));
    }
    state.save_folder = read_setting(key_save_folder);
  });
}

bool MainWindow::confirm_quit() {
  const int answer = show_message("当前文件正在下载中！\r\n如果退出，将结束当前下载任务，是否真的退出？",
                                  message_yes_no_question, "系统提示:");
  return answer == answer_yes;
}

bool MainWindow::on_main_close_query() {
  bool allow = true;
  guarded([&] {
    if (app_state_exists() && app_state().is_downloading == 1) allow = confirm_quit();
  });
  return allow;
}

bool MainWindow::on_session_end_query() { return on_main_close_query(); }

void MainWindow::on_commit_data(QSessionManager& manager) {
  guarded([&] {
    if (!app_state_exists() || app_state().is_downloading != 1) return;
    if (!manager.allowsInteraction()) return;
    const bool allow = on_session_end_query();
    manager.release();
    if (!allow) manager.cancel();
  });
}

void MainWindow::on_exit_clicked() {
  guarded([this] {
    if (!app_state_exists() || app_state().is_downloading != 1 || confirm_quit()) destroy_window(this);
  });
}

void MainWindow::on_main_destroying() {
  if (destroying_) return;
  destroying_ = true;
  guarded([] { end_program_now(0); });
}

void MainWindow::on_banner_pressed() {}

// ---- window events ----

bool MainWindow::event(QEvent* event) {
  // The window is about to be destroyed once a deferred delete reaches it: the program ends here,
  // while the window and the message loop are still whole.
  if (event->type() == QEvent::DeferredDelete) {
    时钟.stop();
    时钟1.stop();
    if (main_view() == this) set_main_view(nullptr);
    on_main_destroying();
  }
  return QWidget::event(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (on_main_close_query()) {
    event->accept();
  } else {
    event->ignore();
  }
}

bool MainWindow::handle_window_key(QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if (mods != Qt::NoModifier) return false;
  switch (event->key()) {
    case Qt::Key_Escape:
      close();
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (ui_->下载->isEnabled() && ui_->下载->isVisible()) ui_->下载->click();
      return true;
    default:
      return false;
  }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (!handle_window_key(event)) QWidget::keyPressEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    return handle_window_key(static_cast<QKeyEvent*>(event)) || QWidget::eventFilter(watched, event);
  }
  if (watched == ui_->图片框1 && event->type() == QEvent::MouseButtonPress &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    on_banner_pressed();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

// ---- the view of the download control ----

bool MainWindow::download_button_disabled() const { return !ui_->下载->isEnabled(); }

void MainWindow::set_download_button_disabled(bool disabled) { ui_->下载->setEnabled(!disabled); }

void MainWindow::set_caption(MainLabel label, std::string_view text) {
  QLabel* target = nullptr;
  switch (label) {
    case MainLabel::标签:
      target = ui_->标签;
      break;
    case MainLabel::下载速度:
      target = ui_->下载速度;
      break;
    case MainLabel::已经下载:
      target = ui_->已经下载;
      break;
    case MainLabel::下载保存:
      target = ui_->下载保存;
      break;
  }
  if (target == nullptr) return;
  // One-line labels: a line break in the text is no break on screen.
  QString caption = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  caption.remove(QLatin1Char('\r'));
  caption.replace(QLatin1Char('\n'), QLatin1Char(' '));
  target->setText(caption);
}

void MainWindow::set_progress_position(int position) { ui_->进度条->setValue(std::clamp(position, 0, 100)); }

void MainWindow::set_timer_period(MainTimer which, int period_ms) {
  QTimer& target = timer(which);
  int& current = which == MainTimer::时钟 ? period_ : period1_;
  const int wanted = std::max(period_ms, 0);
  if (wanted == current) return;
  current = wanted;
  if (wanted == 0) {
    target.stop();
  } else {
    target.start(wanted);  // restarts: the first tick comes one full period from now
  }
}

int MainWindow::timer_period(MainTimer which) const { return which == MainTimer::时钟 ? period_ : period1_; }

bool MainWindow::banner_has_picture() const { return movie_ != nullptr; }

bool MainWindow::load_banner() {
  if (movie_ != nullptr) {
    ui_->图片框1->setMovie(nullptr);
    delete movie_;
    movie_ = nullptr;
  }
  if (!resource_exists(banner_resource)) return false;  // no picture data: the box stays empty
  auto* movie = new QMovie(QString::fromLatin1(banner_resource), QByteArray(), this);
  if (!movie->isValid()) {
    delete movie;
    return false;
  }
  movie->setCacheMode(QMovie::CacheAll);
  movie_ = movie;
  ui_->图片框1->setMovie(movie_);
  return true;
}

void MainWindow::set_banner_picture() {
  if (load_banner()) set_banner_animation(banner_play_);
}

void MainWindow::set_banner_animation(bool play) {
  banner_play_ = play;
  if (movie_ == nullptr) return;
  if (play) {
    // A fresh reader starts at the first frame with its own delay; a stopped movie would go on
    // from the frame after the one it shows.
    if (load_banner()) movie_->start();
  } else {
    movie_->stop();
    movie_->jumpToFrame(0);
  }
}

bool MainWindow::banner_playing() const { return movie_ != nullptr && movie_->state() == QMovie::Running; }

int MainWindow::banner_frame() const { return movie_ != nullptr ? movie_->currentFrameNumber() : -1; }

int MainWindow::show_message(std::string_view text, int flags, std::string_view title) {
  return tolvane::show_message(text, flags, title);
}

}  // namespace tolvane
