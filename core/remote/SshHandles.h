// Owning handles of libssh objects: each frees its object with the call libssh names for it.
#pragma once

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <memory>

namespace KVO_Core {

namespace ssh_handles {
struct CloseFile {
  void operator()(sftp_file f) const { sftp_close(f); }
};
struct CloseDir {
  void operator()(sftp_dir d) const { sftp_closedir(d); }
};
struct FreeAttributes {
  void operator()(sftp_attributes a) const { sftp_attributes_free(a); }
};
struct FreeStatvfs {
  void operator()(sftp_statvfs_t s) const { sftp_statvfs_free(s); }
};
struct FreeKey {
  void operator()(ssh_key k) const { ssh_key_free(k); }
};
struct FreeText {
  void operator()(char* t) const { ssh_string_free_char(t); }
};
struct FreeSession {
  void operator()(ssh_session s) const { ssh_free(s); }
};
}  // namespace ssh_handles

using SftpFileHandle = std::unique_ptr<sftp_file_struct, ssh_handles::CloseFile>;
using SftpDirHandle = std::unique_ptr<sftp_dir_struct, ssh_handles::CloseDir>;
using SftpAttributesHandle = std::unique_ptr<sftp_attributes_struct, ssh_handles::FreeAttributes>;
using SftpStatvfsHandle = std::unique_ptr<sftp_statvfs_struct, ssh_handles::FreeStatvfs>;
using SshKeyHandle = std::unique_ptr<ssh_key_struct, ssh_handles::FreeKey>;
using SshTextHandle = std::unique_ptr<char, ssh_handles::FreeText>;
using SshSessionHandle = std::unique_ptr<ssh_session_struct, ssh_handles::FreeSession>;

}  // namespace KVO_Core
