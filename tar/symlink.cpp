/* symlink.cpp - symbolic-link members, extracted under -POSIX. Each is held
 * by an empty placeholder file until the end of the run and only then made,
 * so that no later member of the same call is written through a link the
 * call made: a path through the placeholder meets a file, not a directory.
 * Owns the list of held links; makes them through the run's MAKEOPS row;
 * reads st and the run flags. */
#include <cstdlib>
#include <cstring>

#include "tar.h"

namespace {

constexpr const char kModule[] = "extract";

/* The links held in this run, in archive order; emptied at its end. */
HeldLink *g_links;
size_t g_count, g_cap;

char *copy_text(const char *text) {
    size_t n = strlen(text) + 1;
    auto *c = static_cast<char *>(malloc(n));
    if (c) memcpy(c, text, n);
    return c;
}

/* Room for one more held link, and its texts; false when memory runs out. */
bool remember(const HeldLink &link) {
    if (g_count == g_cap) {
        size_t cap = g_cap ? 2 * g_cap : 16;
        auto *grown = static_cast<HeldLink *>(realloc(g_links, cap * sizeof(HeldLink)));
        if (!grown) return false;
        g_links = grown;
        g_cap = cap;
    }
    HeldLink &h = g_links[g_count] = link;
    h.name = copy_text(link.name);
    h.target = copy_text(link.target);
    if (h.name && h.target) {
        g_count++;
        return true;
    }
    free(h.name);
    free(h.target);
    return false;
}

}  // namespace

int hold_symlink(const char *name) {
    HeldLink link = {const_cast<char *>(name), const_cast<char *>(member_link()), 0, 0, {}, st.st_uid, st.st_gid,
                     st.st_mtim};
    // A later link of the same name takes the place of an earlier one.
    for (size_t i = 0; i < g_count; i++) {
        if (!g_links[i].name || strcmp(g_links[i].name, name) != 0) continue;
        free(g_links[i].name);
        g_links[i].name = nullptr;
    }
    if (makeops->placeholder(name, &link) != 0) {
        z9_error(kModule, __LINE__, "extract", "can't create '%s'", name);
        return 0;
    }
    if (!remember(link)) {
        z9_error_text(kModule, __LINE__, "extract", "Out of memory");
        return 0;
    }
    Z9_LOG(kSevInfo, "extract", "x %s symbolic link to %s", name, member_link());
    return 1;
}

bool still_held(const HeldLink &link, const struct stat &s) {
    // The inode of a placeholder removed may be given to the next file made:
    // only an empty file without permissions, made when the placeholder was,
    // is taken for it.
    return S_ISREG(s.st_mode) && s.st_size == 0 && (s.st_mode & 07777) == 0 && s.st_dev == link.dev &&
           s.st_ino == link.ino && s.st_ctim.tv_sec == link.ctime.tv_sec && s.st_ctim.tv_nsec == link.ctime.tv_nsec;
}

bool symlink_held(const struct stat &s) {
    for (size_t i = 0; i < g_count; i++)
        if (g_links[i].name && still_held(g_links[i], s)) return true;
    return false;
}

bool symlinks_make(bool report) {
    bool all = true;
    for (size_t i = 0; i < g_count; i++) {
        HeldLink &h = g_links[i];
        if (!h.name) continue;   // a later link of its name took its place
        Linked r = makeops->symlink(h);
        if (r == Linked::failed && report)
            z9_error(kModule, __LINE__, "extract", "can't create '%s'", h.name);
        if (r == Linked::replaced)
            Z9_LOG(kSevInfo, "extract", "'%s' was replaced by a later member: no symbolic link made", h.name);
        all = all && (r == Linked::made || r == Linked::replaced);
        // Made or not, it holds nothing any more.
        free(h.name);
        free(h.target);
        h.name = h.target = nullptr;
    }
    symlinks_release();
    return all;
}

void symlinks_release(void) {
    for (size_t i = 0; i < g_count; i++) {
        free(g_links[i].name);
        free(g_links[i].target);
    }
    free(g_links);
    g_links = nullptr;
    g_count = g_cap = 0;
}

int extract_members(const char *pattern, int quiet) {
    // The index of an archive known unchanged spares the walk.
    int indexed = index_extract(pattern, quiet);
    int r = indexed >= 0 ? indexed : scantape(pattern, extract, quiet);
    // Held links are made however the walk ended, as what was extracted
    // before a failure stays; the walk's own message goes first.
    bool made = symlinks_make(r != 0);
    return r != 0 && made ? 1 : 0;
}
