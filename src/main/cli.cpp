#include "main/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/client.h"
#include "common/log.h"
#include "common/messageid.h"
#include "common/privilege.h"
#include "common/sendtime.h"
#include "common/settings.h"
#include "common/signals.h"
#include "common/text.h"
#include "common/textinput.h"
#include "config/groups.h"
#include "main/mail.h"
#include "modem/dispatch.h"
#include "queue/jobs.h"
#include "queue/listing.h"
#include "queue/runner.h"
#include "queue/spool.h"
#include "server/daemon.h"

namespace callvane {

namespace {

// '+' asks glibc for the BSD behaviour: stop at the first non-option.
const char OPTIONS[] = "+a:c:C:df:hil:mp:P:q:Qs:t:v";
const char SERVERS_FILE[] = "/usr/local/etc/callvane.servers";
const char DEFAULT_SERVER[] = "localhost";
const int MAX_EXIT_STATUS = 255;

int error_exit(const char* message) {
  fputs(message, stderr);
  return 255;
}

// True only when every recipient of the page was delivered.
bool all_sent(const page& p) {
  if (p.rcpts.empty()) return false;
  for (const rcpt& r : p.rcpts)
    if ((r.flags & F_SENT) == 0) return false;
  return true;
}

int load_configuration() {
  drop_root();
  if (load_config_and_spool(configfile) != 0) {
    fputs("Error reading configuration file\n", stderr);
    return 255;
  }
  return 0;
}

// The server list of the client: -s, SNPP_SERVER, the servers file, or
// localhost. Returns false after printing a read error.
bool client_servers(const options& opt, std::string& list) {
  if (opt.servers) {
    list = *opt.servers;
    return true;
  }
  if (const char* env = getenv("SNPP_SERVER"); env != nullptr && *env != '\0') {
    list = env;
    return true;
  }
  int fd = open(SERVERS_FILE, O_RDONLY);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) < 0) {
      perror("fstat() failed");
      close(fd);
      return false;
    }
    std::string contents(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = read(fd, contents.data(), contents.size());
    close(fd);
    if (n < 0 || static_cast<size_t>(n) < contents.size()) {
      if (n >= 0) errno = EIO;
      perror("read() failed");
      return false;
    }
    // An empty file names no server; fall back as if it were missing.
    if (contents.find_first_not_of(", :\t\r\n") != std::string::npos) {
      list = contents;
      return true;
    }
  }
  list = DEFAULT_SERVER;
  return true;
}

int run_interactive(options& opt) {
  if (int status = load_configuration()) return status;
  expand_groups(opt.pg);
  if (opt.pg.message) clean_message(*opt.pg.message);
  opt.pg.messageid = new_messageid() + "I";
  job_list jobs;
  add_jobs(jobs, opt.pg);
  send_jobs(jobs);
  closelog();
  // A script must be able to tell that the page did not go out.
  return all_sent(opt.pg) ? 0 : 1;
}

}  // namespace

void print_banner() { fputs("\nCallvane v3.3\n\n", stdout); }

void print_usage(const char* program) {
  print_banner();
  printf("Usage: %s [ options ] [ pagerid ] [ message ]\n", program);
  fputs(
      "\n"
      "Options:\n"
      "    -a [+]hhmm    send the page at the specified time\n"
      "    -c coverage   coverage area (service name) for pager\n"
      "    -C config     use an alternate configuration file\n"
      "    -d            debug mode\n"
      "    -f from       who the page is from\n"
      "    -h            help (this screen)\n"
      "    -i            interactive mode\n"
      "    -l level      level of service\n"
      "    -m            read an e-mail message as client input\n"
      "    -p pager      pager id to recieve the message\n"
      "    -P pager      same as -p but don't reset -[acl]\n"
      "    -q xxx        process the queue every xxx seconds\n"
      "    -Q            show the pages currently in the queue\n",
      stdout);
  printf("    -s server     name of SNPP the server (default=%s)\n", DEFAULT_SERVER);
  fputs(
      "    -v            print callvane version and exit\n"
      "\n",
      stdout);
  fflush(stdout);
}

void add_recipient_list(options& opt, const std::string& list) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(",/:", start);
    if (end == std::string::npos) end = list.size();
    if (end > start) {
      rcpt r;
      r.pager = list.substr(start, end - start);
      r.holduntil = opt.pending_holduntil;
      r.coverage = opt.pending_coverage;
      r.servicelevel = opt.pending_level;
      opt.pg.rcpts.push_front(std::move(r));
    }
    start = end + 1;
  }
}

int parse_options(int argc, char** argv, options& opt) {
  const char* program = argc > 0 ? argv[0] : "callvane";
  optind = 0;  // full re-initialisation, so the parse can run more than once
  bool interactive_given = false;
  int c;
  while ((c = getopt(argc, argv, OPTIONS)) != -1) {
    switch (c) {
      case 'a':
      case 't': {
        int64_t when = parse_sendtime(optarg);
        if (when == -1) {
          fprintf(stderr, "Invalid time: %s\n", optarg);
          return 255;
        }
        opt.pending_holduntil = when;
        opt.modifier_after_recipients = true;
        break;
      }
      case 'c':
        opt.pending_coverage = optarg;
        opt.modifier_after_recipients = true;
        break;
      case 'C':
        configfile = optarg;
        opt.config_given = true;
        break;
      case 'd':
        debug++;
        break;
      case 'f':
        opt.sender = optarg;
        break;
      case 'h':
        print_usage(program);
        return 255;
      case 'i':
        if (opt.daemon) return error_exit("Error: -i not valid with -q option\n");
        interactive = true;
        interactive_given = true;
        opt.daemon = false;
        break;
      case 'l': {
        long level = strtol(optarg, nullptr, 10);
        if (level < 0 || level > 11) return error_exit("Level must be between 0 and 11\n");
        opt.pending_level = static_cast<int>(level);
        opt.modifier_after_recipients = true;
        break;
      }
      case 'm':
        opt.mail_input = true;
        break;
      case 'p':
      case 'P':
        add_recipient_list(opt, optarg);
        if (!opt.pg.rcpts.empty()) opt.have_recipient_option = true;
        opt.modifier_after_recipients = false;
        if (c == 'p') {
          opt.pending_holduntil = 0;
          opt.pending_coverage.reset();
          opt.pending_level = 1;
        }
        break;
      case 'q':
        if (interactive_given) return error_exit("Error: -q not valid with -i option\n");
        opt.interval = atoi(optarg);
        opt.daemon = true;
        break;
      case 'Q':
        opt.list_queue = true;
        break;
      case 's':
        opt.servers = optarg;
        break;
      case 'v':
        print_banner();
        fflush(stdout);
        return 0;
      case '?':
      case ':':
        print_usage(program);
        return 255;
      default:
        return error_exit("Internal program error\n");
    }
  }
  for (int i = optind; i < argc; i++) opt.args.emplace_back(argv[i]);
  return -1;
}

int take_recipients(options& opt, size_t& next_arg) {
  if (!opt.have_recipient_option) {
    if (next_arg < opt.args.size()) add_recipient_list(opt, opt.args[next_arg++]);
    if (opt.pg.rcpts.empty()) return error_exit("No recipients!\n");
  } else if (opt.modifier_after_recipients) {
    return error_exit("The -a, -c and -l options must come *before* the pagerids they affect\n");
  }
  return -1;
}

void choose_sender(options& opt) {
  // -f wins; else the sender a mail gave stands; else the current user.
  if (opt.sender) {
    opt.pg.from = opt.sender;
  } else if (!opt.pg.from) {
    opt.pg.from = current_user();
  }
  if (opt.pg.from && opt.pg.from->empty()) opt.pg.from.reset();
}

int program_main(int argc, char** argv) {
  notty = !isatty(STDIN_FILENO);
  install_signal_handlers();
  open_system_log();

  options opt;
  if (int status = parse_options(argc, argv, opt); status >= 0) return status;

  if (!opt.config_given) {
    configfile = DEFAULT_CONFIGFILE;
  } else if (!interactive && !opt.daemon) {
    return error_exit("Error: -C not allowed in client mode\n");
  }

  if (opt.list_queue) {
    if (int status = load_configuration()) return status;
    int listed = list_queue();
    putchar('\n');
    fflush(stdout);
    // An exit status holds 8 bits; a longer queue must not wrap to "empty".
    return listed > MAX_EXIT_STATUS ? MAX_EXIT_STATUS : listed;
  }
  if (opt.daemon) {
    if (opt.interval != 0) {
      // The port is the first word after the options, cut to 16 bits.
      uint16_t port =
          opt.args.empty() ? 0 : static_cast<uint16_t>(strtoul(opt.args[0].c_str(), nullptr, 10));
      run_daemon(opt.interval, port);
      return 255;
    }
    if (int status = load_configuration()) return status;
    run_queue();
    return 0;
  }

  // Client or interactive mode.
  size_t next_arg = 0;
  if (int status = take_recipients(opt, next_arg); status >= 0) return status;

  if (opt.mail_input) {
    read_mail(opt.pg, opt.sender.has_value());
  } else {
    std::vector<char*> words;
    for (size_t i = next_arg; i < opt.args.size(); i++) words.push_back(opt.args[i].data());
    opt.pg.message = get_message(static_cast<int>(words.size()), words.data());
  }
  if (!opt.pg.message) return error_exit("No message!\n");

  choose_sender(opt);

  if (interactive) return run_interactive(opt);

  std::string servers;
  if (!client_servers(opt, servers)) return 255;
  int result = submit_page(opt.pg, servers);
  closelog();
  return result < 0 ? 255 : result;
}

}  // namespace callvane
