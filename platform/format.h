// Bounded printf-style formatting with the conversions the system's own
// format strings use, printed the same on every host: %d %u %x %X %c %s
// (null prints "(null)"), %I64d and %I64u for 64-bit values, and %p as
// exactly 16 upper-case hex digits. Flags '-' and '0', a width and a
// precision are understood.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/result.h"

// Formats into buffer (size bytes, always zero-terminated when size > 0) and
// returns the length the whole text has, cut or not.
std::size_t NbVFormat(char* buffer, std::size_t size, const char* format, va_list args);
std::size_t NbFormat(char* buffer, std::size_t size, const char* format, ...);

// Formats into a buffer of size bytes, cutting the text to size - 1
// characters. 487 when buffer or format is null; a cut is not an error.
[[nodiscard]] NbResult NbFormatString(char* buffer, std::uint32_t size, const char* format, ...);

// The same, but reports a cut text with 206 (name too long), for names that
// must not be used in a shortened form.
[[nodiscard]] NbResult NbFormatName(char* buffer, std::uint32_t size, const char* format, ...);

// The C library's own formatting into a string, cut at 1023 characters:
// for the texts of findings and reports, not for the system's formats.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string NbText(const char* format, ...);

// A user message on standard output, flushed at once so that it keeps its
// place among the trace lines.
void NbPrint(const char* format, ...);
