#include <algorithm>
#include <cstring>

#include "platform/buffer.h"
#include "platform/checksum.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/progress.h"
#include "platform/trace.h"
#include "version6/records.h"
#include "version6/version6.h"

namespace {

constexpr char kName[] = "NbConvertToV6";
constexpr std::uint32_t kZeroPiece = NB_COPY_RUN;

bool PageIsUnused(const std::uint8_t* page) {
    for (std::uint32_t i = 0; i < NB_MAP_PAGE; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, page + i, sizeof v);
        if (v != ~0ull) return false;
    }
    return true;
}

void FillCheckpointHead(std::uint8_t* bytes, const NbSignature& signature, std::uint32_t headerValue) {
    CheckpointHead head {};
    head.Signature = signature;
    head.HeaderValue = headerValue;
    EncodeRecord(head, bytes, kDataCheckpointHeadSize);
}

// The steps below fail without an exit line of their own: the rewrite's is
// the one a failure gives, once.

// The compaction of a type 0 map: pages whose every entry is 0xFFFFFFFF are
// dropped, the rest follow one another from MapDataOffset on, and each page's
// new place goes into the table. Runs of pages are read into one buffer,
// summed there, closed up and written with one call. In place, a run whose
// pages keep their places is not written again; from a source, the new file
// also gets the bytes an in-place compaction leaves before and behind the
// pages. From a source whose pages keep their 4096-byte boundaries (no
// shift, as in layout 4), each long group of retained pages that lay together
// is shared from the source instead of written, with one call however many
// runs it spans, where the file system can, and so are the bytes behind the
// last one: a share refused as unsupported ends the sharing, any other
// failed share is written instead, that group alone. Each retained page
// sets its bit in kept, so that the page table can be made piece by piece
// when the checkpoint is written. *end is the offset just behind the last
// retained page.
[[nodiscard]] NbResult CompactMap(CNimbraFile& file, const NbMapSource* source, const ImageParameters& p, std::uint64_t entries,
                    std::uint8_t* kept, const CNimbraBuffer& run, MapCheckpointHead* head, std::uint64_t* end) {
    CNimbraFile sourceFile;
    CNimbraFile* in = &file;
    const std::uint64_t shift = source != nullptr ? source->Shift : 0;
    NbResult code = NB_OK;
    if (source != nullptr) {
        code = sourceFile.Create(source->Name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        if (code != NB_OK) return code;
        in = &sourceFile;
    }
    bool share = source != nullptr && shift % NB_MAP_PAGE == 0;
    std::uint64_t inSize = 0;
    code = in->Query(&inSize);
    if (code != NB_OK) return code;
    if (p.MapDataOffset < shift) return NB_INVALID_PARAMETER;
    const std::uint64_t body = p.MapDataOffset - shift;  // the first page, in the source
    // Every byte of the source is read once; the copies and the page runs advance the line.
    NbProgressScope progress(inSize - std::min(inSize, source != nullptr ? source->From : body),
                             source != nullptr ? "Building map" : "Compacting map");
    if (source != nullptr && body > source->From) {
        code = NbCopyFileRange(*in, source->From, file, source->From + shift, body - source->From, run);
        if (code != NB_OK) return code;
    }
    constexpr std::uint32_t kRunPages = NB_COPY_RUN / NB_MAP_PAGE;
    constexpr std::uint64_t kPage = NB_MAP_PAGE;
    // A share holds both files while it runs, and Windows takes less than
    // 4 GiB a call: a longer group is shared in pieces of at most this.
    constexpr std::uint64_t kShareMost = 0x40000000;
    // While sharing, a group that ends a run may go on in the next one. A
    // short one stays at the front of the buffer (carried) and the next run
    // is read behind it; a long one waits as a share (pending), its pages
    // summed, to grow by the next run's first group.
    struct Share { std::uint64_t From = 0, To = 0, Length = 0; } pending;
    std::uint32_t carried = 0;
    CNimbraBuffer again;  // a pending share written instead: its pages are read once more
    const auto sharePending = [&]() -> NbResult {
        const Share s = pending;
        pending = {};
        if (s.Length == 0) return NB_OK;
        const NbResult shared = share ? NbShareFileRange(*in, s.From, file, s.To, s.Length) : NB_NOT_SUPPORTED;
        if (shared == NB_OK) return NB_OK;
        if (shared == NB_NOT_SUPPORTED) share = false;
        const NbResult c = again.Data != nullptr ? NB_OK : again.Allocate(NB_COPY_RUN, false);
        return c != NB_OK ? c : NbCopyFileChunks(*in, s.From, file, s.To, s.Length, again, true);
    };
    std::uint64_t readAt = body, writeAt = p.MapDataOffset, page = 0;
    while (readAt < inSize) {
        if (page >= entries) {
            NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Map page %I64u lies beyond the %I64u pages of the image\n",
                    kName, NB_INVALID_DATA, page, entries);
            return NB_INVALID_DATA;
        }
        // Whole pages only: a last page cut short fails as a short read.
        std::uint64_t pages = (inSize - readAt + kPage - 1) / kPage;
        pages = std::min<std::uint64_t>({pages, kRunPages - carried, entries - page});
        const auto bytes = static_cast<std::uint32_t>(pages * kPage);
        code = in->SeekRead(readAt, run.Data + carried * kPage, bytes, nullptr);
        if (code != NB_OK) return code;
        NbProgressAdvance(bytes);
        // The buffer's retained pages, as groups of neighbours: first page
        // and count. The carried pages, summed before, open the first group.
        const auto window = static_cast<std::uint32_t>(carried + pages);
        const std::uint64_t windowFrom = readAt - carried * kPage;
        std::uint32_t groupFirst[kRunPages], groupPages[kRunPages], groups = 0, retained = 0;
        if (carried > 0) groupFirst[0] = 0, groupPages[0] = carried, groups = 1;
        for (std::uint32_t k = carried; k < window; ++k, ++page) {
            const std::uint8_t* at = run.Data + k * kPage;
            if (PageIsUnused(at)) continue;
            head->PageCrc = NbCrc32Update(at, NB_MAP_PAGE, head->PageCrc);
            ++head->PageCount;
            kept[page / 8] = static_cast<std::uint8_t>(kept[page / 8] | 1u << (page % 8));
            ++retained;
            if (groups > 0 && groupFirst[groups - 1] + groupPages[groups - 1] == k) {
                ++groupPages[groups - 1];
            } else {
                groupFirst[groups] = k, groupPages[groups] = 1;
                ++groups;
            }
        }
        std::uint64_t to = writeAt - carried * kPage;  // the new place of the buffer's first retained page
        writeAt += retained * kPage;
        readAt += bytes;
        carried = 0;
        const bool more = share && readAt < inSize;
        std::uint32_t g = 0;
        if (pending.Length > 0) {
            if (groups > 0 && groupFirst[0] == 0 && pending.Length + groupPages[0] * kPage <= kShareMost) {
                pending.Length += groupPages[0] * kPage;
                to += groupPages[0] * kPage;
                g = 1;
                if (groups == 1 && groupPages[0] == window && more) continue;
            }
            code = sharePending();
            if (code != NB_OK) return code;
        }
        // The group that ends the buffer waits for the next run.
        std::uint32_t carry = 0;  // its first page, when it is carried
        if (more && groups > g && groupFirst[groups - 1] + groupPages[groups - 1] == window) {
            --groups;
            if (groupPages[groups] >= NB_SHARE_FEWEST_PAGES)
                pending = {windowFrom + groupFirst[groups] * kPage, writeAt - groupPages[groups] * kPage,
                           groupPages[groups] * kPage};
            else
                carry = groupFirst[groups], carried = groupPages[groups];
        }
        const bool unchanged = source == nullptr && to == windowFrom && retained == pages;
        if (g < groups && !unchanged) {
            // Long groups are shared; the others are closed up in the
            // buffer and written, neighbours in the new file with one call.
            std::uint64_t pendingTo = to;
            std::uint32_t placed = groupFirst[g], pendingFrom = placed;
            for (; g <= groups; ++g) {
                const bool last = g == groups;
                const std::uint64_t length = last ? 0 : groupPages[g] * kPage;
                bool shared = false;
                if (!last && share && groupPages[g] >= NB_SHARE_FEWEST_PAGES) {
                    const NbResult c = NbShareFileRange(*in, windowFrom + groupFirst[g] * kPage, file, to, length);
                    shared = c == NB_OK;
                    if (c == NB_NOT_SUPPORTED) share = false;
                }
                if ((last || shared) && placed > pendingFrom) {
                    const auto n = static_cast<std::uint32_t>((placed - pendingFrom) * kPage);
                    code = file.SeekWrite(pendingTo, run.Data + pendingFrom * kPage, n);
                    if (code != NB_OK) return code;
                    // The medium works while the next run is read and summed.
                    file.StartWriteback(pendingTo, n);
                }
                if (last) break;
                to += length;
                if (shared) {
                    pendingFrom = placed, pendingTo = to;
                    continue;
                }
                if (groupFirst[g] != placed)
                    std::memmove(run.Data + placed * kPage, run.Data + groupFirst[g] * kPage, length);
                placed += groupPages[g];
            }
        }
        if (carried > 0) std::memmove(run.Data, run.Data + carry * kPage, carried * kPage);
    }
    code = sharePending();
    if (code != NB_OK) return code;
    // Behind the last retained page an in-place compaction leaves the bytes
    // that stood there: the source's, Shift bytes further back; shared in one
    // call where the pages are, else copied.
    if (source != nullptr && writeAt - shift < inSize) {
        const std::uint64_t from = writeAt - shift, length = inSize - from;
        if (share && NbShareFileRange(*in, from, file, writeAt, length) == NB_OK) {
            NbProgressAdvance(length);
        } else {
            code = NbCopyFileRange(*in, from, file, writeAt, length, run);
            if (code != NB_OK) return code;
        }
    }
    *end = writeAt;
    return NB_OK;
}

// Writes the map checkpoint at its offset, size bytes, in pieces of the run
// buffer: the head, then the page table (type 0: made from the kept bits;
// type 1: the map's own table, read as it goes), zeros to the end; the
// checksum over all of it is set in the only piece, or written last.
[[nodiscard]] NbResult WriteMapCheckpoint(CNimbraFile& file, std::uint64_t at, std::uint32_t size, const MapCheckpointHead& head,
                            const ImageParameters& p, std::uint64_t entries, const std::uint8_t* kept,
                            const CNimbraBuffer& run) {
    std::uint8_t first[kMapCheckpointHeadSize] {};
    EncodeRecord(head, first, kMapCheckpointHeadSize);
    NbSealCrc(first, kCheckpointHeaderCrcCovers, kCheckpointHeaderCrcOffset);
    const std::uint64_t tableEnd = NB_MAP_PAGE_TABLE_OFFSET + (p.MapType == 0 ? 4 * entries : p.MapTableSize);
    std::uint32_t crc = 0xFFFFFFFF;
    std::uint64_t rank = 0;  // retained pages before the entry at hand
    for (std::uint64_t offset = 0; offset < size;) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(run.Size, size - offset));
        std::memset(run.Data, 0, piece);
        if (offset == 0) std::memcpy(run.Data, first, std::min<std::size_t>(piece, sizeof first));
        const std::uint64_t from = std::max<std::uint64_t>(offset, NB_MAP_PAGE_TABLE_OFFSET);
        const std::uint64_t to = std::min<std::uint64_t>(offset + piece, tableEnd);
        if (p.MapType == 0) {
            for (std::uint64_t pos = from; pos < to; pos += 4) {
                const std::uint64_t e = (pos - NB_MAP_PAGE_TABLE_OFFSET) / 4;
                const bool isKept = (kept[e / 8] >> (e % 8)) & 1;
                PutLe32(run.Data, pos - offset,
                        isKept ? static_cast<std::uint32_t>(p.MapDataOffset / NB_MAP_PAGE + rank++) : 0xFFFFFFFFu);
            }
        } else if (from < to) {
            NbResult code = file.SeekRead(p.MapDataOffset + (from - NB_MAP_PAGE_TABLE_OFFSET), run.Data + (from - offset),
                                          static_cast<std::uint32_t>(to - from), nullptr);
            if (code != NB_OK) return code;
        }
        crc = NbCrc32Update(run.Data, piece, crc);
        if (piece == size) PutLe32(run.Data, kMapCheckpointCrcOffset, crc);
        NbResult code = file.SeekWrite(at + offset, run.Data, piece);
        if (code != NB_OK) return code;
        offset += piece;
    }
    if (size > run.Size) {
        std::uint8_t bytes[4];
        PutLe32(bytes, 0, crc);
        NbResult code = file.SeekWrite(at + kMapCheckpointCrcOffset, bytes, sizeof bytes);
        if (code != NB_OK) return code;
    }
    return NB_OK;
}

// The writers of the three kinds of file. Each opens its file on the one
// file object, writes its records and flushes them; a failure ends it with
// the rewrite's exit line, at the step that failed.

// The map: the compacted pages (plain map) or nothing of the body (extended
// map), the checkpoint, both superblocks and the header.
[[nodiscard]] NbResult WriteMap(CNimbraFile& file, const char* mapFileName, const ImageParameters& p, const NbMapSource* source,
                                NbMapPageArea* pages) {
    NbResult code = file.Create(mapFileName, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ_WRITE, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    if (p.MapType != 0 && p.MapType != 1) NB_RETURN(kName, NB_INVALID_PARAMETER);

    const std::uint64_t entries = NbMapTableEntries(p);
    const std::uint64_t checkpointSize64 = NbMapCheckpointSize(entries);
    if (checkpointSize64 > 0xFFFFF000ull) NB_RETURN(kName, NB_INVALID_PARAMETER);
    const auto checkpointSize = static_cast<std::uint32_t>(checkpointSize64);
    MapPlacement place {};
    {
        // One run buffer for the pages and the checkpoint, and one bit per
        // page table entry: memory stays the same whatever the map's size.
        CNimbraBuffer run, kept;
        code = run.Allocate(NB_COPY_RUN, false);
        if (code == NB_OK && p.MapType == 0) code = kept.Allocate(static_cast<std::uint32_t>((entries + 7) / 8), true);
        if (code != NB_OK) NB_RETURN(kName, code);
        MapCheckpointHead head {};
        head.Signature = kMapCheckpointSignature;
        head.HeaderValue = NB_MAP_CHECKPOINT_HEADER_VALUE;
        head.TableValue = NB_MAP_CHECKPOINT_TABLE_VALUE;
        if (p.MapType == 0) {
            std::uint64_t end = 0;
            code = CompactMap(file, source, p, entries, kept.Data, run, &head, &end);
            if (code == NB_OK) code = NbPlaceMap(end, checkpointSize, NB_MAP_PAGE, &place);
            if (code != NB_OK) NB_RETURN(kName, code);
            if (pages != nullptr) *pages = {p.MapDataOffset, std::uint64_t {head.PageCount} * NB_MAP_PAGE, head.PageCrc};
        } else {
            code = NbPlaceMap(p.MapFileSize, checkpointSize, p.MapPageSize, &place);
            if (code != NB_OK) NB_RETURN(kName, code);
            if (NB_MAP_PAGE_TABLE_OFFSET + static_cast<std::uint64_t>(p.MapTableSize) > checkpointSize) {
                NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Map table of %u bytes does not fit the checkpoint\n",
                        kName, NB_INVALID_DATA, p.MapTableSize);
                NB_RETURN(kName, NB_INVALID_DATA);
            }
        }
        code = WriteMapCheckpoint(file, place.CheckpointOffset, checkpointSize, head, p, entries, kept.Data, run);
        if (code != NB_OK) NB_RETURN(kName, code);
    }

    CNimbraBuffer block;
    code = block.Allocate(NB_SUPERBLOCK_BLOCK, true);
    if (code != NB_OK) NB_RETURN(kName, code);
    EncodeRecord(NbMakeMapSuperblock(place.CheckpointOffset, checkpointSize, place.MapEndOffset), block.Data,
                 kMapSuperblockSize);
    NbSealCrc(block.Data, kMapSuperblockSize, kMapSuperblockCrcOffset);
    code = file.SeekWrite(place.FirstSuperblockOffset, block.Data, NB_SUPERBLOCK_BLOCK);
    if (code == NB_OK) code = file.SeekWrite(place.SecondSuperblockOffset, block.Data, NB_SUPERBLOCK_BLOCK);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint8_t header[kMapHeaderV6Size];
    EncodeRecord(NbMakeMapHeader(p, place.FirstSuperblockOffset), header, kMapHeaderV6Size);
    code = file.SeekWrite(0, header, kMapHeaderV6Size);
    if (code == NB_OK) code = file.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    return NB_OK;
}

// The data file: the checkpoint (a block, all zeros behind its head), both
// superblocks and the header.
[[nodiscard]] NbResult WriteData(CNimbraFile& file, const char* dataFileName, const ImageParameters& p, const DataPlacement& data) {
    NbResult code = file.Create(dataFileName, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    const std::uint64_t b = p.BlockSize;
    // A large block goes out in pieces through one bounded buffer, whatever
    // the header says.
    const std::uint32_t piece = data.CheckpointSize < kZeroPiece ? data.CheckpointSize : kZeroPiece;
    CNimbraBuffer dataCheckpoint;
    code = dataCheckpoint.Allocate(piece, true);
    if (code != NB_OK) NB_RETURN(kName, code);
    FillCheckpointHead(dataCheckpoint.Data, kDataCheckpointSignature, NB_DATA_CHECKPOINT_HEADER_VALUE);
    NbSealCrc(dataCheckpoint.Data, kCheckpointHeaderCrcCovers, kCheckpointHeaderCrcOffset);
    std::uint32_t crc = NbCrc32(dataCheckpoint.Data, piece);
    // Behind the first piece only zeros follow; the buffer's last page is zeros.
    for (std::uint64_t left = data.CheckpointSize - piece; left > 0; left -= left < NB_MAP_PAGE ? left : NB_MAP_PAGE)
        crc = NbCrc32Update(dataCheckpoint.Data + piece - NB_MAP_PAGE, left < NB_MAP_PAGE ? static_cast<std::uint32_t>(left) : NB_MAP_PAGE, crc);
    PutLe32(dataCheckpoint.Data, kCheckpointCrcOffset, crc);
    for (std::uint64_t at = 0; at < data.CheckpointSize && code == NB_OK; at += piece) {
        const std::uint64_t left = data.CheckpointSize - at;
        code = file.SeekWrite(data.CheckpointBlock * b + at, dataCheckpoint.Data, left < piece ? static_cast<std::uint32_t>(left) : piece);
        if (at == 0) std::memset(dataCheckpoint.Data, 0, kDataCheckpointHeadSize);
    }
    if (code != NB_OK) NB_RETURN(kName, code);
    std::memset(dataCheckpoint.Data, 0, piece);
    EncodeRecord(NbMakeDataSuperblock(data), dataCheckpoint.Data, kDataSuperblockSize);
    NbSealCrc(dataCheckpoint.Data, kDataSuperblockSize, kDataSuperblockCrcOffset);
    code = file.SeekWrite(data.FirstSuperblockBlock * b, dataCheckpoint.Data, kDataSuperblockSize);
    if (code == NB_OK) code = file.SeekWrite(data.SecondSuperblockBlock * b, dataCheckpoint.Data, kDataSuperblockSize);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint8_t header[kDataHeaderV6Size];
    EncodeRecord(NbMakeDataHeader(p, data), header, kDataHeaderV6Size);
    code = file.SeekWrite(0, header, kDataHeaderV6Size);
    if (code == NB_OK) code = file.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    return NB_OK;
}

// One metadata file: the checkpoint, both superblocks and the header.
[[nodiscard]] NbResult WriteMetadata(CNimbraFile& file, const char* metadataFileName, const ImageParameters& p,
                       const MetadataFileParameters& record) {
    NbResult code = file.Create(metadataFileName, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint64_t size = 0;
    code = file.Query(&size);
    if (code != NB_OK) NB_RETURN(kName, code);
    MetadataPlacement place {};
    code = NbPlaceMetadata(size, p.MetadataAlignment, &place);
    if (code != NB_OK) NB_RETURN(kName, code);

    CNimbraBuffer checkpoint;
    code = checkpoint.Allocate(NB_METADATA_CHECKPOINT_SIZE, true);
    if (code != NB_OK) NB_RETURN(kName, code);
    FillCheckpointHead(checkpoint.Data, kMetadataCheckpointSignature, NB_METADATA_CHECKPOINT_HEADER_VALUE);
    NbSealCheckpoint(checkpoint.Data, NB_METADATA_CHECKPOINT_SIZE, kCheckpointCrcOffset);
    code = file.SeekWrite(place.CheckpointOffset, checkpoint.Data, NB_METADATA_CHECKPOINT_SIZE);
    if (code != NB_OK) NB_RETURN(kName, code);

    std::uint8_t superblock[kMetadataSuperblockSize];
    EncodeRecord(NbMakeMetadataSuperblock(record, place), superblock, kMetadataSuperblockSize);
    NbSealCrc(superblock, kMetadataSuperblockSize, kMetadataSuperblockCrcOffset);
    code = file.SeekWrite(place.FirstSuperblockOffset, superblock, kMetadataSuperblockSize);
    if (code == NB_OK) code = file.SeekWrite(place.SecondSuperblockOffset, superblock, kMetadataSuperblockSize);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint8_t header[kMetadataHeaderV6Size];
    EncodeRecord(NbMakeMetadataHeader(p, record, place), header, kMetadataHeaderV6Size);
    code = file.SeekWrite(0, header, kMetadataHeaderV6Size);
    if (code == NB_OK) code = file.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    return NB_OK;
}

}  // namespace

NbResult NbConvertToV6(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                       std::uint32_t metadataFileCount, const ImageParameters* parameters,
                       const MetadataFileParameters* metadataFileParameters, const NbMapSource* source,
                       NbMapPageArea* pages) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbConvertToV6\n");
    if (dataFileName == nullptr || mapFileName == nullptr || metadataFileNames == nullptr ||
        metadataFileParameters == nullptr || metadataFileCount == 0 || parameters == nullptr) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s One of the parameters is NULL [0x%p 0x%p 0x%p 0x%p %d]\n", kName,
                dataFileName, mapFileName, static_cast<void*>(metadataFileNames),
                static_cast<const void*>(metadataFileParameters), static_cast<int>(metadataFileCount));
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    const ImageParameters& p = *parameters;
    // No placement exists for these; refuse before anything is written.
    if (p.BlockSize == 0 || p.MetadataAlignment == 0 || (p.MapType == 1 && p.MapPageSize == 0)) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Cannot place records with block size %u, alignment %u, map page size %u\n",
                kName, NB_INVALID_PARAMETER, p.BlockSize, p.MetadataAlignment, p.MapPageSize);
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    DataPlacement data {};
    if (NbPlaceData(p.BlockSize, p.DataBlocks, &data) != NB_OK) NB_RETURN(kName, NB_INVALID_PARAMETER);

    // One file object, on one file at a time.
    CNimbraFile file;
    NbResult code = WriteMap(file, mapFileName, p, source, pages);
    if (code != NB_OK) return code;
    (void)file.Close();
    code = WriteData(file, dataFileName, p, data);
    if (code != NB_OK) return code;
    for (std::uint32_t i = 0; i < metadataFileCount; ++i) {
        (void)file.Close();
        code = WriteMetadata(file, metadataFileNames[i], p, metadataFileParameters[i]);
        if (code != NB_OK) return code;
    }
    NbTraceExit(kName, __LINE__, NB_OK);
    (void)file.Close();
    return NB_OK;
}
