// Ident servers for tests: the scripted tools/identpeer and Debian's oidentd.
#include "support/ident_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "support/support.h"
#include "support/wait.h"

namespace identpeer {

namespace {

bool port_open(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

scripted::scripted(const std::string& mode, const std::string& answer, int port) {
  char dir[] = "/tmp/callvane-ident-XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = dir;
  FILE* f = fopen((dir_ + "/answer").c_str(), "w");
  if (f == nullptr) throw std::runtime_error("answer file");
  fwrite(answer.data(), 1, answer.size(), f);
  fclose(f);

  pid_ = testsupport::start_peer({testsupport::tools_dir() + "/identpeer/identpeer",
                                  std::to_string(port), mode, dir_ + "/answer", dir_ + "/query"});
}

std::string scripted::finish() {
  testsupport::end_child(pid_, std::chrono::seconds(10));
  return testsupport::read_file(dir_ + "/query");
}

scripted::~scripted() {
  testsupport::end_child(pid_, std::chrono::milliseconds(0));
  unlink((dir_ + "/answer").c_str());
  unlink((dir_ + "/query").c_str());
  rmdir(dir_.c_str());
}

oidentd::oidentd() {
  if (access("/usr/sbin/oidentd", X_OK) != 0) {
    why_ = "/usr/sbin/oidentd is not installed";
    return;
  }
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl("/usr/sbin/oidentd", "oidentd", "-i", "-q", "-S", "-a", "127.0.0.1", "-p", "113",
          nullptr);
    _exit(127);
  }
  bool exited = false;
  auto up = [&] { return port_open(113) || (exited = waitpid(pid_, nullptr, WNOHANG) == pid_); };
  if (!testsupport::wait_until(up, std::chrono::seconds(10), std::chrono::milliseconds(20)) ||
      exited) {
    why_ = "oidentd did not start";
    testsupport::end_child(pid_, std::chrono::milliseconds(0));
  }
}

oidentd::~oidentd() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  testsupport::end_child(pid_, std::chrono::seconds(2));
}

bool oidentd::running(std::string& why) const {
  why = why_;
  return pid_ > 0;
}

}  // namespace identpeer
