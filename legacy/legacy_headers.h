// The header layouts 2, 3 and 4: one layout function per record, fields in
// table order with their byte offsets. Every header lies at offset 0 of its
// file and opens with LegacyHeaderPrefix.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/record_io.h"

struct LegacyHeaderPrefix {
    std::uint8_t Signature[4];   // not interpreted
    std::uint32_t HeaderLength;  // tells layouts 2 and 3 apart
    std::uint64_t Guid;          // which identifier depends on file kind and layout
};

// Header lengths by which detection recognises layouts 2 and 3.
inline constexpr std::uint32_t NB_V2_MAP_HEADER_LENGTH = 32;
inline constexpr std::uint32_t NB_V2_DATA_HEADER_LENGTH = 24;
inline constexpr std::uint32_t NB_V2_METADATA_HEADER_LENGTH = 24;
inline constexpr std::uint32_t NB_V3_MAP_HEADER_LENGTH = 32;
inline constexpr std::uint32_t NB_V3_MAP_EXTENDED_HEADER_LENGTH = 312;
inline constexpr std::uint32_t NB_V3_DATA_HEADER_LENGTH = 24;
inline constexpr std::uint32_t NB_V3_METADATA_HEADER_LENGTH = 34;

struct MapHeaderV2 {
    LegacyHeaderPrefix Prefix;  // Guid: the image's identifier
    std::uint32_t ImageSize;
    std::uint32_t Reserved;
    std::uint64_t DataGuid;
};
inline constexpr std::size_t kMapHeaderV2Size = 32;

struct DataHeaderV2 {
    LegacyHeaderPrefix Prefix;  // Guid: the data file's identifier
    std::uint32_t BlockSize;
    std::uint32_t ImageParameterA;
};
inline constexpr std::size_t kDataHeaderV2Size = 24;

struct MetadataHeaderV2 {
    LegacyHeaderPrefix Prefix;  // Guid: the data file's identifier
    std::uint32_t MetadataAlignment;
    std::uint32_t FileParameterA;
};
inline constexpr std::size_t kMetadataHeaderV2Size = 24;

struct MapHeaderV3 {
    LegacyHeaderPrefix Prefix;  // Guid: the image's identifier
    std::uint16_t MapType;
    std::uint16_t Reserved;
    std::uint32_t ImageSize;
    std::uint64_t DataGuid;
};
inline constexpr std::size_t kMapHeaderV3Size = 32;

struct MapHeaderV3Extended {
    MapHeaderV3 Base;
    std::uint64_t MapReference;
    std::uint32_t MapDataOffset;
    std::uint32_t MapTableSize;
    std::uint32_t MapPageSize;
    char MapText[260];  // ends at its first NUL, or fills the field
};
inline constexpr std::size_t kMapHeaderV3ExtendedSize = 312;

struct DataHeaderV3 {
    LegacyHeaderPrefix Prefix;  // Guid: the data file's identifier
    std::uint32_t BlockSize;
    std::uint32_t Reserved;
};
inline constexpr std::size_t kDataHeaderV3Size = 24;

struct MetadataHeaderV3 {
    LegacyHeaderPrefix Prefix;  // Guid: must be 0
    std::uint32_t ImageParameterA;
    std::uint32_t MetadataAlignment;
    std::uint32_t FileParameterA;
    std::uint32_t FileParameterB;
    std::uint16_t ImageParameterC;
};
inline constexpr std::size_t kMetadataHeaderV3Size = 34;

struct MapHeaderV4 {
    LegacyHeaderPrefix Prefix;  // Guid: the image's identifier
    std::uint32_t Version;
    std::uint16_t MapType;
    std::uint32_t ImageSize;
    std::uint64_t DataGuid;
    std::uint32_t MapDataOffset;
};
inline constexpr std::size_t kMapHeaderV4Size = 38;

struct MapHeaderV4Extended {
    MapHeaderV4 Base;
    std::uint64_t MapReference;
    std::uint32_t MapTableSize;
    std::uint32_t MapPageSize;
    char MapText[256];
};
inline constexpr std::size_t kMapHeaderV4ExtendedSize = 310;

struct DataHeaderV4 {
    LegacyHeaderPrefix Prefix;  // Guid: the data file's identifier
    std::uint32_t Version;
    std::uint32_t BlockSize;
};
inline constexpr std::size_t kDataHeaderV4Size = 24;

struct MetadataHeaderV4 {
    LegacyHeaderPrefix Prefix;  // Guid: the data file's identifier
    std::uint32_t Version;
    std::uint32_t ImageParameterA;
    std::uint32_t MetadataAlignment;
    std::uint32_t FileParameterA;
    std::uint32_t FileParameterB;
    std::uint16_t ImageParameterC;
};
inline constexpr std::size_t kMetadataHeaderV4Size = 38;

template <class IO>
void Layout(IO& io, LegacyHeaderPrefix& h) {
    io.Bytes(0, h.Signature, 4);
    io.U32(4, h.HeaderLength);
    io.U64(8, h.Guid);
}

template <class IO>
void Layout(IO& io, MapHeaderV2& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.ImageSize);
    io.U32(20, h.Reserved);
    io.U64(24, h.DataGuid);
}

template <class IO>
void Layout(IO& io, DataHeaderV2& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.BlockSize);
    io.U32(20, h.ImageParameterA);
}

template <class IO>
void Layout(IO& io, MetadataHeaderV2& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.MetadataAlignment);
    io.U32(20, h.FileParameterA);
}

template <class IO>
void Layout(IO& io, MapHeaderV3& h) {
    Layout(io, h.Prefix);
    io.U16(16, h.MapType);
    io.U16(18, h.Reserved);
    io.U32(20, h.ImageSize);
    io.U64(24, h.DataGuid);
}

template <class IO>
void Layout(IO& io, MapHeaderV3Extended& h) {
    Layout(io, h.Base);
    io.U64(32, h.MapReference);
    io.U32(40, h.MapDataOffset);
    io.U32(44, h.MapTableSize);
    io.U32(48, h.MapPageSize);
    io.Bytes(52, h.MapText, 260);
}

template <class IO>
void Layout(IO& io, DataHeaderV3& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.BlockSize);
    io.U32(20, h.Reserved);
}

template <class IO>
void Layout(IO& io, MetadataHeaderV3& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.ImageParameterA);
    io.U32(20, h.MetadataAlignment);
    io.U32(24, h.FileParameterA);
    io.U32(28, h.FileParameterB);
    io.U16(32, h.ImageParameterC);
}

template <class IO>
void Layout(IO& io, MapHeaderV4& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.Version);
    io.U16(20, h.MapType);
    io.U32(22, h.ImageSize);
    io.U64(26, h.DataGuid);
    io.U32(34, h.MapDataOffset);
}

template <class IO>
void Layout(IO& io, MapHeaderV4Extended& h) {
    Layout(io, h.Base);
    io.U64(38, h.MapReference);
    io.U32(46, h.MapTableSize);
    io.U32(50, h.MapPageSize);
    io.Bytes(54, h.MapText, 256);
}

template <class IO>
void Layout(IO& io, DataHeaderV4& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.Version);
    io.U32(20, h.BlockSize);
}

template <class IO>
void Layout(IO& io, MetadataHeaderV4& h) {
    Layout(io, h.Prefix);
    io.U32(16, h.Version);
    io.U32(20, h.ImageParameterA);
    io.U32(24, h.MetadataAlignment);
    io.U32(28, h.FileParameterA);
    io.U32(32, h.FileParameterB);
    io.U16(36, h.ImageParameterC);
}
