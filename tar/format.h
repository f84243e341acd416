/* format.h - the archive format in numbers: block and record sizes and the
 * offset and width of every header field. No other file spells these out. */
#ifndef Z9_TAR_FORMAT_H
#define Z9_TAR_FORMAT_H

#include <cstddef>
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

/* Header fields: offset and width in bytes. */
constexpr int kNameOff = 0,       kNameLen = 100;
constexpr int kModeOff = 100,     kModeLen = 8;
constexpr int kUidOff = 108,      kUidLen = 8;
constexpr int kGidOff = 116,      kGidLen = 8;
constexpr int kSizeOff = 124,     kSizeLen = 12;
constexpr int kMtimeOff = 136,    kMtimeLen = 12;
constexpr int kChksumOff = 148,   kChksumLen = 8;
constexpr int kTypeOff = 156;
constexpr int kLinkOff = 157,     kLinkLen = 100;
constexpr int kMagicOff = 257,    kMagicLen = 8;
constexpr int kExtNumOff = 257,   kExtNumLen = 4;    /* extent number */
constexpr int kExtCountOff = 261, kExtCountLen = 4;  /* extent count */
constexpr int kExtTotalOff = 265, kExtTotalLen = 12; /* whole file's size */
constexpr int kDevMajorOff = 329, kDevMinorOff = 337, kDevLen = 8;
constexpr int kStartOff = 369,    kStartLen = 12;    /* offset of a kTypeMulti piece */
constexpr int kTailSumOff = 488,  kTailSizeOff = 500; /* octal tail */
constexpr int kHexMarkOff = 488;                      /* "0x" selects hex tail */
constexpr int kHexSumOff = 490,   kHexSizeOff = 502;  /* hexadecimal tail */

/* Fields of the ustar headers other writers make, read and written under
 * -POSIX only: they share their bytes with the extent and tail fields. */
constexpr int kUnameOff = 265, kGnameOff = 297, kOwnerNameLen = 32;  /* owner names */
constexpr int kPrefixOff = 345, kPrefixLen = 155;  /* the name's leading directories */

/* Limits of the modern dialect: names and link names, and the data of the
 * extension headers before one member. */
constexpr size_t kLongNameMax = 4096;
constexpr int64_t kExtHeaderMax = int64_t{1} << 20;

/* Type flags: the byte at kTypeOff says what a member is. */
constexpr char kTypeReg = '0', kTypeRegOld = '\0';   /* regular file; the same from writers before type flags */
constexpr char kTypeLink = '1', kTypeSymlink = '2';  /* hard link to an earlier member; symbolic link */
constexpr char kTypeChar = '3', kTypeBlock = '4';    /* character and block device */
constexpr char kTypeDir = '5', kTypeFifo = '6';      /* directory; FIFO */
constexpr char kTypeContig = '7';                    /* contiguous file, read as a regular one */
constexpr char kTypeDumpDir = 'D';                   /* directory listing of an incremental dump */
constexpr char kTypeMulti = 'M';                     /* piece of a file continued from another volume */
constexpr char kTypeSparse = 'S', kTypeVolume = 'V'; /* sparse file; volume label */

/* Only device members carry the major and minor numbers. */
constexpr bool device_type(int type) { return type == kTypeChar || type == kTypeBlock; }

/* Largest size the eleven-digit size field can hold: 8^11 - 1. */
constexpr long long kMaxMemberSize = 8589934591LL;

#endif
