// Translation of message ids through gettext (text domain "pellimoravin", UTF-8), with the
// positional arguments %1..%9, the language switch and the check that the catalogue belongs
// to this build. Ids without a translation come back unchanged and are reported once.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

namespace Utilities::translation {

// Sets the locale from the environment. When the messages locale is then "C" or "POSIX": if the
// environment names no language (LANGUAGE, LC_ALL, LC_MESSAGES and LANG unset, or "C"), the
// first of `fallbacks` the system accepts; otherwise, and when none is accepted, LC_MESSAGES
// "C.UTF-8" so catalogues still apply, with LANGUAGE set to the language of a locale that was
// asked for but is not installed (unless LANGUAGE was set).
void init_locale(std::span<char const* const> fallbacks);
// The folder "locale" beside the executable; empty when it is not a directory.
std::filesystem::path locale_dir();
// Binds the text domain to `directory` (unless empty) and remembers LANGUAGE. Call once, early.
void init(std::filesystem::path const& directory);
// Sets LANGUAGE (empty: the value found by init, or none); English when no catalogue fits.
// Safe against lookups on other threads.
void set_language(std::string const& language);

std::string translate_utf8(char const* id);
std::string translate_utf8(char const* id, std::initializer_list<std::string> args);
std::wstring translate(char const* id);
std::wstring translate(char const* id, std::initializer_list<std::wstring> args);

// A warning text when the loaded catalogue's "catalogue_stamp" is not this build's stamp;
// nothing when it is, or when no catalogue is loaded.
std::optional<std::wstring> catalogue_mismatch();
// The "Language: " field of the loaded catalogue's header; empty when there is none.
std::string catalogue_language();

}  // namespace Utilities::translation
