/* header.cpp - the 512-byte header block, both ways: gethead reads the next
 * header from the archive buffer into hblock, st, dmajor/dminor and the tail
 * values; newhead and prcsum build one in the output buffer. Owns those run
 * values and the skipped-block counter; reads the -PERM/-UID/-GID overrides. */
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "../tape/tape.h"
#include "posix.h"
#include "tar.h"

static const char kModule[] = "tar";

extern "C" {
unsigned char *hblock;   /* set by gethead and newhead; read by the walk, extract, store */
struct stat st;          /* set by gethead or by the store; read by every member action */
short dmajor, dminor;    /* set by gethead for device members; read by catalog, restore */
int64_t codesize;        /* set by gethead from the tail; read by catalog, restore */
int64_t longcsum;        /* set by gethead together with codesize; nobody reads it */
short nskipped;          /* bad headers since the last good one; gethead only, lives
                            for the process so that a later run reports it */
}

/* ---- field parsers ---------------------------------------------------- */

/* Widest digit runs of the three numeric field kinds. */
constexpr int kShortDigits = 7, kLongDigits = 11, kHexDigits = 8;

static int digit_value(unsigned char c, int base) {
    if (c >= '0' && c <= '7') return c - '0';
    if (base == 8) return -1;
    if (c >= '8' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Reads a numeric field of room bytes at most (the rest of the block, never
 * more): leading spaces, up to maxdigits digits, then a space or a zero byte.
 * True when good; value holds what was read either way.
 * Spaces may run on into the next field, since some writers right-align with
 * blanks. Our choice when they run to the end of the block: there is no
 * number and no terminator, so the field reads as 0 and is bad. */
static bool parse_field(const unsigned char *p, size_t room, int maxdigits, int base,
                        uint64_t *value) {
    size_t i = 0;
    uint64_t v = 0;
    while (i < room && p[i] == ' ') i++;
    if (i == room) {
        *value = 0;
        return false;
    }
    size_t end = room - i > static_cast<size_t>(maxdigits) ? i + static_cast<size_t>(maxdigits) : room;
    // Octal, which every header holds five times, gets a loop of its own.
    if (base == 8) {
        for (unsigned d; i < end && (d = p[i] - 0u - '0') < 8; i++) v = v * 8 + d;
    } else {
        for (int d; i < end && (d = digit_value(p[i], base)) >= 0; i++)
            v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *value = v;
    // Digits that run to the very end of the block have no terminator: bad.
    return i < room && (p[i] == ' ' || p[i] == '\0');
}

static bool parse_short(const unsigned char *p, size_t room, short *value) {
    uint64_t v;
    bool good = parse_field(p, room, kShortDigits, 8, &v);
    // Kept modulo 65536; the short carries the 16 bits, callers widen unsigned.
    *value = static_cast<short>(static_cast<uint16_t>(v));
    return good;
}

static bool parse_long(const unsigned char *p, size_t room, int base, int maxdigits,
                       int64_t *value) {
    uint64_t v;
    bool good = parse_field(p, room, maxdigits, base, &v);
    *value = static_cast<int64_t>(v);
    return good;
}

/* Room for a field at off of the current header: the rest of the block. */
static size_t room_at(int off) { return static_cast<size_t>(kBlockSize - off); }

/* The exported parsers take only a pointer. When it lies inside the current
 * header, leading spaces may run on to the end of that block. Any other
 * pointer we cannot place in a block, so we trust only the field itself:
 * the widest field of its kind (8 bytes short, 12 long, 10 for the narrower
 * hexadecimal tail field) and no byte beyond it. */
static size_t room_for(const unsigned char *text, size_t width) {
    auto t = reinterpret_cast<uintptr_t>(text);
    auto h = reinterpret_cast<uintptr_t>(hblock);
    if (hblock && t >= h && t < h + kBlockSize) return h + kBlockSize - t;
    return width;
}

bool plain_file(void) { return hblock[kTypeOff] == kTypeRegOld || hblock[kTypeOff] == kTypeReg; }

int soctus(const unsigned char *text, short *value) {
    return parse_short(text, room_for(text, kModeLen), value) ? 0 : 1;
}

int soctul(const unsigned char *text, int64_t *value) {
    return parse_long(text, room_for(text, kSizeLen), 8, kLongDigits, value) ? 0 : 1;
}

int shexul(const unsigned char *text, int64_t *value) {
    return parse_long(text, room_for(text, room_at(kHexSizeOff)), 16, kHexDigits, value) ? 0 : 1;
}

/* Extent-field text: 1 to width-1 octal digits, at most one space, then only
 * zero bytes. Strict, because the same bytes may hold a magic instead. */
int isoctal(const unsigned char *text, int width) {
    int i = 0;
    while (i < width && digit_value(text[i], 8) >= 0) i++;
    if (i == 0 || i == width) return 0;
    if (text[i] == ' ') i++;
    for (; i < width; i++)
        if (text[i] != '\0') return 0;
    return 1;
}

/* ---- predicates over the current header -------------------------------- */

int isextent(short *count, int64_t *total) {
    // Under -POSIX a ustar header's magic and owner names fill these bytes.
    if (!plain_file() || (posix_flag && ustar_magic())) return -1;
    if (!isoctal(hblock + kExtNumOff, kExtNumLen) || !isoctal(hblock + kExtCountOff, kExtCountLen) ||
        !isoctal(hblock + kExtTotalOff, kExtTotalLen))
        return -1;
    short number;
    parse_short(hblock + kExtNumOff, room_at(kExtNumOff), &number);
    parse_short(hblock + kExtCountOff, room_at(kExtCountOff), count);
    parse_long(hblock + kExtTotalOff, room_at(kExtTotalOff), 8, kLongDigits, total);
    if (number >= 1 && number <= *count && *total > st.st_size) return number;
    return -1;
}

/* The two magics other writers put at 257, each with its zero byte. */
static const char kMagics[2][kMagicLen] = {{'u', 's', 't', 'a', 'r', ' ', ' ', '\0'},
                                           {'G', 'N', 'U', 't', 'a', 'r', ' ', '\0'}};

int ismagic(void) {
    if (hblock[kTypeOff] == kTypeRegOld) return 0;
    for (const auto &magic : kMagics) {
        // The walk stops by the magic's own zero byte at the latest, since a
        // nonzero header byte never equals it: at most 8 bytes are read.
        int i = 0;
        const unsigned char *h = hblock + kMagicOff;
        while (h[i] != '\0' && h[i] == static_cast<unsigned char>(magic[i])) i++;
        // Trailing spaces of the magic may be left out by the writer.
        if (h[i] == '\0' && (magic[i] == '\0' || magic[i] == ' ')) return magic[0];
    }
    return 0;
}

/* Listing letter and whether data blocks follow, per typeflag. */
struct TypeInfo {
    unsigned char type;
    char letter;
    bool data;
};
static const TypeInfo kTypes[] = {
    {kTypeRegOld, ' ', true},  {kTypeReg, ' ', true},      {kTypeLink, ' ', false},  {kTypeSymlink, 'l', false},
    {kTypeChar, 'c', false},   {kTypeBlock, 'b', false},   {kTypeDir, 'd', false},   {kTypeFifo, 'p', false},
    {kTypeContig, ' ', true},  {kTypeDumpDir, 'D', true},  {kTypeMulti, ',', true},  {kTypeSparse, '?', true},
    {kTypeVolume, 'v', false},
};
static const TypeInfo kUnknownType = {0, '?', false};

static const TypeInfo &type_info(void) {
    for (const auto &t : kTypes)
        if (t.type == hblock[kTypeOff]) return t;
    return kUnknownType;
}

int prefix(void) { return type_info().letter; }

/* A hard link's size field repeats the linked file's size, yet no data
 * follows it: the table, not the size, decides. */
int usize(void) { return type_info().data ? 1 : 0; }

/* ---- checksum ---------------------------------------------------------- */

int headsum(const unsigned char *block) {
    // Every header read is summed: sixteen bytes at a time where the
    // processor can (SSE2, on every x86-64), else eight at a time, each
    // word's bytes in four 16-bit lanes that 64 words cannot overflow. Then
    // the checksum field's bytes are exchanged for the blanks they count as.
    // The sum wraps at 16 bits either way.
    uint32_t sum = 0;
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (int i = 0; i < kBlockSize; i += 16)
        acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i)),
                                              _mm_setzero_si128()));
    sum = static_cast<uint32_t>(_mm_cvtsi128_si64(acc) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
#else
    constexpr uint64_t kLow = 0x00ff00ff00ff00ffULL;
    uint64_t lanes = 0;
    for (int i = 0; i < kBlockSize; i += 8) {
        uint64_t w;
        memcpy(&w, block + i, sizeof w);
        lanes += (w & kLow) + ((w >> 8) & kLow);
    }
    for (int lane = 0; lane < 64; lane += 16) sum += static_cast<uint32_t>((lanes >> lane) & 0xffff);
#endif
    for (int i = kChksumOff; i < kChksumOff + kChksumLen; i++) sum = sum - block[i] + ' ';
    return static_cast<int16_t>(static_cast<uint16_t>(sum));
}

/* ---- reader ------------------------------------------------------------ */

/* Logs the current header's name, mode and uid fields as they stand; the
 * name comes from the archive and is only ever an argument. */
static void log_fields(void) {
    if (!z9_log_is_open()) return;
    auto field = [](int off) { return reinterpret_cast<const char *>(hblock + off); };
    char text[kNameLen + kModeLen + kUidLen + 16];
    TextBuf t(text, sizeof text);
    t.add("name=").field(field(kNameOff), kNameLen).add(",mode=").field(field(kModeOff), kModeLen);
    t.add(",uid=").field(field(kUidOff), kUidLen);
    z9_log_text(kModule, __LINE__, kSevInfo, "gethead", t.text(), t.size());
    z9_log_text(kModule, __LINE__, kSevInfo, "gethead", "\n", 1);
}

/* Checks the block's checksum. True when it matches; false when the block
 * must be passed over (unreadable field: silently; mismatch: logged and the
 * run's message text becomes the checksum error). */
static bool checksum_ok(const unsigned char *block, const char **text) {
    short stored;
    if (!parse_short(block + kChksumOff, room_at(kChksumOff), &stored)) return false;
    short sum = static_cast<short>(headsum(block));
    if (stored == sum) return true;
    *text = "directory checksum error";
    Z9_LOG(kSevInfo, "gethead", "%s", *text);
    Z9_LOG(kSevInfo, "gethead", "checksum value is %d", sum);
    Z9_LOG(kSevInfo, "gethead", "Checksum value should be %d", stored);
    log_fields();
    return false;
}

bool header_checksum_ok(const unsigned char *block) {
    short stored;
    return parse_short(block + kChksumOff, room_at(kChksumOff), &stored) && stored == headsum(block);
}

/* A long numeric field; under -POSIX it may also be in base 256. */
static bool read_long(const unsigned char *b, int off, int len, int64_t *value) {
    if (posix_flag && base256({b + off, static_cast<size_t>(len)}, value)) return true;
    return parse_long(b + off, room_at(off), 8, kLongDigits, value);
}

/* An owner or group id: 16 bits in the classic dialect; under -POSIX all
 * seven octal digits, or base 256, but never negative. */
static bool read_id(const unsigned char *b, int off, int64_t *value) {
    if (posix_flag && base256({b + off, kUidLen}, value)) return *value >= 0 && *value <= UINT32_MAX;
    if (posix_flag) return parse_long(b + off, room_at(off), 8, kShortDigits, value);
    short id;
    bool good = parse_short(b + off, room_at(off), &id);
    *value = static_cast<uint16_t>(id);
    return good;
}

/* Copies the numeric fields into st (and the device numbers); false when one
 * of them is bad. The mode is a 16-bit field, widened without sign. */
[[nodiscard]] static bool read_attributes(const unsigned char *b) {
    short mode;
    int64_t uid, gid, size, mtime;
    if (!parse_short(b + kModeOff, room_at(kModeOff), &mode)) return false;
    st.st_mode = static_cast<uint16_t>(mode);
    if (!read_id(b, kUidOff, &uid)) return false;
    st.st_uid = static_cast<uid_t>(uid);
    if (!read_id(b, kGidOff, &gid)) return false;
    st.st_gid = static_cast<gid_t>(gid);
    if (!read_long(b, kSizeOff, kSizeLen, &size) || size < 0) return false;
    st.st_size = size;
    if (!read_long(b, kMtimeOff, kMtimeLen, &mtime)) return false;
    st.st_mtime = mtime;
    if (!device_type(b[kTypeOff])) return true;
    return parse_short(b + kDevMajorOff, room_at(kDevMajorOff), &dmajor) &&
           parse_short(b + kDevMinorOff, room_at(kDevMinorOff), &dminor);
}

void apply_overrides(void) {
    if (perm_flag) st.st_mode = (st.st_mode & ~07777u) | (static_cast<unsigned>(mperm) & 07777u);
    if (gid_flag) st.st_gid = static_cast<gid_t>(mgid);
    if (uid_flag) st.st_uid = static_cast<uid_t>(muid);
}

/* Coded size and long checksum from the tail, octal or (after "0x") hex.
 * Only plain files carry them. Whether a field is well ended does not
 * matter: the digits before the first other byte make the value. */
static void read_tail(const unsigned char *b) {
    codesize = longcsum = 0;
    if (!plain_file() || (posix_flag && ustar_magic())) return;
    if (b[kHexMarkOff] == '0' && b[kHexMarkOff + 1] == 'x') {
        parse_long(b + kHexSizeOff, room_at(kHexSizeOff), 16, kHexDigits, &codesize);
        parse_long(b + kHexSumOff, room_at(kHexSumOff), 16, kHexDigits, &longcsum);
    } else {
        parse_long(b + kTailSizeOff, room_at(kTailSizeOff), 8, kLongDigits, &codesize);
        parse_long(b + kTailSumOff, room_at(kTailSumOff), 8, kLongDigits, &longcsum);
    }
}

/* One more block passed over. The counter saturates rather than wrapping
 * back to 0, which would read as "nothing skipped". */
static void count_skipped(void) {
    if (nskipped < INT16_MAX) nskipped++;
}

/* A header with a good checksum but a bad field ends the walk. Only the
 * first one since the counter was last reset reaches the host's message:
 * later ones (even in later runs) would hide the original cause. */
static int bad_header(const char *text) {
    count_skipped();
    if (nskipped == 1) z9_error_text(kModule, __LINE__, "gethead", text);
    return 0;
}

/* The next block with a good checksum as hblock: 1, or 0 at the end marker,
 * -1 when no block can be read or a zero block follows skipped ones. */
static int next_header(const char **text) {
    for (;;) {
        unsigned char *b = readtape();
        if (!b) return -1;
        hblock = b;
        if (b[kNameOff] == '\0') {
            // A zero block right after skipped ones is damage, not an end.
            if (nskipped == 0) return 0;
            count_skipped();
            return -1;
        }
        if (checksum_ok(b, text)) return 1;
    }
}

/* Set by gethead: whether its 0 was the end marker, not a bad header. */
static bool ended_clean;

bool at_end_marker(void) { return ended_clean; }

/* Under -POSIX a size may reach 2^63 - 1. Data that would end past the
 * largest archive offset, or past the end of a regular-file archive, are
 * refused: the member can be neither read nor passed over, and counting its
 * blocks would lose the walk's place. Without -POSIX sizes stay below 8 GiB
 * and a short archive fails where its data run out. */
static bool size_fits(void) {
    if (!posix_flag || !usize()) return true;
    const char *why = nullptr;
    int64_t left = z9_archive_left();
    if (st.st_size > kMaxArchiveOffset - z9_blocks_taken() * kBlockSize)
        why = "its size cannot be represented";
    else if (left >= 0 && st.st_size > left)
        why = "its data run past the end of the archive";
    if (why) refuse(kModule, __LINE__, "gethead", member_name(), why);
    return !why;
}

static int read_header(int quiet) {
    const char *text = "bad directory structure";
    ended_clean = false;
    ext_begin();
    // Under -POSIX the extended headers before a member are taken on the way.
    for (;;) {
        int r = next_header(&text);
        if (r == 0 && ext_waiting()) return bad_header("extended header without its member");
        ended_clean = r == 0;
        if (r != 1) return r;
        if (!quiet) log_fields();
        if (!read_attributes(hblock)) return bad_header(text);
        if (!posix_flag || !is_extension(hblock[kTypeOff])) break;
        Ext e = ext_take(&text);
        if (e == Ext::unreadable) return -1;
        if (e == Ext::bad) return bad_header(text);
    }
    ext_apply();
    if (!size_fits()) return -1;
    apply_overrides();
    if (nskipped != 0) {
        Z9_LOG(kSevInfo, "gethead", "%d blocks skipped to find header\n", nskipped);
        nskipped = 0;
    }
    read_tail(hblock);
    return 1;
}

int gethead(int quiet) {
    int r = read_header(quiet);
    // A compressed stream's check comes at its end: damage that made the
    // walk stop early is reported as what it is.
    return r == 0 && !z9_codec_drained() ? -1 : r;
}

/* ---- writer ------------------------------------------------------------ */

void nullblock(unsigned char *block) { memset(block, 0, kBlockSize); }

/* Writes value's octal digits right-aligned in the span, spaces to the left.
 * Shifting keeps the sign, so a negative value fills every place with 7s. */
static void put_octal(std::span<unsigned char> digits, int64_t value) {
    std::fill(digits.begin(), digits.end(), ' ');
    size_t i = digits.size();
    do digits[--i] = static_cast<unsigned char>('0' + (value & 7)); while ((value >>= 3) != 0 && i > 0);
}

/* The two numeric fields the writer fills: an 8-byte one with six digits, a
 * terminator and a zero byte, and a 12-byte one with eleven digits and a space. */
constexpr size_t kShortField = kModeLen, kLongField = kSizeLen;

/* Six-digit form: 16-bit signed value, so 32768..65535 come out as 7xxxxx
 * and read back as the same 16 bits. */
void procts(unsigned char *field, short value, char last) {
    std::span<unsigned char, kShortField> f(field, kShortField);
    put_octal(f.first<kShortField - 2>(), value);
    f[kShortField - 2] = static_cast<unsigned char>(last);
    f[kShortField - 1] = '\0';
}

/* Eleven-digit form: only the low 33 bits fit; larger sizes are cut. */
void proctl(unsigned char *field, int64_t value) {
    std::span<unsigned char, kLongField> f(field, kLongField);
    put_octal(f.first<kLongField - 1>(), value);
    f[kLongField - 1] = ' ';
}

void prcsum(unsigned char *block) {
    memset(block + kChksumOff, ' ', kChksumLen);
    procts(block + kChksumOff, static_cast<short>(headsum(block)), '\0');
}

int newhead(const char *name, int64_t size) {
    unsigned char *b = steptape();
    if (!b) return 0;
    hblock = b;
    nullblock(b);
    procts(b + kModeOff, static_cast<short>(st.st_mode & 07777), ' ');
    procts(b + kUidOff, static_cast<short>(static_cast<uint16_t>(st.st_uid)), ' ');
    procts(b + kGidOff, static_cast<short>(static_cast<uint16_t>(st.st_gid)), ' ');
    proctl(b + kSizeOff, size);
    proctl(b + kMtimeOff, static_cast<int64_t>(st.st_mtime));
    // Exactly 100 bytes leave no terminator; the reader expects that.
    memcpy(b + kNameOff, name, strnlen(name, kNameLen));
    return 1;
}

/* Names are stored as given, a leading slash included. */
const char *deleft(const char *name) { return name; }
