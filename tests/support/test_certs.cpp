// Certificates made for a test with the openssl program.
#include "support/test_certs.h"

#include <sys/stat.h>

#include <stdexcept>
#include <vector>

namespace testsupport {

namespace {

const char* const OPENSSL = "/usr/bin/openssl";

void openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{OPENSSL};
  argv.insert(argv.end(), args.begin(), args.end());
  run_result r = run(argv);
  if (r.status != 0) throw std::runtime_error("openssl " + args[0] + ": " + r.err);
}

}  // namespace

test_certs::test_certs() {
  const std::string names = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1";
  auto key_and_request = [&](const std::string& name, const std::string& subject) {
    openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", dir_.file(name + ".key"), "-out", dir_.file(name + ".csr"), "-subj",
             subject});
  };
  auto sign = [&](const std::string& name, const std::string& alt) {
    std::string ext = dir_.write(name + ".ext", alt + "\n");
    openssl({"x509", "-req", "-in", dir_.file(name + ".csr"), "-CA", ca(), "-CAkey",
             dir_.file("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", ext, "-out",
             dir_.file(name + ".pem")});
  };
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", dir_.file("ca.key"), "-out", ca(), "-days", "2", "-subj",
           "/CN=Callvane test CA"});
  key_and_request("terminal", "/CN=localhost");
  sign("terminal", names);
  key_and_request("other", "/CN=pager.example.net");
  sign("other", "subjectAltName=DNS:pager.example.net");
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", rogue_key(), "-out", rogue_cert(), "-days", "2", "-subj", "/CN=localhost",
           "-addext", names});
  for (const char* f : {"ca.pem", "terminal.pem", "terminal.key", "rogue.pem", "rogue.key",
                        "other.pem", "other.key"})
    chmod(dir_.file(f).c_str(), 0644);
}

}  // namespace testsupport
