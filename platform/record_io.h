// One description of a packed on-disk record serves both directions: a
// record's layout function names each field with its byte offset, and is run
// with a RecordWriter to encode or a RecordReader to decode.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/endian.h"

class RecordWriter {
public:
    explicit RecordWriter(std::uint8_t* bytes) : bytes_(bytes) {}
    void U16(std::size_t offset, std::uint16_t v) { PutLe16(bytes_, offset, v); }
    void U32(std::size_t offset, std::uint32_t v) { PutLe32(bytes_, offset, v); }
    void U64(std::size_t offset, std::uint64_t v) { PutLe64(bytes_, offset, v); }
    void Bytes(std::size_t offset, const void* v, std::size_t n) { std::memcpy(bytes_ + offset, v, n); }

private:
    std::uint8_t* bytes_;
};

class RecordReader {
public:
    explicit RecordReader(const std::uint8_t* bytes) : bytes_(bytes) {}
    void U16(std::size_t offset, std::uint16_t& v) { v = GetLe16(bytes_, offset); }
    void U32(std::size_t offset, std::uint32_t& v) { v = GetLe32(bytes_, offset); }
    void U64(std::size_t offset, std::uint64_t& v) { v = GetLe64(bytes_, offset); }
    void Bytes(std::size_t offset, void* v, std::size_t n) { std::memcpy(v, bytes_ + offset, n); }

private:
    const std::uint8_t* bytes_;
};

// Encodes a record into its zero-filled byte image of the given size.
template <class Record>
void EncodeRecord(const Record& record, std::uint8_t* out, std::size_t size) {
    std::memset(out, 0, size);
    RecordWriter io(out);
    Layout(io, const_cast<Record&>(record));
}

template <class Record>
Record DecodeRecord(const std::uint8_t* bytes) {
    Record record {};
    RecordReader io(bytes);
    Layout(io, record);
    return record;
}
