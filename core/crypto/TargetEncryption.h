// Encryption of sync targets as age files: the preconditions of an item, encrypting, decrypting
// and comparing one file, telling age files apart, scratch names and the texts of results.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "core/crypto/Age.h"

namespace KVO_Core {
class SyncItem;
}  // namespace KVO_Core

namespace KVO_Core::target_encryption {

// None unless the item has encryptTarget; else the translated text of the first precondition
// that fails (two-way, move tracking, remote source, no valid recipient), none when all hold.
std::optional<std::wstring> refusal(SyncItem const& item);

// Encrypts source into target (created or truncated, links not followed) for the configured
// recipient. Failed without recipient, ReadFailed when the source cannot be opened, WriteFailed
// when the target cannot be made or written, Cancelled when progress said stop. A partial target
// is left for the caller to remove.
age::Result encrypt_file(std::filesystem::path const& source, std::filesystem::path const& target,
                         age::Progress const& progress);

// Decrypts with each stored identity, newest first, until one is not the wrong key; WrongKey when
// none fits or there is none. The plain file appears only on Ok (written beside it under a
// ".kvo-part" name, synced, then renamed); on any failure nothing is left behind. An existing
// plain file is never replaced: WriteFailed.
age::Result decrypt_file(std::filesystem::path const& encrypted, std::filesystem::path const& plain,
                         age::Progress const& progress);

// True when the file can be opened and begins with the age v1 version line.
bool encrypted_file(std::filesystem::path const& file);

// {equal, decided}: decided once a stored identity opens the file (or finds it damaged or not
// an age file, which counts as not equal); {false, false} when no identity decides. Writes nothing.
std::pair<bool, bool> holds(std::filesystem::path const& encrypted,
                            std::filesystem::path const& plain);

// A fresh scratch file in the temporary folder, already created empty (mode 0600, exclusively),
// for the caller to fill and remove. Throws std::filesystem::filesystem_error when the temporary
// folder is unknown or no file can be made in it.
std::filesystem::path scratch_file();

// The translated text of a result; empty for Ok and values outside 1..7.
std::wstring message(age::Result result);

}  // namespace KVO_Core::target_encryption
