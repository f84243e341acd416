/* posix.h - the modern header dialect read and written under -POSIX: GNU
 * long-name members, pax extended records, GNU tar's sparse maps, the ustar
 * name prefix and base-256 numbers. Field decoders and encoders here are pure
 * functions over bytes; the walk and the writer in header.cpp and
 * extended.cpp decide when they apply. */
#ifndef Z9_TAR_POSIX_H
#define Z9_TAR_POSIX_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>

#include "format.h"

/* A sparse file as GNU tar describes it: the version of its pax records, its
 * real name and size, and the map of its data regions in file order (the
 * stored data hold them one after another; everything between is a hole).
 * The map grows on the heap as its records come, at most kExtHeaderMax bytes
 * of them. */
struct SparseRegion {
    int64_t offset, bytes;
};
struct SparseInfo {
    bool has_major = false, has_minor = false, has_real = false, has_count = false, has_name = false;
    bool has_map = false;   /* a map record or a region was read */
    int64_t major = 0, minor = 0, real = 0, count = 0;
    char name[kLongNameMax + 1] = {};
    SparseRegion *regions = nullptr;
    size_t n = 0, cap = 0;
    int64_t held = 0;           /* bytes of map read so far */
    bool half = false;          /* an offset waits for its byte count */
    const char *bad = nullptr;  /* why the map cannot be used */
};

/* Adds a region to the map (false, with bad set, when memory runs out) and
 * counts `bytes` of map text or blocks against its bound; empties a map. */
bool sparse_add(SparseInfo *s, int64_t offset, int64_t bytes);
bool sparse_held(SparseInfo *s, int64_t bytes);
void sparse_clear(SparseInfo *s);

/* What is wrong with a map for a file of `real` bytes whose stored data hold
 * `stored` bytes: regions running backwards or overlapping, passing the real
 * size, or describing more data than are stored. None when it is sound. */
const char *sparse_check(const SparseInfo &s, int64_t real, int64_t stored);

/* The map at the head of a 1.0 member's data: "count\n", then "offset\n" and
 * "bytes\n" for each region, then padding to a block. Fed one block at a
 * time; done once every region is read. false when the text is malformed. */
struct MapText {
    int64_t count = -1;   /* regions announced; -1 until read */
    int64_t offset = -1;  /* the offset read of a region whose byte count is next */
    uint64_t value = 0;
    int digits = 0;
    bool done = false;
};
bool map_text_feed(MapText *t, std::span<const unsigned char> bytes, SparseInfo *s);

/* What pax records say about a member. Each value is set only when its key
 * was present with a value; an empty value unsets it again. */
struct PaxAttrs {
    bool has_path = false, has_link = false, has_size = false;
    bool has_mtime = false, has_uid = false, has_gid = false;
    char path[kLongNameMax + 1] = {};
    char link[kLongNameMax + 1] = {};
    int64_t size = 0;
    struct timespec mtime = {};
    int64_t uid = 0, gid = 0;
    SparseInfo *sparse = nullptr;   /* takes GNU.sparse.* records; none: passed over */
    /* Told of a record whose value is malformed and so passed over, as
     * GNU tar does: the header's own field stands instead. */
    void (*ignored)(std::string_view key, std::string_view value) = nullptr;
};

/* Reads the records "%d %s=%s\n" of one extended header's data as they come,
 * in pieces of any size, and applies them to attrs. Only the values of the
 * keys the library uses are held, each within its bound; any other value is
 * passed over whatever its size. */
struct PaxReader {
    PaxAttrs *attrs = nullptr;
    int state = 0;                  /* in the length, the key, the value, or the zero padding */
    uint64_t len = 0, at = 0;       /* the record's length and its bytes read */
    int key = -1;                   /* the key's index in the reader's table, or -1 */
    char name[24] = {};             /* the key as far as a known key reaches */
    size_t name_len = 0;
    char *value = nullptr;          /* the value held (heap), at most its key's bound */
    size_t value_len = 0, value_cap = 0;
    bool cut = false;               /* the value was longer than its bound */
};
/* false with *why set when a record is malformed (a length that does not
 * count itself, no '=', no newline at its end) or a held value is over its
 * bound; pax_end also when the data end inside a record. */
bool pax_feed(PaxReader *r, std::span<const unsigned char> bytes, const char **why);
bool pax_end(PaxReader *r, const char **why);
void pax_reader_free(PaxReader *r);

/* The whole data of one extended header at once. */
bool pax_parse(std::span<const unsigned char> data, PaxAttrs *attrs, const char **why);

/* A numeric field in base 256: the first byte 0x80 (positive) or 0xff
 * (negative, two's complement), the rest big-endian. false when the field is
 * not in base 256 or its value does not fit 64 bits. */
bool base256(std::span<const unsigned char> field, int64_t *value);

/* Writes one record "%d %s=%s\n" (the length counts itself) into out and
 * returns its length; 0 when it does not fit in room. */
size_t pax_record(char *out, size_t room, std::string_view key, std::string_view value);

/* Seconds and nanoseconds as a pax time: "1700000000" or "1700000000.5". */
size_t pax_time(char *out, size_t room, const struct timespec &t);

/* Where a ustar header may split a path into prefix and name: the index of
 * the '/' that ends the prefix, or -1 when the path needs no split (it fits
 * the name field) or cannot be split (it then needs a pax path record). */
int ustar_split(std::string_view path);

#endif
