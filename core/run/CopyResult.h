// The outcome of a file transfer; a transfer cut short by a stop request is Cancelled, not Failed.
#pragma once

namespace KVO_Core {

enum class CopyResult : int { Done = 1, Failed = 2, Cancelled = 3 };

}  // namespace KVO_Core
