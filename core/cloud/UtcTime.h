// The UTC time stamps of the web stores' JSON ("2024-05-01T12:30:00Z") and Unix seconds.
#pragma once

#include <cstdint>
#include <string>

namespace KVO_Core::utc_time {

// Unix seconds of the leading "%Y-%m-%dT%H:%M:%S" read as UTC; fractions and a zone suffix are
// ignored. 0 when the text does not start with such a time.
std::int64_t seconds_of(std::string const& text);
// "%Y-%m-%dT%H:%M:%SZ" of the Unix seconds.
std::string text_of(std::int64_t seconds);

}  // namespace KVO_Core::utc_time
