// Running the mail reader over a text, for the mail and MIME tests.
#pragma once

#include <fcntl.h>

#include <string>

#include "common/settings.h"
#include "main/mail.h"
#include "support/support.h"

namespace mailtest {

struct mail_result {
  callvane::page p;
  std::string out;
  std::string err;
  std::string left;  // what the reader left unread on its stream
};

inline mail_result read_mail_text(const std::string& mail, bool have_from = false,
                                  int debug_level = 0) {
  testsupport::temp_dir dir;
  int fd = open(dir.write("mail", mail).c_str(), O_RDONLY);
  mail_result r;
  callvane::in_stream in(fd, true);
  int saved_debug = callvane::debug;
  callvane::debug = debug_level;
  {
    testsupport::capture_fd out(1), err(2);
    callvane::read_mail(in, r.p, have_from);
    r.err = err.finish();
    r.out = out.finish();
  }
  callvane::debug = saved_debug;
  for (int c; (c = in.get()) >= 0;) r.left.push_back(static_cast<char>(c));
  return r;
}

}  // namespace mailtest
