/* block.h - the sizes the block layer works in: the 512-byte block, the
 * record of up to 32 blocks, and the block counts of member data. The block
 * layer needs nothing else of the archive format; the header's fields are
 * tar/format.h's. */
#ifndef Z9_TAPE_BLOCK_H
#define Z9_TAPE_BLOCK_H

#include <cstdint>

constexpr int kBlockSize = 512;        /* the unit of the archive */
constexpr int kMaxBlocks = 32;         /* blocks in the largest record */
constexpr int kRecordBytes = 16384;    /* kMaxBlocks * kBlockSize */
static_assert(kRecordBytes == kMaxBlocks * kBlockSize);

/* Blocks that bytes of member data take: a partial last block counts whole.
 * Rounded without adding first, so no size up to 2^63 - 1 overflows. */
constexpr int64_t data_blocks(int64_t bytes) { return bytes / kBlockSize + (bytes % kBlockSize != 0); }

/* The last block boundary a 64-bit archive offset reaches: member data must
 * end before it, or counting them would pass what an offset can hold. */
constexpr int64_t kMaxArchiveOffset = INT64_MAX / kBlockSize * kBlockSize;

#endif
