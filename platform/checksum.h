// CRC-32 as the version 6 records store it (reflected polynomial 0xEDB88320,
// start 0xFFFFFFFF, no final inversion: CRC-32/JAMCRC), and 64-bit identifiers
// made from fresh GUIDs.
#pragma once
#include <cstdint>

#include "platform/host.h"

std::uint32_t NbCrc32(const void* data, std::uint32_t length);
std::uint32_t NbCrc32Update(const void* data, std::uint32_t length, std::uint32_t value);
// The running value after length zero bytes, without passing them: the
// register is linear, so NbCrc32Update over A then B equals
// NbCrc32Shift(NbCrc32Update(A, v), |B|) ^ NbCrc32Update(B, 0), and a CRC
// already known for B stands in for reading B again.
std::uint32_t NbCrc32Shift(std::uint32_t value, std::uint64_t length);
// One table lookup per byte: the reference the faster NbCrc32Update must match.
std::uint32_t NbCrc32UpdateBytewise(const void* data, std::uint32_t length, std::uint32_t value);

// Data1 in bits 63..32, Data2 in 31..16, Data3 in 15..0.
std::uint64_t NbIdentifierFromGuid(const HostGuid& guid);
std::uint64_t NbCreateIdentifier();
