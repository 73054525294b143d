// Backups of the head of every image file, and the revert from them.
#pragma once
#include <cstdint>

#include "platform/result.h"

inline constexpr std::uint64_t NB_BACKUP_LENGTH = 0x21000;  // 135,168 bytes

// Copies the first length bytes of the file into "<name>.backup", replacing
// an older backup, and makes the copy durable before returning.
NbResult NbConvertCreateBackupFile(const char* fileName, std::uint64_t length);

// Makes the backup that NbConvertCreateBackupFile just wrote hold the first
// length bytes of the file: copies the file's bytes from the backup's length
// on onto the backup's end, in place (the head stays where it is throughout,
// so a failure or crash leaves a shorter, still valid backup), and makes the
// copy durable before returning. A backup already that long is left alone.
NbResult NbConvertExtendBackupFile(const char* fileName, std::uint64_t length);

// Copies the whole backup back over the start of the file; never shortens or
// creates the file, and leaves the backup in place.
NbResult NbConvertRevertFromBackup(const char* fileName);
