/* format.h - the archive format in numbers: block and record sizes and the
 * offset and width of every header field. No other file spells these out. */
#ifndef Z9_TAR_FORMAT_H
#define Z9_TAR_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "../tape/block.h"

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

/* Limits of the modern dialect: names and link names, and what else of the
 * extension data must be held (a sparse map): the rest is passed over. */
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
constexpr char kTypeVolume = 'V';                    /* volume label */

/* Type flags of the extension headers other writers put before a member (or
 * of GNU tar's old sparse member), which -POSIX reads: GNU long names, pax
 * records for the next member or for every later one. Without -POSIX they
 * are members of unknown type ('S' one with data blocks). */
constexpr char kTypeLongName = 'L', kTypeLongLink = 'K';
constexpr char kTypePaxLocal = 'x', kTypePaxGlobal = 'g';
constexpr char kTypeGnuSparse = 'S';

/* The dialect a header block is written in, told by its magic (and, for
 * pax, its type flag): the classic header has none, GNU tar writes
 * "ustar  " with its zero byte, ustar and pax writers "ustar" and a zero byte. */
enum class Format { old, gnu, ustar, pax };

/* GNU tar's old sparse member: up to four regions (offset, byte count) in
 * its header, then extension blocks of 21 more each while the flag byte
 * after them is set; the real size of the file after the header's regions. */
constexpr int kSparseOff = 386, kSparseHeadEntries = 4, kSparseEntryLen = 24;
constexpr int kSparseNumLen = 12;    /* offset, then byte count, in each entry */
constexpr int kIsExtendedOff = 482, kRealSizeOff = 483;
constexpr int kSparseExtEntries = 21, kSparseExtFlagOff = 504;

/* Only device members carry the major and minor numbers. */
constexpr bool device_type(int type) { return type == kTypeChar || type == kTypeBlock; }

/* Largest size the eleven-digit size field can hold: 8^11 - 1. */
constexpr long long kMaxMemberSize = 8589934591LL;

#endif
