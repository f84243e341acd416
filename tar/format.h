/* format.h - the archive format in numbers: block and record sizes and the
 * offset and width of every header field. No other file spells these out. */
#ifndef Z9_TAR_FORMAT_H
#define Z9_TAR_FORMAT_H

#include <cstdint>

constexpr int kBlockSize = 512;        /* the unit of the archive */
constexpr int kMaxBlocks = 32;         /* blocks in the largest record */
constexpr int kRecordBytes = 16384;    /* kMaxBlocks * kBlockSize */
static_assert(kRecordBytes == kMaxBlocks * kBlockSize);

/* Blocks that bytes of member data take: a partial last block counts whole. */
constexpr int64_t data_blocks(int64_t bytes) { return (bytes + kBlockSize - 1) / kBlockSize; }

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
constexpr int kStartOff = 369,    kStartLen = 12;    /* offset of an 'M' piece */
constexpr int kTailSumOff = 488,  kTailSizeOff = 500; /* octal tail */
constexpr int kHexMarkOff = 488;                      /* "0x" selects hex tail */
constexpr int kHexSumOff = 490,   kHexSizeOff = 502;  /* hexadecimal tail */

/* Largest size the eleven-digit size field can hold: 8^11 - 1. */
constexpr long long kMaxMemberSize = 8589934591LL;

#endif
