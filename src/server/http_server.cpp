// The HTTP intake's process: one libmicrohttpd server driven by its own poll loop.
//
// libmicrohttpd runs in its external epoll mode: it starts no thread, and
// this loop waits on its one epoll descriptor with poll(), up to the sooner
// of the library's own time-out and the next request deadline. One thread
// keeps the page writes, the configuration and the counters free of locks,
// and the epoll mode, unlike select, has no FD_SETSIZE ceiling.
#include "server/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <optional>
#include <sstream>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "server/http_routes.h"
#include "server/session.h"

namespace callvane {

namespace {

using clock = std::chrono::steady_clock;

// Request line and headers must fit this (libmicrohttpd answers 431 or 414
// beyond it); the body is bounded apart, by MAX_HTTP_BODY.
constexpr size_t CONNECTION_MEMORY = 32 * 1024;
constexpr int LISTEN_BACKLOG = 128;
constexpr long MAX_PEM_BYTES = 1024 * 1024;

// One open connection: its socket and the time its current request must be
// done by. A request not answered by then has its socket shut down, and
// libmicrohttpd closes the connection.
struct connection_state {
  int fd = -1;
  clock::time_point deadline;
  bool cut = false;
};

struct request_state {
  http_request req;
  std::string body;
};

std::list<connection_state> connections;
std::string page_id_base;
unsigned long pages_taken = 0;

clock::time_point next_deadline() { return clock::now() + std::chrono::seconds(httptimeout); }

// Each page here gets base + "h" + a number; SNPP ids add only digits to
// theirs, so the two never meet.
std::string next_page_id() { return page_id_base + "h" + std::to_string(pages_taken++); }

void log_from_library(void*, const char* format, va_list ap) {
  char line[512];
  vsnprintf(line, sizeof line, format, ap);
  size_t n = strlen(line);
  while (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
  logmsg(LOG_NOTICE, "http: %s", line);
}

void track_connection(void*, MHD_Connection* c, void** socket_context,
                      MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    connections.push_back({info != nullptr ? info->connect_fd : -1, next_deadline(), false});
    *socket_context = &connections.back();
    return;
  }
  auto* state = static_cast<connection_state*>(*socket_context);
  connections.remove_if([state](const connection_state& s) { return &s == state; });
  *socket_context = nullptr;
}

// A request done: the next one on the connection gets a full time of its own.
void request_done(void*, MHD_Connection* c, void** con_cls, MHD_RequestTerminationCode) {
  // Taken back from the library, which held it since on_request made it.
  std::unique_ptr<request_state> done(static_cast<request_state*>(*con_cls));
  *con_cls = nullptr;
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info != nullptr && info->socket_context != nullptr)
    static_cast<connection_state*>(info->socket_context)->deadline = next_deadline();
}

MHD_Result respond(MHD_Connection* c, const http_answer& a) {
  MHD_Response* r = MHD_create_response_from_buffer(a.body.size(), const_cast<char*>(a.body.data()),
                                                    MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, a.type);
  MHD_Result ok = MHD_queue_response(c, a.status, r);
  MHD_destroy_response(r);
  return ok;
}

std::optional<std::string> header(MHD_Connection* c, MHD_ValueKind kind, const char* name) {
  const char* v = MHD_lookup_connection_value(c, kind, name);
  return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
}

std::string client_host(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "?";
  if (info != nullptr && info->client_addr != nullptr) {
    const sockaddr* sa = info->client_addr;
    if (sa->sa_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
    else if (sa->sa_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  }
  return std::string("[") + text + "]";
}

// The announced body length; nullopt when none or unreadable.
std::optional<size_t> content_length(MHD_Connection* c) {
  std::optional<std::string> v = header(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (!v || v->empty() || v->find_first_not_of("0123456789") != std::string::npos) return {};
  return v->size() > 12 ? SIZE_MAX : std::stoull(*v);
}

MHD_Result on_request(void*, MHD_Connection* c, const char* url, const char* method, const char*,
                      const char* upload, size_t* upload_size, void** con_cls) {
  auto* rs = static_cast<request_state*>(*con_cls);
  if (rs == nullptr) {
    // The headers are in: decide now whether the body is wanted at all.
    // The library keeps it for the request; request_done takes it back.
    rs = std::make_unique<request_state>().release();
    *con_cls = rs;
    http_request& req = rs->req;
    req.method = method;
    req.path = url;
    req.authorization = header(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    std::optional<std::string> resolved = header(c, MHD_GET_ARGUMENT_KIND, "resolved");
    req.resolved_wanted =
        resolved && (*resolved == "yes" || *resolved == "true" || *resolved == "1");
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    req.fd = info != nullptr ? info->connect_fd : -1;
    req.host = client_host(c);
    if (std::optional<http_answer> early = answer_before_body(req, content_length(c)))
      return respond(c, *early);
    return MHD_YES;
  }
  if (*upload_size > 0) {
    // A body that grows past the bound without having announced its size
    // cannot be answered mid-stream: the connection is closed.
    if (rs->body.size() + *upload_size > MAX_HTTP_BODY) {
      logmsg(LOG_NOTICE, "HTTP body too large from %s, connection closed",
             safe_string(rs->req.host));
      return MHD_NO;
    }
    rs->body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  std::string id = queues_page(rs->req) ? next_page_id() : "";
  return respond(c, answer(rs->req, rs->body, id));
}

// Shuts down the sockets of requests past their deadline; the time until
// the next deadline, in milliseconds (-1: none).
int cut_late_requests() {
  clock::time_point now = clock::now();
  long long soonest = -1;
  for (connection_state& s : connections) {
    if (s.cut) continue;
    if (s.deadline <= now) {
      logmsg(LOG_NOTICE, "HTTP request not done in %d seconds, connection cut", httptimeout);
      if (s.fd >= 0) shutdown(s.fd, SHUT_RDWR);
      s.cut = true;
      continue;
    }
    long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(s.deadline - now).count() + 1;
    if (soonest < 0 || ms < soonest) soonest = ms;
  }
  return soonest < 0 ? -1 : static_cast<int>(std::min<long long>(soonest, INT_MAX));
}

// The socket for httplisten, bound and listening; -1 after a log line.
int open_http_listener(const std::string& where) {
  size_t colon = where.rfind(':');
  std::string host = where.substr(0, colon);
  std::string port = where.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    logmsg(LOG_ERR, "httplisten %s: not a numeric address and port", safe_string(where));
    return -1;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int on = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd >= 0 && found->ai_family == AF_INET6)
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  bool ok = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
            listen(fd, LISTEN_BACKLOG) == 0;
  int err = errno;
  freeaddrinfo(found);
  if (ok) return fd;
  logmsg(LOG_ERR, "cannot listen on %s: %s", safe_string(where), strerror(err));
  if (fd >= 0) close(fd);
  return -1;
}

// A PEM file's text, bounded; nullopt when it cannot be read.
std::optional<std::string> pem_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf()) || static_cast<long>(text.str().size()) > MAX_PEM_BYTES) {
    logmsg(LOG_ERR, "cannot read %s for HTTPS", safe_string(path));
    return std::nullopt;
  }
  return text.str();
}

MHD_Daemon* start_library(int fd, int family, const std::string& cert, const std::string& key) {
  unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
  if (family == AF_INET6) flags |= MHD_USE_IPv6;
  if (!cert.empty()) flags |= MHD_USE_TLS;
  // A connection limit of 0 would refuse everything; maxsessions 0 means none.
  unsigned limit = maxsessions > 0 ? static_cast<unsigned>(maxsessions) : UINT_MAX / 2;
  MHD_OptionItem tls[] = {
      {cert.empty() ? MHD_OPTION_END : MHD_OPTION_HTTPS_MEM_CERT, 0,
       const_cast<char*>(cert.c_str())},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(key.c_str())},
      {MHD_OPTION_END, 0, nullptr},
  };
  return MHD_start_daemon(
      flags, 0, nullptr, nullptr, on_request, nullptr, MHD_OPTION_EXTERNAL_LOGGER, log_from_library,
      nullptr, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, limit,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(httptimeout),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY, MHD_OPTION_NOTIFY_COMPLETED,
      request_done, nullptr, MHD_OPTION_NOTIFY_CONNECTION, track_connection, nullptr,
      MHD_OPTION_ARRAY, tls, MHD_OPTION_END);
}

// Signals as a session child has them; the child ends with the daemon.
void become_child() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGUSR1, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
}

}  // namespace

[[noreturn]] void serve_http(const std::string& base_id) {
  become_child();
  if (getppid() != daemon_pid) _exit(0);  // the daemon went before the line above
  page_id_base = base_id;
  std::string cert, key;
  if (httpcert || httpkey) {
    if (!httpcert || !httpkey) {
      logmsg(LOG_ERR, "HTTPS needs both httpcert and httpkey");
      _exit(EXIT_HTTP_UNUSABLE);
    }
    std::optional<std::string> c = pem_file(*httpcert);
    std::optional<std::string> k = pem_file(*httpkey);
    if (!c || !k) _exit(EXIT_HTTP_UNUSABLE);
    cert = *c;
    key = *k;
  }
  int fd = open_http_listener(*httplisten);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0)
    _exit(EXIT_HTTP_UNUSABLE);
  MHD_Daemon* server = start_library(fd, bound.ss_family, cert, key);
  const MHD_DaemonInfo* info =
      server != nullptr ? MHD_get_daemon_info(server, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (info == nullptr) {
    logmsg(LOG_ERR, "cannot start the HTTP server on %s", safe_string(*httplisten));
    _exit(EXIT_HTTP_UNUSABLE);
  }
  logmsg(LOG_INFO, "HTTP intake on %s%s", safe_string(*httplisten), cert.empty() ? "" : " (HTTPS)");
  const int epoll_fd = info->epoll_fd;
  for (;;) {
    int wait_ms = cut_late_requests();
    MHD_UNSIGNED_LONG_LONG library_ms = 0;
    if (MHD_get_timeout(server, &library_ms) == MHD_YES) {
      int ms = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(library_ms, INT_MAX));
      wait_ms = wait_ms < 0 ? ms : std::min(wait_ms, ms);
    }
    struct pollfd pfd = {epoll_fd, POLLIN, 0};
    if (poll(&pfd, 1, wait_ms) < 0 && errno != EINTR) {
      logmsg(LOG_ERR, "HTTP intake: poll() failed: %s", strerror(errno));
      _exit(1);
    }
    MHD_run(server);
    if (getppid() != daemon_pid) _exit(0);
  }
}

}  // namespace callvane
