// File names taken apart and put together as the host spells them, so that a
// record can name a file relative to its own folder and be carried with it.
#pragma once
#include <cstdint>
#include <string>

#include "platform/result.h"

// A name holds at most 511 characters and its terminating zero.
inline constexpr std::uint32_t NB_NAME_SIZE = 512;

// The name of a file's backup, the file's name followed by ".backup", into a
// buffer of size bytes: 206 when it does not fit, for a name cut short
// could be another file's.
[[nodiscard]] NbResult NbBackupName(const char* fileName, char* out, std::uint32_t size);

// The folder part of a name, without its last separator ("" for a bare name).
std::string NbFolderOf(const std::string& name);
// The last part of a name.
std::string NbLeafOf(const std::string& name);
// folder and name joined; name alone when it is absolute or folder is "".
std::string NbJoinName(const std::string& folder, const std::string& name);
bool NbIsAbsoluteName(const std::string& name);
// name spelled relative to folder, when both are spelled from the same
// place (both absolute, or both relative to the current folder) and
// neither has a "." or ".." part; "" when it cannot be said.
std::string NbRelativeName(const std::string& folder, const std::string& name);
