// Checksums, identifiers, file objects (the POSIX host's errno table: platform_posix_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "platform/checksum.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/trace.h"
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
    (void)holder.Close();
    EXPECT_EQ(other.CreateLocked(name_.c_str()), NB_OK);
}

// The test seam, also keeping the trace messages (without their prefix) and
// the names whose folders were asked to be made durable.
class WatchingHost final : public FaultHost {
public:
    std::vector<std::string> Messages, Synced;
    void WriteStandardError(const char* text, std::size_t length) override {
        const std::string piece(text, length);
        if (!piece.ends_with(" Nb: ")) Messages.push_back(piece.substr(0, piece.find("\r\n")));
    }
    NbResult SyncDirectory(const char* fileName) override {
        Synced.emplace_back(fileName);
        return FaultHost::SyncDirectory(fileName);
    }
};

// The index of the first call of a kind in the log after position from, or the log's size.
std::size_t NextCall(const std::vector<HostCall>& log, HostCall kind, std::size_t from = 0) {
    while (from < log.size() && log[from] != kind) ++from;
    return from;
}

class FilePositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < original_.size(); ++i) original_[i] = static_cast<std::uint8_t>(i % 251);
        WriteBytes(name_, original_);
        ASSERT_EQ(NbFileObjectCreate(&object_, name_.c_str(), NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0), NB_OK);
    }
    void TearDown() override { EXPECT_EQ(NbFileObjectDestroy(object_), NB_OK); }
    TempDir dir_;
    std::string name_ = dir_ / "f";
    Bytes original_ = Bytes(1000);
    NbFileObject* object_ = nullptr;
    WatchingHost host_;
    ScopedHost scope_ {host_};
};

TEST_F(FilePositionTest, ReadsAndWritesGoOnWhereTheLastEndedAndPositionedCallsLeaveThePositionAlone) {
    std::uint8_t got[7] = {};
    ASSERT_EQ(NbFileObjectRead(object_, got, 2, nullptr), NB_OK);
    EXPECT_EQ(Bytes(got, got + 2), (Bytes {0, 1})) << "a new object reads from the start";
    const std::size_t calls = host_.Log().size();
    ASSERT_EQ(NbFileObjectSeek(object_, 100), NB_OK);
    EXPECT_EQ(host_.Log().size(), calls) << "a seek asks nothing of the host";
    const std::uint8_t first[] = {0xA1, 0xA2, 0xA3}, second[] = {0xB1, 0xB2}, third[] = {0xC1}, aside[] = {0xEE};
    ASSERT_EQ(NbFileObjectWrite(object_, first, sizeof first), NB_OK);
    ASSERT_EQ(NbFileObjectWrite(object_, second, sizeof second), NB_OK);
    ASSERT_EQ(NbFileObjectWriteAt(object_, 500, aside, sizeof aside), NB_OK);
    ASSERT_EQ(NbFileObjectWrite(object_, third, sizeof third), NB_OK);
    Bytes expected = original_;
    std::copy(std::begin(first), std::end(first), expected.begin() + 100);
    std::copy(std::begin(second), std::end(second), expected.begin() + 103);
    expected[105] = 0xC1;
    expected[500] = 0xEE;
    EXPECT_EQ(ReadBytes(name_), expected);
    ASSERT_EQ(NbFileObjectSeek(object_, 99), NB_OK);
    ASSERT_EQ(NbFileObjectRead(object_, got, 4, nullptr), NB_OK);
    std::uint32_t count = 0;
    ASSERT_EQ(NbFileObjectReadAt(object_, 500, got + 4, 1, &count), NB_OK);
    ASSERT_EQ(NbFileObjectRead(object_, got + 5, 2, nullptr), NB_OK);
    EXPECT_EQ(Bytes(got, got + 7), (Bytes {expected[99], 0xA1, 0xA2, 0xA3, 0xEE, 0xB1, 0xB2}));
    // What the sweep selects by kind: every transfer, positioned or not.
    EXPECT_EQ(host_.Count(HostCall::Read), 4u);
    EXPECT_EQ(host_.Count(HostCall::Write), 4u);
    const std::vector<std::uint64_t> offsets {100, 103, 500, 105};
    ASSERT_EQ(host_.Writes().size(), offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(host_.Writes()[i].Offset, offsets[i]) << i;
}

TEST_F(FilePositionTest, AShortTransferMovesThePositionByWhatMovedOnly) {
    std::uint8_t got[10] = {};
    std::uint32_t count = 0;
    ASSERT_EQ(NbFileObjectSeek(object_, 20), NB_OK);
    host_.Plan({1, HostCall::Read, FaultKind::Short});
    ASSERT_EQ(NbFileObjectRead(object_, got, 10, &count), NB_OK);
    EXPECT_EQ(count, 5u);
    ASSERT_EQ(NbFileObjectRead(object_, got, 1, nullptr), NB_OK);
    EXPECT_EQ(got[0], original_[25]);
    const std::uint8_t ten[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, mark[] = {0xEE};
    host_.Plan({1, HostCall::Write, FaultKind::Short});
    EXPECT_EQ(NbFileObjectWrite(object_, ten, sizeof ten), NB_IO_INCOMPLETE);
    ASSERT_EQ(NbFileObjectWrite(object_, mark, sizeof mark), NB_OK);
    Bytes expected = original_;
    std::fill(expected.begin() + 26, expected.begin() + 31, 1);
    expected[31] = 0xEE;
    EXPECT_EQ(ReadBytes(name_), expected);
    // A failed read moves nothing, and the next one starts where it would have.
    host_.Plan({host_.Count(HostCall::Read) + 2, HostCall::Read, FaultKind::Error, 5});
    EXPECT_EQ(NbFileObjectRead(object_, got, 4, nullptr), NB_OK);
    EXPECT_EQ(NbFileObjectRead(object_, got, 4, nullptr), 5u);
    ASSERT_EQ(NbFileObjectRead(object_, got, 1, nullptr), NB_OK);
    EXPECT_EQ(got[0], original_[36]);
}

// A position above the largest signed 64-bit offset fails as the host's own
// seek would, traced by the seek, and leaves the position as it was.
struct SeekCase { const char* name; std::uint64_t offset; NbResult code; };
void PrintTo(const SeekCase& c, std::ostream* out) { *out << c.name; }
class FileSeek : public FilePositionTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(FileSeek, FailsPastTheLargestSignedOffsetWithTheHostsCode) {
    const SeekCase& c = GetParam();
    CNimbraFile file;
    ASSERT_EQ(file.Create(name_.c_str(), NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ_WRITE, 0), NB_OK);
    ASSERT_EQ(file.Seek(30), NB_OK);
    const std::size_t calls = host_.Log().size();
    EXPECT_EQ(file.Seek(c.offset), c.code);
    EXPECT_EQ(host_.Log().size(), calls) << "a seek asks nothing of the host";
    if (c.code == NB_OK) {
        EXPECT_TRUE(host_.Messages.empty());
        return;
    }
    const std::string offset = std::to_string(c.offset);
    ASSERT_EQ(host_.Messages.size(), 3u);
    EXPECT_TRUE(std::regex_match(host_.Messages[0], std::regex("--- NbFileObjectSeek \\(line #[0-9]+\\) 131"))) << host_.Messages[0];
    EXPECT_TRUE(std::regex_match(host_.Messages[1], std::regex("--- CNimbraFile::Seek 131 NbFileObjectSeek\\( 0x[0-9A-F]{16}, " +
                                                               offset + " \\) 131")))
        << host_.Messages[1];
    EXPECT_TRUE(std::regex_match(host_.Messages[2], std::regex("--- CNimbraFile::Seek \\(line #[0-9]+\\) 131"))) << host_.Messages[2];
    std::uint8_t byte = 0;
    ASSERT_EQ(file.Read(&byte, 1), NB_OK);
    EXPECT_EQ(byte, original_[30]) << "the failed seek moved the position";
}

INSTANTIATE_TEST_SUITE_P(File, FileSeek, ::testing::Values(
    SeekCase {"LargestSignedOffset", static_cast<std::uint64_t>(INT64_MAX), NB_OK},
    SeekCase {"OnePastIt", static_cast<std::uint64_t>(INT64_MAX) + 1, NB_NEGATIVE_SEEK},
    SeekCase {"LargestUnsignedOffset", UINT64_MAX, NB_NEGATIVE_SEEK}),
    ::testing::PrintToStringParamName());

// Flushes of a file, and which of them also flush its folder.
struct FlushCase {
    const char* name;
    std::uint8_t openExisting;
    FaultPlan fault;          // of the first flush's calls
    NbResult firstFlush;      // what the first flush gives
    std::size_t syncs;        // folder flushes asked over three flushes
};
void PrintTo(const FlushCase& c, std::ostream* out) { *out << c.name; }
class FileFlush : public ::testing::TestWithParam<FlushCase> {};

TEST_P(FileFlush, ANewFilesFirstSuccessfulFlushAlsoMakesItsNameDurable) {
    const FlushCase& c = GetParam();
    TempDir dir;
    const std::string name = dir / "new";
    if (c.openExisting == NB_OPEN_EXISTING) WriteBytes(name, {1});
    WatchingHost host;
    ScopedHost scope(host);
    CNimbraFile file;
    ASSERT_EQ(file.Create(name.c_str(), c.openExisting, NB_ACCESS_WRITE, NB_SHARE_READ, 0), NB_OK);
    host.Plan(c.fault);
    EXPECT_EQ(file.Flush(), c.firstFlush);
    EXPECT_EQ(file.Flush(), NB_OK);
    EXPECT_EQ(file.Flush(), NB_OK);
    EXPECT_EQ(host.Synced, std::vector<std::string>(c.syncs, name));
    // The folder only after the data: the name must never lead to bytes not yet there.
    const std::vector<HostCall>& log = host.Log();
    for (std::size_t at = NextCall(log, HostCall::SyncDirectory); at < log.size(); at = NextCall(log, HostCall::SyncDirectory, at + 1))
        EXPECT_TRUE(at > 0 && log[at - 1] == HostCall::Flush) << "call " << at;
    if (c.firstFlush == NB_OK) {
        EXPECT_TRUE(host.Messages.empty());
        return;
    }
    // A failed folder flush is traced where it happens, then by the flush.
    std::vector<std::string> patterns;
    if (c.fault.Kind == HostCall::SyncDirectory) patterns.push_back("--- NbFileSyncDirectory \\(line #[0-9]+\\) 5");
    patterns.push_back("--- CNimbraFile::Flush 5 NbFileObjectFlush\\( 0x[0-9A-F]{16} \\) 5");
    patterns.push_back("--- CNimbraFile::Flush \\(line #[0-9]+\\) 5");
    ASSERT_EQ(host.Messages.size(), patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i)
        EXPECT_TRUE(std::regex_match(host.Messages[i], std::regex(patterns[i]))) << host.Messages[i];
}

INSTANTIATE_TEST_SUITE_P(File, FileFlush, ::testing::Values(
    FlushCase {"CreatedFileOnce", NB_CREATE_NEW, {}, NB_OK, 1},
    FlushCase {"ExistingFileNever", NB_OPEN_EXISTING, {}, NB_OK, 0},
    FlushCase {"FailedFolderFlushFailsTheFlushAndIsTriedAgain", NB_CREATE_NEW, {1, HostCall::SyncDirectory, FaultKind::Error, 5}, 5, 2},
    FlushCase {"FailedDataFlushTriesNoFolder", NB_CREATE_NEW, {1, HostCall::Flush, FaultKind::Error, 5}, 5, 1}),
    ::testing::PrintToStringParamName());

// Renames that must be durable, with each of their calls failing: the name
// moves or stays as the result says, and a failure after the move is told.
struct DurableRenameCase {
    const char* name;
    bool atomicWrite;  // NbFileWriteAtomically; otherwise NbFileRenameDurably over an existing file
    FaultPlan fault;
    NbResult code;
    bool moved;
};
void PrintTo(const DurableRenameCase& c, std::ostream* out) { *out << c.name; }
class DurableRename : public ::testing::TestWithParam<DurableRenameCase> {};

TEST_P(DurableRename, TheFolderIsFlushedAfterTheMoveAndItsFailureKeepsTheMovedName) {
    const DurableRenameCase& c = GetParam();
    TempDir dir;
    const std::string source = dir / "source", target = dir / "target";
    const Bytes bytes {4, 5, 6}, old {9};
    if (!c.atomicWrite) WriteBytes(source, bytes);
    if (!c.atomicWrite) WriteBytes(target, old);
    WatchingHost host;
    ScopedHost scope(host);
    host.Plan(c.fault);
    bool renamed = false;
    const NbResult code = c.atomicWrite ? NbFileWriteAtomically(target.c_str(), bytes.data(), bytes.size())
                                        : NbFileRenameDurably(source.c_str(), target.c_str(), true, &renamed);
    EXPECT_EQ(code, c.code);
    EXPECT_TRUE(c.atomicWrite || renamed == c.moved);
    std::map<std::string, Bytes> expected;
    if (c.moved) expected["target"] = bytes;
    else if (!c.atomicWrite) expected = {{"source", bytes}, {"target", old}};
    EXPECT_EQ(Snapshot(dir.Path()), expected) << "an atomic write leaves no temporary file, and its name only whole";
    // The last folder flush comes after the move, and is of the new name's folder.
    const std::vector<HostCall>& log = host.Log();
    const std::size_t move = NextCall(log, c.atomicWrite ? HostCall::Rename : HostCall::Replace);
    if (c.moved) {
        EXPECT_LT(NextCall(log, HostCall::SyncDirectory, move), log.size());
        ASSERT_FALSE(host.Synced.empty());
        EXPECT_EQ(host.Synced.back(), target);
    } else {
        EXPECT_EQ(NextCall(log, HostCall::SyncDirectory, move), log.size()) << "a folder flushed for a name that did not move";
    }
}

INSTANTIATE_TEST_SUITE_P(File, DurableRename, ::testing::Values(
    DurableRenameCase {"ReplaceDone", false, {}, NB_OK, true},
    DurableRenameCase {"ReplaceFails", false, {1, HostCall::Replace, FaultKind::Error, 5}, 5, false},
    DurableRenameCase {"FolderFlushAfterReplaceFails", false, {1, HostCall::SyncDirectory, FaultKind::Error, 5}, 5, true},
    DurableRenameCase {"AtomicWriteDone", true, {}, NB_OK, true},
    DurableRenameCase {"AtomicWriteRenameFails", true, {1, HostCall::Rename, FaultKind::Error, 5}, 5, false},
    // The first folder flush is the temporary file's own, at its flush.
    DurableRenameCase {"AtomicWriteFolderFlushAfterRenameFails", true, {2, HostCall::SyncDirectory, FaultKind::Error, 5}, 5, true}),
    ::testing::PrintToStringParamName());

}  // namespace
