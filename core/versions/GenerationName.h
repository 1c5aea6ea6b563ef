// The engine's test of a generation name, declared here until the engine's header lands.
#pragma once

#include <string>

namespace KVO_Core {
// The name's last ".bak." starts after its first character and is followed by one or more ASCII
// digits and nothing else.
bool father_son_backup(std::wstring const& name);
}  // namespace KVO_Core
