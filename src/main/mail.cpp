// PLACEHOLDER until e-mail input lands.
#include "main/mail.h"

#include <cstdio>

namespace callvane {

void read_mail(page&, bool) {
  fputs("e-mail input (-m) is not available in this version\n", stderr);
}
void read_mail(InStream&, page& p, bool have_from) { read_mail(p, have_from); }
std::optional<std::string> read_header(InStream&, bool) { return std::nullopt; }
std::string parse_address(std::string_view) { return {}; }

}  // namespace callvane
