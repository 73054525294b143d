// Backups of the head of every image file, and the revert from them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

inline constexpr std::uint64_t NB_BACKUP_LENGTH = 0x21000;  // 135,168 bytes

// Copies the first length bytes of the file into "<name>.backup", replacing
// an older backup, gives it the file's owner and permissions, and makes the
// copy durable before returning.
[[nodiscard]] NbResult NbConvertCreateBackupFile(const char* fileName, std::uint64_t length);

// Original bytes that no backup holds, kept to be put back by a revert.
struct NbSavedRange {
    std::uint64_t Offset = 0;
    std::vector<std::uint8_t> Bytes;
};

// The revert of a conversion: the backup is copied over the start of the
// file (which is made again from it when it is missing and the backup holds
// all of it), the saved ranges are put back and the file gets its length
// again; everything is durable when it returns 0. The backup stays, except
// where the copy fails and the backup is the whole file (length bytes, no
// saved ranges): then it is renamed over the file, which needs no space.
// With renameWhole such a backup is renamed at once, without the copy.
[[nodiscard]] NbResult NbConvertRevertFromBackup(const char* fileName, std::uint64_t length,
                                                 const std::vector<NbSavedRange>& saved, bool renameWhole = false);
