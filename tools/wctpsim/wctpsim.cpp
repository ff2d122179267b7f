// A simulated WCTP paging carrier: takes submit requests over HTTP(S), answers as scripted.
#include <expat.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"

namespace wctpsim {

namespace {

const char* const HELP = R"(usage: wctpsim --listen HOST:PORT [options]

Plays a paging carrier's WCTP interface: takes HTTP POSTs of wctp-SubmitRequest
documents, one connection at a time with keep-alive, and answers each with a
wctp-Confirmation, as scripted per recipient id. Prints the bound HOST:PORT,
then "ready", on standard output.

  --listen HOST:PORT      listen there ([::1]:PORT for IPv6; port 0 picks one)
  --tls-cert FILE         speak HTTPS with this certificate chain
  --tls-key FILE          ... and this private key (PEM files)
  --address-file FILE     write the bound HOST:PORT to FILE as well
  --log FILE              append one tab-separated line per event:
                            connect N
                            request conn=N method= path= content-type=
                              version= timestamp= sender= security= msgid=
                              notify= rcpt= text=   (tabs, line ends, \ escaped)
                            bad conn=N WHY        (a request that was no WCTP)
  --answer ID=ACTION      how to answer requests for recipient ID (any number;
                          ID "*" for every other recipient; default accept):
                            accept      wctp-Success 200
                            refuse      wctp-Failure 403
                            setup       wctp-Failure 401
                            code:N      wctp-Failure N
                            status:N    HTTP status N, no WCTP document
                            hang        never answer; wait for the caller to go
                            garbage     HTTP 200 with a body that is not XML
                            oversized   HTTP 200 with a 100 KiB body
                            close       close the connection without an answer
  -h, --help              this text
)";

// A request's head and body are refused beyond these.
constexpr size_t HEAD_MAX = 16 * 1024;
constexpr size_t BODY_MAX = 64 * 1024;
constexpr size_t OVERSIZED = 100 * 1024;
// A kept connection with no new request is closed after this long, and a
// request must arrive whole within it.
constexpr auto IDLE = std::chrono::seconds(10);
// A hanging answer waits at most this long for the caller to give up.
constexpr auto HANG = std::chrono::seconds(120);

struct options {
  std::string listen, cert, key, address_file, log;
  std::map<std::string, std::string> answers;
};

void on_signal(int) { stop_requested = 1; }

// Backslash escapes for tabs, line ends and backslashes, one line per event.
std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\\')
      out += "\\\\";
    else
      out.push_back(c);
  }
  return out;
}

class event_log {
 public:
  explicit event_log(const std::string& path) {
    if (!path.empty()) out_.open(path, std::ios::app);
  }
  void line(const std::string& text) {
    if (out_.is_open()) out_ << text << "\n" << std::flush;
  }

 private:
  std::ofstream out_;
};

// The fields of a submit request, read with expat.
struct request_fields {
  std::map<std::string, std::string> values;
  std::vector<std::string> open;
  bool in_text = false;
};

void on_start(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto& r = *static_cast<request_fields*>(data);
  std::string element(name);
  static const std::map<std::string, std::map<std::string, std::string>> wanted = {
      {"wctp-Operation", {{"wctpVersion", "version"}}},
      {"wctp-SubmitHeader", {{"submitTimestamp", "timestamp"}}},
      {"wctp-Originator", {{"senderID", "sender"}, {"securityCode", "security"}}},
      {"wctp-MessageControl", {{"messageID", "msgid"}, {"notifyWhenDelivered", "notify"}}},
      {"wctp-Recipient", {{"recipientID", "rcpt"}}},
  };
  if (auto found = wanted.find(element); found != wanted.end())
    for (size_t i = 0; attrs[i] != nullptr; i += 2)
      if (auto field = found->second.find(attrs[i]); field != found->second.end())
        r.values[field->second] = attrs[i + 1];
  r.in_text = element == "wctp-Alphanumeric";
  if (r.in_text) r.values["text"];
  r.open.push_back(element);
}

void on_end(void* data, const XML_Char*) {
  auto& r = *static_cast<request_fields*>(data);
  r.open.pop_back();
  r.in_text = false;
}

void on_text(void* data, const XML_Char* s, int len) {
  auto& r = *static_cast<request_fields*>(data);
  if (r.in_text) r.values["text"].append(s, static_cast<size_t>(len));
}

struct parser_free {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

// The request's fields, or nullopt with the reason.
std::optional<request_fields> read_request(const std::string& body, std::string& why) {
  request_fields r;
  std::unique_ptr<XML_ParserStruct, parser_free> parser(XML_ParserCreate(nullptr));
  XML_SetUserData(parser.get(), &r);
  XML_SetElementHandler(parser.get(), on_start, on_end);
  XML_SetCharacterDataHandler(parser.get(), on_text);
  if (XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE) !=
      XML_STATUS_OK) {
    why = std::string("not XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get()));
    return std::nullopt;
  }
  if (!r.values.count("rcpt")) {
    why = "no recipient";
    return std::nullopt;
  }
  return r;
}

std::string http_answer(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Scripted") +
         "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string confirmation(bool success, int code, const std::string& text) {
  const char* kind = success ? "wctp-Success successCode" : "wctp-Failure errorCode";
  const char* text_name = success ? "successText" : "errorText";
  return "<?xml version=\"1.0\"?>\n<wctp-Operation wctpVersion=\"wctp-dtd-v1r1\">"
         "<wctp-Confirmation><" +
         std::string(kind) + "=\"" + std::to_string(code) + "\" " + text_name + "=\"" + text +
         "\"/></wctp-Confirmation></wctp-Operation>\n";
}

// The lower-case value of a header in `head`, or "".
std::string header(const std::string& head, const std::string& name) {
  std::string lower;
  for (char c : head) lower.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
  size_t at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  size_t start = at + name.size() + 3, end = lower.find("\r\n", start);
  std::string value = lower.substr(start, end - start);
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  return value;
}

class carrier {
 public:
  carrier(const options& opt, event_log& log) : opt_(opt), log_(log) {}

  // Serves one connection's requests until it closes; false to end it.
  void serve(connection& conn) {
    number_++;
    log_.line("connect\t" + std::to_string(number_));
    std::string buffer;
    while (!stop_requested && serve_one(conn, buffer)) {
    }
  }

 private:
  bool serve_one(connection& conn, std::string& buffer) {
    auto until = clock::now() + IDLE;
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (buffer.size() > HEAD_MAX || !conn.read_some(buffer, until)) return false;
    }
    std::string head = buffer.substr(0, end + 2);
    std::string length_text = header(head, "content-length");
    size_t length = 0;
    if (length_text.empty() || length_text.size() > 6 ||
        length_text.find_first_not_of("0123456789") != std::string::npos ||
        (length = std::stoul(length_text)) > BODY_MAX) {
      log_.line("bad\tconn=" + std::to_string(number_) + "\tno usable Content-Length");
      conn.write_all(http_answer(400, ""));
      return false;
    }
    while (buffer.size() < end + 4 + length)
      if (!conn.read_some(buffer, until)) return false;
    std::string body = buffer.substr(end + 4, length);
    buffer.erase(0, end + 4 + length);
    size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
    std::string method = head.substr(0, sp1), path = head.substr(sp1 + 1, sp2 - sp1 - 1);

    std::string why;
    std::optional<request_fields> fields = read_request(body, why);
    if (!fields) {
      log_.line("bad\tconn=" + std::to_string(number_) + "\t" + escaped(why));
      return conn.write_all(http_answer(400, ""));
    }
    std::string line = "request\tconn=" + std::to_string(number_) + "\tmethod=" + method +
                       "\tpath=" + escaped(path) + "\tcontent-type=" + header(head, "content-type");
    for (const char* name :
         {"version", "timestamp", "sender", "security", "msgid", "notify", "rcpt", "text"})
      if (auto v = fields->values.find(name); v != fields->values.end())
        line += std::string("\t") + name + "=" + escaped(v->second);
    log_.line(line);
    return answer(conn, fields->values["rcpt"]);
  }

  // Answers as scripted for the recipient; false when the connection ends.
  bool answer(connection& conn, const std::string& rcpt) {
    auto scripted = opt_.answers.find(rcpt);
    if (scripted == opt_.answers.end()) scripted = opt_.answers.find("*");
    std::string action = scripted == opt_.answers.end() ? "accept" : scripted->second;
    if (action == "accept")
      return conn.write_all(http_answer(200, confirmation(true, 200, "Message accepted")));
    if (action == "refuse")
      return conn.write_all(http_answer(200, confirmation(false, 403, "Invalid recipientID")));
    if (action == "setup")
      return conn.write_all(http_answer(200, confirmation(false, 401, "Invalid senderID")));
    if (action.rfind("code:", 0) == 0)
      return conn.write_all(
          http_answer(200, confirmation(false, std::stoi(action.substr(5)), "Scripted failure")));
    if (action.rfind("status:", 0) == 0)
      return conn.write_all(http_answer(std::stoi(action.substr(7)), "scripted status\n"));
    if (action == "garbage")
      return conn.write_all(http_answer(200, "this is no WCTP answer <<<\n"));
    if (action == "oversized") {
      std::string body = "<?xml version=\"1.0\"?>\n<wctp-Operation><!--" +
                         std::string(OVERSIZED, 'x') + "--></wctp-Operation>\n";
      conn.write_all(http_answer(200, body));
      return false;
    }
    if (action == "hang") conn.wait_closed(clock::now() + HANG);
    return false;  // hang and close: the connection ends unanswered
  }

  const options& opt_;
  event_log& log_;
  int number_ = 0;
};

int usage_error(const std::string& why) {
  fprintf(stderr, "wctpsim: %s\n%s", why.c_str(), HELP);
  return 2;
}

// The options, or an exit status for the program.
std::optional<int> parse_options(int argc, char** argv, options& opt) {
  static const std::map<std::string, std::string options::*> paths = {
      {"--listen", &options::listen},
      {"--tls-cert", &options::cert},
      {"--tls-key", &options::key},
      {"--address-file", &options::address_file},
      {"--log", &options::log}};
  for (int i = 1; i < argc; i++) {
    std::string name = argv[i];
    if (name == "-h" || name == "--help") {
      fputs(HELP, stdout);
      return 0;
    }
    if (i + 1 >= argc) return usage_error(name + " wants a value");
    std::string value = argv[++i];
    if (auto p = paths.find(name); p != paths.end()) {
      opt.*(p->second) = value;
    } else if (name == "--answer") {
      size_t eq = value.find('=');
      if (eq == std::string::npos || eq == 0) return usage_error("--answer wants ID=ACTION");
      opt.answers[value.substr(0, eq)] = value.substr(eq + 1);
    } else {
      return usage_error("unknown option " + name);
    }
  }
  if (opt.listen.empty()) return usage_error("--listen is required");
  if (opt.cert.empty() != opt.key.empty())
    return usage_error("--tls-cert and --tls-key go together");
  return std::nullopt;
}

}  // namespace

}  // namespace wctpsim

int main(int argc, char** argv) {
  using namespace wctpsim;
  options opt;
  if (std::optional<int> done = parse_options(argc, argv, opt)) return *done;
  listener carrier_end;
  std::string why;
  if (!carrier_end.listen_on(opt.listen, opt.cert, opt.key, why)) {
    fprintf(stderr, "wctpsim: %s\n", why.c_str());
    return 1;
  }
  if (!opt.address_file.empty()) std::ofstream(opt.address_file) << carrier_end.address() << "\n";
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  printf("%s\nready\n", carrier_end.address().c_str());
  fflush(stdout);

  event_log log(opt.log);
  carrier sim(opt, log);
  while (!stop_requested)
    if (std::unique_ptr<connection> conn = carrier_end.accept_one(200)) sim.serve(*conn);
  return 0;
}
