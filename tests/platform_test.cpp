// Checksums, identifiers, file objects, share modes, buffers and the host's
// error codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/buffer.h"
#include "platform/checksum.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/host_errors.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"

namespace {

// Bit by bit, straight from the polynomial: independent of the tables.
std::uint32_t SlowCrc(const std::uint8_t* p, std::size_t n, std::uint32_t value) {
    for (std::size_t i = 0; i < n; ++i) {
        value ^= p[i];
        for (int k = 0; k < 8; ++k) value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
    }
    return value;
}

TEST(Crc, CheckValuesOfJamCrc) {
    EXPECT_EQ(NbCrc32("123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(NbCrc32("abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(NbCrc32("", 0), 0xFFFFFFFFu);
    const std::uint8_t zero = 0;
    EXPECT_EQ(NbCrc32Update(&zero, 1, 0), 0u);
    EXPECT_EQ(NbCrc32Update("x", 0, 0x12345678u), 0x12345678u);
}

TEST(Crc, ChainingAtEverySplitEqualsOneCallAndTheBitwiseSum) {
    Bytes data(203);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    const auto n = static_cast<std::uint32_t>(data.size());
    const std::uint32_t whole = NbCrc32(data.data(), n);
    EXPECT_EQ(whole, SlowCrc(data.data(), n, 0xFFFFFFFFu));
    for (std::uint32_t split = 0; split <= n; ++split) {
        const std::uint32_t first = NbCrc32Update(data.data(), split, 0xFFFFFFFFu);
        EXPECT_EQ(NbCrc32Update(data.data() + split, n - split, first), whole) << split;
        // Every start offset and length through the fast path, against the slow sum.
        EXPECT_EQ(NbCrc32Update(data.data() + split, n - split, 0x5A5A5A5Au),
                  SlowCrc(data.data() + split, n - split, 0x5A5A5A5Au)) << split;
    }
}

TEST(Identifier, FirstThreeGuidFieldsReadAsOneNumber) {
    EXPECT_EQ(NbIdentifierFromGuid({0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0}}),
              0x1122334455667788ull);
    const std::uint64_t top = NbIdentifierFromGuid({0x80000000, 0x0000, 0x4000, {}});
    EXPECT_EQ(top, 0x8000000000004000ull);
    char text[32];
    NbFormatString(text, sizeof text, "%I64d", top);
    EXPECT_STREQ(text, "-9223372036854759424");
}

TEST(Identifier, NewOnesDifferAndStayNonZeroWithoutAGuidSource) {
    const std::uint64_t a = NbCreateIdentifier(), b = NbCreateIdentifier();
    EXPECT_NE(a, b);
    FaultHost fault;
    ScopedHost scope(fault);
    fault.Plan({1, HostCall::CreateGuid, FaultKind::Error, 5});
    const std::uint64_t c = NbCreateIdentifier();
    fault.Plan({2, HostCall::CreateGuid, FaultKind::Error, 5});
    const std::uint64_t d = NbCreateIdentifier();
    EXPECT_TRUE(fault.Fired());
    EXPECT_NE(c, 0u);
    EXPECT_NE(d, 0u);
    EXPECT_NE(c, d);
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        Bytes content(4196);
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i % 251);
        WriteBytes(name_, content);
    }
    TempDir dir_;
    std::string name_ = dir_ / "f";
};

TEST_F(FileTest, CreateRefusesBadArgumentsAndOpensNothing) {
    NbFileObject* held = reinterpret_cast<NbFileObject*>(&held);  // any non-null pointer
    struct Row { NbFileObject** slot; const char* name; std::uint32_t access, share; NbResult code; };
    NbFileObject* empty = nullptr;
    const Row rows[] = {
        {nullptr, name_.c_str(), 1, 1, 487}, {&held, name_.c_str(), 1, 1, 487}, {&empty, nullptr, 1, 1, 487},
        {&empty, name_.c_str(), 4, 1, 87},   {&empty, name_.c_str(), 1, 7, 87},
    };
    FaultHost counter;
    ScopedHost scope(counter);
    NbFileObject* const before = held;
    for (const Row& row : rows) {
        EXPECT_EQ(NbFileObjectCreate(row.slot, row.name, 1, row.access, row.share, 0), row.code);
        EXPECT_EQ(empty, nullptr);
    }
    EXPECT_EQ(held, before);
    EXPECT_EQ(counter.Count(HostCall::Open) + counter.Count(HostCall::PageAlloc), 0u);
}

TEST_F(FileTest, EveryFunctionChecksTheRecordBeforeItsArguments) {
    NbFileObject bad {};
    bad.Magic = 0x2A46624F;
    bad.Size = 32;
    NbFileObject small {};
    small.Magic = NB_FILE_OBJECT_MAGIC;
    small.Size = 16;
    std::uint8_t byte = 0;
    std::uint64_t size = 0;
    const std::pair<NbFileObject*, NbResult> rows[] = {{nullptr, 487}, {&bad, 2013}, {&small, 1462}};
    for (const auto& [record, code] : rows) {
        EXPECT_EQ(NbFileObjectSeek(record, 0), code);
        EXPECT_EQ(NbFileObjectRead(record, nullptr, 1, nullptr), code);
        EXPECT_EQ(NbFileObjectWrite(record, &byte, 1), code);
        EXPECT_EQ(NbFileObjectQuery(record, &size), code);
        EXPECT_EQ(NbFileObjectFlush(record), code);
        EXPECT_EQ(NbFileObjectDestroy(record), code);
    }
}

TEST_F(FileTest, OpenAndCreateFailWithTheHostCodes) {
    NbFileObject* object = nullptr;
    EXPECT_EQ(NbFileObjectCreate(&object, (dir_ / "missing").c_str(), 1, 1, 1, 0), NB_FILE_NOT_FOUND);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(NbFileObjectCreate(&object, name_.c_str(), 0, 2, 1, 0), NB_FILE_EXISTS);
    EXPECT_EQ(object, nullptr);
    for (std::uint32_t access : {1u, 2u, 3u})
        EXPECT_EQ(NbFileObjectCreate(&object, dir_.Path().c_str(), 1, access, 1, 0), NB_ACCESS_DENIED) << access;
    EXPECT_EQ(object, nullptr);
}

TEST_F(FileTest, ShortReadIs996UnlessTheCountIsAskedFor) {
    NbFileObject* object = nullptr;
    ASSERT_EQ(NbFileObjectCreate(&object, name_.c_str(), 1, 1, 1, 0), NB_OK);
    std::uint64_t size = 0;
    EXPECT_EQ(NbFileObjectQuery(object, &size), NB_OK);
    EXPECT_EQ(size, 4196u);
    std::uint8_t buffer[4096];
    EXPECT_EQ(NbFileObjectRead(object, nullptr, 1, nullptr), NB_INVALID_ADDRESS);
    EXPECT_EQ(NbFileObjectWrite(object, nullptr, 1), NB_INVALID_ADDRESS);
    EXPECT_EQ(NbFileObjectQuery(object, nullptr), NB_INVALID_ADDRESS);
    ASSERT_EQ(NbFileObjectSeek(object, 4096), NB_OK);
    EXPECT_EQ(NbFileObjectRead(object, buffer, 4096, nullptr), NB_IO_INCOMPLETE);
    ASSERT_EQ(NbFileObjectSeek(object, 4096), NB_OK);
    std::uint32_t got = 0;
    EXPECT_EQ(NbFileObjectRead(object, buffer, 4096, &got), NB_OK);
    EXPECT_EQ(got, 100u);
    EXPECT_EQ(buffer[99], 4195 % 251);
    EXPECT_EQ(NbFileObjectDestroy(object), NB_OK);
}

TEST_F(FileTest, SecondCreateIs487AndTheFirstFileStaysOpen) {
    CNimbraFile file;
    ASSERT_EQ(file.Create(name_.c_str(), NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0), NB_OK);
    NbFileObject* const first = file.Object();
    EXPECT_EQ(file.Create((dir_ / "other").c_str(), NB_CREATE_NEW, NB_ACCESS_WRITE, NB_SHARE_READ, 0), NB_INVALID_ADDRESS);
    EXPECT_FALSE(Exists(dir_ / "other"));
    EXPECT_EQ(file.Object(), first);
    std::uint8_t byte = 0;
    EXPECT_EQ(file.SeekRead(300, &byte, 1, nullptr), NB_OK);
    EXPECT_EQ(byte, 300 % 251);
    EXPECT_EQ(file.Close(), NB_OK);
    EXPECT_EQ(file.Close(), NB_INVALID_ADDRESS);  // nothing open any more
    EXPECT_EQ(file.Object(), nullptr);
}

TEST_F(FileTest, RenameOntoAnExistingNameChangesNothing) {
    const Bytes other {1, 2, 3};
    WriteBytes(dir_ / "g", other);
    const auto before = Snapshot(dir_.Path());
    EXPECT_EQ(NbFileRename(name_.c_str(), (dir_ / "g").c_str()), NB_ALREADY_EXISTS);
    EXPECT_EQ(Snapshot(dir_.Path()), before);
    EXPECT_EQ(NbFileDelete((dir_ / "missing").c_str()), NB_FILE_NOT_FOUND);
    EXPECT_EQ(NbFileRename(name_.c_str(), (dir_ / "h").c_str()), NB_OK);
    EXPECT_TRUE(Exists(dir_ / "h"));
    EXPECT_FALSE(Exists(name_));
}

struct ShareCase { std::uint32_t holder, second; NbResult code; };
class ShareMode : public FileTest, public ::testing::WithParamInterface<ShareCase> {};

TEST_P(ShareMode, AWriterHoldsTheFileAloneReadersShareIt) {
    CNimbraFile holder, second;
    ASSERT_EQ(holder.Create(name_.c_str(), NB_OPEN_EXISTING, GetParam().holder, NB_SHARE_READ, 0), NB_OK);
    EXPECT_EQ(second.Create(name_.c_str(), NB_OPEN_EXISTING, GetParam().second, NB_SHARE_READ, 0), GetParam().code);
    holder.Close();
    second.Close();
    // Once the holder is gone the lock goes with it.
    EXPECT_EQ(second.Create(name_.c_str(), NB_OPEN_EXISTING, NB_ACCESS_WRITE, NB_SHARE_READ, 0), NB_OK);
}

INSTANTIATE_TEST_SUITE_P(Files, ShareMode, ::testing::Values(
    ShareCase {NB_ACCESS_WRITE, NB_ACCESS_READ, NB_SHARING_VIOLATION},
    ShareCase {NB_ACCESS_WRITE, NB_ACCESS_WRITE, NB_SHARING_VIOLATION},
    ShareCase {NB_ACCESS_READ_WRITE, NB_ACCESS_READ, NB_SHARING_VIOLATION},
    ShareCase {NB_ACCESS_READ, NB_ACCESS_WRITE, NB_SHARING_VIOLATION},
    ShareCase {NB_ACCESS_READ, NB_ACCESS_READ_WRITE, NB_SHARING_VIOLATION},
    ShareCase {NB_ACCESS_READ, NB_ACCESS_READ, NB_OK}));

TEST(Buffer, SecondAllocateIs13AndKeepsTheFirstPages) {
    CNimbraBuffer buffer;
    EXPECT_EQ(buffer.Free(), NB_OK);  // empty: nothing to give back
    ASSERT_EQ(buffer.Allocate(4096, true), NB_OK);
    EXPECT_EQ(buffer.Size, 4096u);
    for (std::uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(buffer.Data[i], 0) << i;
    std::uint8_t* const first = buffer.Data;
    std::memset(first, 0xA5, 4096);
    EXPECT_EQ(buffer.Allocate(100, false), NB_INVALID_DATA);
    EXPECT_EQ(buffer.Data, first);
    EXPECT_EQ(buffer.Size, 4096u);
    EXPECT_EQ(buffer.Data[4095], 0xA5);
    EXPECT_EQ(buffer.Free(), NB_OK);
    EXPECT_EQ(buffer.Data, nullptr);
    EXPECT_EQ(buffer.Free(), NB_OK);
    EXPECT_EQ(NbMemoryFree(nullptr), NB_INVALID_ADDRESS);
}

TEST(Buffer, RefusedOrFailedHostCallsLeaveTheBufferEmpty) {
    FaultHost fault;
    ScopedHost scope(fault);
    CNimbraBuffer buffer;
    fault.Plan({1, HostCall::PageAlloc, FaultKind::Error, NB_NOT_ENOUGH_MEMORY});
    EXPECT_EQ(buffer.Allocate(4096, false), NB_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(buffer.Data, nullptr);
    ASSERT_EQ(buffer.Allocate(4096, false), NB_OK);
    fault.Plan({1, HostCall::PageFree, FaultKind::Error, 487});
    fault.ResetCounts();
    EXPECT_EQ(buffer.Free(), 487u);
    EXPECT_EQ(buffer.Data, nullptr);  // never released twice
    EXPECT_EQ(buffer.Free(), NB_OK);
    EXPECT_EQ(fault.Count(HostCall::PageFree), 1u);
}

TEST(HostErrors, EveryMappedErrnoGivesItsSystemCode) {
    using C = HostErrnoContext;
    struct Row { int error; C context; NbResult code; };
    const Row rows[] = {
        {0, C::General, 0},          {ENOENT, C::General, 2},     {ENOTDIR, C::General, 3},
        {EACCES, C::General, 5},     {EPERM, C::General, 5},      {EISDIR, C::General, 5},
        {ENOMEM, C::General, 8},     {EROFS, C::General, 19},     {EWOULDBLOCK, C::General, 32},
        {EAGAIN, C::General, 32},    {EEXIST, C::General, 80},    {EEXIST, C::Rename, 183},
        {ENOTEMPTY, C::Rename, 183}, {EINVAL, C::General, 87},    {ENOSPC, C::General, 112},
        {EDQUOT, C::General, 112},   {ENAMETOOLONG, C::General, 206}, {EBADF, C::General, 6},
        {EMFILE, C::General, 4},     {ENFILE, C::General, 4},     {EXDEV, C::Rename, 17},
        {EBUSY, C::General, 170},    {EFBIG, C::General, 223},    {ELOOP, C::General, 1921},
        {EIO, C::General, 1117},     {EPIPE, C::General, 31},     {ENOENT, C::Rename, 2},
    };
    for (const Row& row : rows) EXPECT_EQ(NbHostErrorFromErrno(row.error, row.context), row.code) << row.error;
}

}  // namespace
