// A small scripted HTTP server of the tests' own (tests/support/fault_server.py) for the faults
// real servers do not show on demand: dropped and stalled connections, error statuses, answers
// without a size, 200 to a range request, wrong Content-Range, redirect chains and loops,
// cookies and Content-Disposition. It serves the files of `root`; the query of each address
// selects the fault (see the script for the keys).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane::testing {

class FaultServer {
 public:
  explicit FaultServer(std::string root);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // http://127.0.0.1:P/ followed by `path_and_query` (without its leading "/").
  std::string url(std::string_view path_and_query) const;
  // The requests received so far, one line each: "GET /path?query | Header: value | ...".
  std::vector<std::string> requests() const;

 private:
  std::string root_, dir_, error_;
  int port_ = 0;
  int pid_ = -1;
  bool ok_ = false;
};

}  // namespace tolvane::testing
