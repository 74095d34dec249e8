#include "tests/support/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef TOLVANE_TEST_SUPPORT_DIR
#error "TOLVANE_TEST_SUPPORT_DIR must name the folder of the test support sources"
#endif

namespace tolvane::testing {

namespace fs = std::filesystem;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(3);
constexpr int kPortAttempts = 8;

std::string temp_root() {
  const char* env = std::getenv("TMPDIR");
  std::string root = (env != nullptr && *env != '\0') ? env : "/tmp";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string make_temp_dir(const char* prefix) {
  std::string templ = temp_root() + "/" + prefix + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder under " + temp_root() + ": " +
                             std::strerror(errno));
  }
  return std::string(buf.data());
}

// Removes a folder tree even when a test left parts of it without permissions.
void remove_tree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  fs::remove_all(path, ec);
  if (!ec) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path, ec);
}

// Starts `args` as a child in a process group of its own, with stdout and stderr appended to
// `log_path`. The child is killed when the thread that started it ends (the test program
// crashing included), so no server outlives its test program.
pid_t spawn(const std::vector<std::string>& args, const std::string& log_path) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGPIPE, SIGHUP, SIGQUIT, SIGCHLD}) sigaction(sig, &dfl, nullptr);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    // Sockets and files of the test program stay with the test program.
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
      for (int fd = 3; fd < 4096; ++fd) close(fd);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);  // either side may run first
  return pid;
}

// Runs a command to its end; true when it exited with status 0.
bool run_command(const std::vector<std::string>& args, const std::string& log_path) {
  const pid_t pid = spawn(args, log_path);
  if (pid < 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// True when the child has ended (and is reaped).
bool child_exited(pid_t pid) {
  int status = 0;
  const pid_t r = waitpid(pid, &status, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

// SIGTERM to the child's group, SIGKILL if it is still there after a while.
void stop_child(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (child_exited(pid)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool port_accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Ports free right now on loopback, distinct from one another.
std::vector<int> free_ports(int count) {
  std::vector<int> fds, ports;
  for (int i = 0; i < count; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      close(fd);
      break;
    }
    fds.push_back(fd);
    ports.push_back(ntohs(addr.sin_port));
  }
  for (int fd : fds) close(fd);
  return ports;
}

// Whether the port can be bound on the IPv6 loopback too (where "localhost" may resolve first).
bool ipv6_loopback_free(int port) {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(static_cast<std::uint16_t>(port));
  addr.sin6_addr = in6addr_loopback;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

std::string tail(const std::string& text, std::size_t max = 2000) {
  return text.size() <= max ? text : "..." + text.substr(text.size() - max);
}

// A path as an nginx configuration string.
std::string nginx_quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\' || c == '$') out += '\\';
    out += c;
  }
  return out + "\"";
}

const char* kOpensslConfig = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = Tolvane Test
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
)";

// A CA and a server certificate for localhost and 127.0.0.1 in `dir`; false with `error` set on failure.
bool make_certificates(const std::string& dir, std::string& error) {
  const std::string openssl = "/usr/bin/openssl";
  const std::string cnf = dir + "/openssl.cnf";
  const std::string log = dir + "/openssl.log";
  write_file(cnf, kOpensslConfig);
  const std::vector<std::vector<std::string>> steps = {
      {openssl, "req", "-x509", "-config", cnf, "-extensions", "ca", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir + "/ca.key", "-out", dir + "/ca.pem",
       "-days", "3", "-subj", "/CN=Tolvane Test CA"},
      {openssl, "req", "-new", "-config", cnf, "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
       "-nodes", "-keyout", dir + "/server.key", "-out", dir + "/server.csr", "-subj", "/CN=localhost"},
      {openssl, "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem", "-CAkey",
       dir + "/ca.key", "-set_serial", std::to_string(1000 + (getpid() % 100000)), "-days", "3",
       "-extfile", cnf, "-extensions", "server", "-out", dir + "/server.pem"},
  };
  for (const auto& step : steps) {
    if (!run_command(step, log)) {
      error = "openssl " + step[1] + " failed: " + tail(read_file(log));
      return false;
    }
  }
  return true;
}

// The certificates are made once per test program and shared by its servers; the folder goes
// when the program ends.
struct Certificates {
  std::mutex mutex;
  std::string dir;
  bool made = false;
  ~Certificates() { remove_tree(dir); }
};

// The folder holding ca.pem, server.pem and server.key; empty with `error` set on failure.
std::string shared_certificates(std::string& error) {
  static Certificates certs;
  const std::lock_guard lock(certs.mutex);
  if (!certs.made) {  // a failure is not kept: the next server tries again
    try {
      certs.dir = make_temp_dir("tolvane-certs-");
      certs.made = make_certificates(certs.dir, error);
      if (!certs.made) remove_tree(std::exchange(certs.dir, {}));
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
  return certs.dir;
}

}  // namespace

// ---- files ----

TempDir::TempDir() : path_(make_temp_dir("tolvane-test-")) {}

TempDir::~TempDir() { remove_tree(path_); }

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string make_payload(std::size_t size, unsigned seed) {
  // splitmix64 for the start state, xorshift64* for the stream: fast, and every seed differs.
  std::uint64_t z = 0x9E3779B97F4A7C15ULL * (static_cast<std::uint64_t>(seed) + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  std::uint64_t state = (z ^ (z >> 31)) | 1;
  std::string out(size, '\0');
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    const std::uint64_t v = state * 0x2545F4914F6CDD1DULL;
    std::memcpy(out.data() + i, &v, 8);
  }
  if (i < size) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    const std::uint64_t v = state * 0x2545F4914F6CDD1DULL;
    std::memcpy(out.data() + i, &v, size - i);
  }
  return out;
}

void write_file(const std::string& path, std::string_view bytes) {
  const fs::path parent = fs::path(path).parent_path();
  std::error_code ec;
  if (!parent.empty()) fs::create_directories(parent, ec);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      close(fd);
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(err));
    }
    done += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

std::string read_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string out;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return out;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_folder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(path, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

int unused_port() {
  const auto ports = free_ports(1);
  return ports.empty() ? 1 : ports.front();
}

// ---- nginx ----

NginxServer::NginxServer(std::string root, std::size_t limited_rate) : root_(std::move(root)) {
  try {
    dir_ = make_temp_dir("tolvane-nginx-");
  } catch (const std::exception& e) {
    error_ = e.what();
    return;
  }
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  const std::string certs = shared_certificates(error_);
  if (certs.empty()) return;
  ca_file_ = certs + "/ca.pem";
  for (const char* sub : {"/logs", "/tmp"}) fs::create_directories(dir_ + sub);

  const std::string conf = dir_ + "/nginx.conf";
  const std::string pid_file = dir_ + "/nginx.pid";
  const std::string error_log = dir_ + "/logs/error.log";
  const std::string output_log = dir_ + "/logs/output.log";

  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    const auto ports = free_ports(2);
    if (ports.size() != 2) {
      error_ = "no free port on loopback";
      return;
    }
    http_port_ = ports[0];
    https_port_ = ports[1];
    // One process, no master: it runs as the test's own user and dies with the test program.
    std::string c;
    c += "daemon off;\nmaster_process off;\n";
    c += "pid " + nginx_quote(pid_file) + ";\n";
    c += "error_log " + nginx_quote(error_log) + " info;\n";
    c += "events { worker_connections 1024; }\n";
    c += "http {\n";
    c += "  default_type application/octet-stream;\n";
    c += "  log_format tolvane '$request_method $request_uri $status $bytes_sent range=\"$http_range\"';\n";
    c += "  access_log " + nginx_quote(dir_ + "/logs/access.log") + " tolvane;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      c += std::string("  ") + t + "_temp_path " + nginx_quote(dir_ + "/tmp/" + t) + ";\n";
    }
    c += "  sendfile on;\n  tcp_nopush on;\n  sendfile_max_chunk 2m;\n  output_buffers 4 512k;\n";
    c += "  keepalive_timeout 30s;\n  server_tokens off;\n";
    c += "  server {\n";
    c += "    listen 127.0.0.1:" + std::to_string(http_port_) + ";\n";
    c += "    listen 127.0.0.1:" + std::to_string(https_port_) + " ssl;\n";
    if (ipv6_loopback_free(http_port_) && ipv6_loopback_free(https_port_)) {
      c += "    listen [::1]:" + std::to_string(http_port_) + ";\n";
      c += "    listen [::1]:" + std::to_string(https_port_) + " ssl;\n";
    }
    c += "    server_name localhost 127.0.0.1;\n";
    c += "    ssl_certificate " + nginx_quote(certs + "/server.pem") + ";\n";
    c += "    ssl_certificate_key " + nginx_quote(certs + "/server.key") + ";\n";
    c += "    root " + nginx_quote(root_) + ";\n";
    c += "    location / { }\n";
    c += "    location /limited/ {\n      alias " + nginx_quote(root_ + "/") + ";\n";
    c += "      limit_rate " + std::to_string(limited_rate) + ";\n    }\n";
    c += "  }\n}\n";
    try {
      write_file(conf, c);
    } catch (const std::exception& e) {
      error_ = e.what();
      return;
    }
    std::error_code ec;
    fs::remove(pid_file, ec);
    fs::remove(error_log, ec);

    pid_ = spawn({"/usr/sbin/nginx", "-p", dir_ + "/", "-e", error_log, "-c", conf}, output_log);
    if (pid_ < 0) {
      error_ = std::string("cannot start nginx: ") + std::strerror(errno);
      return;
    }
    bool exited = false;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (child_exited(pid_)) {
        exited = true;
        break;
      }
      // The pid file is written once the ports are bound: only then are the ports ours.
      if (file_exists(pid_file) && port_accepts(http_port_) && port_accepts(https_port_)) {
        ok_ = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string log = read_file(error_log) + read_file(output_log);
    if (!exited) {
      stop_child(pid_);
      pid_ = -1;
      error_ = "nginx did not accept connections in time: " + tail(log);
      return;
    }
    pid_ = -1;
    error_ = "nginx failed to start: " + tail(log);
    if (log.find("in use") == std::string::npos) return;  // not a port clash: retrying will not help
  }
}

NginxServer::~NginxServer() {
  stop_child(pid_);
  remove_tree(dir_);
}

std::string NginxServer::http_url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + "/" + std::string(path);
}

std::string NginxServer::https_url(std::string_view path) const {
  return "https://localhost:" + std::to_string(https_port_) + "/" + std::string(path);
}

std::string NginxServer::limited_url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + "/limited/" + std::string(path);
}

std::string NginxServer::request_log() const { return read_file(dir_ + "/logs/access.log"); }

// ---- FTP ----

FtpServer::FtpServer(std::string root, std::string user, std::string password)
    : root_(std::move(root)), user_(std::move(user)), password_(std::move(password)) {
  try {
    dir_ = make_temp_dir("tolvane-ftp-");
  } catch (const std::exception& e) {
    error_ = e.what();
    return;
  }
  const std::string port_file = dir_ + "/port";
  log_file_ = dir_ + "/ftp.log";
  // The server binds port 0 itself and writes the port it got, so there is no race for it.
  pid_ = spawn({"/usr/bin/python3", "-u", std::string(TOLVANE_TEST_SUPPORT_DIR) + "/ftp_server.py", root_,
                port_file, user_, password_},
               log_file_);
  if (pid_ < 0) {
    error_ = std::string("cannot start the FTP server: ") + std::strerror(errno);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (child_exited(pid_)) {
      pid_ = -1;
      error_ = "the FTP server failed to start: " + tail(read_file(log_file_));
      return;
    }
    const std::string text = read_file(port_file);
    if (!text.empty() && text.back() == '\n') {
      port_ = std::atoi(text.c_str());
      if (port_ > 0 && port_accepts(port_)) {
        ok_ = true;
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop_child(pid_);
  pid_ = -1;
  error_ = "the FTP server did not accept connections in time: " + tail(read_file(log_file_));
}

FtpServer::~FtpServer() {
  stop_child(pid_);
  remove_tree(dir_);
}

std::string FtpServer::url(std::string_view path) const {
  return "ftp://127.0.0.1:" + std::to_string(port_) + "/" + std::string(path);
}

std::string FtpServer::url_with_login(std::string_view path) const {
  return "ftp://" + user_ + ":" + password_ + "@127.0.0.1:" + std::to_string(port_) + "/" + std::string(path);
}

std::string FtpServer::request_log() const { return read_file(log_file_); }

}  // namespace tolvane::testing
