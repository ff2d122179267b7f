// A scripted SNPP server for tests: answers one client from a script and
// records every byte the client sent.
//
// Usage: snpppeer PORT SCRIPT LOG
// Prints "ready" on standard output once it listens on 127.0.0.1:PORT.
//
// Each script line is "KEY REPLY". KEY is "greeting", "." (the end of a
// DATA text) or the first four letters of a command in upper case (PAGE,
// DATA, SEND, ...). Lines for the same key answer its successive uses in
// order; the last one repeats. REPLY is sent with CR LF; a literal "\n"
// inside it separates several reply lines. Special replies: "!close"
// closes the connection without a word, "!silent" answers nothing more,
// "!flood" sends "214" lines until the client goes away. Without a script
// line the greeting is "220 snpppeer ready", DATA gets 354, QUIT gets 221
// (and the connection is closed), everything else 250.
//
// The key "unauthenticated" makes a server that demands a login: until a
// LOGIn has been answered with a 2xx reply, every command but LOGIn and
// QUIT gets the REPLY of that line.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

struct peer {
  int fd = -1;
  FILE* log = nullptr;
  std::string buffer;
  std::map<std::string, std::vector<std::string>> script;
  std::map<std::string, size_t> used;

  // One line without its line end; false once the client has gone.
  bool read_line(std::string& line) {
    for (;;) {
      size_t nl = buffer.find('\n');
      if (nl != std::string::npos) {
        line = buffer.substr(0, nl);
        buffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      char chunk[4096];
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return false;
      fwrite(chunk, 1, static_cast<size_t>(n), log);
      fflush(log);
      buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  bool send_text(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  std::string reply_for(const std::string& key, const std::string& fallback) {
    auto it = script.find(key);
    if (it == script.end() || it->second.empty()) return fallback;
    size_t& n = used[key];
    const std::string& r = it->second[std::min(n, it->second.size() - 1)];
    n++;
    return r;
  }

  // Sends a reply; false when the dialogue is over.
  bool answer(const std::string& reply) {
    if (reply == "!close") return false;
    if (reply == "!silent") {
      std::string line;
      while (read_line(line)) {
      }
      return false;
    }
    if (reply == "!flood") {
      while (send_text("214 more help\r\n")) usleep(2000);
      return false;
    }
    std::string text;
    size_t start = 0;
    for (;;) {
      size_t sep = reply.find("\\n", start);
      text += reply.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
      text += "\r\n";
      if (sep == std::string::npos) break;
      start = sep + 2;
    }
    return send_text(text);
  }
};

std::string key_of(const std::string& line) {
  std::string key;
  for (char c : line) {
    if (c == ' ' || key.size() == 4) break;
    key.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
  }
  return key;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s port script log\n", argv[0]);
    return 2;
  }
  alarm(30);  // never outlive a test
  peer p;
  std::ifstream script(argv[2]);
  for (std::string line; std::getline(script, line);) {
    size_t sp = line.find(' ');
    if (line.empty() || sp == std::string::npos) continue;
    p.script[line.substr(0, sp)].push_back(line.substr(sp + 1));
  }
  p.log = fopen(argv[3], "w");
  if (p.log == nullptr) {
    perror(argv[3]);
    return 2;
  }

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0 ||
      listen(listener, 5) < 0) {
    perror("bind/listen");
    return 2;
  }
  printf("ready\n");
  fflush(stdout);
  p.fd = accept(listener, nullptr, nullptr);
  if (p.fd < 0) return 2;
  close(listener);

  const bool demands_login = p.script.count("unauthenticated") != 0;
  bool logged_in = false;
  if (p.answer(p.reply_for("greeting", "220 snpppeer ready"))) {
    std::string line;
    while (p.read_line(line)) {
      std::string key = key_of(line);
      std::string reply;
      if (demands_login && !logged_in && key != "LOGI" && key != "QUIT")
        reply = p.script["unauthenticated"].front();
      else
        reply = p.reply_for(key, key == "DATA"   ? "354 go ahead"
                                 : key == "QUIT" ? "221 bye"
                                                 : "250 ok");
      if (key == "LOGI" && reply.rfind("2", 0) == 0) logged_in = true;
      if (!p.answer(reply)) break;
      if (key == "QUIT" && reply.rfind("221", 0) == 0) break;
      if (key == "DATA" && reply.rfind("354", 0) == 0) {
        while (p.read_line(line) && line != ".") {
        }
        if (!p.answer(p.reply_for(".", "250 message ok"))) break;
      }
    }
  }
  close(p.fd);
  fclose(p.log);
  return 0;
}
