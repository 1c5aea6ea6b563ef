#include "core/sync/state/SyncStateFile.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "utilities/DurableWrite.h"
#include "utilities/FileTime.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace {

constexpr wchar_t MAGIC[] = L"pellimoravin-sync-state";
constexpr std::size_t MAGIC_LENGTH = sizeof(MAGIC) / sizeof(wchar_t) - 1;
constexpr int NEWEST_VERSION = 2;
// A state of millions of entries stays far below this; anything larger is not ours.
constexpr std::uintmax_t MAX_FILE_BYTES = std::uintmax_t{1} << 30;

struct BadFile : std::runtime_error {
  explicit BadFile(std::wstring const& text)
      : std::runtime_error(Utilities::util::wstring_to_string(text)) {}
};

bool all_digits(std::wstring const& text) {
  if (text.empty() || text.size() > 20) return false;
  for (wchar_t c : text)
    if (c < L'0' || c > L'9') return false;
  return true;
}

// Digits only, no sign, and within 64 bits: a "-1" must not wrap to a huge size.
std::uint64_t unsigned_field(std::wstring const& text) {
  if (!all_digits(text)) throw BadFile(L"not a number: " + text);
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    auto const digit = static_cast<std::uint64_t>(c - L'0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      throw BadFile(L"not a number: " + text);
    value = value * 10 + digit;
  }
  return value;
}

std::int64_t signed_field(std::wstring const& text) {
  bool const negative = !text.empty() && text.front() == L'-';
  std::wstring const digits = negative ? text.substr(1) : text;
  if (!all_digits(digits) || text.size() > 20) throw BadFile(L"not a number: " + text);
  std::uint64_t const magnitude = unsigned_field(digits);
  std::uint64_t const limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
  if (magnitude > limit) throw BadFile(L"not a number: " + text);
  if (negative)
    return magnitude == limit ? std::numeric_limits<std::int64_t>::min()
                              : -static_cast<std::int64_t>(magnitude);
  return static_cast<std::int64_t>(magnitude);
}

std::vector<std::wstring> split_lines(std::wstring const& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t lf = text.find(L'\n'); lf != std::wstring::npos; lf = text.find(L'\n', start)) {
    lines.push_back(text.substr(start, lf - start));
    // The writer escapes every CR: a raw one means the file was rewritten with CRLF line ends.
    if (lines.back().find(L'\r') != std::wstring::npos) throw BadFile(L"line ends with CR");
    start = lf + 1;
  }
  // Every line ends with LF: a piece without one is a file cut short.
  if (start < text.size()) throw BadFile(L"file is truncated");
  return lines;
}

std::wstring header_value(std::wstring const& line, std::wstring const& name) {
  auto const tab = line.find(L'\t');
  if (tab == std::wstring::npos) throw BadFile(L"line has too few fields");
  if (line.compare(0, tab, name) != 0) throw BadFile(L"header line is not " + name);
  return unescape_state_field(line.substr(tab + 1));
}

int version_of(std::wstring const& line) {
  if (line.size() <= MAGIC_LENGTH || line.compare(0, MAGIC_LENGTH, MAGIC) != 0 ||
      line[MAGIC_LENGTH] != L' ')
    throw BadFile(L"not a sync state file");
  std::wstring const text = line.substr(MAGIC_LENGTH + 1);
  std::uint64_t const version = unsigned_field(text);
  if (version > NEWEST_VERSION) throw BadFile(L"written by a newer version of the program");
  if (version == 0) throw BadFile(L"not a number: " + text);
  return static_cast<int>(version);
}

void read_entry(std::wstring const& line, SyncState::Entries& entries) {
  if (line.compare(0, 5, L"link\t") == 0) {
    auto const tab = line.find(L'\t', 5);
    if (tab == std::wstring::npos) throw BadFile(L"line has too few fields");
    FileState entry;
    entry.link_target = unescape_state_field(line.substr(5, tab - 5));
    entries[unescape_state_field(line.substr(tab + 1))] = entry;
    return;
  }
  auto const first = line.find(L'\t');
  auto const second = first == std::wstring::npos ? first : line.find(L'\t', first + 1);
  auto const third = second == std::wstring::npos ? second : line.find(L'\t', second + 1);
  if (third == std::wstring::npos) throw BadFile(L"line has too few fields");
  FileState entry;
  entry.size = unsigned_field(line.substr(0, first));
  entry.source_time = Utilities::file_time::from_unix_nanoseconds(
      signed_field(line.substr(first + 1, second - first - 1)));
  entry.target_time = Utilities::file_time::from_unix_nanoseconds(
      signed_field(line.substr(second + 1, third - second - 1)));
  entries[unescape_state_field(line.substr(third + 1))] = entry;
}

SyncState parse(std::wstring const& text) {
  std::vector<std::wstring> const lines = split_lines(text);
  if (lines.size() < 3) throw BadFile(L"header incomplete");
  version_of(lines[0]);
  SyncState::Entries entries;
  for (std::size_t i = 3; i < lines.size(); ++i) read_entry(lines[i], entries);
  return SyncState(header_value(lines[1], L"source"), header_value(lines[2], L"target"),
                   std::move(entries));
}

void append_time(std::wstring& text, std::filesystem::file_time_type time) {
  text += std::to_wstring(Utilities::file_time::to_unix_nanoseconds(time));
  text += L'\t';
}

}  // namespace

std::wstring escape_state_field(std::wstring const& text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (wchar_t c : text) {
    switch (c) {
      case L'\t':
        escaped += L"\\t";
        break;
      case L'\n':
        escaped += L"\\n";
        break;
      case L'\r':
        escaped += L"\\r";
        break;
      case L'\\':
        escaped += L"\\\\";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::wstring unescape_state_field(std::wstring const& text) {
  std::wstring plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    wchar_t const next = text[++i];
    plain += next == L'n' ? L'\n' : next == L'r' ? L'\r' : next == L't' ? L'\t' : next;
  }
  return plain;
}

std::wstring sync_state_text(SyncState const& state) {
  bool has_link = false;
  for (auto const& entry : state.entries)
    if (entry.second.link_target) has_link = true;
  std::wstring text = std::wstring(MAGIC) + L" " + (has_link ? L"2" : L"1") + L"\n";
  text += L"source\t" + escape_state_field(state.source) + L"\n";
  text += L"target\t" + escape_state_field(state.target) + L"\n";
  for (auto const& [key, entry] : state.entries) {
    if (entry.link_target) {
      text += L"link\t" + escape_state_field(*entry.link_target) + L"\t";
    } else {
      text += std::to_wstring(entry.size) + L"\t";
      append_time(text, entry.source_time);
      append_time(text, entry.target_time);
    }
    text += escape_state_field(key) + L"\n";
  }
  return text;
}

std::optional<SyncState> read_sync_state(std::filesystem::path const& file,
                                         std::wstring const& source_root,
                                         std::wstring const& target_root) {
  std::error_code ec;
  auto const status = std::filesystem::status(file, ec);
  if (ec || !std::filesystem::exists(status)) return std::nullopt;
  try {
    if (!std::filesystem::is_regular_file(status)) throw BadFile(L"not a regular file");
    if (std::filesystem::file_size(file) > MAX_FILE_BYTES) throw BadFile(L"file is too large");
    SyncState state = parse(Utilities::FilesystemUtil::read_utf8_file(file));
    if (state.source == source_root && state.target == target_root) return state;
    Utilities::log_at(Utilities::LogLevel::Info,
                      std::wstring(L"sync state ignored, it belongs to other paths: ") +
                          Utilities::from_path(file));
    return std::nullopt;
  } catch (std::exception const& e) {
    Utilities::log_at(Utilities::LogLevel::Warning,
                      Utilities::translation::translate("sync_state_not_readable"),
                      Utilities::from_path(file), Utilities::util::string_to_wstring(e.what()));
    return std::nullopt;
  }
}

bool write_sync_state(std::filesystem::path const& file, SyncState const& state) {
  try {
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    Utilities::FilesystemUtil::replace_file_durably(
        file, Utilities::util::wstring_to_string(sync_state_text(state)));
    return true;
  } catch (std::exception const& e) {
    Utilities::log_at(Utilities::LogLevel::Error,
                      Utilities::translation::translate("sync_state_not_writable"),
                      Utilities::from_path(file), Utilities::util::string_to_wstring(e.what()));
    return false;
  }
}

}  // namespace KVO_Core
