// The scope of a pass over the sync items: the SSH sessions its thread opens are shared and
// closed at its end.
#pragma once

namespace KVO_Core {

// While one exists on a thread (the outermost owns it), every SftpConnection of the thread takes
// a live session of its account from the thread's pool or adds one; the sessions close with it.
// An account whose server could not be reached is not tried again inside the scope: its
// connects fail at once with the first attempt's reason.
class SshSessionScope {
 public:
  SshSessionScope();
  ~SshSessionScope();
  SshSessionScope(SshSessionScope const&) = delete;
  SshSessionScope& operator=(SshSessionScope const&) = delete;

  static bool active();

 private:
  bool owns = false;
};

}  // namespace KVO_Core
