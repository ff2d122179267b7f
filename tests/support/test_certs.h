// Certificates made for a test with the openssl program: a private CA, a
// terminal certificate it signed, and two it would refuse.
#pragma once

#include <string>

#include "support/support.h"

namespace testsupport {

class test_certs {
 public:
  // Makes every file (readable by the user the program drops to); throws
  // when openssl fails.
  test_certs();
  std::string ca() const { return dir_.file("ca.pem"); }
  // Signed by the CA for localhost, 127.0.0.1 and ::1.
  std::string cert() const { return dir_.file("terminal.pem"); }
  std::string key() const { return dir_.file("terminal.key"); }
  // Self-signed, for the same names.
  std::string rogue_cert() const { return dir_.file("rogue.pem"); }
  std::string rogue_key() const { return dir_.file("rogue.key"); }
  // Signed by the CA, but for another name only (pager.example.net).
  std::string other_cert() const { return dir_.file("other.pem"); }
  std::string other_key() const { return dir_.file("other.key"); }

 private:
  temp_dir dir_;
};

}  // namespace testsupport
