/* posix.cpp - decoders and encoders of the modern header dialect: pax
 * records, base-256 numbers, ustar octal fields and the ustar name split.
 * Pure functions over bytes; they hold no state and log nothing. */
#include "posix.h"

#include <cstdio>
#include <cstring>
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

/* A path or link record: an empty value unsets what an earlier record set. */
bool take_name(std::string_view value, bool *has, char *out, const char **why) {
    value = part(value, 0, value.find('\0'));
    if (value.size() > kLongNameMax) {
        *why = "extended header name of more than 4096 bytes";
        return false;
    }
    memcpy(out, value.data(), value.size());
    out[value.size()] = '\0';
    *has = !value.empty();
    return true;
}

bool take_number(std::string_view value, uint64_t max, bool *has, int64_t *out, const char **why) {
    uint64_t v = 0;
    if (value.empty()) {
        *has = false;
        return true;
    }
    if (!decimal(value, max, &v)) {
        *why = "extended header number that is not one";
        return false;
    }
    *out = static_cast<int64_t>(v);
    *has = true;
    return true;
}

bool apply(std::string_view key, std::string_view value, PaxAttrs *a, const char **why) {
    constexpr uint64_t kMaxSize = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    constexpr uint64_t kMaxId = std::numeric_limits<uint32_t>::max();
    if (key == "path") return take_name(value, &a->has_path, a->path, why);
    if (key == "linkpath") return take_name(value, &a->has_link, a->link, why);
    if (key == "size") return take_number(value, kMaxSize, &a->has_size, &a->size, why);
    if (key == "uid") return take_number(value, kMaxId, &a->has_uid, &a->uid, why);
    if (key == "gid") return take_number(value, kMaxId, &a->has_gid, &a->gid, why);
    if (key == "mtime") {
        a->has_mtime = !value.empty();
        if (value.empty() || pax_mtime(value, &a->mtime)) return true;
        *why = "extended header time that is not one";
        return false;
    }
    // Owner names need no check, and other keys (comments, charsets, the
    // sparse maps of other writers) say nothing this library keeps.
    return true;
}

}  // namespace

bool pax_parse(std::span<const unsigned char> data, PaxAttrs *attrs, const char **why) {
    std::string_view text(reinterpret_cast<const char *>(data.data()), data.size());
    while (!text.empty()) {
        // Some writers pad the data with zero bytes after the last record.
        if (text.find_first_not_of('\0') == std::string_view::npos) break;
        size_t space = text.find(' ');
        uint64_t len = 0;
        *why = "malformed extended header record";
        if (space == std::string_view::npos || !decimal(part(text, 0, space), text.size(), &len)) return false;
        if (len <= space + 1 || text[len - 1] != '\n') return false;
        std::string_view record = part(text, space + 1, len - space - 2);
        size_t eq = record.find('=');
        if (eq == std::string_view::npos || eq == 0) return false;
        if (!apply(part(record, 0, eq), part(record, eq + 1), attrs, why)) return false;
        text.remove_prefix(len);
    }
    return true;
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

bool put_ustar_octal(std::span<unsigned char> field, int64_t value) {
    size_t digits = field.size() - 1;
    if (value < 0 || (digits < 21 && static_cast<uint64_t>(value) >> (3 * digits) != 0)) return false;
    for (size_t i = digits; i-- > 0; value >>= 3) field[i] = static_cast<unsigned char>('0' + (value & 7));
    field[digits] = '\0';
    return true;
}
