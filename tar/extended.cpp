/* extended.cpp - the modern dialect in the walk, used only under -POSIX:
 * long-name members ('L', 'K') and pax records ('x' for the next member, 'g'
 * for every later one) read for the member they precede, the extension
 * blocks of an old GNU sparse header behind it, where all those blocks lie
 * (a copy of the archive keeps or drops them with that member), and the
 * current member's full name and link name, which every mode gives out.
 * Holds what the records say and nothing of their data beyond it. */
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../tape/tape.h"
#include "posix.h"
#include "tar.h"

namespace {

constexpr const char kModule[] = "tar";

/* The current member's names as the walk hands them out; set by gethead. */
char g_name[kLongNameMax + 1], g_link[kLongNameMax + 1];

/* What the extension headers read so far say about the next member. */
struct Next {
    PaxAttrs pax;                       /* its 'x' records */
    bool has_lname = false, has_llink = false;
    char lname[kLongNameMax + 1] = {};  /* its 'L' name */
    char llink[kLongNameMax + 1] = {};  /* its 'K' link name */
    bool waiting = false;               /* one of them waits for its member */
};
Next g_next;
PaxAttrs g_global;   /* 'g' records: for every later member of the run */
bool g_global_seen;  /* a 'g' header was taken in this run */
PaxReader g_reader;  /* reads the records of one header as its blocks come */

/* Where the blocks gethead took besides the member's header lie: each
 * extension header with its data ('g' ones marked), and behind the header
 * the extension blocks of an old sparse map. Only a copy of the archive
 * (a delete or replace, always of a regular uncompressed file) reads them
 * again, from where they lie: nothing of them is held. */
struct Chunk {
    int64_t offset, blocks;
    bool global;
};
constexpr int kMaxChunks = 16;
struct Taken {
    Chunk chunks[kMaxChunks] = {};
    int count = 0;
    int64_t before = 0;   /* blocks of the extension headers */
    Chunk after = {};     /* the old sparse map's blocks */
};
Taken g_taken;

/* The header of an old sparse member, kept aside: reading its map's blocks
 * may refill the record that held it. */
unsigned char g_head[kBlockSize];

void forget(PaxAttrs *a) {
    a->has_path = a->has_link = a->has_size = a->has_mtime = a->has_uid = a->has_gid = false;
}

void forget_next(void) {
    forget(&g_next.pax);
    g_next.has_lname = g_next.has_llink = g_next.waiting = false;
}

/* A value GNU tar would warn about and pass over. Both are archive texts:
 * arguments, never a format. */
void log_ignored(std::string_view key, std::string_view value) {
    Z9_LOG(kSevInfo, "gethead", "ignoring malformed pax '%.*s' of '%.*s'", static_cast<int>(key.size()), key.data(),
           static_cast<int>(value.size()), value.data());
}

/* The archive offset of the block readtape handed out last. */
int64_t last_block(void) { return (z9_blocks_taken() - 1) * kBlockSize; }

/* A name from the data of an 'L' or 'K' member, up to its first zero byte:
 * its first bytes are held as they come, the rest passed over. */
struct LongName {
    char *out;
    size_t have = 0;
    void take(std::span<const unsigned char> piece) {
        size_t room = kLongNameMax + 1 - have, n = piece.size() < room ? piece.size() : room;
        memcpy(out + have, piece.data(), n);
        have += n;
    }
    bool end(const char **why) {
        size_t len = strnlen(out, have);
        *why = "long name of more than 4096 bytes";
        if (len > kLongNameMax) return false;
        out[len] = '\0';
        return true;
    }
};

/* Reads the data of the extension header in hblock block by block into its
 * reader; false with *failed telling a bad header from a failed read. */
bool read_data(int type, int64_t size, const char **why, Ext *failed) {
    LongName name{type == kTypeLongName ? g_next.lname : g_next.llink};
    bool pax = type == kTypePaxLocal || type == kTypePaxGlobal;
    g_reader.attrs = type == kTypePaxGlobal ? &g_global : &g_next.pax;
    *failed = Ext::bad;
    for (int64_t done = 0; done < size; done += kBlockSize) {
        const unsigned char *b = readtape();
        if (!b) {
            *failed = Ext::unreadable;
            return false;
        }
        std::span<const unsigned char> piece(b, size - done < kBlockSize ? size - done : kBlockSize);
        if (!pax) name.take(piece);
        else if (!pax_feed(&g_reader, piece, why)) return false;
    }
    return pax ? pax_end(&g_reader, why) : name.end(why);
}

/* One region (offset, then byte count) after another, from `count` entries
 * at off in block: *more stays set while the map goes on. An entry with no
 * byte count ends the map, as GNU tar reads it. */
void take_regions(const unsigned char *block, int off, int count, SparseInfo *s, bool *more) {
    for (int i = 0; i < count && *more; i++) {
        const unsigned char *entry = block + off + i * kSparseEntryLen;
        int64_t offset, bytes;
        if (entry[kSparseNumLen] == '\0') {
            *more = false;
        } else if (!read_long_field(block, static_cast<int>(entry - block), kSparseNumLen, &offset) ||
                   !read_long_field(block, static_cast<int>(entry - block) + kSparseNumLen, kSparseNumLen, &bytes)) {
            s->bad = "its sparse map is malformed";
            *more = false;
        } else {
            sparse_add(s, offset, bytes);
            s->has_map = true;
        }
    }
}

}  // namespace

bool is_extension(int type) {
    return type == kTypeLongName || type == kTypeLongLink || type == kTypePaxLocal || type == kTypePaxGlobal;
}

void ext_begin(void) {
    g_taken.count = 0;
    g_taken.before = 0;
    g_taken.after = {};
    sparse_begin();
}

Ext ext_take(const char **why) {
    int type = hblock[kTypeOff];
    int64_t size = st.st_size, left = z9_archive_left();
    // Checked before anything is read from what the header says.
    *why = "extended header runs past the end of the archive";
    if (left >= 0 && size > left) return Ext::bad;
    *why = "too many extended headers for one member";
    if (g_taken.count == kMaxChunks) return Ext::bad;
    int64_t blocks = 1 + data_blocks(size);
    g_taken.chunks[g_taken.count++] = {last_block(), blocks, type == kTypePaxGlobal};
    g_taken.before += blocks;
    // Only a member's own records may describe its sparse map.
    g_next.pax.sparse = sparse_info();
    g_next.pax.ignored = g_global.ignored = log_ignored;
    Ext failed;
    if (!read_data(type, size, why, &failed)) return failed;
    if (type == kTypePaxGlobal) g_global_seen = true;
    if (type == kTypeLongName) g_next.has_lname = true;
    if (type == kTypeLongLink) g_next.has_llink = true;
    if (type != kTypePaxGlobal) g_next.waiting = true;
    return Ext::taken;
}

Ext ext_take_sparse(void) {
    memcpy(g_head, hblock, kBlockSize);
    hblock = g_head;
    g_taken.after = {last_block() + kBlockSize, 0, false};
    SparseInfo *s = sparse_info();
    bool more = true;
    take_regions(g_head, kSparseOff, kSparseHeadEntries, s, &more);
    for (bool extended = g_head[kIsExtendedOff] != 0; more && extended;) {
        // Counted against the map's bound before it is read.
        if (!sparse_held(s, kBlockSize)) break;
        const unsigned char *b = readtape();
        if (!b) return Ext::unreadable;
        g_taken.after.blocks++;
        take_regions(b, 0, kSparseExtEntries, s, &more);
        extended = b[kSparseExtFlagOff] != 0;
    }
    int64_t real = 0;
    s->has_real = read_long_field(g_head, kRealSizeOff, kSparseNumLen, &real);
    s->real = real;
    return Ext::taken;
}

bool ext_waiting(void) { return g_next.waiting; }

namespace {

/* The value a member's 'x' records give, else its 'g' records, else none. */
const PaxAttrs *which(bool PaxAttrs::*has) {
    if (g_next.pax.*has) return &g_next.pax;
    return g_global.*has ? &g_global : nullptr;
}

void name_from_fields(const unsigned char *b) {
    HeaderText name(kNameOff), link(kLinkOff);
    Format f = header_format(b);
    bool ustar = posix_flag && (f == Format::ustar || f == Format::pax);
    size_t prefix = ustar ? strnlen(reinterpret_cast<const char *>(b + kPrefixOff), kPrefixLen) : 0;
    if (prefix)
        snprintf(g_name, sizeof g_name, "%.*s/%s", static_cast<int>(prefix),
                 reinterpret_cast<const char *>(b + kPrefixOff), name.text);
    else
        memcpy(g_name, name.text, sizeof name.text);
    memcpy(g_link, link.text, sizeof link.text);
}

}  // namespace

void ext_apply(void) {
    name_from_fields(hblock);
    if (!posix_flag) return;
    st.st_mtim.tv_nsec = 0;
    if (g_next.has_lname) z9_copy(g_name, sizeof g_name, g_next.lname);
    if (g_next.has_llink) z9_copy(g_link, sizeof g_link, g_next.llink);
    // The member's own 'x' records win over the 'L' and 'K' names and over
    // the global records; a sparse file's real name over its stand-in.
    if (const PaxAttrs *a = which(&PaxAttrs::has_path)) z9_copy(g_name, sizeof g_name, a->path);
    if (const PaxAttrs *a = which(&PaxAttrs::has_link)) z9_copy(g_link, sizeof g_link, a->link);
    if (const PaxAttrs *a = which(&PaxAttrs::has_size)) st.st_size = a->size;
    if (const PaxAttrs *a = which(&PaxAttrs::has_mtime)) st.st_mtim = a->mtime;
    if (const PaxAttrs *a = which(&PaxAttrs::has_uid)) st.st_uid = static_cast<uid_t>(a->uid);
    if (const PaxAttrs *a = which(&PaxAttrs::has_gid)) st.st_gid = static_cast<gid_t>(a->gid);
    sparse_settle();
    if (const char *real = sparse_name()) z9_copy(g_name, sizeof g_name, real);
    forget_next();
}

int64_t ext_blocks(void) { return g_taken.before + g_taken.after.blocks; }
int64_t ext_before(void) { return g_taken.before; }

namespace {

/* A chunk's blocks into the output, read again from where they lie. */
bool copy_chunk(const Chunk &c) {
    for (int64_t i = 0; i < c.blocks; i++) {
        unsigned char *out = steptape();
        if (!out || pread(handle, out, kBlockSize, static_cast<off_t>(c.offset + i * kBlockSize)) != kBlockSize) {
            if (out) z9_error_text(kModule, __LINE__, "ext_copy", "archive read error");
            return false;
        }
    }
    return true;
}

}  // namespace

bool ext_copy(bool keep) {
    for (int i = 0; i < g_taken.count; i++)
        if ((keep || g_taken.chunks[i].global) && !copy_chunk(g_taken.chunks[i])) return false;
    if (!keep) return true;
    unsigned char *out = steptape();
    if (!out) return false;
    memcpy(out, hblock, kBlockSize);
    // An old sparse header's map blocks follow it.
    return copy_chunk(g_taken.after);
}

bool ext_global_seen(void) { return g_global_seen; }

void ext_release(void) {
    g_global_seen = false;
    g_taken = Taken{};
    pax_reader_free(&g_reader);
    forget(&g_global);
    forget_next();
    sparse_release();
}

const char *member_name(void) { return g_name; }
const char *member_link(void) { return g_link; }
