// Start-up: the platform, the state record, the clean-up of the end, the main window, the loop.
// The program reads no command line and no environment variable of its own.
#include <unistd.h>

#include <QApplication>
#include <string>

#include "app/app_state.h"
#include "app/settings.h"
#include "ui/main_window.h"
#include "ui/platform.h"

namespace {

// The windowing platform's part of ending the program: every window goes out of sight at once, so
// nothing is left on screen while the engine stops a running transfer.
void shut_down_platform() {
  for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace

int main(int argc, char** argv) {
  // The toolkit sees only the program's name: no option of the command line is read.
  static int toolkit_argc = 1;
  static char* toolkit_argv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
  QApplication application(toolkit_argc, toolkit_argv);
  QApplication::setQuitOnLastWindowClosed(false);  // the program ends from the main window's end

  tolvane::set_run_directory(tolvane::executable_directory());
  const std::string directory = tolvane::run_directory();
  if (!directory.empty() && chdir(directory.c_str()) != 0) {
    // An unreachable directory leaves the current one; the files are found through full paths.
  }
  tolvane::install_platform_look(application);

  tolvane::init_app_state();
  tolvane::set_platform_shutdown(&shut_down_platform);

  auto* window = new tolvane::MainWindow;
  window->show();
  QApplication::exec();
  // The loop ends only when the desktop session ends the application.
  tolvane::end_program(0);
}
