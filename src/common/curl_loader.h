// libcurl, loaded on first use so that a start that needs no WCTP does without it.
#pragma once

#include <curl/curl.h>

namespace callvane {

// The libcurl functions the program calls, with the library's own types
// (curl_easy_setopt and curl_easy_getinfo stay variadic).
struct curl_api {
  decltype(&::curl_url) url;
  decltype(&::curl_url_set) url_set;
  decltype(&::curl_url_get) url_get;
  decltype(&::curl_url_cleanup) url_cleanup;
  decltype(&::curl_free) free;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_perform) easy_perform;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
};

// The loaded library, or null (after one LOG_ERR line on the first call)
// when it cannot be loaded. Loaded once, kept until exit; thread-safe.
const curl_api* curl();

}  // namespace callvane
