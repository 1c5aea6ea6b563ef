#include "core/cloud/dropbox/DropboxArgs.h"

#include <cstdio>

#include "core/cloud/UtcTime.h"
#include "utilities/Util.h"

namespace KVO_Core::dropbox {

namespace {

void append_escape(std::string& out, std::uint32_t unit) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit & 0xFFFF));
  out += escape;
}

}  // namespace

std::string api_path(std::string const& path) {
  std::string out;
  for (std::string const& piece : Utilities::util::split(path, '/')) out += "/" + piece;
  return out;
}

std::string json_text(std::string const& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    auto const lead = static_cast<unsigned char>(text[i++]);
    std::uint32_t code = lead;
    int follow = 0;
    if (lead >= 0xF0) {
      code = lead & 0x07;
      follow = 3;
    } else if (lead >= 0xE0) {
      code = lead & 0x0F;
      follow = 2;
    } else if (lead >= 0xC0) {
      code = lead & 0x1F;
      follow = 1;
    }
    for (; follow > 0 && i < text.size(); --follow)
      code = (code << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code >= 0x20 && code <= 0x7E) {
      out += static_cast<char>(code);
    } else if (code > 0x10FFFF) {
      append_escape(out, 0xFFFD);  // no code point: a lead byte of five or more bytes
    } else if (code > 0xFFFF) {
      code -= 0x10000;
      append_escape(out, 0xD800 + (code >> 10));
      append_escape(out, 0xDC00 + (code & 0x3FF));
    } else {
      append_escape(out, code);
    }
  }
  return out + "\"";
}

std::string path_arg(std::string const& path) {
  return "{\"path\":" + json_text(api_path(path)) + "}";
}

std::string folder_arg(std::string const& path) {
  return "{\"path\":" + json_text(api_path(path)) + ",\"autorename\":false}";
}

std::string move_arg(std::string const& from, std::string const& to) {
  return "{\"from_path\":" + json_text(api_path(from)) + ",\"to_path\":" + json_text(api_path(to)) +
         ",\"autorename\":false}";
}

std::string continue_arg(std::string const& cursor) {
  return "{\"cursor\":" + json_text(cursor) + "}";
}

std::string commit_json(std::string const& path, std::int64_t seconds) {
  return "{\"path\":" + json_text(api_path(path)) +
         ",\"mode\":\"overwrite\",\"mute\":true,\"client_modified\":" +
         json_text(utc_time::text_of(seconds)) + "}";
}

std::string cursor_json(std::string const& session_id, std::uint64_t offset) {
  return "{\"session_id\":" + json_text(session_id) + ",\"offset\":" + std::to_string(offset) + "}";
}

std::string append_arg(std::string const& session_id, std::uint64_t offset) {
  return "{\"cursor\":" + cursor_json(session_id, offset) + ",\"close\":false}";
}

std::string finish_arg(std::string const& session_id, std::uint64_t offset, std::string const& path,
                       std::int64_t seconds) {
  return "{\"cursor\":" + cursor_json(session_id, offset) +
         ",\"commit\":" + commit_json(path, seconds) + "}";
}

}  // namespace KVO_Core::dropbox
