// Translation set up for tests: the build's compiled catalogues, or a small catalogue of a
// test's own compiled with msgfmt.
#pragma once

#include <filesystem>
#include <string>

namespace test_support {

// Binds the build's catalogues (bin/locale) and selects `language`.
void use_build_catalogues(std::string const& language);
// Compiles `entries` (po text after the header) for `language` into `dir`/locale and binds it.
// Returns the bound folder.
std::filesystem::path use_own_catalogue(std::filesystem::path const& dir,
                                        std::string const& language, std::string const& entries);

}  // namespace test_support
