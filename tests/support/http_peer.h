// HTTP for the intake's tests: curl as the client, the real Alertmanager as a peer.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/support.h"

namespace testsupport {

struct http_reply {
  int status = 0;  // 0: no answer
  std::string body;
};

// One request with curl; `headers` as "Name: value" lines, `options` more
// of curl's (say --cacert FILE).
http_reply http_call(const std::string& method, const std::string& url,
                     const std::string& body = "", const std::vector<std::string>& headers = {},
                     const std::vector<std::string>& options = {});

// The Alertmanager of Debian with `config` (YAML), its API on 127.0.0.1:9093,
// in the calling test's namespaces; stopped when destroyed.
class alertmanager {
 public:
  explicit alertmanager(const std::string& config);
  ~alertmanager();
  alertmanager(const alertmanager&) = delete;
  alertmanager& operator=(const alertmanager&) = delete;
  // Posts alerts (a JSON array) to its API; true when it took them.
  bool post_alerts(const std::string& alerts) const;
  std::string log() const;

 private:
  temp_dir dir_;
  pid_t pid_ = -1;
};

}  // namespace testsupport
