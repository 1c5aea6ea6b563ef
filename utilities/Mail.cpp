#include "utilities/Mail.h"

#include <signal.h>
#include <time.h>

#include <exception>

#include "utilities/Codecs.h"
#include "utilities/SmtpSession.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace Utilities {

namespace {

constexpr std::uint16_t IMPLICIT_TLS_PORT = 465;
constexpr std::size_t BODY_CHUNK = 57;  // 76 Base64 characters per line

// A write to a server that has closed must fail, not end the process.
void ignore_default_sigpipe() {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
      !(current.sa_flags & SA_SIGINFO))
    signal(SIGPIPE, SIG_IGN);
}

bool has_line_break(std::string const& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

std::string date_header() {
  static char const* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static char const* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  char buf[64];
  snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[utc.tm_wday], utc.tm_mday,
           months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return buf;
}

std::string message_text(std::string const& from, std::string const& to, std::string const& subject,
                         std::string const& body) {
  std::string text = "From: <" + from + ">\r\nTo: <" + to + ">\r\nSubject: =?UTF-8?B?" +
                     base64::encoded(subject) + "?=\r\nDate: " + date_header() +
                     "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                     "Content-Transfer-Encoding: base64\r\n\r\n";
  for (std::size_t at = 0; at < body.size(); at += BODY_CHUNK)
    text += base64::encoded(std::string_view(body).substr(at, BODY_CHUNK)) + "\r\n";
  return text;
}

// The dialogue after connecting; false leaves the session's error text.
bool converse(SmtpSession& s, SmtpAccount const& account, std::string const& host,
              std::string const& from, std::string const& to, std::string const& subject,
              std::string const& body, bool& unencrypted) {
  if (account.port == IMPLICIT_TLS_PORT) {
    if (!s.enable_tls() || !s.reply(220) || !s.ehlo()) return false;
  } else {
    int code = 0;
    if (!s.reply(220) || !s.ehlo() || !s.put("STARTTLS") || !s.read_reply(code)) return false;
    if (code == 220) {
      if (!s.enable_tls() || !s.ehlo()) return false;
    } else if (account.password.empty()) {
      unencrypted = true;
    } else {
      s.set_error(translation::translate_utf8("smtp_no_starttls", {host}) + s.last_line());
      return false;
    }
  }
  if (!account.user.empty()) {
    if (!s.put("AUTH LOGIN") || !s.reply(334)) return false;
    if (!s.put(base64::encoded(util::wstring_to_string(account.user))) || !s.reply(334))
      return false;
    if (!s.put(base64::encoded(util::wstring_to_string(account.password))) || !s.reply(235)) {
      s.set_error(translation::translate_utf8("smtp_login_rejected", {host}));
      return false;
    }
  }
  if (!s.put("MAIL FROM:<" + from + ">") || !s.reply_ok()) return false;
  if (!s.put("RCPT TO:<" + to + ">") || !s.reply_ok()) return false;
  if (!s.put("DATA") || !s.reply(354)) return false;
  if (!s.put(message_text(from, to, subject, body) + "\r\n.") || !s.reply_ok()) return false;
  s.put("QUIT");
  return true;
}

}  // namespace

MailResult send_mail(SmtpAccount const& account, std::wstring const& to,
                     std::wstring const& subject, std::string const& body) {
  if (account.server.empty() || account.from.empty())
    return {translation::translate_utf8("smtp_not_configured"), false};
  if (to.empty()) return {translation::translate_utf8("smtp_no_recipient"), false};
  try {
    std::string host = util::wstring_to_string(account.server);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    std::string from = util::wstring_to_string(account.from);
    std::string to_utf8 = util::wstring_to_string(to);
    std::string subject_utf8 = util::wstring_to_string(subject);
    // A line break would let a value start a command or header of its own.
    if (has_line_break(host) || has_line_break(from) || has_line_break(to_utf8) ||
        has_line_break(subject_utf8))
      return {translation::translate_utf8("smtp_line_break_refused"), false};
    ignore_default_sigpipe();
    SmtpSession session(host);
    bool unencrypted = false;
    if (session.connect(account.port) &&
        converse(session, account, host, from, to_utf8, subject_utf8, body, unencrypted))
      return {"", unencrypted};
    return {session.error(), false};
  } catch (std::exception const& e) {
    return {e.what(), false};
  }
}

}  // namespace Utilities
