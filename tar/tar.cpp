/* tar.cpp - the member walk: scantape and its pattern match (inargs,
 * mismatch), passing over and dropping a member's data (skipfile, delfile),
 * the listing (catalog) and the one-line member texts (prmode, okwork).
 * Owns the listing totals allfiles/allbytes; reads hblock, st, dmajor,
 * dminor, codesize and t_flag/x_flag; writes texts into mszErrMsg. */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../support/run.h"
#include "../tape/tape.h"
#include "tar.h"

extern "C" {
int allfiles;       /* members listed; reset by the driver before a listing, reported after it */
uint64_t allbytes;  /* bytes of the listed members that have data; same life as allfiles */
}

namespace {

constexpr const char kModule[] = "tar";

}  // namespace

/* ---- pattern match ------------------------------------------------------ */

namespace {

/* Results of the match below, one per (pattern index, text index) after a
 * run of '*'. Without them a pattern such as "*a*a*a*a*a*b" tries every
 * placement of its stars: exponential in their number. With them each state
 * is worked out once, so a 99-character pattern against a 100-character
 * name costs some ten thousand steps at most. */
constexpr signed char kUnknown = 2;
constexpr size_t kStackCells = 128 * 128;  /* enough for any pattern and header name */

struct Match {
    const char *pat;
    const char *text;
    int len;
    size_t width;        /* len + 1: text indices 0..len */
    signed char *memo;   /* null: no table could be had, plain recursion */
};

int star_run(Match &m, int q, int t);

signed char &cell(Match &m, int q, int k) {
    return m.memo[static_cast<size_t>(q) * m.width + static_cast<size_t>(k)];
}

/* The walk over pattern and text from pattern index p and text index t. A
 * difference before any '*' is -1 (no longer text can match either); past a
 * '*' the caller folds -1 into "no match here". */
int match_from(Match &m, int p, int t) {
    for (;;) {
        int left = m.len - t;
        char c = m.pat[p];
        // The end of either side decides. A '*' met after the text is used
        // up is no match: "a*" does not match "a".
        if (c == '\0' || left == 0) return (c == '\0' && left == 0) ? 0 : 1;
        if (c == '*') {
            while (m.pat[p] == '*') p++;
            return star_run(m, p, t);
        }
        if (c != '?' && c != m.text[t]) return -1;
        p++;
        t++;
    }
}

/* The stars before pattern index q stand at text index t (t < len): try the
 * rest of the pattern at t, t+1, ... up to the end of the text. */
int star_run(Match &m, int q, int t) {
    int k = t;
    int result = -1;
    for (; k < m.len; k++) {
        if (m.memo && cell(m, q, k) != kUnknown) {
            result = cell(m, q, k);
            break;
        }
        if (match_from(m, q, k) == 0) {
            result = 0;
            break;
        }
    }
    if (result == -1) result = m.pat[q] == '\0' ? 0 : 1;   // text used up
    // Every start tried on the way, and the one that decided, lead to the
    // same answer.
    if (m.memo)
        for (int j = t; j <= k && j < m.len; j++) cell(m, q, j) = static_cast<signed char>(result);
    return result;
}

}  // namespace

extern "C" {

/* 0: the pattern matches the length characters of text exactly; 1: no match,
 * but more text might; -1: a character differs before the first '*'. */
int mismatch(const char *pattern, const char *text, int length) {
    if (!pattern) pattern = "";
    if (length < 0 || (length > 0 && !text)) return 1;
    Match m{pattern, text, length, static_cast<size_t>(length) + 1, nullptr};
    // Without a '*' there is nothing to remember: one pass decides.
    if (!strchr(pattern, '*')) return match_from(m, 0, 0);
    size_t cells = (strlen(pattern) + 1) * m.width;
    signed char stack_memo[kStackCells];
    signed char *heap_memo = nullptr;
    if (cells <= kStackCells) {
        m.memo = stack_memo;
    } else {
        // Only a caller beyond the name and pattern limits gets here; when
        // even that fails the match still runs, just without the table.
        heap_memo = static_cast<signed char *>(malloc(cells));
        m.memo = heap_memo;
    }
    if (m.memo) memset(m.memo, kUnknown, cells);
    int r = match_from(m, 0, 0);
    free(heap_memo);
    return r;
}

/* The pattern selects a name when it matches the whole name or a leading run
 * of its path components (the name cut just before a slash): "dir" selects
 * everything below dir/. */
int inargs(const char *pattern, const char *name) {
    if (!name) return 0;
    int i = 0;
    for (;;) {
        if (i > static_cast<int>(kLongNameMax) - 1 || name[i] == '\0') return 0;
        i++;
        while (name[i] != '/' && name[i] != '\0') i++;
        int r = mismatch(pattern, name, i);
        // A difference before the first '*' stays a difference in every
        // longer cut, so the search can stop.
        if (r == -1) return 0;
        if (r == 0) return 1;
    }
}

}  // extern "C"

/* ---- passing over data -------------------------------------------------- */

extern "C" {

int skipfile(void) {
    int64_t n = data_blocks(st.st_size);
    // The trace text names the extraction module, which skips most, and the
    // line it is composed on; it also stands in the message field. It is put
    // together piece by piece: it is made for every member passed over, and
    // the printf machinery cost more than the rest of the skip.
    char text[160];
    TextBuf t(text, sizeof text);
    t.add("blocks to read in this file ").num(n).add(" (extract ").num(__LINE__).add(") st.st_size=");
    t.num(static_cast<int64_t>(st.st_size)).add(" \n");
    z9_set_message(text);
    z9_log_text(kModule, __LINE__, kSevInfo, "skipfile", t.text(), t.size());

    // The block layer seeks over whole records of a file archive and reads
    // the rest; on a read failure the blocks it got through tell what is left.
    int64_t before = z9_blocks_taken();
    if (z9_skipblocks(n)) return 1;
    int64_t left = n - (z9_blocks_taken() - before);
    if (left < 1) left = 1;   // the block that failed counts
    // A decompressor that failed has said why; that is the better text.
    if (z9_codec_failed()) return 0;
    z9_error(kModule, __LINE__, "skipfile", "zero bytes read, expected %lld blocks, blocks left %lld\n",
             static_cast<long long>(n), static_cast<long long>(left));
    return 0;
}

/* Called by the driver for a member it leaves out of the copy of the
 * archive: its blocks are read and not written. */
int delfile(void) {
    Z9_LOG(kSevInfo, "delfile", "d %s, %ld bytes, %ld tape blocks\n", member_name(),
                static_cast<long>(st.st_size), static_cast<long>(data_blocks(st.st_size)));
    return usize() ? skipfile() : 1;
}

}  // extern "C"

/* ---- the walk ----------------------------------------------------------- */

namespace {

/* The walk itself; *clean tells whether it read every header up to the end
 * marker without passing over a block, as the member index needs. */
int walk(const char *pattern, SCANACTION action, int quiet, int *acted, bool *clean) {
    for (;;) {
        int64_t start = z9_blocks_taken();
        int r = gethead(quiet);
        int64_t passed = z9_blocks_taken() - start - ext_blocks() - 1;
        if (r == 0) {
            *clean = at_end_marker() && passed == 0;
            return 1;
        }
        if (r < 0) return 0;
        index_walk_member(start * kBlockSize, passed);
        // An empty pattern lists everything but extracts nothing.
        bool selected = (pattern[0] == '\0' && t_flag) || inargs(pattern, member_name());
        if (!selected) {
            if (usize() && !skipfile()) return 0;
            continue;
        }
        // Every selected member is acted on, not only the first one.
        if (!action || !action()) return 0;
        (*acted)++;
    }
}

}  // namespace

int scan_result(const char *pattern, int acted) {
    if (!x_flag || acted) return 1;
    char text[kMemberSize + 40];
    snprintf(text, sizeof text, "Member '%s' not found in archive", pattern);
    z9_error_text(kModule, __LINE__, "scantape", text);
    Z9_LOG(kSevInfo, "scantape", "%s", text);
    return 0;
}

extern "C" int scantape(const char *pattern, SCANACTION action, int quiet) {
    if (!pattern) pattern = "";
    int acted = 0;
    bool clean = false;
    index_walk_begin();
    int r = walk(pattern, action, quiet, &acted, &clean);
    index_walk_end(r == 1 && clean);
    return r == 1 ? scan_result(pattern, acted) : 0;
}

/* ---- the listing -------------------------------------------------------- */

namespace {

/* The entry that follows a member's listing line, by its type. */
void log_type_entry(int extent, short count, int64_t total, int64_t size) {
    unsigned char type = hblock[kTypeOff];
    if (plain_file()) {
        if (extent < 1) return;
        Z9_LOG(kSevInfo, "catalog", " [extent #%d of %d]", extent, count);
        Z9_LOG(kSevInfo, "catalog", " %ld bytes total", static_cast<long>(total));
        return;
    }
    switch (type) {
    case kTypeLink:
    case kTypeSymlink: {
        Z9_LOG(kSevInfo, "catalog", " %s to %s", type == kTypeLink ? "linked" : "symlink", member_link());
        return;
    }
    case kTypeChar: case kTypeBlock: case kTypeDir: case kTypeFifo: case kTypeContig: case kTypeDumpDir:
    case kTypeVolume:
        return;
    case kTypeMulti: {
        // A continued piece: where its data go in the whole file.
        int64_t from = 0;
        soctul(hblock + kStartOff, &from);
        Z9_LOG(kSevInfo, "catalog", "[from %ld to %ld]", static_cast<long>(from),
                    static_cast<long>(from + size - 1));
        return;
    }
    default:
        Z9_LOG(kSevInfo, "catalog", "unknown file type '%c'\n", type);
    }
}

/* A regular member whose magic area holds something other than a known
 * magic: show that text, since it may say which writer made the archive. */
void log_foreign_magic() {
    if (hblock[kMagicOff] == '\0' || ismagic() != 0) return;
    char text[kBlockSize - kMagicOff + 1];
    z9_copy(text, sizeof text, reinterpret_cast<const char *>(hblock + kMagicOff));
    Z9_LOG(kSevInfo, "catalog", "> %s", text);
}

}  // namespace

extern "C" int catalog(void) {
    // Only regular members can be extents; every other type counts as the
    // first (and only) piece.
    int extent = 1;
    short count = 0;
    int64_t total = 0;
    if (plain_file()) extent = isextent(&count, &total);

    // A whole file may carry a coded size beyond its size field.
    int64_t size = st.st_size;
    if (plain_file() && extent < 1 && codesize > size) size = codesize;

    // The line is put together in one pass: it is made for every member listed.
    char line[kLongNameMax + 64];
    TextBuf t(line, sizeof line);
    t.add(prmode(prefix(), static_cast<int>(st.st_mode))).add(" ").num(st.st_uid, 3).add("/").num(st.st_gid, 1);
    if (device_type(hblock[kTypeOff]))
        t.add(" ").num(dmajor, 3).add(",").num(dminor, 3, true).add(" ");
    else
        t.add(" ").num(size, 7).add(" ");
    // At most the 100 bytes of the name field; under -POSIX the whole name.
    t.add(" ").field(member_name(), posix_flag ? kLongNameMax : kNameLen);
    z9_log_text(kModule, __LINE__, kSevInfo, "catalog", t.text(), t.size());

    log_type_entry(extent, count, total, size);
    if (extent < 1 && plain_file()) log_foreign_magic();

    if (usize()) {
        if (!skipfile()) return 0;
        allbytes += static_cast<uint64_t>(size);
    }
    allfiles++;
    return 1;
}

/* ---- member texts ------------------------------------------------------- */

extern "C" const char *prmode(int type, int mode) {
    static char text[11];
    // Set-id and sticky bits show in the execute place, whether or not the
    // execute bit under them is set.
    text[0] = static_cast<char>(type);
    text[1] = (mode & 0400) ? 'r' : '-';
    text[2] = (mode & 0200) ? 'w' : '-';
    text[3] = (mode & 04000) ? 's' : (mode & 0100) ? 'x' : '-';
    text[4] = (mode & 040) ? 'r' : '-';
    text[5] = (mode & 020) ? 'w' : '-';
    text[6] = (mode & 02000) ? 's' : (mode & 010) ? 'x' : '-';
    text[7] = (mode & 04) ? 'r' : '-';
    text[8] = (mode & 02) ? 'w' : '-';
    text[9] = (mode & 01000) ? 't' : (mode & 01) ? 'x' : '-';
    text[10] = '\0';
    return text;
}

namespace {

/* The listing letter of a file type taken from a status record's mode. */
int letter_of(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR: return 'd';
    case S_IFIFO: return 'p';
    case S_IFCHR: return 'c';
    case S_IFBLK: return 'b';
    case S_IFLNK: return 'l';
    case S_IFREG: case 0: return ' ';
    default: return '?';
    }
}

}  // namespace

extern "C" int okwork(int action, int type, const struct stat *status, const char *name) {
    static char text[kPathSize + 64];
    // The line exists only for the trace: without one, a store of many small
    // files would format a line per file for nothing.
    if (!status || !z9_log_is_open()) return 1;
    if (type == ' ') type = letter_of(static_cast<unsigned>(status->st_mode));
    snprintf(text, sizeof text, "%c %s %3d/%1d %7ld %s", action, prmode(type, static_cast<int>(status->st_mode)),
             static_cast<int>(status->st_uid), static_cast<int>(status->st_gid), static_cast<long>(status->st_size),
             name ? name : "");
    // The text holds a name from the archive or the file system: never a format.
    Z9_LOG(kSevInfo, "okwork", "%s", text);
    return 1;
}
