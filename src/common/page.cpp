#include "common/page.h"

namespace callvane {

void free_page(page& p, bool keep) {
  if (keep) {
    page fresh;
    fresh.input = p.input;
    fresh.messageid = std::move(p.messageid);
    fresh.ident = std::move(p.ident);
    fresh.hostname = std::move(p.hostname);
    p = std::move(fresh);
  } else {
    p = page{};
  }
}

}  // namespace callvane
