/* tar.cpp - the member walk: scantape and its pattern match (inargs,
 * mismatch), passing over and dropping a member's data (skipfile, delfile),
 * the listing (catalog), the one-line member texts (prmode, okwork) and
 * the text of a refused member.
 * Owns the listing totals allfiles/allbytes; reads hblock, st, dmajor,
 * dminor, codesize and t_flag/x_flag; writes texts into mszErrMsg. */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

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

/* Past the first '*': 0 when pat[p..] matches text[t..len) whole, else 1.
 * One pass with a single step back, to the last '*' met, which then takes
 * one more character: a later '*' can stand in for any split an earlier one
 * could make, so no other step back is needed, and no pattern costs more
 * than its length times the text's. A '*' met when the text is used up is
 * no match ("a*" does not match "a"), and a step back only moves on. */
int match_stars(const char *pat, int p, const char *text, int t, int len) {
    int star = -1, star_t = 0;
    for (;;) {
        if (pat[p] == '*') {
            if (t == len) return 1;
            while (pat[p] == '*') p++;
            if (pat[p] == '\0') return 0;
            star = p;
            star_t = t - 1;
        } else if (t < len && pat[p] != '\0' && (pat[p] == '?' || pat[p] == text[t])) {
            p++;
            t++;
            continue;
        } else if ((t == len && pat[p] == '\0') || star < 0) {
            return t == len && pat[p] == '\0' ? 0 : 1;
        }
        // The rest after the last '*' tried one character further on; a
        // plain character it starts with is looked for at once.
        if (++star_t >= len) return 1;
        if (pat[star] != '?') {
            auto *at = static_cast<const char *>(memchr(text + star_t, pat[star], static_cast<size_t>(len - star_t)));
            if (!at) return 1;
            star_t = static_cast<int>(at - text);
        }
        p = star;
        t = star_t;
    }
}

}  // namespace

extern "C" {

/* 0: the pattern matches the length characters of text exactly; 1: no match,
 * but more text might; -1: a character differs before the first '*'. */
int mismatch(const char *pattern, const char *text, int length) {
    if (!pattern) pattern = "";
    if (length < 0 || (length > 0 && !text)) return 1;
    for (int p = 0, t = 0;; p++, t++) {
        char c = pattern[p];
        // The end of either side decides.
        if (c == '\0' || t == length) return (c == '\0' && t == length) ? 0 : 1;
        if (c == '*') return match_stars(pattern, p, text, t, length);
        if (c != '?' && c != text[t]) return -1;
    }
}

/* The pattern selects a name when it matches the whole name or a leading run
 * of its path components (the name cut just before a slash): "dir" selects
 * everything below dir/. */
int inargs(const char *pattern, const char *name) {
    if (!name) return 0;
    int len = static_cast<int>(strnlen(name, kLongNameMax + 1));
    for (int i = 0; i < len && i < static_cast<int>(kLongNameMax);) {
        auto *slash = static_cast<const char *>(memchr(name + i + 1, '/', static_cast<size_t>(len - i - 1)));
        i = slash ? static_cast<int>(slash - name) : len;
        int r = mismatch(pattern, name, i);
        // A difference before the first '*' stays a difference in every
        // longer cut, so the search can stop.
        if (r == -1) return 0;
        if (r == 0) return 1;
    }
    return 0;
}

}  // extern "C"

/* ---- passing over data -------------------------------------------------- */

extern "C" {

}  // extern "C"

namespace {

int64_t g_skip_blocks, g_skip_size;   /* what skipfile's text tells */

/* The text names the extraction module, which skips most, and the line it
 * is composed on. It is put together piece by piece, and in the message field
 * only when it may be seen: it is made for every member passed over, and
 * formatting cost more than the rest of the skip. */
void skip_text(char *text, size_t size) {
    TextBuf t(text, size);
    t.add("blocks to read in this file ").num(g_skip_blocks).add(" (extract ").num(__LINE__);
    t.add(") st.st_size=").num(g_skip_size).add(" \n");
}

}  // namespace

extern "C" {

int skipfile(void) {
    int64_t n = g_skip_blocks = data_blocks(st.st_size);
    g_skip_size = static_cast<int64_t>(st.st_size);
    if (z9_log_is_open()) {
        char text[160];
        skip_text(text, sizeof text);
        z9_set_message(text);
        z9_log_text(kModule, __LINE__, kSevInfo, "skipfile", text, strlen(text));
    } else {
        z9_defer_message(skip_text);
    }

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
        if (!selects(pattern, member_name())) {
            if (usize() && !skipfile()) return 0;
            continue;
        }
        // Every selected member is acted on, not only the first one.
        if (!action || !action()) return 0;
        (*acted)++;
    }
}

}  // namespace

// The empty pattern selects every member in a listing run (with -x too, each
// then extracted) and none in any other.
bool selects(const char *pattern, const char *name) {
    return (pattern[0] == '\0' && t_flag) || inargs(pattern, name);
}

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
        // The whole target, as the member's own line shows the whole name.
        char line[kLongNameMax + 16];
        TextBuf t(line, sizeof line);
        t.add(type == kTypeLink ? " linked to " : " symlink to ").add(member_link());
        z9_log_text(kModule, __LINE__, kSevInfo, "catalog", t.text(), t.size());
        return;
    }
    case kTypeChar: case kTypeBlock: case kTypeDir: case kTypeFifo: case kTypeContig: case kTypeDumpDir:
    case kTypeVolume:
        return;
    case kTypeMulti: {
        // A continued piece: where its data go in the whole file.
        int64_t from = 0;
        soctul(hblock + kStartOff, &from);
        // A size near 2^63 (-POSIX) would carry the sum past 64 bits.
        int64_t last = size <= std::numeric_limits<int64_t>::max() - from ? from + size - 1
                                                                         : std::numeric_limits<int64_t>::max();
        Z9_LOG(kSevInfo, "catalog", "[from %ld to %ld]", static_cast<long>(from), static_cast<long>(last));
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

/* ---- refusals ----------------------------------------------------------- */

namespace {

/* name in at most max bytes: whole, or its head and tail around "...". */
void add_shortened(TextBuf &t, std::string_view name, size_t max) {
    if (name.size() <= max) {
        t.add(name);
        return;
    }
    size_t keep = max > 3 ? max - 3 : 0, head = (keep + 1) / 2;
    // Pieces made by hand: substr may throw, and the library links no C++ runtime.
    t.add({name.data(), head}).add("...").add({name.data() + name.size() - (keep - head), keep - head});
}

/* The refusal's text, each name in at most its max bytes. */
void refusal(TextBuf &t, const char *name, const char *why, const char *target, const char *after,
             size_t name_max, size_t target_max) {
    t.add("'");
    add_shortened(t, name, name_max);
    t.add("' is refused: ").add(why);
    if (!target) return;
    t.add(" '");
    add_shortened(t, target, target_max);
    t.add("' ").add(after);
}

}  // namespace

void refuse(const char *module, int line, const char *function, const char *name, const char *why,
            const char *target, const char *after) {
    std::string_view n(name), g(target ? target : "");
    char trace[2 * kLongNameMax + 256], message[kMessageSize];
    TextBuf whole(trace, sizeof trace);
    refusal(whole, name, why, target, after, n.size(), g.size());
    // The message field's room for the names, the words around them kept
    // whole: a short name keeps all of it, a long one takes what is left.
    size_t words = whole.size() - n.size() - g.size();
    size_t room = words < sizeof message - 1 ? sizeof message - 1 - words : 0;
    size_t half = room / 2, name_max = room, target_max = room;
    if (n.size() + g.size() > room) {
        name_max = g.size() <= half ? room - g.size() : n.size() <= half ? n.size() : room - half;
        target_max = room - (n.size() < name_max ? n.size() : name_max);
    }
    TextBuf shown(message, sizeof message);
    refusal(shown, name, why, target, after, name_max, target_max);
    z9_error_fit(module, line, function, shown.text(), whole.text());
}
