// Result codes. Every operation returns one of these (0 is success); any other
// value is a host error code passed up unchanged.
#pragma once
#include <cstdint>

using NbResult = std::uint32_t;

inline constexpr NbResult NB_OK = 0;
inline constexpr NbResult NB_FILE_NOT_FOUND = 2;
inline constexpr NbResult NB_PATH_NOT_FOUND = 3;
inline constexpr NbResult NB_ACCESS_DENIED = 5;
inline constexpr NbResult NB_NOT_ENOUGH_MEMORY = 8;
inline constexpr NbResult NB_INVALID_DATA = 13;      // header fault, buffer allocated twice
inline constexpr NbResult NB_WRITE_PROTECT = 19;
inline constexpr NbResult NB_SHARING_VIOLATION = 32;
inline constexpr NbResult NB_FILE_EXISTS = 80;       // create of a name that exists
inline constexpr NbResult NB_NOT_SUPPORTED = 50;     // the host has no such service
inline constexpr NbResult NB_INVALID_PARAMETER = 87;
inline constexpr NbResult NB_DISK_FULL = 112;
inline constexpr NbResult NB_NEGATIVE_SEEK = 131;    // a file position the host cannot take
inline constexpr NbResult NB_ALREADY_EXISTS = 183;   // rename onto a name that exists
inline constexpr NbResult NB_NAME_TOO_LONG = 206;
inline constexpr NbResult NB_INVALID_ADDRESS = 487;  // null pointer, name or buffer
inline constexpr NbResult NB_IO_INCOMPLETE = 996;    // fewer bytes moved than asked
inline constexpr NbResult NB_NAME_NOT_RESOLVED = 1921;  // a link where none may be, or a loop of links
inline constexpr NbResult NB_FILE_INVALID = 1006;    // a name no longer leads to the file the run locked
inline constexpr NbResult NB_UNKNOWN_REVISION = 1305;  // a record in a format this program does not read
inline constexpr NbResult NB_UNTRUSTED_RECORD = 1307;  // a journal or backup found on disk that is not provably ours
inline constexpr NbResult NB_INCORRECT_SIZE = 1462;  // file object of the wrong size
inline constexpr NbResult NB_TAG_NOT_PRESENT = 2013; // file object without its magic
