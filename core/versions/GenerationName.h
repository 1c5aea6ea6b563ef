// Stand-in until the engine's generation-name test lands; then this include is replaced.
#pragma once

#include <string>

namespace KVO_Core {
bool father_son_backup(std::wstring const& name);
}
