#include "support/fake_phone.h"

#include <sstream>

#include "support/temp_dir.h"

namespace test_support {

namespace {

std::string phone_script() {
  return std::string(PELLI_SOURCE_DIR) + "/tests/support/fake_phone.sh";
}

// The value after "key=" among the words of `out`.
std::string word_value(std::string const& out, std::string const& key) {
  std::istringstream words(out);
  for (std::string word; words >> word;)
    if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
  return {};
}

}  // namespace

FakePhone::FakePhone(std::filesystem::path dir, std::string const& name)
    : dir_(std::move(dir)), name_(name) {
  fingerprint_ = word_value(run_output(phone_script() + " cert " + shell_quoted(dir_.string()) +
                                       " " + name + " 2>/dev/null"),
                            "fingerprint");
}

FakePhone::Exchange FakePhone::tls(std::uint16_t port, std::string const& request,
                                   Options const& options) const {
  std::string const base = (dir_ / (name_ + "-" + std::to_string(++calls_))).string();
  write_file(base + ".request", request);
  std::string command = phone_script() + " tls --host " + options.host + " --port " +
                        std::to_string(port) + " --request " + shell_quoted(base + ".request") +
                        " --out " + shell_quoted(base + ".reply");
  if (options.certificate)
    command += " --cert " + shell_quoted((dir_ / (name_ + ".crt")).string()) + " --key " +
               shell_quoted((dir_ / (name_ + ".key")).string());
  if (options.tls12) command += " --tls12";
  if (options.idle) command += " --idle";
  if (options.trickle > 0) command += " --trickle " + std::to_string(options.trickle);
  if (!options.close_after.empty())
    command += " --close-after " + shell_quoted(options.close_after);
  std::string const out = run_output(command + " 2>/dev/null");
  Exchange exchange;
  exchange.handshake = word_value(out, "handshake") == "ok";
  exchange.server_fingerprint = word_value(out, "peer");
  exchange.reply = read_file(base + ".reply");
  return exchange;
}

std::string FakePhone::raw(std::uint16_t port, std::string const& bytes) const {
  std::string const base = (dir_ / (name_ + "-" + std::to_string(++calls_))).string();
  write_file(base + ".request", bytes);
  run(phone_script() + " raw --port " + std::to_string(port) + " --request " +
      shell_quoted(base + ".request") + " --out " + shell_quoted(base + ".reply") +
      " >/dev/null 2>&1");
  return read_file(base + ".reply");
}

std::string FakePhone::discover(std::uint16_t port, std::string const& datagram,
                                std::string const& host, bool broadcast, double wait) const {
  std::string const base = (dir_ / (name_ + "-" + std::to_string(++calls_))).string();
  write_file(base + ".request", datagram);
  std::string const out = run_output(
      phone_script() + " discover --host " + host + " --port " + std::to_string(port) +
      " --request " + shell_quoted(base + ".request") + (broadcast ? " --broadcast" : "") +
      " --wait " + std::to_string(wait) + " 2>/dev/null");
  auto const at = out.find("reply=");
  if (at == std::string::npos) return {};
  std::string reply = out.substr(at + 6);
  while (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

}  // namespace test_support
