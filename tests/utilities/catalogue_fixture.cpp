#include "catalogue_fixture.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "utilities/Translation.h"

namespace test_support {

void use_build_catalogues(std::string const& language) {
  Utilities::translation::init_locale({});
  auto dir = Utilities::translation::locale_dir();
  ASSERT_FALSE(dir.empty()) << "no catalogues beside the test executable";
  Utilities::translation::init(dir);
  Utilities::translation::set_language(language);
}

std::filesystem::path use_own_catalogue(std::filesystem::path const& dir,
                                        std::string const& language, std::string const& entries) {
  auto locale = dir / "locale";
  auto messages = locale / language / "LC_MESSAGES";
  std::filesystem::create_directories(messages);
  write_file(dir / "own.po",
             "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
             "\"Language: " +
                 language + "\\n\"\n\n" + entries);
  EXPECT_EQ(run("msgfmt -o '" + (messages / "pellimoravin.mo").string() + "' '" +
                (dir / "own.po").string() + "'"),
            0);
  Utilities::translation::init_locale({});
  Utilities::translation::init(locale);
  Utilities::translation::set_language(language);
  return locale;
}

}  // namespace test_support
