// The window facilities every window of the program shares: message boxes, modal windows,
// destroying a window, and how the program ends when the main window goes.
#pragma once

#include <functional>
#include <string_view>

#include "download/main_view.h"

class QWidget;

namespace tolvane {

// Answers a message box instead of showing one: (text, flags, title) -> button code.
using MessageHook = std::function<int(std::string_view text, int flags, std::string_view title)>;

// While a hook is set, show_message asks it instead of showing a box. An empty function restores
// the real box. Tests answer message boxes through this.
void set_message_hook(MessageHook hook);

// A modal message box with no owner window, modal for the whole program. The low four bits of the
// flags choose the buttons (0 OK, 1 OK/Cancel, 2 Abort/Retry/Ignore, 3 Yes/No/Cancel, 4 Yes/No,
// 5 Retry/Cancel), the next four the icon (16 critical, 32 question, 48 warning, 64 information),
// and 256/512 make the second/third button the default. Returns 0 OK, 1 Cancel, 2 Abort, 3 Retry,
// 4 Ignore, 5 Yes, 6 No. Texts are UTF-8.
int show_message(std::string_view text, int flags = message_ok,
                 std::string_view title = default_message_title);

// Shows the window modally for the whole program and returns once it has been closed; the message
// loop keeps running meanwhile, so timers keep ticking. Takes ownership: the window is deleted
// before this returns.
void open_modal(QWidget* window);

// Destroys the window once control is back in the message loop, without asking its close query.
void destroy_window(QWidget* window);

// What the main window's about-to-be-destroyed handler calls to end the program: end_program by
// default. Tests put a recorder in its place so the test program goes on. An empty function
// restores the default.
using ProgramEnding = std::function<void(int exit_code)>;
void set_program_ending(ProgramEnding ending);
void end_program_now(int exit_code);

}  // namespace tolvane
