/* safe.cpp - the -SAFE row of the making operations: which members may be
 * extracted at all, the walk that reaches a member's place one directory at
 * a time from the current directory, never through a symbolic link, and
 * creation that sets modes and times through the descriptor that made or
 * opened each object. Owners are not applied: the process owns what it
 * makes. Reads st, hblock, the member's names and the run flags; no state. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tar.h"
#include "../tape/tape.h"

static const char kModule[] = "safe";

/* No set-user-ID, set-group-ID or sticky bit, no write for group or others. */
constexpr int kSafeBits = 0755;
constexpr mode_t kDirMode = 0777 & kSafeBits;

namespace {

enum class Place { inside, leaves, root };

/* Where a name leads, read as text: an absolute name or a ".." component
 * leaves the root; one with nothing but "." components is the root itself. */
Place place(const char *name) {
    if (name[0] == '/') return Place::leaves;
    bool named = false;
    for (const char *p = name; *p != '\0';) {
        size_t len = strcspn(p, "/");
        if (len == 2 && p[0] == '.' && p[1] == '.') return Place::leaves;
        if (len > 1 || (len == 1 && p[0] != '.')) named = true;
        p += len;
        if (*p == '/') p++;
    }
    return named ? Place::inside : Place::root;
}

/* The -FILE template names the output: the host chose it, so its path is
 * followed as the system resolves it. A member's own name is not. */
bool trusted_output(void) { return file_flag && !unique_flag; }

/* The directory `entry` in `dir`. Unless follow, a symbolic link there is not
 * opened, and the failure says so with ELOOP. */
int open_dir(int dir, const char *entry, bool follow) {
    int fd = openat(dir, entry, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    struct stat s;
    if (fd < 0 && !follow && fstatat(dir, entry, &s, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(s.st_mode))
        errno = ELOOP;
    return fd;
}

/* One directory down, to `entry` of `dir` (made first when missing and make
 * is set). Closes dir. A directory made gets its mode through its own
 * descriptor, whatever the host's file-creation mask took away. */
int step(int dir, const char *entry, bool make, bool follow) {
    int next = open_dir(dir, entry, follow);
    if (next < 0 && errno == ENOENT && make && mkdirat(dir, entry, kDirMode) == 0) {
        next = open_dir(dir, entry, follow);
        if (next >= 0) fchmod(next, kDirMode);
    }
    int error = errno;
    close(dir);
    errno = error;
    return next;
}

/* Opens the directory that holds the last entry of path, walking from the
 * current directory (or "/" for a followed absolute path), and points *base
 * at that entry ("." when path ends in "/"). make: missing directories are
 * made. The names were checked by safe_admit, so a confined walk meets no
 * "..". Returns the descriptor, or -1 with errno. */
int walk(const char *path, bool make, bool follow, const char **base) {
    const char *slash = strrchr(path, '/');
    *base = slash ? slash + 1 : path;
    if (**base == '\0') *base = ".";
    char dirs[kLongNameMax + 8];
    int len = slash ? static_cast<int>(slash - path) : 0;
    if (snprintf(dirs, sizeof dirs, "%.*s", len, path) >= static_cast<int>(sizeof dirs)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int dir = open(follow && path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // dirs is cut at each "/" in turn, so that entry is one name.
    for (char *entry = dirs; dir >= 0 && slash;) {
        char *end = strchr(entry, '/');
        if (end) *end = '\0';
        if (*entry != '\0' && strcmp(entry, ".") != 0) dir = step(dir, entry, make, follow);
        if (!end) break;
        *end = '/';
        entry = end + 1;
    }
    return dir;
}

/* Opens the directory holding the output `name` without following a link on
 * the way (the -FILE template's own path excepted), making missing ones with
 * make; *base is the entry in it. -1 with errno when it cannot. */
int safe_dir(const char *name, bool make, const char **base) {
    return walk(name, make, trusted_output(), base);
}

/* Whether reaching path from the root meets a symbolic link on the way or,
 * with last, in the last place. Whatever is missing is no link. */
bool meets_link(const char *path, bool last) {
    const char *base;
    int dir = walk(path, false, false, &base);
    if (dir < 0) return errno == ELOOP;
    struct stat s;
    bool link = last && fstatat(dir, base, &s, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(s.st_mode);
    close(dir);
    return link;
}

/* Whether name and target are one entry of one directory: linking would
 * first remove the name, and with it the only copy of what it names. */
bool same_entry(const char *name, const char *target) {
    const char *base, *from;
    int dir = safe_dir(name, false, &base), source = walk(target, false, false, &from);
    struct stat a, b;
    bool same = dir >= 0 && source >= 0 && fstat(dir, &a) == 0 && fstat(source, &b) == 0 &&
                a.st_dev == b.st_dev && a.st_ino == b.st_ino && strcmp(base, from) == 0;
    if (dir >= 0) close(dir);
    if (source >= 0) close(source);
    return same;
}

/* A hard link may only name an entry inside the root other than itself,
 * reached without a symbolic link; a missing one is no refusal (linking it
 * fails as usual). */
bool admit_link(const char *name, const char *target) {
    const char *why = nullptr;
    Place where = place(target);
    if (target[0] == '\0')
        why = "names nothing";
    else if (where == Place::leaves)
        why = "leaves the extraction directory";
    else if (where == Place::root)
        why = "names the extraction directory itself";
    else if (meets_link(target, true))
        why = "passes through a symbolic link";
    else if (same_entry(name, target))
        why = "names the link itself";
    if (why) refuse(kModule, __LINE__, "extract", name, "a hard link to", target, why);
    return !why;
}

/* Everything is checked before anything of the member is made. Only the
 * directories on the member's own way matter, and only when something is made
 * there: a link in its last place is replaced, or reached with calls that do
 * not follow it, and a regular member in memory mode makes nothing on disk. */
Admit safe_admit(void) {
    const char *name = member_name();
    int type = hblock[kTypeOff];
    Place where = place(name);
    size_t len = strlen(name);
    bool dir = len > 0 && name[len - 1] == '/';
    bool on_disk = !trusted_output() && (file_flag || !plain_file() || dir);
    // Archives made of "." start with the directory "./": the root exists,
    // and nothing of an archive may change it, so that member makes nothing.
    bool is_dir = dir || type == kTypeDir || type == kTypeDumpDir;
    if (where == Place::root && is_dir) return Admit::pass;
    const char *why = nullptr;
    if (where == Place::leaves)
        why = "its path leaves the extraction directory";
    else if (where == Place::root)
        why = "its path names the extraction directory itself";
    else if (type == kTypeChar || type == kTypeBlock || type == kTypeFifo)
        why = "device and FIFO members are not extracted";
    else if (on_disk && meets_link(name, false))
        why = "its path passes through a symbolic link";
    if (why) {
        refuse(kModule, __LINE__, "extract", name, why);
        return Admit::refuse;
    }
    if (type == kTypeLink && !admit_link(name, member_link())) return Admit::refuse;
    return Admit::make;
}

/* The member's name and "XXXXXX", so its last entry is always inside out.
 * As without -SAFE, no directory is made for it here: where one is missing
 * the walk gives -1, each try fails, and the name keeps random characters.
 * The -FILE template is the host's choice and reserved as without -SAFE. */
void safe_reserve(char *out) {
    if (trusted_output()) return kPlainMakeOps.reserve(out);
    const char *base;
    int dir = safe_dir(out, false, &base);
    char *tmpl = out + (base - out);
    int fd = z9_mkstempat(dir, tmpl);
    if (fd >= 0) {
        close(fd);
        unlinkat(dir, tmpl, 0);
    } else if (errno == EEXIST) {
        out[0] = '\0';  // no free name: fail later rather than replace a file
    }
    if (dir >= 0) close(dir);
}

int safe_newfile(const char *name, int mode) {
    const char *base;
    int dir = safe_dir(name, true, &base);
    int fd = -1;
    auto bits = static_cast<mode_t>(mode & kSafeBits);
    if (dir >= 0) {
        // A new inode as without -SAFE; a link in the place goes unfollowed.
        unlinkat(dir, base, 0);
        fd = openat(dir, base, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits);
    }
    if (fd >= 0) {
        fchmod(fd, bits);   // whatever the host's file-creation mask took away
        Z9_LOG(kSevInfo, "newfile", "file %s created, mode is 0%o\n", name, bits);
    } else {
        z9_error(kModule, __LINE__, "newfile", "can't create '%s'", name);
    }
    if (dir >= 0) close(dir);
    return fd;
}

/* The directory is opened as a directory and without following a link, so
 * that what a directory member changes is a directory of the root: whatever
 * else holds its name (a hard link to a file outside, a symbolic link) is
 * refused. One whose parent is missing makes nothing, as without -SAFE. */
int safe_mkdir(char *name, bool parents, Made *made) {
    const char *base;
    int dir = safe_dir(name, parents, &base);
    if (dir < 0) return parents ? -1 : 0;
    if (strcmp(base, ".") == 0) {   // the walk just made or entered it
        made->fd = dir;
        return 0;
    }
    bool fresh = mkdirat(dir, base, kDirMode) == 0;
    made->fd = open_dir(dir, base, false);
    int error = errno;
    close(dir);
    if (made->fd < 0 && (error == ENOTDIR || error == ELOOP)) {
        refuse(kModule, __LINE__, "extract", name, "its name holds something other than a directory");
        return -1;
    }
    if (fresh && made->fd >= 0) fchmod(made->fd, kDirMode);
    return 0;
}

/* linkat never replaces a name, so what holds it goes first; but only once
 * the target is known to be there, so that a link that cannot be made
 * loses no file. */
int safe_link(const char *name, const char *target) {
    const char *base, *from;
    struct stat s;
    int source = walk(target, false, false, &from), r = -1;
    if (source < 0) return -1;
    int dir = fstatat(source, from, &s, AT_SYMLINK_NOFOLLOW) == 0 ? safe_dir(name, true, &base) : -1;
    if (dir >= 0) {
        unlinkat(dir, base, 0);
        r = linkat(source, from, dir, base, 0);
        close(dir);
    }
    close(source);
    return r;
}

/* Devices and FIFOs are refused before anything is made. */
int safe_node(char *, mode_t, dev_t, Made *) {
    errno = EPERM;
    return -1;
}

/* Only times: the process owns what it made, as with -o, and the mode was
 * set when it was made. */
void safe_finish(Made *made) {
    const struct timespec times[2] = {{0, UTIME_NOW}, posix_flag ? st.st_mtim : timespec{st.st_mtime, 0}};
    if (made->fd >= 0)
        futimens(made->fd, times);
    else if (made->dir >= 0)
        utimensat(made->dir, made->entry, times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

const MAKEOPS kSafeMakeOps = {
    .admit = safe_admit,
    .reserve = safe_reserve,
    .file = safe_newfile,
    .dir = safe_mkdir,
    .link = safe_link,
    .node = safe_node,
    .finish = safe_finish,
};
