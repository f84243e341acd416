/* posix.h - the modern header dialect read and written under -POSIX: GNU
 * long-name members, pax extended records, the ustar name prefix and base-256
 * numbers. Field decoders and encoders here are pure functions over bytes;
 * the walk and the writer in header.cpp decide when they apply. */
#ifndef Z9_TAR_POSIX_H
#define Z9_TAR_POSIX_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>

#include "format.h"


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
};

/* Applies the records "%d %s=%s\n" of an extended header's data to attrs.
 * false with *why set when a record is malformed: a length that does not
 * count itself exactly, runs past the data, or a number that is not one. */
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

/* Writes value as zero-padded octal filling the field but its last byte,
 * which is a zero byte. false when the value does not fit (or is negative). */
bool put_ustar_octal(std::span<unsigned char> field, int64_t value);

#endif
