#include "ui/facilities.h"

#include <QAbstractButton>
#include <QEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <utility>
#include <vector>

#include "app/app_state.h"

namespace tolvane {
namespace {

MessageHook& message_hook() {
  static MessageHook hook;
  return hook;
}

ProgramEnding& program_ending() {
  static ProgramEnding ending;
  return ending;
}

QString q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

constexpr int answer_cancel = 1;
constexpr int answer_abort = 2;
constexpr int answer_retry = 3;
constexpr int answer_ignore = 4;

struct BoxButton {
  const char* text;
  QMessageBox::ButtonRole role;
  int code;
};

// The buttons of each button set, in the order the box shows them.
std::vector<BoxButton> buttons_for(int flags) {
  const BoxButton ok{"确定", QMessageBox::AcceptRole, answer_ok};
  const BoxButton cancel{"取消", QMessageBox::RejectRole, answer_cancel};
  const BoxButton abort{"中止(&A)", QMessageBox::RejectRole, answer_abort};
  const BoxButton retry{"重试(&R)", QMessageBox::AcceptRole, answer_retry};
  const BoxButton ignore{"忽略(&I)", QMessageBox::AcceptRole, answer_ignore};
  const BoxButton yes{"是(&Y)", QMessageBox::YesRole, answer_yes};
  const BoxButton no{"否(&N)", QMessageBox::NoRole, answer_no};
  switch (flags & 0xF) {
    case 1:
      return {ok, cancel};
    case 2:
      return {abort, retry, ignore};
    case 3:
      return {yes, no, cancel};
    case 4:
      return {yes, no};
    case 5:
      return {retry, cancel};
    default:
      return {ok};
  }
}

QMessageBox::Icon icon_for(int flags) {
  switch (flags & 0xF0) {
    case 0x10:
      return QMessageBox::Critical;
    case 0x20:
      return QMessageBox::Question;
    case 0x30:
      return QMessageBox::Warning;
    case 0x40:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

// Ends the nested loop of a modal window once the window is hidden (closed) for good.
class ModalWatcher : public QObject {
 public:
  explicit ModalWatcher(QEventLoop& loop) : loop_(loop) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Hide && !event->spontaneous()) loop_.quit();
    return QObject::eventFilter(watched, event);
  }

 private:
  QEventLoop& loop_;
};

}  // namespace

void set_message_hook(MessageHook hook) { message_hook() = std::move(hook); }

int show_message(std::string_view text, int flags, std::string_view title) {
  if (message_hook()) return message_hook()(text, flags, title);

  QMessageBox box;  // no owner window
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowTitle(q(title));
  QString shown = q(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  box.setTextFormat(Qt::PlainText);
  box.setText(shown);
  box.setIcon(icon_for(flags));

  const std::vector<BoxButton> wanted = buttons_for(flags);
  std::vector<std::pair<QAbstractButton*, int>> codes;
  for (const BoxButton& b : wanted) {
    QPushButton* button = box.addButton(QString::fromUtf8(b.text), b.role);
    codes.emplace_back(button, b.code);
  }
  std::size_t default_index = static_cast<std::size_t>((flags >> 8) & 0xF);
  if (default_index >= codes.size()) default_index = 0;
  box.setDefaultButton(static_cast<QPushButton*>(codes[default_index].first));
  for (const auto& [button, code] : codes) {
    if (code == answer_cancel || (codes.size() == 1)) box.setEscapeButton(button);
  }

  box.exec();
  const QAbstractButton* clicked = box.clickedButton();
  for (const auto& [button, code] : codes) {
    if (button == clicked) return code;
  }
  // Closed without a button: the box's single or cancelling button, else the last one (No).
  return codes.size() == 1 ? codes.front().second : codes.back().second;
}

void open_modal(QWidget* window) {
  if (window == nullptr) return;
  QPointer<QWidget> guard(window);
  QEventLoop loop;
  ModalWatcher watcher(loop);
  window->setAttribute(Qt::WA_DeleteOnClose, false);
  window->setWindowModality(Qt::ApplicationModal);
  window->installEventFilter(&watcher);
  QObject::connect(window, &QObject::destroyed, &loop, &QEventLoop::quit);
  window->show();
  window->raise();
  window->activateWindow();
  loop.exec(QEventLoop::DialogExec);
  if (guard) {
    guard->removeEventFilter(&watcher);
    delete guard.data();
  }
}

void destroy_window(QWidget* window) {
  if (window != nullptr) window->deleteLater();
}

void set_program_ending(ProgramEnding ending) { program_ending() = std::move(ending); }

void end_program_now(int exit_code) {
  if (program_ending()) {
    program_ending()(exit_code);
    return;
  }
  end_program(exit_code);
}

}  // namespace tolvane
