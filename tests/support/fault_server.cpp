#include "tests/support/fault_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tolvane::testing {

namespace {
std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}
}  // namespace

FaultServer::FaultServer(std::string root) : root_(std::move(root)) {
  std::string templ = (std::filesystem::temp_directory_path() / "tolvane-fault-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) {
    error_ = "cannot make a folder for the fault server";
    return;
  }
  dir_ = templ;
  const std::string script = std::string(TOLVANE_TEST_SUPPORT_DIR) + "/fault_server.py";
  const std::string port_file = dir_ + "/port";
  const std::string log = dir_ + "/requests.log";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/usr/bin/python3", "python3", script.c_str(), "--root", root_.c_str(), "--port-file",
            port_file.c_str(), "--log", log.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) {
    error_ = "cannot start the fault server";
    return;
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = slurp(port_file);
    if (!text.empty()) {
      port_ = std::atoi(text.c_str());
      ok_ = port_ > 0;
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "the fault server ended at start";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error_ = "the fault server did not start listening";
}

FaultServer::~FaultServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string FaultServer::url(std::string_view path_and_query) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + std::string(path_and_query);
}

std::vector<std::string> FaultServer::requests() const {
  std::vector<std::string> out;
  std::istringstream in(slurp(dir_ + "/requests.log"));
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

}  // namespace tolvane::testing
