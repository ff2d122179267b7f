// Loads libcurl with dlopen on first use and resolves the functions the program calls.
#include "common/curl_loader.h"

#include <dlfcn.h>

#include <string>

#include "common/log.h"

namespace callvane {

namespace {

constexpr const char* LIBCURL = "libcurl.so.4";

// Sets `slot` to the library's `name`; false when the library lacks it.
template <typename F>
bool resolve(void* lib, const char* name, F& slot, std::string& why) {
  dlerror();
  void* symbol = dlsym(lib, name);
  if (symbol == nullptr) {
    const char* reason = dlerror();
    why = reason != nullptr ? reason : std::string("no symbol ") + name;
    return false;
  }
  slot = reinterpret_cast<F>(symbol);
  return true;
}

bool resolve_all(void* lib, curl_api& api, std::string& why) {
  return resolve(lib, "curl_url", api.url, why) && resolve(lib, "curl_url_set", api.url_set, why) &&
         resolve(lib, "curl_url_get", api.url_get, why) &&
         resolve(lib, "curl_url_cleanup", api.url_cleanup, why) &&
         resolve(lib, "curl_free", api.free, why) &&
         resolve(lib, "curl_easy_init", api.easy_init, why) &&
         resolve(lib, "curl_easy_setopt", api.easy_setopt, why) &&
         resolve(lib, "curl_easy_perform", api.easy_perform, why) &&
         resolve(lib, "curl_easy_getinfo", api.easy_getinfo, why) &&
         resolve(lib, "curl_easy_cleanup", api.easy_cleanup, why) &&
         resolve(lib, "curl_easy_strerror", api.easy_strerror, why) &&
         resolve(lib, "curl_slist_append", api.slist_append, why) &&
         resolve(lib, "curl_slist_free_all", api.slist_free_all, why);
}

// The table once loaded, or null. The library stays loaded until exit:
// handles made from it may live as long as the program.
const curl_api* load() {
  static curl_api api;
  std::string why;
  void* lib = dlopen(LIBCURL, RTLD_NOW | RTLD_LOCAL);
  if (lib != nullptr && resolve_all(lib, api, why)) return &api;
  if (lib == nullptr) {
    const char* reason = dlerror();
    why = reason != nullptr ? reason : "dlopen failed";
  }
  logmsg(LOG_ERR, "cannot load libcurl: %s", why.c_str());
  if (lib != nullptr) dlclose(lib);
  return nullptr;
}

}  // namespace

const curl_api* curl() {
  // A function-local static: one load, even when threads ask at once.
  static const curl_api* const loaded = load();
  return loaded;
}

}  // namespace callvane
