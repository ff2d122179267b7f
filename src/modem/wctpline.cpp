// Paging carriers that take messages over WCTP (XML in an HTTPS POST).
#include "modem/wctpline.h"

#include <ctime>

#include "common/curl_loader.h"
#include "common/log.h"
#include "common/settings.h"
#include "common/signals.h"
#include "common/text.h"

namespace callvane {

namespace {

constexpr long HTTP_OK = 200;
constexpr const char* CONTENT_TYPE = "Content-Type: text/xml; charset=utf-8";
// Without it, curl waits for a "100 Continue" that many servers never send.
constexpr const char* NO_EXPECT = "Expect:";
constexpr const char* PROTOCOLS = "http,https";
constexpr const char* HTTPS_PORT = "443";
constexpr const char* HTTP_PORT = "80";

// Only made once libcurl is loaded, so the table is there to free them.
struct easy_free {
  void operator()(CURL* c) const { curl()->easy_cleanup(c); }
};
struct slist_free {
  void operator()(curl_slist* l) const { curl()->slist_free_all(l); }
};
struct curlu_free {
  void operator()(CURLU* u) const { curl()->url_cleanup(u); }
};
struct curl_text_free {
  void operator()(char* text) const { curl()->free(text); }
};

// The answer as it arrives, refused once it grows past the bound.
struct answer_buffer {
  std::string body;
  bool oversized = false;
};

size_t take_answer(char* data, size_t size, size_t count, void* user) {
  auto& answer = *static_cast<answer_buffer*>(user);
  size_t n = size * count;
  if (answer.body.size() + n > WCTP_ANSWER_MAX) {
    answer.oversized = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  answer.body.append(data, n);
  return n;
}

// "HOST:PORT" for log lines, with the scheme's port when the URL has none.
std::string shown_address(const net_device& where) {
  net_device shown = where;
  if (shown.port.empty()) shown.port = where.tls ? HTTPS_PORT : HTTP_PORT;
  return net_device_text(shown);
}

// The URL with its host replaced by `name`, so that the certificate is
// checked (and SNI sent) for that name; nullopt when it cannot be made.
std::optional<std::string> url_for_name(const curl_api& api, const std::string& url,
                                        const std::string& name) {
  std::unique_ptr<CURLU, curlu_free> parsed(api.url());
  char* text = nullptr;
  if (!parsed || api.url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      api.url_set(parsed.get(), CURLUPART_HOST, name.c_str(), 0) != CURLUE_OK ||
      api.url_get(parsed.get(), CURLUPART_URL, &text, 0) != CURLUE_OK)
    return std::nullopt;
  std::unique_ptr<char, curl_text_free> owned(text);
  return std::string(text);
}

// The page's sender as TAP log lines show it.
std::string sender_of(const job& j) {
  const page& pg = *j.page;
  if (pg.from) return *pg.from;
  if (j.service->identfrom && pg.ident) return *pg.ident;
  return "[anonymous]";
}

// The recipient's number (from 1) among the page's recipients by name: the
// same on every run, although each rewrite of a queue file reverses their
// order, so that a carrier never sees one message id for two recipients.
int number_of(const job& j) {
  int n = 1;
  for (const rcpt& r : j.page->rcpts)
    if (r.pager < j.rcpt->pager) n++;
  return n;
}

// Only called with a handle, so libcurl is loaded.
template <typename T>
bool set(CURL* handle, CURLoption option, T value) {
  return curl()->easy_setopt(handle, option, value) == CURLE_OK;
}

// One carrier's WCTP interface, one POST per job over a kept connection.
class wctp_line : public delivery_line {
 public:
  wctp_line(const service& svc, const modem& mdm, net_device where)
      : svc_(svc), mdm_(mdm), where_(std::move(where)), shown_(shown_address(where_)) {}
  ~wctp_line() override { close(); }

  bool open() override {
    if (set_up()) return true;
    logmsg(LOG_ERR, "cannot set up WCTP to %s for service %s", shown_.c_str(), svc_.name.c_str());
    close();
    return false;
  }
  // A carrier that cannot be reached counts as a call without carrier.
  unsigned open_failure() const override { return F_NOCARRIER; }
  // WCTP has no session: the account goes with every request.
  unsigned log_in() override { return 0; }
  job_outcome send(const job& j) override;
  void log_out() override {}
  void close() override {
    handle_.reset();
    headers_.reset();
    connect_to_.reset();
  }

 private:
  bool set_up();
  // Posts `request`; false (after the log line) when no HTTP answer came.
  bool post(const std::string& request, long& status, std::string& body);

  const service& svc_;
  const modem& mdm_;
  net_device where_;
  std::string shown_;
  std::unique_ptr<CURL, easy_free> handle_;
  std::unique_ptr<curl_slist, slist_free> headers_;
  std::unique_ptr<curl_slist, slist_free> connect_to_;
  answer_buffer answer_;
  char error_[CURL_ERROR_SIZE] = "";
};

bool wctp_line::set_up() {
  // Without libcurl (logged once by the loader) the carrier counts as unreachable.
  const curl_api* api = curl();
  if (api == nullptr) return false;
  handle_.reset(api->easy_init());
  CURL* h = handle_.get();
  if (h == nullptr) return false;
  std::string url = where_.url;
  if (mdm_.servername && where_.tls) {
    // The request names the certificate's host and the connection still
    // goes to the URL's: "any host, any port" to our host, same port.
    std::optional<std::string> named = url_for_name(*api, url, *mdm_.servername);
    if (!named) return false;
    url = *named;
    std::string target =
        where_.host.find(':') != std::string::npos ? "[" + where_.host + "]" : where_.host;
    connect_to_.reset(api->slist_append(nullptr, ("::" + target + ":").c_str()));
    if (!connect_to_ || !set(h, CURLOPT_CONNECT_TO, connect_to_.get())) return false;
  }
  curl_slist* headers = api->slist_append(nullptr, CONTENT_TYPE);
  headers_.reset(headers);
  if (headers == nullptr || api->slist_append(headers, NO_EXPECT) == nullptr) return false;
  const std::string agent = std::string("callvane/") + VERSION;
  bool ok = set(h, CURLOPT_URL, url.c_str()) && set(h, CURLOPT_PROTOCOLS_STR, PROTOCOLS) &&
            set(h, CURLOPT_NOSIGNAL, 1L) && set(h, CURLOPT_CONNECTTIMEOUT, WCTP_CONNECT_SECONDS) &&
            set(h, CURLOPT_TIMEOUT, WCTP_REQUEST_SECONDS) &&
            // Pages go straight to the carrier, whatever the environment says.
            set(h, CURLOPT_PROXY, "") && set(h, CURLOPT_SSL_VERIFYPEER, 1L) &&
            set(h, CURLOPT_SSL_VERIFYHOST, 2L) &&
            set(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) &&
            set(h, CURLOPT_HTTPHEADER, headers_.get()) &&
            set(h, CURLOPT_USERAGENT, agent.c_str()) &&
            set(h, CURLOPT_WRITEFUNCTION, take_answer) && set(h, CURLOPT_WRITEDATA, &answer_) &&
            set(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(WCTP_ANSWER_MAX)) &&
            set(h, CURLOPT_ERRORBUFFER, error_);
  // The modem's CA file replaces the system's trust store.
  if (ok && mdm_.cafile)
    ok = set(h, CURLOPT_CAINFO, mdm_.cafile->c_str()) &&
         set(h, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  if (ok && verbose())
    logmsg(LOG_DEBUG, "WCTP to %s, service=%s", shown_.c_str(), svc_.name.c_str());
  return ok;
}

bool wctp_line::post(const std::string& request, long& status, std::string& body) {
  const curl_api& api = *curl();  // loaded: the line is open
  CURL* h = handle_.get();
  answer_ = {};
  error_[0] = '\0';
  CURLcode result = CURLE_FAILED_INIT;
  if (set(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.size())) &&
      set(h, CURLOPT_POSTFIELDS, request.c_str())) {
    sigpipe_blocked quiet;  // a carrier that went away must not end the run
    result = api.easy_perform(h);
  }
  if (result == CURLE_OK && api.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
    body = std::move(answer_.body);
    return true;
  }
  const char* why = error_[0] != '\0' ? error_ : api.easy_strerror(result);
  if (answer_.oversized || result == CURLE_FILESIZE_EXCEEDED)
    logmsg(LOG_NOTICE, "answer from %s over %zu bytes, refused", shown_.c_str(), WCTP_ANSWER_MAX);
  else if (result == CURLE_COULDNT_CONNECT || result == CURLE_COULDNT_RESOLVE_HOST)
    logmsg(LOG_NOTICE, "cannot connect to %s: %s", shown_.c_str(), why);
  else if (result == CURLE_OPERATION_TIMEDOUT)
    logmsg(LOG_NOTICE, "no answer from %s in time: %s", shown_.c_str(), why);
  else if (result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CONNECT_ERROR ||
           result == CURLE_SSL_CACERT_BADFILE || result == CURLE_SSL_CERTPROBLEM)
    logmsg(LOG_NOTICE, "TLS with %s failed: %s", shown_.c_str(), why);
  else
    logmsg(LOG_NOTICE, "exchange with %s failed: %s", shown_.c_str(), why);
  return false;
}

job_outcome wctp_line::send(const job& j) {
  wctp_submit submit = wctp_submit_for(j, mdm_, time(nullptr));
  const std::string from = sender_of(j);
  const char* id = submit.message_id.c_str();
  const char* to = j.rcpt->pager.c_str();
  if (j.service->maxmsgsize <= 0) {
    // A maxmsgsize that leaves no room is the service's fault, as for TAP.
    logmsg(LOG_ERR, "maxmsgsize too small");
    return {job_outcome::refused};
  }
  if (debug >= 1) logmsg(LOG_DEBUG, "sending <%s>", safe_string(wctp_submit_request(submit, true)));

  long status = 0;
  std::string body;
  if (!post(wctp_submit_request(submit), status, body)) {
    logmsg(LOG_NOTICE, "page not sent, id=%s, from=%s, to=%s : no usable answer", id, from.c_str(),
           to);
    // The next job starts from a fresh connection.
    job_outcome outcome = wctp_job_outcome(wctp_verdict::retry);
    outcome.line_usable = false;
    return outcome;
  }
  if (debug >= 1) logmsg(LOG_DEBUG, "HTTP %ld <%s>", status, safe_string(body));
  if (status != HTTP_OK) {
    logmsg(LOG_NOTICE, "page not sent, id=%s, from=%s, to=%s : HTTP status %ld from %s", id,
           from.c_str(), to, status, shown_.c_str());
    return wctp_job_outcome(wctp_verdict::retry);
  }
  wctp_answer answer = parse_wctp_answer(body);
  wctp_verdict verdict = judge_wctp_answer(answer);
  std::string text(safe_string(answer.text));
  switch (verdict) {
    case wctp_verdict::delivered:
      logmsg(LOG_NOTICE, "page delivered, id=%s, from=%s, to=%s, code=%d : %s", id, from.c_str(),
             to, answer.code, text.c_str());
      break;
    case wctp_verdict::refused:
      logmsg(LOG_NOTICE, "page failed, id=%s, from=%s, to=%s, code=%d : %s", id, from.c_str(), to,
             answer.code, text.c_str());
      break;
    case wctp_verdict::setup_error:
      logmsg(LOG_ERR,
             "carrier %s refused the gateway's setup, service=%s, code=%d : %s "
             "(check the modem's login, password and device)",
             shown_.c_str(), svc_.name.c_str(), answer.code, text.c_str());
      break;
    case wctp_verdict::retry:
      if (answer.what == wctp_answer::unusable)
        logmsg(LOG_NOTICE, "page not sent, id=%s, from=%s, to=%s : unusable answer from %s: %s", id,
               from.c_str(), to, shown_.c_str(), text.c_str());
      else
        logmsg(LOG_NOTICE, "page not sent, id=%s, from=%s, to=%s, code=%d : %s", id, from.c_str(),
               to, answer.code, text.c_str());
      break;
  }
  return wctp_job_outcome(verdict);
}

}  // namespace

std::unique_ptr<delivery_line> make_wctp_line(const service& svc, const modem& mdm,
                                              net_device where) {
  return std::make_unique<wctp_line>(svc, mdm, std::move(where));
}

wctp_submit wctp_submit_for(const job& j, const modem& mdm, int64_t now) {
  const page& pg = *j.page;
  wctp_submit s;
  s.sender_id = mdm.login.value_or("");
  s.security_code = mdm.password;
  s.message_id = wctp_message_id(pg.messageid.value_or(std::to_string(pg.created)), number_of(j));
  s.recipient_id = j.pager->pagerid.value_or("");
  s.text = carrier_text(j);
  s.submitted = now;
  return s;
}

job_outcome wctp_job_outcome(wctp_verdict verdict) {
  switch (verdict) {
    case wctp_verdict::delivered:
      return {job_outcome::delivered};
    case wctp_verdict::refused:
      // The carrier does not know the pager: trying again cannot help.
      return {job_outcome::refused, 0, true, true};
    case wctp_verdict::setup_error:
      // As a TAP login that failed: counted, and the next job starts anew.
      return {job_outcome::failed, F_UNKNOWN, false};
    case wctp_verdict::retry:
      break;
  }
  return {job_outcome::failed, F_NOCARRIER, true};
}

}  // namespace callvane
