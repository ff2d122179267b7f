// The simulator's command line: its options and the per-call fault script.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace callvane::tapsim {

namespace {

const char* const HELP = R"(usage: tapsim [options]

Plays a Hayes modem with a TAP (IXO) paging terminal behind it on a
pseudo-terminal. The slave device path is printed on standard output as the
first line. Point a service's device at it (or at --link) to try a
configuration without hardware. The simulator serves any number of calls in a
row; a call ends when the caller drops DTR (sets the line speed to 0) or
closes the device, whether it does so itself or dies; the line is then idle
again (raw, speed 0) for the next caller.

Where to find it, and for how long:
  --link PATH          make PATH a symbolic link to the slave device
  --path-file FILE     write the slave device path to FILE
  --pid-file FILE      write the process id to FILE (removed at exit)
  --owner USER         give the slave device to USER (default: mode 0666)
  --record FILE        append what happened, one tab-separated line per event:
                         dial CALL NUMBER      login CALL PASSWORD
                         recv CALL PAGERID TEXT   (every block, good checksum)
                         badsum CALL BLOCK        (checksum did not match)
                         block CALL PAGERID TEXT  (block acknowledged)
                         logout CALL              hangup CALL
  --tally FILE         append at the end of every call one tab-separated line:
                         CALL FROM-CALLER TO-CALLER ECHOED
                       the characters that crossed the line each way, and
                       how many of those sent back were the echo of commands
  --listen HOST:PORT   be a terminal on the network instead: take TCP
                       connections on HOST:PORT ([::1]:PORT for IPv6, port 0
                       picks one; the address goes where the device would),
                       one call per connection, with no modem dialogue
  --tls-cert FILE      with --listen: speak TLS with this certificate chain
  --tls-key FILE       ... and this private key (PEM files)
  --lifetime SECONDS   exit by itself after this long (default: never)
  --baud N             pace the line like a serial line at N bits per second
                       (300, 1200, 2400 or any positive value), 10 bits per
                       character: sends one character every 10/N seconds,
                       and reads what the caller sends no faster (default:
                       no pacing, as fast as the pseudo-terminal goes)
  -v, --verbose        trace the traffic on standard error
  -h, --help           this text

Behaviour, scriptable per call. Each option below may be given several times:
the first value applies to the first call (dial), the second to the second
call, and the last value to every later call.
  --echo yes|no              echo commands back (default yes)
  --init-reply TEXT|none     answer to AT commands other than dialling (OK)
  --dial-result TEXT|none    answer to ATD: CONNECT (default), BUSY,
                             "NO DIALTONE", "NO CARRIER", OK, or any text
  --prompt-after N           send the prompt for the Nth CR once connected
                             and every CR after it (default 1; 0 never)
  --prompt TEXT              the login prompt (default "ID=")
  --password TEXT            password the terminal expects (default: any);
                             a wrong one is answered with NAK
  --login-nak N              answer the first N logins with NAK (default 0)
  --login-reply WHAT         then: ack (ACK and ESC [p, default), no-goahead
                             (ACK only), eot (ESC EOT, forced disconnect),
                             nak-eot (NAK and ESC EOT in one line), hangup
                             (NO CARRIER), silence, close (as for blocks)
  --block-nak N              answer the first N sends of a block with NAK
  --block-reply WHAT         then: ack (default), rs, eot, hangup, silence,
                             close (with --listen: close the connection)
  --reason TEXT              send this line before every answer to a block
  --fault-block K            apply --block-nak/--block-reply/--reason only to
                             the Kth block of a call (default 0: every block)
  --logout-rs yes|no         send RS before ESC EOT at logout (default no)
  --garbage N                send N bytes of noise (NULs, bytes with the high
                             bit set, no line end for N > 1023) and a CR
                             before every answer (default 0)
  --chatter STAGE            never stop talking from STAGE on: init (the
                             first command), prompt (after CONNECT), login
                             (instead of answering the login), none (default)
  --reply-delay MS           wait before every answer (default 0)

Blocks with a bad checksum are always answered with NAK. EOT CR logs out:
the terminal answers ESC EOT.

  --gsm                be a GSM modem that sends SMS in text mode instead
                       (AT+CPIN, AT+CREG?, AT+CMGF, AT+CSCS, AT+CMGS); a call
                       lasts from the first command to the hang-up. With
                       --record: cmd CALL COMMAND (a PIN shown as ****),
                       pin CALL ok|wrong, sms CALL NUMBER TEXT (the text
                       decoded from the GSM alphabet), toolong CALL NUMBER
                       TEXT (over 160 septets, refused), hangup CALL;
                       --tally and --baud as for TAP
  --sim-pin PIN        the SIM asks for this PIN until given it; three
                       wrong ones lock it (SIM PUK)
  --refuse NUMBER      answer messages to NUMBER with "+CMS ERROR: 1"
                       (unassigned number); may be given several times
Per call, as above (with --gsm):
  --no-sim yes|no      no SIM in the modem: "+CME ERROR: 10" (default no)
  --creg STAT          the +CREG status reported (default 1, home; 0 not
                       searching, 2 searching, 3 denied, 5 roaming)
  --creg-after N       report home from the (N+1)th AT+CREG? of the call on
  --cms-error CODE     answer every message with "+CMS ERROR: CODE"
  --silent WHAT        answer nothing: all (not a word, no echo), prompt (no
                       "> " after AT+CMGS), send (no answer to the text)
)";

const std::set<std::string> PER_CALL = {
    "echo",      "init-reply",  "dial-result", "prompt-after", "prompt",  "password",
    "login-nak", "login-reply", "block-nak",   "block-reply",  "reason",  "fault-block",
    "logout-rs", "garbage",     "chatter",     "reply-delay",  "sim-pin", "refuse",
    "no-sim",    "creg",        "creg-after",  "cms-error",    "silent"};

// A positive decimal number, else 0.
long positive(const std::string& s) {
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(s.c_str(), &end, 10);
  return errno == 0 && !s.empty() && *end == '\0' && n > 0 ? n : 0;
}

}  // namespace

int usage_error(const char* what) {
  fprintf(stderr, "tapsim: %s (try --help)\n", what);
  return 2;
}

std::optional<int> parse_options(int argc, char** argv, options& opt) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(HELP, stdout);
      return 0;
    }
    if (a == "-v" || a == "--verbose") {
      opt.verbose = true;
      continue;
    }
    if (a == "--gsm") {
      opt.gsm = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) return usage_error(("unknown argument " + a).c_str());
    std::string name = a.substr(2);
    if (i + 1 >= argc) return usage_error(("missing value for " + a).c_str());
    std::string value = argv[++i];
    if (name == "link")
      opt.link = value;
    else if (name == "path-file")
      opt.path_file = value;
    else if (name == "pid-file")
      opt.pid_file = value;
    else if (name == "owner")
      opt.owner = value;
    else if (name == "record")
      opt.record = value;
    else if (name == "listen")
      opt.listen = value;
    else if (name == "tls-cert")
      opt.tls_cert = value;
    else if (name == "tls-key")
      opt.tls_key = value;
    else if (name == "tally")
      opt.tally = value;
    else if (name == "lifetime")
      opt.lifetime = std::atoi(value.c_str());
    else if (name == "baud" && positive(value) > 0)
      opt.baud = positive(value);
    else if (name == "baud")
      return usage_error(("bad value for " + a).c_str());
    else if (PER_CALL.count(name))
      opt.per_call[name].push_back(value);
    else
      return usage_error(("unknown option " + a).c_str());
  }

  return std::nullopt;
}

}  // namespace callvane::tapsim
