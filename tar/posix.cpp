/* posix.cpp - decoders and encoders of the modern header dialect: pax
 * records read as they come, GNU tar's sparse maps and their checks, base-256
 * numbers and the ustar name split. Pure functions over bytes: they log
 * nothing, and hold only what the caller's records give them (the heap parts
 * of a reader and a map). */
#include "posix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

/* std::string_view::substr without the out_of_range it may throw: the
 * library links no C++ runtime. */
std::string_view part(std::string_view v, size_t from, size_t count = std::string_view::npos) {
    if (from > v.size()) from = v.size();
    return {v.data() + from, count < v.size() - from ? count : v.size() - from};
}

/* A decimal number without sign; false when empty, not all digits, or
 * beyond max. */
bool decimal(std::string_view text, uint64_t max, uint64_t *value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    *value = v;
    return true;
}

/* "[-]seconds[.fraction]": the fraction is kept to nanoseconds; a negative
 * time counts back from the epoch, so -1.5 is 2 seconds back plus 0.5. */
bool pax_mtime(std::string_view text, struct timespec *t) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    size_t dot = text.find('.');
    std::string_view whole = part(text, 0, dot), fraction;
    if (dot != std::string_view::npos) fraction = part(text, dot + 1);
    uint64_t sec;
    if (!decimal(whole, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - 1, &sec)) return false;
    long nsec = 0, scale = 100000000;
    for (char c : fraction) {
        if (c < '0' || c > '9') return false;
        nsec += scale * (c - '0');
        scale /= 10;
    }
    t->tv_sec = static_cast<time_t>(sec);
    t->tv_nsec = nsec;
    if (negative && nsec > 0) {
        t->tv_sec = -t->tv_sec - 1;
        t->tv_nsec = 1000000000 - nsec;
    } else if (negative) {
        t->tv_sec = -t->tv_sec;
    }
    return true;
}


/* The keys the library uses and how much of each value it holds: a name
 * (a longer one is refused), a sparse map (bounded like every held value), a
 * number (a longer value is no number). */
constexpr size_t kNameHold = kLongNameMax + 1, kNumberHold = 32;
enum Key {
    kPath, kLinkpath, kSize, kMtime, kUid, kGid,
    kSparseSize, kSparseCount, kSparseOffset, kSparseBytes, kSparseMap, kSparseName,
    kSparseMajor, kSparseMinor, kSparseReal,
    kFirstSparse = kSparseSize
};
struct KeyInfo {
    std::string_view name;
    size_t hold;
};
constexpr KeyInfo kKeys[] = {
    {"path", kNameHold},
    {"linkpath", kNameHold},
    {"size", kNumberHold},
    {"mtime", kNumberHold},
    {"uid", kNumberHold},
    {"gid", kNumberHold},
    {"GNU.sparse.size", kNumberHold},
    {"GNU.sparse.numblocks", kNumberHold},
    {"GNU.sparse.offset", kNumberHold},
    {"GNU.sparse.numbytes", kNumberHold},
    {"GNU.sparse.map", static_cast<size_t>(kExtHeaderMax)},
    {"GNU.sparse.name", kNameHold},
    {"GNU.sparse.major", kNumberHold},
    {"GNU.sparse.minor", kNumberHold},
    {"GNU.sparse.realsize", kNumberHold},
};
constexpr uint64_t kMaxNumber = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

constexpr const char kMalformed[] = "malformed extended header record";
constexpr const char kMapMalformed[] = "its sparse map is malformed";
constexpr const char kMapLarge[] = "its sparse map is larger than 1 MiB";

bool fail(const char **why, const char *text) {
    *why = text;
    return false;
}

/* A path or link record: an empty value unsets what an earlier record set.
 * Of a longer value only the first bytes were held (cut): it is a name only
 * when it ends in them. */
bool take_name(std::string_view value, bool cut, bool *has, char *out, const char **why) {
    size_t zero = value.find('\0');
    value = part(value, 0, zero);
    if ((cut && zero == std::string_view::npos) || value.size() > kLongNameMax)
        return fail(why, "extended header name of more than 4096 bytes");
    memcpy(out, value.data(), value.size());
    out[value.size()] = '\0';
    *has = !value.empty();
    return true;
}

/* A record of a key the library uses whose value is not one is passed over,
 * the header's own field standing, as GNU tar does. */
void ignore(const PaxAttrs *a, Key key, std::string_view value) {
    if (a->ignored) a->ignored(kKeys[key].name, value);
}

void take_number(const PaxAttrs *a, Key key, std::string_view value, uint64_t max, bool *has, int64_t *out) {
    uint64_t v = 0;
    if (value.empty()) {
        *has = false;
    } else if (decimal(value, max, &v)) {
        *out = static_cast<int64_t>(v);
        *has = true;
    } else {
        ignore(a, key, value);
    }
}

/* "offset,bytes,offset,bytes...": the whole map of version 0.1. */
bool take_map(std::string_view value, SparseInfo *s) {
    s->n = 0;
    s->has_map = true;
    for (size_t i = 0;; i++) {
        size_t comma = value.find(',');
        uint64_t v;
        if (!decimal(part(value, 0, comma), kMaxNumber, &v)) return false;
        if (i % 2 == 0 && !sparse_add(s, static_cast<int64_t>(v), 0)) return false;
        if (i % 2 == 1) s->regions[s->n - 1].bytes = static_cast<int64_t>(v);
        if (comma == std::string_view::npos) return i % 2 == 1;
        value.remove_prefix(comma + 1);
    }
}

/* The field a numeric GNU.sparse record sets, with its flag. */
int64_t *sparse_field(SparseInfo *s, Key key, bool **has) {
    switch (key) {
    case kSparseCount: *has = &s->has_count; return &s->count;
    case kSparseMajor: *has = &s->has_major; return &s->major;
    case kSparseMinor: *has = &s->has_minor; return &s->minor;
    default: *has = &s->has_real; return &s->real;
    }
}

/* A GNU.sparse.* record. A value that is not what its key needs makes the
 * map unusable: the member is then refused rather than written wrong. */
void apply_sparse(Key key, std::string_view value, bool cut, SparseInfo *s) {
    const char *why = nullptr;
    uint64_t v = 0;
    bool good = !cut && sparse_held(s, static_cast<int64_t>(value.size()));
    if (good && key == kSparseName) {
        good = take_name(value, false, &s->has_name, s->name, &why);
    } else if (good && key == kSparseMap) {
        good = take_map(value, s);
    } else if (good && !decimal(value, kMaxNumber, &v)) {
        good = false;
    } else if (good && key == kSparseOffset) {
        // Version 0.0: each offset, then its byte count, in records of their own.
        good = !s->half && sparse_add(s, static_cast<int64_t>(v), 0);
        s->has_map = s->half = true;
    } else if (good && key == kSparseBytes) {
        good = s->half;
        if (good) s->regions[s->n - 1].bytes = static_cast<int64_t>(v);
        s->half = false;
    } else if (good) {
        bool *has;
        *sparse_field(s, key, &has) = static_cast<int64_t>(v);
        *has = true;
    }
    if (!good && !s->bad) s->bad = cut && key == kSparseMap ? kMapLarge : kMapMalformed;
}

/* One whole record, its value held as far as its key's bound. */
bool apply(const PaxReader *r, const char **why) {
    constexpr uint64_t kMaxId = std::numeric_limits<uint32_t>::max();
    if (r->key < 0) return true;   // a key this library does not use: passed over
    PaxAttrs *a = r->attrs;
    std::string_view value(r->value ? r->value : "", r->value_len);
    auto key = static_cast<Key>(r->key);
    if (key >= kFirstSparse) {
        apply_sparse(key, value, r->cut, a->sparse);
        return true;
    }
    if (key == kPath) return take_name(value, r->cut, &a->has_path, a->path, why);
    if (key == kLinkpath) return take_name(value, r->cut, &a->has_link, a->link, why);
    if (r->cut) {
        ignore(a, key, value);
    } else if (key == kSize) {
        take_number(a, key, value, kMaxNumber, &a->has_size, &a->size);
    } else if (key == kUid || key == kGid) {
        take_number(a, key, value, kMaxId, key == kUid ? &a->has_uid : &a->has_gid, key == kUid ? &a->uid : &a->gid);
    } else {
        struct timespec t;
        if (value.empty() || pax_mtime(value, &t)) {
            a->has_mtime = !value.empty();
            if (a->has_mtime) a->mtime = t;
        } else {
            ignore(a, key, value);
        }
    }
    return true;
}

/* Which known key the reader's key is, or -1: owner names, comments,
 * charsets and the like say nothing this library keeps, and GNU.sparse
 * records count only where a member's map is gathered. */
int find_key(const PaxReader *r) {
    std::string_view name(r->name, r->name_len);
    for (int k = 0; k < static_cast<int>(std::size(kKeys)); k++)
        if (kKeys[k].name == name) return k < kFirstSparse || r->attrs->sparse ? k : -1;
    return -1;
}

/* Keeps a piece of a value within its key's bound; the rest marks it cut. */
bool hold(PaxReader *r, std::span<const unsigned char> piece, const char **why) {
    size_t bound = kKeys[r->key].hold, take = piece.size();
    if (take > bound - r->value_len) {
        take = bound - r->value_len;
        r->cut = true;
    }
    if (r->value_len + take > r->value_cap) {
        size_t cap = r->value_cap ? r->value_cap : 256;
        while (cap < r->value_len + take) cap *= 2;
        if (cap > bound) cap = bound;
        auto *v = static_cast<char *>(realloc(r->value, cap));
        if (!v) return fail(why, "Unable to allocate memory for an extended header");
        r->value = v;
        r->value_cap = cap;
    }
    if (take) memcpy(r->value + r->value_len, piece.data(), take);
    r->value_len += take;
    return true;
}

enum State { kLength, kKey, kValue, kPad };

void next_record(PaxReader *r) {
    r->state = kLength;
    r->len = r->at = 0;
    r->name_len = r->value_len = 0;
    r->key = -1;
    r->cut = false;
}

/* The length and the key, a byte at a time; false when malformed: the
 * length must count itself, and the key must be followed by '=' and leave
 * room for the record's newline. */
bool frame_byte(PaxReader *r, unsigned char c) {
    if (r->state == kLength) {
        if (c >= '0' && c <= '9' && r->len < (uint64_t{1} << 59)) {
            r->len = r->len * 10 + (c - '0');
        } else if (c == ' ' && r->at > 0) {
            r->state = kKey;
        } else {
            return false;
        }
        return ++r->at < r->len || r->state == kLength;
    }
    if (++r->at >= r->len) return false;
    if (c != '=') {
        if (r->name_len < sizeof r->name) r->name[r->name_len] = static_cast<char>(c);
        r->name_len++;
        return true;
    }
    if (r->name_len == 0) return false;
    r->key = r->name_len <= sizeof r->name ? find_key(r) : -1;
    r->state = kValue;
    return true;
}

}  // namespace

bool pax_feed(PaxReader *r, std::span<const unsigned char> bytes, const char **why) {
    while (!bytes.empty()) {
        if (r->state == kPad) {
            // Some writers pad the data with zero bytes after the last record.
            for (unsigned char c : bytes)
                if (c != '\0') return fail(why, kMalformed);
            return true;
        }
        if (r->state == kLength && r->at == 0 && bytes[0] == '\0') {
            r->state = kPad;
            continue;
        }
        if (r->state != kValue) {
            if (!frame_byte(r, bytes[0])) return fail(why, kMalformed);
            bytes = bytes.subspan(1);
            continue;
        }
        // The value's bytes in one piece, as many as this piece holds; the
        // record's last byte must be its newline.
        uint64_t left = r->len - 1 - r->at;
        size_t n = left < bytes.size() ? static_cast<size_t>(left) : bytes.size();
        if (n > 0) {
            if (r->key >= 0 && !hold(r, bytes.first(n), why)) return false;
            r->at += n;
            bytes = bytes.subspan(n);
            continue;
        }
        if (bytes[0] != '\n') return fail(why, kMalformed);
        bytes = bytes.subspan(1);
        if (!apply(r, why)) return false;
        next_record(r);
    }
    return true;
}

bool pax_end(PaxReader *r, const char **why) {
    bool whole = r->state == kPad || (r->state == kLength && r->at == 0);
    next_record(r);
    return whole || fail(why, kMalformed);
}

void pax_reader_free(PaxReader *r) {
    free(r->value);
    r->value = nullptr;
    r->value_cap = 0;
    next_record(r);
}

bool pax_parse(std::span<const unsigned char> data, PaxAttrs *attrs, const char **why) {
    PaxReader r;
    r.attrs = attrs;
    next_record(&r);
    bool good = pax_feed(&r, data, why) && pax_end(&r, why);
    pax_reader_free(&r);
    return good;
}

/* ---- sparse maps ------------------------------------------------------- */

bool sparse_add(SparseInfo *s, int64_t offset, int64_t bytes) {
    if (s->n == s->cap) {
        size_t cap = s->cap ? s->cap * 2 : 16;
        auto *r = static_cast<SparseRegion *>(realloc(s->regions, cap * sizeof(SparseRegion)));
        if (!r) {
            s->bad = "Unable to allocate memory for its sparse map";
            return false;
        }
        s->regions = r;
        s->cap = cap;
    }
    s->regions[s->n++] = {offset, bytes};
    return true;
}

bool sparse_held(SparseInfo *s, int64_t bytes) {
    s->held += bytes;
    if (s->held <= kExtHeaderMax) return true;
    if (!s->bad) s->bad = kMapLarge;
    return false;
}

void sparse_clear(SparseInfo *s) {
    SparseRegion *keep = s->regions;
    size_t cap = s->cap;
    *s = SparseInfo{};
    s->regions = keep;
    s->cap = cap;
}

const char *sparse_check(const SparseInfo &s, int64_t real, int64_t stored) {
    if (s.bad) return s.bad;
    if (s.half || (s.has_count && s.count != static_cast<int64_t>(s.n)) || real < 0) return kMapMalformed;
    int64_t end = 0, data = 0;
    for (size_t i = 0; i < s.n; i++) {
        const SparseRegion &r = s.regions[i];
        if (r.offset < 0 || r.bytes < 0) return kMapMalformed;
        if (i > 0 && r.offset < s.regions[i - 1].offset) return "its sparse map runs backwards";
        if (r.offset < end) return "its sparse map has regions that overlap";
        // Compared without a sum that could pass 64 bits.
        if (r.offset > real || r.bytes > real - r.offset) return "its sparse map runs past the file's size";
        end = r.offset + r.bytes;
        data += r.bytes;   // regions apart inside the real size: no overflow
    }
    return data > stored ? "its sparse map holds more data than the member" : nullptr;
}

bool map_text_feed(MapText *t, std::span<const unsigned char> bytes, SparseInfo *s) {
    s->has_map = true;
    for (size_t i = 0; i < bytes.size() && !t->done; i++) {
        unsigned char c = bytes[i];
        if (c >= '0' && c <= '9' && t->digits < 18) {
            t->value = t->value * 10 + (c - '0');
            t->digits++;
            continue;
        }
        if (c != '\n' || t->digits == 0) {
            s->bad = kMapMalformed;
            return false;
        }
        auto v = static_cast<int64_t>(t->value);
        t->value = 0;
        t->digits = 0;
        if (t->count < 0) {
            t->count = v;
        } else if (t->offset < 0) {
            t->offset = v;
        } else {
            if (!sparse_add(s, t->offset, v)) return false;
            t->offset = -1;
        }
        t->done = t->count == static_cast<int64_t>(s->n) && t->offset < 0;
    }
    return sparse_held(s, static_cast<int64_t>(bytes.size()));
}

bool base256(std::span<const unsigned char> field, int64_t *value) {
    if (field.empty() || (field[0] != 0x80 && field[0] != 0xff)) return false;
    bool negative = field[0] == 0xff;
    uint64_t v = negative ? ~uint64_t{0} : 0;
    // Every byte but the marker counts; the leading ones must only extend
    // the sign for the value to fit in 64 bits.
    for (size_t i = 1; i < field.size(); i++) {
        if ((v >> 56) != (negative ? 0xffu : 0u)) return false;
        v = (v << 8) | field[i];
    }
    if ((static_cast<int64_t>(v) < 0) != negative) return false;
    *value = static_cast<int64_t>(v);
    return true;
}

size_t pax_record(char *out, size_t room, std::string_view key, std::string_view value) {
    // The length counts its own digits: start from the rest and grow until
    // the digit count stops changing.
    size_t rest = 1 + key.size() + 1 + value.size() + 1, len = rest;
    for (int i = 0; i < 3; i++) len = rest + static_cast<size_t>(snprintf(nullptr, 0, "%zu", len));
    if (len > room) return 0;
    int n = snprintf(out, room, "%zu %.*s=", len, static_cast<int>(key.size()), key.data());
    memcpy(out + n, value.data(), value.size());
    out[len - 1] = '\n';
    return len;
}

size_t pax_time(char *out, size_t room, const struct timespec &t) {
    int n;
    if (t.tv_nsec == 0) {
        n = snprintf(out, room, "%lld", static_cast<long long>(t.tv_sec));
    } else if (t.tv_sec < 0) {
        // 2 seconds back plus 0.5 is -1.5.
        n = snprintf(out, room, "-%lld.%09ld", -static_cast<long long>(t.tv_sec) - 1, 1000000000 - t.tv_nsec);
    } else {
        n = snprintf(out, room, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
    }
    if (n < 0 || static_cast<size_t>(n) >= room) return 0;
    size_t len = static_cast<size_t>(n);
    if (t.tv_nsec != 0)
        while (out[len - 1] == '0') out[--len] = '\0';
    return len;
}

int ustar_split(std::string_view path) {
    constexpr size_t kName = 100, kPrefix = kPrefixLen;
    if (path.size() <= kName || path.size() > kName + 1 + kPrefix) return -1;
    // The shortest prefix that leaves a name that fits.
    size_t from = path.size() - kName - 1;
    for (size_t i = from; i < path.size() && i <= kPrefix; i++)
        if (path[i] == '/' && i > 0 && i + 1 < path.size()) return static_cast<int>(i);
    return -1;
}

