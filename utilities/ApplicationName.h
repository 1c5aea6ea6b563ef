// The product's name: the folder and file name of the log and the gettext text domain.
#pragma once

namespace Utilities::config {

inline constexpr char const APPLICATION_NAME[] = "pellimoravin";

}  // namespace Utilities::config
