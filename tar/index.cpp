/* index.cpp - the member index that outlives a call: a walk that read an
 * archive to its end marker cleanly leaves every member's name and place
 * behind, and a later extraction from the same, unchanged archive goes
 * straight to the members it selects. Process-wide, used under the call lock;
 * holds at most kEntries archives and kBudget bytes, least recently used out,
 * and remembers the archives that get no index, so that they cost no more. */
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "../tape/tape.h"
#include "tar.h"

namespace {

constexpr const char kModule[] = "tar";
constexpr int kEntries = 16;
constexpr size_t kBudget = size_t{64} << 20;

/* One member: where its blocks start (its first extension header, or its
 * header), how many extension blocks lie before the header, and what its
 * header says, to tell the same member again. */
struct Member {
    int64_t start;
    uint64_t sum;         /* the checksum field's raw bytes */
    uint32_t name;        /* the name in the entry's name arena ... */
    uint16_t len;         /* ... of at most kLongNameMax bytes */
    uint16_t ext;         /* extension blocks before the header */
};
static_assert(kLongNameMax <= UINT16_MAX);

/* An archive as a call sees it: its file's status when it was opened, and
 * the dialect its names were read in. */
struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {}, ctime = {};
    bool posix = false;
};

/* One archive: its identity, its members in archive order, their names, and
 * their positions in name order for selection by a name without wildcards. */
struct Entry {
    Identity id;
    GzPoints *points = nullptr;   /* a gzip archive's places to decode from, once a walk made them */
    bool gzip = false;
    int64_t end = 0;              /* where the end marker lies (the decoded offset in a gzip one) */
    Member *members = nullptr;
    size_t count = 0, cap = 0;
    char *names = nullptr;
    size_t names_len = 0, names_cap = 0;
    uint32_t *by_name = nullptr;
    uint64_t used = 0;    /* when it was last used: the clock below */
};

Entry g_cache[kEntries];
Identity g_unindexed[kEntries];   /* archives a walk found no index can serve; oldest out */
int g_unindexed_next;     /* the slot of g_unindexed the next one takes */
Entry g_walk;             /* the index a walk in progress builds */
GzPoints *g_points;       /* the points a walk of a gzip archive records */
bool g_building;          /* the walk is clean so far */
bool g_never;             /* the walk met what no index of its archive could give back */
uint64_t g_clock;
int g_enabled = -1;       /* read once from Z9TAR_NO_INDEX */
size_t g_budget = kBudget;   /* the cache's bytes; only tests change it */
size_t g_grown;           /* bytes walks' entries grew by, summed over walks, for tests */

void release(Entry *e) {
    gz_points_free(e->points);
    free(e->members);
    free(e->names);
    free(e->by_name);
    *e = Entry{};
}

/* What an entry holds with room for members members and names bytes of
 * names, its name order included (made later, but counted from the start). */
size_t entry_bytes(size_t members, size_t names) { return members * (sizeof(Member) + sizeof(uint32_t)) + names; }

size_t bytes_of(const Entry &e) { return entry_bytes(e.cap, e.names_cap) + gz_points_bytes(e.points); }

bool enabled() {
    if (g_enabled < 0) g_enabled = getenv("Z9TAR_NO_INDEX") == nullptr;
    return g_enabled != 0;
}

/* Only a regular-file archive, as it lies or gzip'ed, by a run that changes
 * nothing, with no damage reported from a run before. */
bool eligible() {
    Codec c = z9_archive_codec();
    return enabled() && S_ISREG(sa.st_mode) && (c == Codec::none || c == Codec::gzip) && nskipped == 0 &&
           !a_flag && !d_flag;
}

/* The archive open in this run (its status in sa). */
Identity this_archive() {
    const struct stat &s = sa;
    return {s.st_dev, s.st_ino, s.st_size, s.st_mtim, s.st_ctim, posix_flag != 0};
}

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same(const Identity &a, const Identity &b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && same_time(a.mtime, b.mtime) &&
           same_time(a.ctime, b.ctime) && a.posix == b.posix;
}

bool unindexed(const Identity &id) {
    for (const Identity &u : g_unindexed)
        if (same(u, id)) return true;
    return false;
}

/* The room a buffer of cap elements grows to for need of them. */
size_t grown(size_t cap, size_t need) {
    if (need <= cap) return cap;
    size_t cap2 = cap ? cap * 2 : 1024;
    while (cap2 < need) cap2 *= 2;
    return cap2;
}

template <typename T>
bool grow(T **buf, size_t *cap, size_t need) {
    size_t cap2 = grown(*cap, need);
    if (cap2 == *cap) return true;
    auto *b = static_cast<T *>(realloc(*buf, cap2 * sizeof(T)));
    if (!b) return false;
    *buf = b;
    *cap = cap2;
    return true;
}

std::string_view name_of(const Entry &e, const Member &m) { return {e.names + m.name, m.len}; }

uint64_t raw_sum(const unsigned char *b) {
    uint64_t v;
    memcpy(&v, b + kChksumOff, sizeof v);
    return v;
}

/* Makes room for bytes more in the cache: the least recently used go. */
Entry *free_slot(size_t bytes) {
    for (;;) {
        size_t total = 0;
        Entry *oldest = nullptr, *empty = nullptr;
        for (Entry &e : g_cache) {
            if (!e.members) {
                empty = &e;
                continue;
            }
            total += bytes_of(e);
            if (!oldest || e.used < oldest->used) oldest = &e;
        }
        if (empty && total + bytes <= g_budget) return empty;
        if (!oldest) return nullptr;
        release(oldest);
    }
}

}  // namespace

/* The archive's identity is its status when it was opened (sa): a file
 * changed since then differs from it in the next call. */
void index_drop(void) {
    for (Entry &e : g_cache)
        if (e.members && e.id.dev == sa.st_dev && e.id.ino == sa.st_ino) release(&e);
    for (Identity &u : g_unindexed)
        if (u.dev == sa.st_dev && u.ino == sa.st_ino) u = Identity{};
}

namespace {

/* The archive open gets no index while it stays as it is: later calls walk it
 * as they would without the index, and build nothing on the way. */
void unindex(void) {
    index_drop();
    g_unindexed[g_unindexed_next] = this_archive();
    g_unindexed_next = (g_unindexed_next + 1) % kEntries;
}

/* The walk builds no more; its memory goes at once, not at the walk's end.
 * never: no walk of this archive could build an index that serves. */
void stop_building(bool never) {
    g_building = false;
    g_never = never;
    release(&g_walk);
}

}  // namespace

void index_walk_begin(void) {
    g_building = eligible() && !unindexed(this_archive());
    g_never = false;
    g_walk.count = g_walk.names_len = 0;
}

void index_walk_member(int64_t start, int64_t passed) {
    if (!g_building) return;
    // Damage passed over, or a global header some later member depends on:
    // no index would give back what this walk saw.
    if (passed != 0 || ext_global_seen()) return stop_building(false);
    // A size below the coded size has an extraction read the data as headers,
    // which a walk passing the member over skips: which members a walk meets
    // then depends on its pattern.
    if (codesize > st.st_size) return stop_building(true);
    // Extension headers of more blocks than a member's entry counts (their
    // unknown records are passed over, whatever their size).
    if (ext_before() > UINT16_MAX) return stop_building(true);
    std::string_view name = member_name();
    size_t members = grown(g_walk.cap, g_walk.count + 1);
    size_t names = grown(g_walk.names_cap, g_walk.names_len + name.size());
    // An entry that would not fit the cache is not built to the end first.
    if (entry_bytes(members, names) > g_budget) return stop_building(true);
    size_t had = entry_bytes(g_walk.cap, g_walk.names_cap);
    if (!grow(&g_walk.members, &g_walk.cap, members) || !grow(&g_walk.names, &g_walk.names_cap, names))
        return stop_building(false);
    g_grown += entry_bytes(members, names) - had;
    memcpy(g_walk.names + g_walk.names_len, name.data(), name.size());
    g_walk.members[g_walk.count++] = {start, raw_sum(hblock), static_cast<uint32_t>(g_walk.names_len),
                                      static_cast<uint16_t>(name.size()), static_cast<uint16_t>(ext_before())};
    g_walk.names_len += name.size();
}

void index_walk_end(bool clean) {
    bool keep = g_building && clean && g_walk.count > 0;
    // A walk that was to record a gzip archive's points and did not get
    // them would only be repeated by every later call.
    bool never = g_never || g_points;
    g_building = g_never = false;
    GzPoints *points = g_points;
    g_points = nullptr;
    Entry &w = g_walk;
    w.points = points;
    Entry *slot = keep ? free_slot(bytes_of(w)) : nullptr;
    if (!slot) {
        release(&w);
        if (never || keep) unindex();
        return;
    }
    index_drop();   // an older index of this file
    w.id = this_archive();
    w.gzip = z9_archive_codec() == Codec::gzip;
    // The walk's last block was the end marker.
    w.end = (z9_blocks_taken() - 1) * kBlockSize;
    w.used = ++g_clock;
    *slot = w;
    g_walk = Entry{};
}

size_t index_budget(size_t bytes) {
    g_budget = bytes ? bytes : kBudget;
    size_t grown = g_grown;
    g_grown = 0;
    return grown;
}

namespace {

/* The members in name order, made when first needed: the walk that builds
 * an index must cost no more than a walk without one. */
bool sort_names(Entry &e) {
    if (e.by_name) return true;
    e.by_name = static_cast<uint32_t *>(malloc(e.count * sizeof(uint32_t)));
    if (!e.by_name) return false;
    for (uint32_t i = 0; i < e.count; i++) e.by_name[i] = i;
    std::sort(e.by_name, e.by_name + e.count, [&](uint32_t a, uint32_t b) {
        std::string_view x = name_of(e, e.members[a]), y = name_of(e, e.members[b]);
        return x < y || (x == y && a < b);
    });
    return true;
}

/* The members a pattern selects, in archive order: as the walk selects them.
 * A name without wildcards is found in name order, with the members below
 * it; the empty pattern (every member, in a listing run) is no name. */
size_t select(Entry &e, const char *pattern, uint32_t *out) {
    size_t n = 0;
    if (pattern[0] == '\0' || strpbrk(pattern, "*?")) {
        for (uint32_t i = 0; i < e.count; i++) {
            std::string_view name = name_of(e, e.members[i]);
            char buf[kLongNameMax + 1];
            memcpy(buf, name.data(), name.size());
            buf[name.size()] = '\0';
            if (selects(pattern, buf)) out[n++] = i;
        }
        return n;
    }
    if (!sort_names(e)) return SIZE_MAX;
    std::string_view want(pattern);
    auto less = [&](uint32_t a, std::string_view b) { return name_of(e, e.members[a]) < b; };
    uint32_t *end = e.by_name + e.count;
    for (uint32_t *p = std::lower_bound(e.by_name, end, want, less); p != end; p++) {
        std::string_view name = name_of(e, e.members[*p]);
        if (name.size() < want.size() || memcmp(name.data(), want.data(), want.size()) != 0) break;
        if (name.size() == want.size() || name[want.size()] == '/') out[n++] = *p;
    }
    std::sort(out, out + n);
    return n;
}

/* The member's header still lies where the index says, as it was. A gzip
 * archive's can only be seen when it is read. */
bool unchanged(const Entry &e, const Member &m) {
    if (e.gzip) return true;
    unsigned char b[kBlockSize];
    off_t at = static_cast<off_t>(m.start + int64_t{m.ext} * kBlockSize);
    if (pread(handle, b, sizeof b, at) != kBlockSize || raw_sum(b) != m.sum) return false;
    // The classic name is the name field itself: it must be the same too.
    if (e.id.posix || m.len > kNameLen) return true;
    return strnlen(reinterpret_cast<const char *>(b), kNameLen) == m.len && memcmp(b, e.names + m.name, m.len) == 0;
}

/* The end marker is still a zero block: members written behind the old end
 * (through a shared mapping, which may leave the file's size and times as
 * they were) are seen. A gzip archive's cannot be read without decoding. */
bool end_intact(const Entry &e) {
    unsigned char first;
    return e.gzip || (pread(handle, &first, 1, static_cast<off_t>(e.end)) == 1 && first == 0);
}

/* The member index of the archive open, if there is one. */
Entry *find(void) {
    Identity id = this_archive();
    for (Entry &c : g_cache)
        if (c.members && same(c.id, id)) return &c;
    return nullptr;
}

/* A gzip archive walked once is walked again, this time recording places to
 * decode from; from then on its members are reached directly. What the
 * entry already takes is what the places may not. */
void record_points(const Entry &e) {
    size_t taken = bytes_of(e);
    g_points = gz_points_new(g_budget > taken ? g_budget - taken : 0);
    if (g_points && z9_gzip_recording(g_points)) return;
    gz_points_free(g_points);
    g_points = nullptr;
    unindex();
}

}  // namespace

int index_extract(const char *pattern, int quiet) {
    if (!pattern || !eligible() || u_flag || z9_log_is_open()) return -1;
    Entry *e = find();
    if (!e) return -1;
    e->used = ++g_clock;
    if (e->gzip && !e->points) {
        record_points(*e);
        return -1;
    }
    auto *chosen = static_cast<uint32_t *>(malloc((e->count + 1) * sizeof(uint32_t)));
    if (!chosen) return -1;
    size_t n = select(*e, pattern, chosen);
    if (n == SIZE_MAX) {
        free(chosen);
        return -1;
    }
    // A file rewritten within the clock's grain keeps its times: the first
    // header and the chosen ones must still be what the index holds.
    bool same = end_intact(*e) && unchanged(*e, e->members[0]);
    for (size_t i = 0; same && i < n; i++) same = unchanged(*e, e->members[chosen[i]]);
    if (!same) {
        release(e);
        free(chosen);
        return -1;
    }
    int acted = 0;
    for (size_t i = 0; i < n; i++) {
        const Member &m = e->members[chosen[i]];
        bool there = e->gzip ? z9_gzip_seek(e->points, m.start) : z9_read_from(m.start);
        int r = there ? gethead(quiet) : -1;
        // A header that is not the one indexed: the archive changed while
        // keeping its times (a gzip one shows it only now).
        if (r == 1 && raw_sum(hblock) != m.sum) {
            z9_error_text(kModule, __LINE__, "extract", "archive read error");
            r = -1;
        }
        if (r != 1 || !extract()) {
            if (!there) z9_error_text(kModule, __LINE__, "extract", "archive read error");
            free(chosen);
            return 0;
        }
        acted++;
    }
    free(chosen);
    return scan_result(pattern, acted);
}
