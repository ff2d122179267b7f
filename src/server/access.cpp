// Accepting one SNPP connection: access rules, identity, session child.
#include "server/access.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tcpd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/instream.h"
#include "common/log.h"
#include "common/messageid.h"
#include "common/page.h"
#include "common/text.h"
#include "config/config.h"
#include "server/ident.h"
#include "server/session.h"

// The TCP Wrappers library logs its verdicts at these levels.
int allow_severity = LOG_INFO;
int deny_severity = LOG_WARNING;

namespace callvane {

namespace {

constexpr const char* DAEMON_NAME = "callvane";  // the name in hosts.allow / hosts.deny
constexpr std::string_view REFUSED_REPLY = "421 Permission Denied by Administrator\r\n";
constexpr std::string_view BUSY_REPLY = "421 Too many connections, try again later\r\n";
constexpr const char* ANONYMOUS = "[anonymous]";
constexpr int EXIT_REFUSED = 2;
constexpr int EXIT_NO_STREAMS = 255;

// The length of a socket address of the peer's family.
socklen_t address_length(const sockaddr_storage& addr) {
  return addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// An IPv4 peer that reached an IPv6 socket as ::ffff:a.b.c.d, turned back
// into the plain IPv4 address it is, so it is shown and looked up as one.
sockaddr_storage unmapped(const sockaddr_storage& addr) {
  if (addr.ss_family != AF_INET6) return addr;
  sockaddr_in6 six;
  memcpy(&six, &addr, sizeof six);
  if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) return addr;
  sockaddr_in four{};
  four.sin_family = AF_INET;
  four.sin_port = six.sin6_port;
  memcpy(&four.sin_addr, &six.sin6_addr.s6_addr[12], sizeof four.sin_addr);
  sockaddr_storage plain{};
  memcpy(&plain, &four, sizeof four);
  return plain;
}

// "[a.b.c.d]" or "[x:y::z]": the host text when no name is known.
std::string bracketed(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN];
  const char* shown = nullptr;
  if (addr.ss_family == AF_INET) {
    sockaddr_in four;
    memcpy(&four, &addr, sizeof four);
    shown = inet_ntop(AF_INET, &four.sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    sockaddr_in6 six;
    memcpy(&six, &addr, sizeof six);
    shown = inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
  }
  if (shown == nullptr) return "[?]";
  return std::string("[") + text + "]";
}

// The official name of the address in the host database, if any.
std::optional<std::string> reverse_lookup(const sockaddr_storage& addr) {
  char name[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), address_length(addr), name, sizeof name,
                  nullptr, 0, NI_NAMEREQD) != 0)
    return std::nullopt;
  return std::string(name);
}

// The library's text for an IPv6 peer it did not name: the bare address,
// perhaps with a zone ("fe80::1%eth0").
bool is_ipv6_text(const char* host) {
  std::string text(host);
  text = text.substr(0, text.find('%'));
  in6_addr ignored;
  return inet_pton(AF_INET6, text.c_str(), &ignored) == 1;
}

bool storable_host(const std::optional<std::string>& host) {
  if (!host || host->empty() || host->size() > MAX_QUEUE_WORD) return false;
  for (char c : *host)
    if (c == '\0' || is_space(static_cast<unsigned char>(c))) return false;
  return true;
}

// Writes a fixed reply without ever blocking or raising SIGPIPE.
void say_once(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// The client's host name as the library knows it. Unless its rules made it
// look the name up, the library answers with the bare address, which is no
// name: the host database and then the bracketed address stand in for it.
std::optional<std::string> library_host_name(struct request_info& request) {
  const char* host = eval_hostinfo(request.client);
  if (host == nullptr || *host == '\0' || strcmp(host, unknown) == 0) return std::nullopt;
  if (!NOT_INADDR(host) || is_ipv6_text(host)) return std::nullopt;
  return std::string(host);
}

// Log-safe copies: safe_string reuses one buffer.
std::string shown_user(const page& p) { return p.ident ? safe_string(*p.ident) : ANONYMOUS; }
std::string shown_host(const std::optional<std::string>& host, const sockaddr_storage& addr) {
  return safe_string(host ? *host : bracketed(addr));
}

// Who is calling, and may they: fills page.ident and page.hostname, and
// answers whether the access rules let the host in.
bool check_access(int fd, page& p) {
  // The library would ask the ident question itself, waiting with alarm()
  // and a jump for a time of its own. Asking first and handing it the
  // answer (or "unknown") keeps one question within identtimeout, none at
  // all when that is 0, and its rules for user@host still see the user.
  if (identtimeout > 0) p.ident = ident_query(fd);
  const char* user = p.ident ? p.ident->c_str() : unknown;
  struct request_info request;
  // Rules that cannot be evaluated let nobody in.
  if (request_init(&request, RQ_DAEMON, DAEMON_NAME, RQ_FILE, fd, RQ_USER, user, 0) == nullptr)
    return false;
  sock_host(&request);
  p.hostname = library_host_name(request);
  return hosts_access(&request) != 0;
}

[[noreturn]] void serve_child(int listen_fd, int other_listener, int fd,
                              const sockaddr_storage& peer, const std::string& messageid) {
  // The daemon blocks signals around its own work; a session needs them.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  close(listen_fd);
  if (other_listener >= 0) close(other_listener);

  page p;
  p.messageid = messageid;
  if (!check_access(fd, p)) {
    say_once(fd, REFUSED_REPLY);
    close(fd);
    logmsg(LOG_INFO, "connection refused from %s@%s", shown_user(p).c_str(),
           shown_host(p.hostname, peer).c_str());
    _exit(EXIT_REFUSED);
  }
  if (!p.hostname) p.hostname = reverse_lookup(peer);
  // A name the queue file cannot hold as one word would fail every SEND.
  if (!storable_host(p.hostname)) p.hostname = bracketed(peer);
  // A client that goes away must end the session through a failed write
  // and the end of its input, not kill it unlogged. Set only now, so that
  // commands the access rules run keep the default.
  signal(SIGPIPE, SIG_IGN);
  logmsg(LOG_INFO, "connection from %s@%s", shown_user(p).c_str(),
         shown_host(p.hostname, peer).c_str());

  // Replies go to standard output, so it must be the connection.
  int out = dup(fd);
  if (out < 0 || (out != STDOUT_FILENO && dup2(out, STDOUT_FILENO) < 0)) {
    logmsg(LOG_ERR, "cannot reopen socket");
    _exit(EXIT_NO_STREAMS);
  }
  if (out != STDOUT_FILENO) close(out);
  clearerr(stdout);
  in_stream input(fd);
  p.input = &input;
  snpp(p);
  logmsg(LOG_INFO, "disconnect from %s@%s", shown_user(p).c_str(),
         shown_host(p.hostname, peer).c_str());
  fflush(stdout);
  close(STDOUT_FILENO);
  close(fd);
  _exit(0);
}

}  // namespace

pid_t serve_connection(int listen_fd, bool at_limit, int other_listener) {
  sockaddr_storage accepted{};
  socklen_t len = sizeof accepted;
  int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&accepted), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    // A signal, or a client that left before we came: nothing to do.
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
      logmsg(LOG_ERR, "accept() failed: %s", strerror(errno));
    return 0;
  }
  const sockaddr_storage peer = unmapped(accepted);
  if (at_limit) {
    say_once(fd, BUSY_REPLY);
    close(fd);
    logmsg(LOG_NOTICE, "too many sessions, connection refused from %s", bracketed(peer).c_str());
    return 0;
  }
  std::string messageid = new_messageid();
  // Nothing the daemon has buffered may reach the connection twice.
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) serve_child(listen_fd, other_listener, fd, peer, messageid);
  if (pid < 0) logmsg(LOG_ERR, "fork() failed: %s", strerror(errno));
  close(fd);
  return pid < 0 ? 0 : pid;
}

}  // namespace callvane
