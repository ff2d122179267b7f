// The queue listing of -Q.
#include "queue/listing.h"

#include <dirent.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "common/log.h"
#include "common/page.h"
#include "common/text.h"
#include "queue/queuefile.h"

namespace callvane {

namespace {

const char EMPTY_QUEUE[] = "The page queue is empty.";

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

void print_recipient(const rcpt& r, int64_t now) {
  printf("\t    To: pager=%s", r.pager.c_str());
  if (r.tries != 0) printf(", goodtries/tries=%d/%d", r.goodtries, r.tries);
  if (r.holduntil > now) printf(", holduntil=%s", text_or_empty(time_text(r.holduntil)));
  if (r.flags & F_SENT) fputs(", status=SENT", stdout);
  if (r.flags & F_FAILED) fputs(", status=FAILED", stdout);
  putchar('\n');
}

void print_page(const page& p, int64_t now) {
  const std::string& file = p.filename.value_or("");
  bool bad = !file.empty() && file[0] == BAD_PREFIX;
  printf("ID=%s%s\n", p.messageid.value_or("").c_str(), bad ? " (*** bad page ***)" : "");
  printf("\t  Date: %s\n", text_or_empty(time_text(p.created)));
  printf("\t  File: %s\n", file.c_str());
  printf("\t  From: %s\n", p.from ? p.from->c_str() : "[anonymous]");
  if (p.hostname) printf("\t  Host: %s\n", p.hostname->c_str());
  printf("\tLength: %d bytes\n", p.message ? static_cast<int>(p.message->size()) : 0);
  for (const rcpt& r : p.rcpts) print_recipient(r, now);
}

}  // namespace

int list_queue() {
  int64_t now = time(nullptr);
  std::vector<std::unique_ptr<page>> pages;
  DIR* dir = opendir(".");
  if (dir == nullptr) {
    logmsg(LOG_ERR, "cannot read current directory");
  } else {
    while (struct dirent* entry = readdir(dir)) {
      char first = entry->d_name[0];
      if (first != PENDING_PREFIX && first != BAD_PREFIX) continue;
      if (std::unique_ptr<page> p = read_page(entry->d_name)) pages.push_back(std::move(p));
    }
    closedir(dir);
  }

  if (pages.empty()) {
    // The caller ends the line, as it does after the last block.
    fputs(EMPTY_QUEUE, stdout);
    return 0;
  }
  for (size_t i = 0; i < pages.size(); i++) {
    if (i > 0) putchar('\n');
    print_page(*pages[i], now);
  }
  return static_cast<int>(pages.size());
}

}  // namespace callvane
