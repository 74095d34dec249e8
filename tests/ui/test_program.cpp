// The program itself: copied beside a prepared settings file and address list, started on a
// virtual X server, asked to close during a transfer and answered Yes from the keyboard.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/codepage.h"
#include "app/settings.h"
#include "tests/support/servers.h"

#ifndef TOLVANE_PROGRAM
#error "TOLVANE_PROGRAM must name the built program"
#endif

namespace tolvane::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            int keep_fd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : environment) putenv(const_cast<char*>(e.c_str()));
    unsetenv("QT_QPA_PLATFORM");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != keep_fd) close(fd);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for the child to end; -1 when it has not ended within the time.
int wait_exit(pid_t pid, std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A virtual X server on a display number it picks itself.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = spawn(
        {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {},
        fds[1]);
    close(fds[1]);
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      if (wait_exit(pid_, std::chrono::seconds(5)) < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// Runs xdotool on the display; its first line of output.
std::string xdotool(const std::string& display, const std::string& arguments) {
  const std::string command = "DISPLAY=" + display + " timeout 20 xdotool " + arguments + " 2>/dev/null";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
  }
  const auto end = out.find('\n');
  return end == std::string::npos ? out : out.substr(0, end);
}

TEST(Program, ClosingDuringATransferWithYesEndsAtOnceAndKeepsThePartialFile) {
  TempDir program_dir, site, downloads;
  constexpr std::size_t size = 2 * 1024 * 1024;
  const std::string bytes = make_payload(size, 5);
  write_file(site.file("big.bin"), bytes);
  NginxServer server(site.path(), 64 * 1024);
  ASSERT_TRUE(server.ok()) << server.error();

  const std::string program = program_dir.file("tolvane");
  fs::copy_file(TOLVANE_PROGRAM, program);
  const std::string list_path = program_dir.file("Tolvane.TXT");
  write_file(list_path, server.limited_url("big.bin") + "\r\n");
  const std::string ini = "[Tolvane]\r\n" + utf8_to_codepage(key_address_file) + "=" + list_path + "\r\n" +
                          utf8_to_codepage(key_save_folder) + "=" + downloads.path() + "\r\n";
  write_file(program_dir.file("Tolvane.INI"), ini);

  VirtualDisplay display;
  ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
  // Started from another directory: the program finds its files beside itself.
  const pid_t pid = spawn({program}, {"DISPLAY=" + display.name()});
  ASSERT_GT(pid, 0);
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (wait_exit(pid, std::chrono::milliseconds(0)) == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } reaper{pid};

  const std::string window = xdotool(display.name(), "search --sync --onlyvisible --name 'Tolvane-'");
  ASSERT_FALSE(window.empty()) << "the main window did not appear";
  xdotool(display.name(), "windowfocus --sync " + window + " key Return");  // Enter starts the batch

  const std::string target = downloads.file("big.bin");
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!(file_exists(target) && fs::file_size(target) == size) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(file_exists(target)) << "the transfer did not start";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  xdotool(display.name(), "windowfocus --sync " + window + " key Escape");
  const std::string question = xdotool(display.name(), "search --sync --onlyvisible --name '系统提示:'");
  ASSERT_FALSE(question.empty()) << "the quit question did not appear";
  const auto answered = Clock::now();
  xdotool(display.name(), "windowfocus --sync " + question + " key y");

  const int code = wait_exit(pid, std::chrono::seconds(15));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - answered);
  EXPECT_EQ(code, 0);
  std::cout << "[ measured ] ended " << took.count() << " ms after the answer\n";

  // The stopped transfer leaves its file at full size with the bytes received so far; nothing was
  // written to the settings at the end.
  EXPECT_EQ(fs::file_size(target), size);
  const std::string partial = read_file(target);
  EXPECT_EQ(partial.substr(0, 16 * 1024), bytes.substr(0, 16 * 1024));
  EXPECT_FALSE(partial == bytes);
  EXPECT_EQ(read_file(program_dir.file("Tolvane.INI")), ini);
  EXPECT_EQ(list_folder(downloads.path()), std::vector<std::string>{"big.bin"});
}

}  // namespace
}  // namespace tolvane::testing
