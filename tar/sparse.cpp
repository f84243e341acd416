/* sparse.cpp - sparse members, read under -POSIX: which of GNU tar's four
 * encodings the current member uses (the old GNU header with its extension
 * blocks, pax records of 0.0 and 0.1, the map at the head of the data of
 * 1.0), the checks its map must pass before anything is made, and the copy
 * of its data regions into the host's buffer or into a file that keeps the
 * holes. Owns the current member's map; reads hblock, st and file_flag. */
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "../tape/tape.h"
#include "posix.h"
#include "tar.h"

namespace {

constexpr const char kModule[] = "sparse";

/* Where the member's map comes from: its header and records (old GNU, 0.0,
 * 0.1), or the head of its data (1.0), read when it is extracted. */
enum class Kind { none, records, in_data };

SparseInfo g_info;   /* the current member's map; gethead fills it, the next one empties it */
Kind g_kind;         /* set by sparse_settle for every member gethead reads */
int64_t g_data;      /* stored bytes that hold the regions (1.0: behind its map) */

void refused(const char *why) { refuse(kModule, __LINE__, "gethead", member_name(), why); }

/* Bytes into the output where it stands: all of them, or the run fails. */
bool put(int fd, const unsigned char *bytes, size_t n) {
    if (pwritefile(fd, bytes, n) == static_cast<ssize_t>(n)) return true;
    z9_error(kModule, __LINE__, "restore", "error extracting '%s'", ofname);
    return false;
}

}  // namespace

SparseInfo *sparse_info(void) { return &g_info; }

void sparse_begin(void) {
    sparse_clear(&g_info);
    g_kind = Kind::none;
}

void sparse_release(void) {
    free(g_info.regions);
    g_info = SparseInfo{};
    g_kind = Kind::none;
}

void sparse_settle(void) {
    g_kind = Kind::none;
    if (!posix_flag) return;
    SparseInfo &s = g_info;
    if (hblock[kTypeOff] == kTypeGnuSparse) {
        g_kind = Kind::records;
    } else if (!plain_file()) {
        return;   // only a regular member is a sparse file
    } else if (s.has_major || s.has_minor) {
        g_kind = s.major == 1 && s.minor == 0 ? Kind::in_data : Kind::records;
        if (g_kind == Kind::records && !s.bad) s.bad = "its sparse format is not one this library reads";
    } else if (s.has_map || s.has_real || s.bad) {
        g_kind = Kind::records;
    }
}

bool sparse_member(void) { return g_kind != Kind::none; }
int64_t sparse_size(void) { return g_info.real; }
int64_t sparse_stored(void) { return g_data; }

bool sparse_dense(int64_t page) {
    // A region touches at most one page more than its bytes fill; sizes are
    // those of a memory buffer by now, far from overflowing.
    int64_t pages = 0, data = 0;
    for (size_t i = 0; i < g_info.n; i++) {
        const SparseRegion &r = g_info.regions[i];
        if (r.bytes == 0) continue;   // the map's closing (size, 0) touches nothing
        pages += (r.bytes + page - 1) / page + 1;
        data += r.bytes;
    }
    return pages * page <= 4 * data;
}
const char *sparse_name(void) { return sparse_member() && g_info.has_name ? g_info.name : nullptr; }

bool sparse_fits(void) {
    if (g_kind == Kind::none) return true;
    const char *why = !g_info.has_real ? "its sparse map is malformed"
                      : g_kind == Kind::records ? sparse_check(g_info, g_info.real, st.st_size)
                                                : g_info.bad;
    if (why) refused(why);
    return !why;
}

bool sparse_prepare(void) {
    g_data = st.st_size;
    if (g_kind != Kind::in_data) return true;
    // 1.0: the map's text fills whole blocks at the head of the data.
    MapText text;
    g_info.n = 0;
    g_info.held = 0;
    while (!text.done && !g_info.bad) {
        if (g_data < kBlockSize) {
            g_info.bad = "its sparse map is malformed";
            break;
        }
        const unsigned char *b = readtape();
        if (!b) return false;
        g_data -= kBlockSize;
        map_text_feed(&text, {b, static_cast<size_t>(kBlockSize)}, &g_info);
    }
    const char *why = g_info.bad ? g_info.bad : sparse_check(g_info, g_info.real, g_data);
    if (why) refuse(kModule, __LINE__, "restore", member_name(), why);
    return !why;
}

bool sparse_copy(int fd) {
    // The stored data hold the regions one after another: a region may end
    // inside a block, and the next one then begins in the rest of it.
    const unsigned char *rest = nullptr;
    int64_t rest_len = 0, used = 0;
    for (size_t i = 0; i < g_info.n; i++) {
        const SparseRegion &r = g_info.regions[i];
        if (r.bytes == 0) continue;
        // Whatever lies between regions is never written: a file keeps the
        // holes, the buffer its zero pages.
        if (plseekfile(fd, static_cast<off_t>(r.offset), SEEK_SET) < 0) {
            z9_error(kModule, __LINE__, "restore", "'%s' seek error\n", ofname);
            return false;
        }
        int64_t need = r.bytes, n = need < rest_len ? need : rest_len;
        if (n > 0 && !put(fd, rest, static_cast<size_t>(n))) return false;
        rest += n;
        rest_len -= n;
        need -= n;
        // Whole blocks cross in records, as a regular member's data do.
        int64_t whole = need / kBlockSize * kBlockSize;
        if (whole > 0 && !readarch(fd, whole)) return false;
        used += whole / kBlockSize;
        if ((need -= whole) > 0) {
            const unsigned char *b = readtape();
            if (!b || !put(fd, b, static_cast<size_t>(need))) return false;
            used++;
            rest = b + need;
            rest_len = kBlockSize - need;
        }
    }
    if (!z9_skipblocks(data_blocks(g_data) - used)) return false;
    // A hole at the end is the file's size.
    if (file_flag && ftruncate(fd, static_cast<off_t>(g_info.real)) != 0) {
        z9_error(kModule, __LINE__, "restore", "error extracting '%s'", ofname);
        return false;
    }
    return true;
}
