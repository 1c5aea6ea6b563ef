#include "utilities/Translation.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <system_error>

#include "pelli/build_stamp.h"
#include "platform/ExecutablePath.h"
#include "utilities/ApplicationName.h"
#include "utilities/Logging.h"
#include "utilities/Placeholders.h"
#include "utilities/Util.h"

namespace Utilities::translation {

namespace {

constexpr char const* DOMAIN = config::APPLICATION_NAME;

// gettext reads LANGUAGE on every lookup; set_language rewrites it. Lookups share this lock,
// the switch takes it alone, so no lookup reads the environment while it changes.
std::shared_mutex language_mutex;

// LANGUAGE as init found it; none when it was unset.
std::optional<std::string> environment_language;

std::mutex reported_mutex;
std::set<std::string> reported_ids;
thread_local bool reporting = false;

std::string header_locked() {
  char const* h = dgettext(DOMAIN, "");
  return h ? h : "";
}

std::string header() {
  std::shared_lock lock(language_mutex);
  return header_locked();
}

// Falls back to English when no catalogue serves the language now set; caller holds the lock
// exclusively.
void select_domain_locked() {
  textdomain(DOMAIN);
  if (header_locked().empty()) {
    setenv("LANGUAGE", "en", 1);
    textdomain(DOMAIN);  // drops gettext's cached lookups
  }
}

void report_missing(char const* id) {
  if (reporting || header().empty()) return;
  bool fresh;
  {
    std::lock_guard lock(reported_mutex);
    fresh = reported_ids.insert(id).second;
  }
  if (!fresh) return;
  struct Reporting {
    Reporting() { reporting = true; }
    ~Reporting() { reporting = false; }
  } guard;
  Logging::instance().log(LogLevel::Warning, L"Übersetzung fehlt: " + util::string_to_wstring(id));
}

bool names_no_language(std::string const& locale) {
  return locale.empty() || locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

// The messages locale the environment asks for: the first of LC_ALL, LC_MESSAGES and LANG that
// is set.
std::string requested_messages_locale() {
  for (char const* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    char const* value = std::getenv(variable);
    if (value && *value) return value;
  }
  return {};
}

// The language part of a locale name as LANGUAGE takes it: "en_US.UTF-8" -> "en_US",
// "sr_RS.UTF-8@latin" -> "sr_RS@latin".
std::string language_of(std::string const& locale) {
  std::size_t const dot = locale.find('.');
  if (dot == std::string::npos) return locale;
  std::size_t const at = locale.find('@', dot);
  return locale.substr(0, dot) + (at == std::string::npos ? "" : locale.substr(at));
}

}  // namespace

void init_locale(std::span<char const* const> fallbacks) {
  std::setlocale(LC_ALL, "");
  char const* messages = std::setlocale(LC_MESSAGES, nullptr);
  if (messages && std::strcmp(messages, "C") != 0 && std::strcmp(messages, "POSIX") != 0) return;
  char const* language = std::getenv("LANGUAGE");
  bool const language_set = language && *language;
  std::string const requested = requested_messages_locale();
  if (!language_set && names_no_language(requested)) {
    for (char const* name : fallbacks)
      if (std::setlocale(LC_ALL, name)) return;
  } else if (!language_set) {
    // The locale asked for is not installed here; its language still is the one to speak.
    setenv("LANGUAGE", language_of(requested).c_str(), 1);
  }
  // glibc ignores LANGUAGE under the "C" messages locale; C.UTF-8 lets the catalogues apply.
  std::setlocale(LC_MESSAGES, "C.UTF-8");
}

std::filesystem::path locale_dir() {
  std::filesystem::path exe = platform::executable_path();
  if (exe.empty()) return {};
  std::filesystem::path dir = exe.parent_path() / "locale";
  std::error_code ec;
  return std::filesystem::is_directory(dir, ec) ? dir : std::filesystem::path();
}

void init(std::filesystem::path const& directory) {
  std::unique_lock lock(language_mutex);
  char const* language = std::getenv("LANGUAGE");
  environment_language = language ? std::optional<std::string>(language) : std::nullopt;
  if (!directory.empty()) bindtextdomain(DOMAIN, directory.c_str());
  bind_textdomain_codeset(DOMAIN, "UTF-8");
  select_domain_locked();
}

void set_language(std::string const& language) {
  std::unique_lock lock(language_mutex);
  std::optional<std::string> wanted =
      language.empty() ? environment_language : std::optional<std::string>(language);
  char const* current = std::getenv("LANGUAGE");
  // Rewrite the environment only when it changes: a reload usually keeps the language.
  if (wanted) {
    if (!current || *wanted != current) setenv("LANGUAGE", wanted->c_str(), 1);
  } else if (current) {
    unsetenv("LANGUAGE");
  }
  select_domain_locked();
}

std::string translate_utf8(char const* id) {
  std::string result;
  bool missing;
  {
    std::shared_lock lock(language_mutex);
    char const* text = dgettext(DOMAIN, id);
    missing = text == id;  // gettext hands back the id itself when it has no translation
    result = text;
  }
  if (missing) report_missing(id);
  return result;
}

std::string translate_utf8(char const* id, std::initializer_list<std::string> args) {
  return substituted(translate_utf8(id), args);
}

std::wstring translate(char const* id) { return util::string_to_wstring(translate_utf8(id)); }

std::wstring translate(char const* id, std::initializer_list<std::wstring> args) {
  return substituted(translate(id), args);
}

std::optional<std::wstring> catalogue_mismatch() {
  if (header().empty()) return std::nullopt;
  if (translate_utf8("catalogue_stamp") == BUILD_STAMP) return std::nullopt;
  std::string directory;
  {
    std::shared_lock lock(language_mutex);
    char const* bound = bindtextdomain(DOMAIN, nullptr);
    directory = bound ? bound : "";
  }
  std::wstring wide_dir = util::string_to_wstring(directory);
  std::wstring text = translate("catalogue_outdated", {wide_dir});
  if (text == L"catalogue_outdated")
    return L"The message catalogue in " + wide_dir +
           L" does not belong to this version of the program; install the locale files of this "
           L"build.";
  return text;
}

std::string catalogue_language() {
  std::string h = header();
  auto start = h.find("Language: ");
  if (start == std::string::npos) return {};
  start += std::strlen("Language: ");
  auto end = h.find('\n', start);
  return h.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace Utilities::translation
