// Copying the bytes of one local file into a new local file, in chunks of 1 MiB.
#pragma once

#include <cstddef>
#include <string>

#include "core/run/CopyResult.h"
#include "core/sync/transfer/CopyFailure.h"
#include "core/sync/transfer/StagedCopy.h"

namespace KVO_Core {

inline constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 20;

// Creates to exclusively (mode 0600, a link there is not followed) and copies from into it:
// in the kernel where it can (copy_file_range, else sendfile), else through one buffer that is
// allocated only then. After every chunk the running total goes to the progress channel; a stop
// request seen before a chunk is written gives Cancelled. Failed fills failure (the read or
// write reason, or the creation's reason with its text and to). A partial to is left for the
// caller to remove; nothing is logged.
CopyResult block_copy(std::wstring const& from, std::wstring const& to, CopyFailure& failure);

// block_copy onto a staging name, keeping the new file open in copy.written. A leftover regular
// file or link at `to` (of a copy a crash cut short) is removed and the name created once more.
// A source of at most one block passes through one buffer, and what was written is read back
// and compared with it: verified tells whether that settled the copy's content.
CopyResult staged_copy(std::wstring const& from, std::wstring const& to, StagedCopy& copy,
                       CopyFailure& failure);

}  // namespace KVO_Core
