#include "download/engine/connection.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "download/engine/local_file.h"

namespace tolvane::engine {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kMaxRedirects = 20;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr int kMaxConnections = 16;
constexpr auto kReportInterval = milliseconds(20);
const char* const kUserAgent = "Tolvane/1.0";

bool iequal_prefix(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// Host (lower case) and scheme of an absolute address, through the transfer library's parser.
bool url_parts(const std::string& url, std::string* scheme, std::string* host) {
  CURLU* u = curl_url();
  if (u == nullptr) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  char* part = nullptr;
  if (ok && scheme != nullptr) {
    ok = curl_url_get(u, CURLUPART_SCHEME, &part, 0) == CURLUE_OK;
    if (ok) *scheme = part;
    curl_free(part);
    part = nullptr;
  }
  if (ok && host != nullptr) {
    ok = curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK;
    if (ok) {
      *host = part;
      for (char& c : *host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    curl_free(part);
  }
  curl_url_cleanup(u);
  return ok;
}

// The absolute address a Location header points to, relative to `base`; empty when unusable.
std::string resolve_location(const std::string& base, const std::string& location) {
  CURLU* u = curl_url();
  if (u == nullptr) return {};
  std::string out;
  const std::string loc = escape_unsafe_bytes(location);
  if (curl_url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_URL, loc.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* full = nullptr;
    if (curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK) out = full;
    curl_free(full);
  }
  curl_url_cleanup(u);
  return out;
}

}  // namespace

Connection::Connection(std::shared_ptr<Task> task, int id) : t_(std::move(task)), id_(id) {
  buf_.resize(static_cast<std::size_t>(std::max(1024, t_->net_.buffer_size)));
  multi_ = curl_multi_init();
  easy_ = curl_easy_init();
  last_report_ = Clock::now();
}

Connection::~Connection() {
  curl_slist_free_all(headers_);
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void Connection::run() {
  t_->push({task_event::connection_started, subject(), 0, 0});
  bool failed = false;
  if (multi_ == nullptr || easy_ == nullptr) {
    failed = true;
  } else if (id_ == 1 || take_over(true)) {
    int retries_left = t_->net_.retry_count;
    for (;;) {
      if (t_->halted()) break;
      const Result r = attempt();
      if (r == Result::range_done) {
        if (take_over(false)) continue;
        break;
      }
      if (r == Result::halted) break;
      if (r == Result::fatal) {
        t_->fail(abort_outcome_);
        std::lock_guard lock(t_->mu_);
        t_->last_error_ = abort_why_;
        failed = true;
        break;
      }
      if (retries_left <= 0) {
        std::lock_guard lock(t_->mu_);
        t_->last_failure_ = abort_outcome_;
        t_->last_error_ = abort_why_;
        if (range_ >= 0) t_->ranges_[static_cast<std::size_t>(range_)].owner = -1;
        failed = true;
        break;
      }
      --retries_left;
      const int steps = std::max(1, (t_->net_.retry_wait_ms + 9) / 10);
      for (int i = 0; i < steps && !t_->halted(); ++i) std::this_thread::sleep_for(milliseconds(10));
    }
  }
  report_data();
  t_->push(
      {failed ? task_event::connection_failed : task_event::connection_ended, subject(), offset_reached_, 0});
  t_->connection_done();
}

bool Connection::take_over(bool first) {
  std::int64_t begin = 0, end = 0;
  {
    std::lock_guard lock(t_->mu_);
    if (t_->abandoned_ || t_->halted()) return false;
    int best = -1;
    bool best_orphan = false;
    std::int64_t best_rem = 0;
    for (std::size_t i = 0; i < t_->ranges_.size(); ++i) {
      const Range& r = t_->ranges_[i];
      const std::int64_t rem = r.end - r.pos;
      if (rem <= 0) continue;
      const bool orphan = r.owner < 0;
      if ((orphan && (!best_orphan || rem > best_rem)) || (!orphan && !best_orphan && rem > best_rem)) {
        best = static_cast<int>(i);
        best_orphan = orphan;
        best_rem = rem;
      }
    }
    if (best < 0) return false;
    Range& r = t_->ranges_[static_cast<std::size_t>(best)];
    if (best_orphan) {
      r.owner = id_;
      range_ = best;
      begin = r.pos;
      end = r.end;
    } else {
      if (best_rem < 2 * static_cast<std::int64_t>(buf_.size())) return false;
      const std::int64_t mid = r.pos + best_rem / 2;
      end = r.end;
      r.end = mid;
      begin = mid;
      t_->ranges_.push_back({mid, mid, end, id_});
      range_ = static_cast<int>(t_->ranges_.size()) - 1;
    }
  }
  offset_reached_ = begin;
  t_->push({first ? task_event::range_started : task_event::range_taken_over, subject(), begin, end});
  return true;
}

void Connection::set_fatal(TaskOutcome o, std::string why) {
  abort_ = Abort::fatal;
  abort_outcome_ = o;
  abort_why_ = std::move(why);
}

void Connection::set_retry(TaskOutcome o, std::string why) {
  abort_ = Abort::retry;
  abort_outcome_ = o;
  abort_why_ = std::move(why);
}

Connection::Result Connection::attempt() {
  std::int64_t pos = 0, end = -1;
  if (range_ >= 0) {
    std::lock_guard lock(t_->mu_);
    const Range& r = t_->ranges_[static_cast<std::size_t>(range_)];
    pos = r.pos;
    end = r.end;
  }
  if (range_ >= 0 && pos >= end) return Result::range_done;
  next_ = pos;
  body_off_ = pos;
  buf_len_ = 0;
  req_first_ = pos;
  req_last_ = end - 1;
  abort_ = Abort::none;
  return t_->address_.scheme == Scheme::ftp ? ftp_attempt() : http_attempt();
}

void Connection::setup_common(const std::string& url) {
  const TaskParam& p = t_->param_;
  curl_easy_reset(easy_);
  curl_slist_free_all(headers_);
  headers_ = nullptr;
  url_ = url;
  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Connection::body_cb);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Connection::header_cb);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &Connection::prereq_cb);
  curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (p.connect_timeout_ms > 0)
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(p.connect_timeout_ms));
  long block = static_cast<long>(buf_.size());
  if (p.speed_limit <= 0 && p.receive_block_size > 0)
    block = std::min(block, static_cast<long>(p.receive_block_size));
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE,
                   std::clamp(block, 1024L, static_cast<long>(CURL_MAX_READ_SIZE)));
  // Only an explicit proxy is used, for http and https; the environment is never consulted.
  const bool web = t_->address_.scheme != Scheme::ftp;
  curl_easy_setopt(easy_, CURLOPT_PROXY, web && !p.http_proxy.empty() ? p.http_proxy.c_str() : "");
  if (!t_->net_.ca_file.empty()) {
    curl_easy_setopt(easy_, CURLOPT_CAINFO, t_->net_.ca_file.c_str());
    curl_easy_setopt(easy_, CURLOPT_CAPATH, nullptr);
  }
  if (p.speed_limit > 0) {
    // The task's limit is shared evenly by the connections it may open.
    const int connections = std::clamp(p.connection_count, 1, kMaxConnections);
    curl_easy_setopt(easy_, CURLOPT_MAX_RECV_SPEED_LARGE,
                     static_cast<curl_off_t>(std::max(1, p.speed_limit / connections)));
  }
}

Connection::Result Connection::http_attempt() {
  std::string url;
  std::int64_t size;
  {
    std::lock_guard lock(t_->mu_);
    url = t_->have_final_ ? t_->final_url_ : request_url(t_->address_);
    cookie_ = t_->have_final_ ? t_->final_cookie_ : std::string();
    size = t_->size_;
  }
  ranged_ = range_ >= 0 && (req_first_ > 0 || req_last_ + 1 < size);
  for (int redirects = 0;;) {
    setup_common(url);
    headers_ = curl_slist_append(headers_, ("Referer: " + t_->referer_).c_str());
    if (ranged_) {
      const std::string range =
          "Range: bytes=" + std::to_string(req_first_) + "-" + std::to_string(req_last_);
      headers_ = curl_slist_append(headers_, range.c_str());
    }
    if (!cookie_.empty()) headers_ = curl_slist_append(headers_, ("Cookie: " + cookie_).c_str());
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    resp_ = Response{};
    abort_ = Abort::none;
    const CURLcode rc = transfer();
    if (abort_ != Abort::redirect) return finish_transfer(rc);
    if (++redirects > kMaxRedirects) {
      set_fatal(TaskOutcome::bad_address, "too many redirects");
      return Result::fatal;
    }
    const std::string target = resolve_location(url, resp_.location);
    std::string scheme, new_host, old_host;
    if (target.empty() || !url_parts(target, &scheme, &new_host) || (scheme != "http" && scheme != "https")) {
      set_fatal(TaskOutcome::bad_address, "redirect to an address that cannot be fetched: " + resp_.location);
      return Result::fatal;
    }
    url_parts(url, nullptr, &old_host);
    // The first cookie of the redirecting answer goes along only to the same host.
    cookie_ = new_host == old_host ? resp_.cookie : std::string();
    url = target;
  }
}

Connection::Result Connection::ftp_attempt() {
  const TaskParam& p = t_->param_;
  const Address& a = t_->address_;
  setup_common(request_url(a));
  std::string user = p.ftp_user.empty() ? "anonymous" : p.ftp_user;
  std::string password = p.ftp_password.empty() ? "tolvane@localhost" : p.ftp_password;
  if (a.has_userinfo) {
    user = a.user;
    if (!a.password.empty()) password = a.password;
  }
  curl_easy_setopt(easy_, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(easy_, CURLOPT_PASSWORD, password.c_str());
  if (req_first_ > 0) curl_easy_setopt(easy_, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(req_first_));
  bool text = p.ftp_transfer_type == 2;
  if (p.ftp_transfer_type == 3) text = !has_listed_extension(name_from_path(a.path), p.binary_extensions);
  curl_easy_setopt(easy_, CURLOPT_TRANSFERTEXT, text ? 1L : 0L);
  return finish_transfer(transfer());
}

CURLcode Connection::transfer() {
  const TaskParam& p = t_->param_;
  curl_multi_add_handle(multi_, easy_);
  connected_ = false;
  answered_ = false;
  last_activity_ = Clock::now();
  int running = 1;
  bool interrupted = false;
  CURLcode rc = CURLE_OK;
  for (;;) {
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      interrupted = true;
      rc = CURLE_OUT_OF_MEMORY;
      break;
    }
    if (running == 0) break;
    if (t_->halted()) {
      abort_ = Abort::halted;
      interrupted = true;
      break;
    }
    if (connected_) {
      // Waiting for the answer allows the send and the receive time; once data flow, the
      // receive time-out applies between arrivals.
      const int limit = answered_ ? p.receive_timeout_ms : std::max(p.send_timeout_ms, p.receive_timeout_ms);
      if (limit > 0 && Clock::now() - last_activity_ > milliseconds(limit)) {
        set_retry(TaskOutcome::network, "time-out waiting for data");
        interrupted = true;
        break;
      }
    }
    curl_multi_poll(multi_, nullptr, 0, 50, nullptr);
  }
  if (interrupted) {
    if (rc == CURLE_OK) rc = CURLE_ABORTED_BY_CALLBACK;
  } else {
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi_, &left))
      if (m->msg == CURLMSG_DONE) rc = m->data.result;
  }
  curl_multi_remove_handle(multi_, easy_);
  return rc;
}

Connection::Result Connection::finish_transfer(CURLcode rc) {
  flush();
  switch (abort_) {
    case Abort::range_done:
      return Result::range_done;
    case Abort::halted:
      return Result::halted;
    case Abort::fatal:
      return Result::fatal;
    case Abort::retry:
      return Result::retry;
    case Abort::redirect:
    case Abort::none:
      break;
  }
  if (rc == CURLE_OK) {
    if (range_ < 0) {
      // Nothing arrived: over FTP an empty file, whose size the transfer reported.
      curl_off_t length = -1;
      if (t_->address_.scheme != Scheme::ftp ||
          curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0) {
        set_fatal(TaskOutcome::no_size, "the server declared no size");
        return Result::fatal;
      }
      if (!establish(length, url_, nullptr)) return abort_ == Abort::halted ? Result::halted : Result::fatal;
    }
    bool done;
    {
      std::lock_guard lock(t_->mu_);
      const Range& r = t_->ranges_[static_cast<std::size_t>(range_)];
      done = r.pos >= r.end;
    }
    if (done) return Result::range_done;
    set_retry(TaskOutcome::short_transfer, "the data ended before the declared size");
    return Result::retry;
  }
  switch (rc) {
    case CURLE_PARTIAL_FILE:
      set_retry(TaskOutcome::short_transfer, "the data ended before the declared size");
      return Result::retry;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_LOGIN_DENIED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_FTP_COULDNT_USE_REST:
    case CURLE_BAD_DOWNLOAD_RESUME:
      set_fatal(TaskOutcome::protocol, curl_easy_strerror(rc));
      return Result::fatal;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      set_fatal(TaskOutcome::bad_address, curl_easy_strerror(rc));
      return Result::fatal;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      // A certificate that fails now fails on every retry.
      set_fatal(TaskOutcome::network, curl_easy_strerror(rc));
      return Result::fatal;
    default:
      set_retry(TaskOutcome::network, curl_easy_strerror(rc));
      return Result::retry;
  }
}

bool Connection::establish(std::int64_t size, const std::string& source_url, const std::string* disposition) {
  if (t_->halted()) {
    abort_ = Abort::halted;
    return false;
  }
  const std::string& save = t_->param_.save_path;
  std::string folder, name;
  if (save.empty() || save.back() == '/') {
    folder = save;
    std::optional<std::string> from_header;
    if (disposition != nullptr) from_header = name_from_disposition(*disposition);
    if (from_header) {
      name = sanitize_name(*from_header);
    } else {
      const auto a = parse_address(source_url);
      name = a ? sanitize_name(name_from_path(a->path)) : std::string();
    }
  } else {
    const auto slash = save.rfind('/');
    folder = slash == std::string::npos ? std::string() : save.substr(0, slash + 1);
    name = save.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name == "." || name == "..") name.clear();
  }
  if (name.empty()) {
    set_fatal(TaskOutcome::bad_name, "no usable file name");
    return false;
  }
  const CreatedFile f = create_local_file(folder, name, size, [&](std::int64_t existing) {
    return t_->call_now(task_event::same_name_file, static_cast<std::intptr_t>(existing), size, 0) == 0 &&
           !t_->halted();
  });
  if (f.result != CreateResult::created) {
    if (f.fd >= 0) ::close(f.fd);
    if (f.result == CreateResult::disk) {
      set_fatal(TaskOutcome::disk, std::string("cannot create the file: ") + std::strerror(f.error));
    } else if (t_->halted()) {
      abort_ = Abort::halted;
    } else {
      set_fatal(TaskOutcome::bad_name, "no free file name");
    }
    return false;
  }
  {
    std::lock_guard lock(t_->mu_);
    if (t_->abandoned_) {
      ::close(f.fd);
      abort_ = Abort::halted;
      return false;
    }
    t_->fd_ = f.fd;
    t_->size_ = size;
    t_->ranges_ = {{0, 0, size, id_}};
    t_->local_path_ = f.path;
    t_->path_settled_ = true;
    t_->final_url_ = source_url;
    t_->final_cookie_ = cookie_;
    t_->have_final_ = true;
  }
  range_ = 0;
  next_ = body_off_ = 0;
  offset_reached_ = 0;
  t_->push({task_event::total_size_known, 0, size, 0});
  t_->push({task_event::range_started, subject(), 0, size});
  const int wanted = std::clamp(t_->param_.connection_count, 1, kMaxConnections);
  if (wanted > 1 && size >= static_cast<std::int64_t>(buf_.size()))
    t_->push({Task::kSpawnConnections, 0, wanted, 0});
  return true;
}

Connection::Store Connection::store(const char* data, std::size_t len) {
  // `data` (may be null) follows the buffered bytes; both go out in one write.
  const std::int64_t off = next_ - static_cast<std::int64_t>(buf_len_);
  iovec iov[2] = {{buf_.data(), buf_len_}, {const_cast<char*>(data), len}};
  std::int64_t written = 0;
  Store result = Store::ok;
  int error = 0;
  {
    std::lock_guard lock(t_->mu_);
    if (t_->abandoned_ || t_->fd_ < 0) return Store::halted;
    Range& r = t_->ranges_[static_cast<std::size_t>(range_)];
    // Never past the range's end (it may have been shortened by a take-over), nor the file's.
    const std::int64_t allowed = std::max<std::int64_t>(0, r.end - off);
    std::int64_t total = std::min<std::int64_t>(allowed, static_cast<std::int64_t>(buf_len_ + len));
    iov[0].iov_len =
        static_cast<std::size_t>(std::min<std::int64_t>(total, static_cast<std::int64_t>(buf_len_)));
    iov[1].iov_len = static_cast<std::size_t>(total - static_cast<std::int64_t>(iov[0].iov_len));
    iovec* v = iov[0].iov_len > 0 ? iov : iov + 1;
    int count = iov[0].iov_len > 0 ? 2 : 1;
    while (written < total) {
      const ssize_t n = ::pwritev(t_->fd_, v, count, static_cast<off_t>(off + written));
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      if (n == 0) {
        error = EIO;
        break;
      }
      written += n;
      auto left = static_cast<std::size_t>(n);
      while (count > 0 && left >= v->iov_len) {
        left -= v->iov_len;
        ++v;
        --count;
      }
      if (count > 0) {
        v->iov_base = static_cast<char*>(v->iov_base) + left;
        v->iov_len -= left;
      }
    }
    r.pos = off + written;
    if (error != 0) {
      result = Store::disk;
    } else if (r.pos >= r.end) {
      result = Store::range_done;
    }
  }
  buf_len_ = 0;
  next_ = off + written;
  offset_reached_ = next_;
  if (written > 0) note_data(written);
  if (result == Store::disk)
    set_fatal(TaskOutcome::disk, std::string("cannot write the file: ") + std::strerror(error));
  return result;
}

bool Connection::flush() {
  if (range_ < 0 || buf_len_ == 0) return true;
  const Store s = store(nullptr, 0);
  if (s == Store::ok) return true;
  if (s == Store::range_done && abort_ != Abort::fatal && abort_ != Abort::halted) abort_ = Abort::range_done;
  if (s == Store::halted) abort_ = Abort::halted;
  return false;
}

void Connection::note_data(std::int64_t n) {
  t_->received_.fetch_add(n, std::memory_order_relaxed);
  t_->recent_.fetch_add(n, std::memory_order_relaxed);
  unreported_ += n;
  const auto now = Clock::now();
  if (now - last_report_ >= kReportInterval) {
    last_report_ = now;
    report_data();
  }
}

void Connection::report_data() {
  if (unreported_ <= 0) return;
  t_->push({task_event::data_received, subject(), unreported_, 0});
  unreported_ = 0;
}

size_t Connection::on_body(const char* data, size_t len) {
  const size_t total = len;
  last_activity_ = Clock::now();
  answered_ = true;
  if (range_ < 0) {
    curl_off_t length = -1;
    if (t_->address_.scheme != Scheme::ftp ||
        curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0) {
      set_fatal(TaskOutcome::no_size, "the server declared no size");
      return 0;
    }
    if (!establish(length, url_, nullptr)) return 0;
  }
  // Bytes before the first one still wanted (a 200 answer to a range request) are skipped.
  if (body_off_ < next_) {
    const auto skip =
        static_cast<size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(len), next_ - body_off_));
    data += skip;
    len -= skip;
    body_off_ += static_cast<std::int64_t>(skip);
    if (len == 0) return total;
  }
  body_off_ += static_cast<std::int64_t>(len);
  if (buf_len_ + len >= buf_.size()) {
    // The buffer would fill: the buffered bytes and this block go to the file in one write.
    const Store s = store(data, len);
    if (s != Store::ok) {
      if (s == Store::range_done) abort_ = Abort::range_done;
      if (s == Store::halted) abort_ = Abort::halted;
      return 0;
    }
  } else {
    std::memcpy(buf_.data() + buf_len_, data, len);
    buf_len_ += len;
    next_ += static_cast<std::int64_t>(len);
  }
  return total;
}

size_t Connection::on_header(const char* data, size_t len) {
  last_activity_ = Clock::now();
  answered_ = true;
  if (t_->address_.scheme == Scheme::ftp) return len;
  resp_.header_bytes += len;
  if (resp_.header_bytes > kMaxHeaderBytes) {
    set_fatal(TaskOutcome::protocol, "header too large");
    return 0;
  }
  const std::string_view line = trim(std::string_view(data, len));
  if (iequal_prefix(line, "HTTP/")) {
    const std::size_t bytes = resp_.header_bytes;
    resp_ = Response{};
    resp_.header_bytes = bytes;
    const auto space = line.find(' ');
    if (space != std::string_view::npos && line.size() >= space + 4) {
      long status = 0;
      for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') {
          status = 0;
          break;
        }
        status = status * 10 + (line[i] - '0');
      }
      resp_.status = status;
    }
    return len;
  }
  if (line.empty()) return on_headers_complete() ? len : 0;
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return len;
  const std::string_view name = trim(line.substr(0, colon));
  const std::string_view value = trim(line.substr(colon + 1));
  auto is = [&](std::string_view n) { return name.size() == n.size() && iequal_prefix(name, n); };
  if (is("Content-Length")) {
    std::int64_t v = 0;
    if (!resp_.has_length && parse_size(value, v)) {
      resp_.has_length = true;
      resp_.length = v;
    }
  } else if (is("Content-Range")) {
    if (resp_.content_range.empty()) resp_.content_range = std::string(value);
  } else if (is("Location")) {
    if (resp_.location.empty()) resp_.location = std::string(value);
  } else if (is("Set-Cookie")) {
    if (resp_.cookie.empty()) resp_.cookie = std::string(trim(value.substr(0, value.find(';'))));
  } else if (is("Content-Disposition")) {
    if (!resp_.has_disposition) {
      resp_.has_disposition = true;
      resp_.disposition = std::string(value);
    }
  }
  return len;
}

bool Connection::on_headers_complete() {
  const long status = resp_.status;
  if (status >= 100 && status < 200) return true;  // an interim answer; the real one follows
  if (status == 301 || status == 302) {
    if (resp_.location.empty()) {
      set_fatal(TaskOutcome::protocol, "redirect without Location");
      return false;
    }
    abort_ = Abort::redirect;
    return false;
  }
  if (status != 200 && status != 206) {
    set_fatal(TaskOutcome::http_status, "HTTP status " + std::to_string(status));
    return false;
  }
  if (range_ < 0) {
    if (status != 200) {
      set_fatal(TaskOutcome::protocol, "a partial answer to a request for the whole file");
      return false;
    }
    if (!resp_.has_length) {
      set_fatal(TaskOutcome::no_size, "the server declared no size");
      return false;
    }
    return establish(resp_.length, url_, resp_.has_disposition ? &resp_.disposition : nullptr);
  }
  std::int64_t size;
  {
    std::lock_guard lock(t_->mu_);
    size = t_->size_;
  }
  if (status == 200) {
    if (!resp_.has_length || resp_.length != size) {
      set_retry(TaskOutcome::protocol, "the size of the file changed");
      return false;
    }
    body_off_ = 0;  // the whole file again; what is stored already is skipped
    return true;
  }
  std::int64_t first = 0, last = 0, total = 0;
  if (!ranged_ || !parse_content_range(resp_.content_range, first, last, total) || first != req_first_ ||
      last != req_last_ || (total >= 0 && total != size)) {
    set_retry(TaskOutcome::protocol, "Content-Range does not match the request");
    return false;
  }
  body_off_ = first;
  return true;
}

size_t Connection::body_cb(char* data, size_t size, size_t n, void* self) {
  return static_cast<Connection*>(self)->on_body(data, size * n);
}

size_t Connection::header_cb(char* data, size_t size, size_t n, void* self) {
  return static_cast<Connection*>(self)->on_header(data, size * n);
}

int Connection::prereq_cb(void* self, char*, char*, int, int) {
  auto* c = static_cast<Connection*>(self);
  c->connected_ = true;
  c->last_activity_ = Clock::now();
  return CURL_PREREQFUNC_OK;
}

}  // namespace tolvane::engine
