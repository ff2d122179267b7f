// Running the program under test, temporary directories and the other shared test helpers.
#include "support/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/wait.h"

namespace testsupport {

std::string callvane_path() { return CALLVANE_BIN; }
std::string source_dir() { return CALLVANE_SOURCE_DIR; }
std::string tools_dir() { return CALLVANE_TOOLS_DIR; }

run_result run(const std::vector<std::string>& argv, const run_options& opts) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    for (const auto& [name, value] : opts.env) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    // A fresh process group, so that a time-out can end every process it made.
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  run_result result;
  size_t written = 0;
  int in_fd = in_pipe[1];
  fcntl(in_fd, F_SETFL, O_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
  if (opts.input.empty() && opts.close_stdin) {
    close(in_fd);
    in_fd = -1;
  }
  auto deadline = std::chrono::steady_clock::now() + opts.limit;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd pfds[3];
    int n = 0;
    int out_idx = -1, err_idx = -1, in_idx = -1;
    if (out_open) {
      pfds[n] = {out_pipe[0], POLLIN, 0};
      out_idx = n++;
    }
    if (err_open) {
      pfds[n] = {err_pipe[0], POLLIN, 0};
      err_idx = n++;
    }
    if (in_fd >= 0) {
      pfds[n] = {in_fd, POLLOUT, 0};
      in_idx = n++;
    }
    int r = poll(pfds, n, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    char buf[4096];
    if (out_idx >= 0 && pfds[out_idx].revents) {
      ssize_t k = read(out_pipe[0], buf, sizeof buf);
      if (k > 0)
        result.out.append(buf, static_cast<size_t>(k));
      else
        out_open = false;
    }
    if (err_idx >= 0 && pfds[err_idx].revents) {
      ssize_t k = read(err_pipe[0], buf, sizeof buf);
      if (k > 0)
        result.err.append(buf, static_cast<size_t>(k));
      else
        err_open = false;
    }
    if (in_idx >= 0 && pfds[in_idx].revents) {
      ssize_t k = write(in_fd, opts.input.data() + written, opts.input.size() - written);
      if (k > 0) written += static_cast<size_t>(k);
      if (k < 0 && errno != EAGAIN) written = opts.input.size();
      if (written >= opts.input.size() && opts.close_stdin) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  if (!result.timed_out) {
    // Output closed; the program may still be finishing. Give it the time left.
    while (true) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) break;
      if (std::chrono::steady_clock::now() > deadline) {
        result.timed_out = true;
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      usleep(2000);
    }
  } else {
    waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.status = 128 + WTERMSIG(status);
  return result;
}

run_result run_callvane(const std::vector<std::string>& args, const run_options& opts) {
  std::vector<std::string> argv{callvane_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, opts);
}

temp_dir::temp_dir() {
  char tmpl[] = "/tmp/callvane-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
  chmod(path_.c_str(), 0755);
}

temp_dir::~temp_dir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  int r = system(cmd.c_str());
  (void)r;
}

std::string temp_dir::write(const std::string& name, const std::string& contents, int mode) const {
  std::string p = file(name);
  {
    std::ofstream f(p, std::ios::binary);
    f << contents;
  }
  chmod(p.c_str(), static_cast<mode_t>(mode));
  return p;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string short_words(size_t length) {
  std::string s;
  for (int i = 0; s.size() < length; i++) {
    if (!s.empty()) s += ' ';
    s += "w" + std::to_string(i % 10);
  }
  s.resize(length);
  if (!s.empty() && s.back() == ' ') s.back() = 'x';
  return s;
}

time_zone::time_zone(const char* tz) {
  if (const char* old = getenv("TZ")) saved_ = old;
  setenv("TZ", tz, 1);
  tzset();
}

time_zone::~time_zone() {
  if (saved_)
    setenv("TZ", saved_->c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

int64_t utc(int year, int mon, int day, int hour, int min, int sec) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  return static_cast<int64_t>(timegm(&tm));
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int count_entries(const std::string& dir) {
  return file_exists(dir) ? static_cast<int>(dir_names(dir).size()) : -1;
}

std::vector<std::string> dir_names(const std::string& dir, bool dot_files) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n[0] != '.' || (dot_files && n != "." && n != "..")) names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

int exit_code(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

child_result in_child(const std::function<int()>& body) {
  temp_dir dir;
  std::string out_path = dir.file("out"), err_path = dir.file("err");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close(out);
    close(err);
    int code = body();
    fflush(nullptr);
    _exit(code);
  }
  child_result r;
  if (pid > 0) r.status = exit_code(pid);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

capture_fd::capture_fd(int fd) : fd_(fd) {
  fflush(nullptr);
  char tmpl[] = "/tmp/callvane-capture-XXXXXX";
  int tmp = mkstemp(tmpl);
  if (tmp < 0) throw std::runtime_error("mkstemp");
  path_ = tmpl;
  saved_ = dup(fd);
  dup2(tmp, fd);
  close(tmp);
}

capture_fd::~capture_fd() {
  if (!done_) finish();
}

std::string capture_fd::finish() {
  if (done_) return {};
  done_ = true;
  fflush(nullptr);
  dup2(saved_, fd_);
  close(saved_);
  std::string text = read_file(path_);
  unlink(path_.c_str());
  return text;
}

::testing::AssertionResult contains(const std::string& text, const std::string& piece) {
  auto result = text.find(piece) != std::string::npos ? ::testing::AssertionSuccess()
                                                      : ::testing::AssertionFailure();
  return result << "looked for \"" << piece << "\" in:\n" << text;
}

bool read_until(int fd, const std::string& text, std::string& seen,
                std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (seen.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left.count(), 100))) <= 0) continue;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    seen.append(buf, static_cast<size_t>(n));
  }
  return true;
}

pid_t start_peer(const std::vector<std::string>& argv) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string said;
  read_until(out[0], "ready\n", said, std::chrono::seconds(10));
  close(out[0]);
  if (said.find("ready\n") == std::string::npos) {
    end_child(pid, std::chrono::milliseconds(0));
    throw std::runtime_error(argv[0] + " did not start");
  }
  return pid;
}

void end_child(pid_t& pid, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  int status;
  auto ended = [&] { return waitpid(pid, &status, WNOHANG) != 0; };
  if (!wait_until(ended, grace, std::chrono::milliseconds(5))) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  pid = -1;
}

}  // namespace testsupport
