/* extended.cpp - the modern dialect in the walk, used only under -POSIX:
 * long-name members ('L', 'K') and pax records ('x' for the next member, 'g'
 * for every later one) gathered for the member they precede, their raw blocks
 * (which a copy of the archive keeps or drops with that member), and the
 * current member's full name and link name, which every mode gives out. */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../tape/tape.h"
#include "posix.h"
#include "tar.h"

namespace {

/* The current member's names as the walk hands them out; set by gethead. */
char g_name[kLongNameMax + 1], g_link[kLongNameMax + 1];

/* What the extension headers read so far say about the next member. */
struct Next {
    PaxAttrs pax;                       /* its 'x' records */
    bool has_lname = false, has_llink = false;
    char lname[kLongNameMax + 1] = {};  /* its 'L' name */
    char llink[kLongNameMax + 1] = {};  /* its 'K' link name */
    bool waiting = false;               /* one of them waits for its member */
    int64_t bytes = 0;                  /* their data so far */
};
Next g_next;
PaxAttrs g_global;  /* 'g' records: for every later member of the run */
bool g_global_seen;  /* a 'g' header was taken in this run */

/* The raw blocks of the extension headers before the current member, in
 * archive order: each chunk is one header with its data, 'g' ones marked. */
struct Chunk {
    size_t off, len;
    bool global;
};
constexpr int kMaxChunks = 16;
struct Raw {
    unsigned char *buf = nullptr;
    size_t len = 0, cap = 0;
    Chunk chunks[kMaxChunks] = {};
    int count = 0;
    int64_t blocks = 0;
};
Raw g_raw;

void forget(PaxAttrs *a) {
    a->has_path = a->has_link = a->has_size = a->has_mtime = a->has_uid = a->has_gid = false;
}

/* Room for bytes more in the raw buffer; false when memory runs out. */
bool reserve(size_t bytes) {
    if (g_raw.len + bytes <= g_raw.cap) return true;
    size_t cap = g_raw.cap ? g_raw.cap : 8 * kBlockSize;
    while (cap < g_raw.len + bytes) cap *= 2;
    auto *buf = static_cast<unsigned char *>(realloc(g_raw.buf, cap));
    if (!buf) return false;
    g_raw.buf = buf;
    g_raw.cap = cap;
    return true;
}

/* A name from the data of an 'L' or 'K' member: up to its first zero byte. */
bool take_long(const unsigned char *data, int64_t size, char *out, const char **why) {
    size_t len = strnlen(reinterpret_cast<const char *>(data), static_cast<size_t>(size));
    if (len > kLongNameMax) {
        *why = "long name of more than 4096 bytes";
        return false;
    }
    memcpy(out, data, len);
    out[len] = '\0';
    return true;
}

/* A ustar header (magic "ustar" and a zero byte, version "00") carries the
 * name's leading directories in its prefix field. */
bool is_ustar(const unsigned char *b) {
    return memcmp(b + kMagicOff, "ustar\0" "00", 8) == 0;
}

void name_from_fields(const unsigned char *b) {
    HeaderText name(kNameOff), link(kLinkOff);
    size_t prefix = posix_flag && is_ustar(b) ? strnlen(reinterpret_cast<const char *>(b + kPrefixOff), kPrefixLen) : 0;
    if (prefix)
        snprintf(g_name, sizeof g_name, "%.*s/%s", static_cast<int>(prefix),
                 reinterpret_cast<const char *>(b + kPrefixOff), name.text);
    else
        memcpy(g_name, name.text, sizeof name.text);
    memcpy(g_link, link.text, sizeof link.text);
}

/* The value a member's 'x' records give, else its 'g' records, else none. */
const PaxAttrs *which(bool PaxAttrs::*has) {
    if (g_next.pax.*has) return &g_next.pax;
    return g_global.*has ? &g_global : nullptr;
}

}  // namespace

bool ustar_magic(void) { return memcmp(hblock + kMagicOff, "ustar", 5) == 0; }

bool is_extension(int type) { return type == 'L' || type == 'K' || type == 'x' || type == 'g'; }

void ext_begin(void) {
    g_raw.len = 0;
    g_raw.count = 0;
    g_raw.blocks = 0;
}

namespace {

/* The data of the extension header in hblock, as one piece: in place when
 * it fits a block and no copy of the archive wants the blocks, else gathered
 * (header first) into the raw buffer a copy writes out. Null when no block
 * can be read or no memory had; *failed tells which. */
const unsigned char *gather(int64_t blocks, Ext *failed) {
    if (!d_flag && blocks <= 1) {
        const unsigned char *b = blocks ? readtape() : hblock;
        *failed = Ext::unreadable;
        return b;
    }
    *failed = Ext::bad;
    if (!reserve(static_cast<size_t>(1 + blocks) * kBlockSize)) return nullptr;
    Chunk &c = g_raw.chunks[g_raw.count++];
    c = {g_raw.len, static_cast<size_t>(1 + blocks) * kBlockSize, hblock[kTypeOff] == 'g'};
    memcpy(g_raw.buf + g_raw.len, hblock, kBlockSize);
    g_raw.len += kBlockSize;
    *failed = Ext::unreadable;
    for (int64_t i = 0; i < blocks; i++) {
        const unsigned char *b = readtape();
        if (!b) return nullptr;
        memcpy(g_raw.buf + g_raw.len, b, kBlockSize);
        g_raw.len += kBlockSize;
    }
    return g_raw.buf + c.off + kBlockSize;
}

}  // namespace

Ext ext_take(const char **why) {
    int type = hblock[kTypeOff];
    int64_t size = st.st_size, left = z9_archive_left();
    int64_t blocks = data_blocks(size);
    // Limits checked before anything is allocated from what the header says.
    *why = "extended header of more than 1 MiB";
    if (size > kExtHeaderMax - g_next.bytes) return Ext::bad;
    *why = "extended header runs past the end of the archive";
    if (left >= 0 && size > left) return Ext::bad;
    *why = "too many extended headers for one member";
    if (g_raw.count == kMaxChunks) return Ext::bad;
    *why = "Unable to allocate memory for an extended header";
    Ext failed;
    const unsigned char *data = gather(blocks, &failed);
    if (!data) return failed;
    g_raw.blocks += 1 + blocks;
    std::span<const unsigned char> records(data, static_cast<size_t>(size));
    bool good = type == 'L'   ? take_long(data, size, g_next.lname, why)
                : type == 'K' ? take_long(data, size, g_next.llink, why)
                : type == 'x' ? pax_parse(records, &g_next.pax, why)
                              : pax_parse(records, &g_global, why);
    if (!good) return Ext::bad;
    if (type == 'g') g_global_seen = true;
    if (type == 'L') g_next.has_lname = true;
    if (type == 'K') g_next.has_llink = true;
    if (type != 'g') {
        g_next.waiting = true;
        g_next.bytes += size;
    }
    return Ext::taken;
}

bool ext_waiting(void) { return g_next.waiting; }

void ext_apply(void) {
    name_from_fields(hblock);
    if (!posix_flag) return;
    st.st_mtim.tv_nsec = 0;
    if (g_next.has_lname) z9_copy(g_name, sizeof g_name, g_next.lname);
    if (g_next.has_llink) z9_copy(g_link, sizeof g_link, g_next.llink);
    // The member's own 'x' records win over the 'L' and 'K' names and over
    // the global records.
    if (const PaxAttrs *a = which(&PaxAttrs::has_path)) z9_copy(g_name, sizeof g_name, a->path);
    if (const PaxAttrs *a = which(&PaxAttrs::has_link)) z9_copy(g_link, sizeof g_link, a->link);
    if (const PaxAttrs *a = which(&PaxAttrs::has_size)) st.st_size = a->size;
    if (const PaxAttrs *a = which(&PaxAttrs::has_mtime)) st.st_mtim = a->mtime;
    if (const PaxAttrs *a = which(&PaxAttrs::has_uid)) st.st_uid = static_cast<uid_t>(a->uid);
    if (const PaxAttrs *a = which(&PaxAttrs::has_gid)) st.st_gid = static_cast<gid_t>(a->gid);
    forget(&g_next.pax);
    g_next.has_lname = g_next.has_llink = g_next.waiting = false;
    g_next.bytes = 0;
}

int64_t ext_blocks(void) { return g_raw.blocks; }

bool ext_copy(bool keep) {
    for (int i = 0; i < g_raw.count; i++) {
        const Chunk &c = g_raw.chunks[i];
        if (!keep && !c.global) continue;
        for (size_t at = 0; at < c.len; at += kBlockSize) {
            unsigned char *out = steptape();
            if (!out) return false;
            memcpy(out, g_raw.buf + c.off + at, kBlockSize);
        }
    }
    return true;
}

bool ext_global_seen(void) { return g_global_seen; }

void ext_release(void) {
    g_global_seen = false;
    free(g_raw.buf);
    g_raw = Raw{};
    forget(&g_global);
    forget(&g_next.pax);
    g_next.has_lname = g_next.has_llink = g_next.waiting = false;
    g_next.bytes = 0;
}

const char *member_name(void) { return g_name; }
const char *member_link(void) { return g_link; }
