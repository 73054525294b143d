// Checksums, identifiers, file objects (the POSIX host's errno table: platform_posix_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/checksum.h"
#include "platform/file.h"
#include "platform/format.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"

namespace {

TEST(Crc, JamCrcCheckValuesAndChainingAtEverySplit) {
    EXPECT_EQ(NbCrc32("123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(NbCrc32("abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(NbCrc32("", 0), 0xFFFFFFFFu);
    EXPECT_EQ(NbCrc32Update("", 1, 0), 0u);  // one zero byte from 0
    const char text[] = "The quick brown fox jumps over the lazy dog";
    const std::uint32_t n = sizeof text - 1, whole = NbCrc32(text, n);
    EXPECT_EQ(whole, 0xBEB05CC6u);  // the common CRC-32 of this text, 0x414FA339, not inverted
    for (std::uint32_t split = 0; split <= n; ++split)
        EXPECT_EQ(NbCrc32Update(text + split, n - split, NbCrc32Update(text, split, 0xFFFFFFFFu)), whole) << split;
}

TEST(Identifier, FirstThreeGuidFieldsReadAsOneNumberNewOnesDifferEvenWithoutGuids) {
    EXPECT_EQ(NbIdentifierFromGuid({0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0}}),
              0x1122334455667788ull);
    EXPECT_EQ(NbIdentifierFromGuid({0x80000000, 0x0000, 0x4000, {}}), 0x8000000000004000ull);  // prints negative
    EXPECT_NE(NbCreateIdentifier(), NbCreateIdentifier());
    FaultHost fault;  // no GUID from the host: still a new, non-zero identifier
    ScopedHost scope(fault);
    fault.Plan({1, HostCall::CreateGuid, FaultKind::Error, 5});
    EXPECT_TRUE(NbCreateIdentifier() != 0 && fault.Fired());
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override { WriteBytes(name_, Bytes(4196, 7)); }
    TempDir dir_;
    std::string name_ = dir_ / "f";
};

TEST_F(FileTest, BadArgumentsAreRefusedBeforeTheHostIsAskedAndFailuresLeaveNoObject) {
    NbFileObject *empty = nullptr, *held = reinterpret_cast<NbFileObject*>(&held), *const before = held;
    struct Row { NbFileObject** slot; const char* name; std::uint8_t existing; std::uint32_t access, share; NbResult code; };
    const std::string missing = dir_ / "missing", folder = dir_.Path().string(), pipe = MakePipe(dir_ / "pipe");
    ASSERT_NE(pipe, "");
    const char* name = name_.c_str();
    for (const Row& row : {Row {nullptr, name, 1, 1, 1, 487}, Row {&held, name, 1, 1, 1, 487}, Row {&empty, nullptr, 1, 1, 1, 487},
                           Row {&empty, name, 1, 4, 1, 87}, Row {&empty, name, 1, 1, 7, 87}}) {
        FaultHost counter;
        ScopedHost scope(counter);
        EXPECT_EQ(NbFileObjectCreate(row.slot, row.name, row.existing, row.access, row.share, 0), row.code);
        EXPECT_EQ(counter.Count(HostCall::Open) + counter.Count(HostCall::PageAlloc), 0u) << "opened anyway";
    }
    for (const Row& row : {Row {&empty, missing.c_str(), 1, 1, 1, 2}, Row {&empty, name, 0, 2, 1, 80},
                           Row {&empty, folder.c_str(), 1, 1, 1, 5}, Row {&empty, folder.c_str(), 1, 3, 1, 5},
                           Row {&empty, pipe.c_str(), 1, 1, 1, 5}})  // a pipe must not stall the open
        EXPECT_EQ(NbFileObjectCreate(row.slot, row.name, row.existing, row.access, row.share, 0), row.code);
    EXPECT_EQ(empty, nullptr);
    EXPECT_EQ(held, before);
}

TEST_F(FileTest, RenameNeverReplacesAndDeletingNothingIs2) {
    WriteBytes(dir_ / "g", {1, 2, 3});
    const auto before = Snapshot(dir_.Path());
    EXPECT_EQ(NbFileRename(name_.c_str(), (dir_ / "g").c_str()), NB_ALREADY_EXISTS);
    EXPECT_EQ(Snapshot(dir_.Path()), before);
    EXPECT_EQ(NbFileDelete((dir_ / "missing").c_str()), NB_FILE_NOT_FOUND);
}

TEST_F(FileTest, DamagedRecordsShortReadsAndHeldFilesGiveTheirCodes) {
    NbFileObject* object = nullptr;
    ASSERT_EQ(NbFileObjectCreate(&object, name_.c_str(), 1, 1, 1, 0), NB_OK);
    std::uint8_t buffer[4096];
    std::uint32_t got = 0;
    // 100 bytes are left behind offset 4096: short without a count, counted with one.
    ASSERT_EQ(NbFileObjectSeek(object, 4096), NB_OK);
    EXPECT_EQ(NbFileObjectRead(object, buffer, sizeof buffer, nullptr), NB_IO_INCOMPLETE);
    ASSERT_EQ(NbFileObjectSeek(object, 4096), NB_OK);
    EXPECT_EQ(NbFileObjectRead(object, buffer, sizeof buffer, &got), NB_OK);
    EXPECT_EQ(got, 100u);
    EXPECT_EQ(NbFileObjectRead(nullptr, buffer, 1, nullptr), NB_INVALID_ADDRESS);
    object->Size = 16;
    EXPECT_EQ(NbFileObjectQuery(object, reinterpret_cast<std::uint64_t*>(buffer)), NB_INCORRECT_SIZE);
    object->Magic = 0;  // the magic is checked before the size
    EXPECT_EQ(NbFileObjectWrite(object, buffer, 1), NB_TAG_NOT_PRESENT);
    object->Magic = NB_FILE_OBJECT_MAGIC;
    object->Size = NB_FILE_OBJECT_SIZE;
    EXPECT_EQ(NbFileObjectDestroy(object), NB_OK);
    // The run lock belongs to its handle: a second handle, even of this
    // process, is refused with 32 until the first one closes.
    CNimbraFile holder, other, reader;
    ASSERT_EQ(holder.CreateLocked(name_.c_str()), NB_OK);
    EXPECT_EQ(other.CreateLocked(name_.c_str()), NB_SHARING_VIOLATION);
    EXPECT_EQ(other.Object(), nullptr);
    // The lock keeps other lockers out, never this process's own opens.
    ASSERT_EQ(reader.Create(name_.c_str(), 1, 3, 1, 0), NB_OK);
    holder.Close();
    EXPECT_EQ(other.CreateLocked(name_.c_str()), NB_OK);
}

}  // namespace
