// A local copy onto a staging name whose files stay open for the steps before it is placed.
#pragma once

#include <sys/stat.h>

#include "platform/FileDescriptor.h"

namespace KVO_Core {

struct StagedCopy {
  platform::FileDescriptor source;   // may come open from the read check; closed by the copy
  struct stat source_status {};      // fstat of source when it was opened
  platform::FileDescriptor written;  // the staging file, open once the copy is done
  // The bytes written were read back and equal all source_status.st_size bytes read.
  bool verified = false;
};

}  // namespace KVO_Core
