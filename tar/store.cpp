/* store.cpp - storing one path as members: the length check, the member's status
 * (from the file system, or described afresh for the host's buffer in `st`), the
 * walk below a directory in the caller's path buffer, and the header-only members
 * of device nodes, FIFOs and (under -POSIX) symbolic links. Regular files go on
 * to savefile. Owns c_break. */
#include <fcntl.h>
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "posix.h"
#include "tar.h"
#include "../tape/tape.h"

namespace {

constexpr const char kModule[] = "store";
constexpr const char kFunc[] = "z9tarstore";
constexpr size_t kMemberNameMax = kNameLen;   /* a memory member fits the name field */

/* The host's buffer has no file identity: a regular file that exists as of
 * now, with the command line's bits and ids or everything allowed to root. */
void describe_memory() {
    memset(&st, 0, sizeof st);
    st.st_size = static_cast<off_t>(msize);
    st.st_mode = S_IFREG | 0777;
    st.st_mtime = st.st_atime = st.st_ctime = time(nullptr);
}

/* Fills `st` for the path, with the command line's overrides applied; false,
 * with the message set, when the path is too long or not there. Below the
 * -FILE path a walk under -POSIX takes a symbolic link for what it is; the
 * classic walk, and the -FILE path itself (the host's choice), follow it. */
[[nodiscard]] bool take_status(const char *path, bool below) {
    size_t max = !file_flag ? kMemberNameMax : posix_flag ? kLongNameMax : static_cast<size_t>(kStorePathMax);
    if (strlen(path) > max) {
        z9_error(kModule, __LINE__, kFunc, "'%s' name too long", path);
        return false;
    }
    if (!file_flag) {
        describe_memory();
    } else if ((below && posix_flag ? lstat(path, &st) : stat(path, &st)) != 0) {
        z9_error(kModule, __LINE__, kFunc, "'%s' not found", path);
        return false;
    }
    apply_overrides();
    return true;
}

int store_at(char *path, const char *name, bool below);

/* One directory entry below `path`, whose "/" ends at `base`. The join is made
 * in the caller's buffer only when it fits the longest storable path; a longer
 * one is built in a temporary that holds any join, so that the nested call
 * refuses it with its usual text and nothing is written past the caller's buffer. */
[[gnu::noinline]] int store_too_long(const char *path, size_t base, const char *entry) {
    // A frame of its own: a deep walk does not carry this buffer at every level.
    char joined[kLongPathSize + NAME_MAX + 2];
    snprintf(joined, sizeof joined, "%.*s%s", static_cast<int>(base), path, entry);
    return store_at(joined, joined, true);
}

int store_entry(char *path, size_t base, const char *entry) {
    size_t len = strlen(entry);
    size_t max = posix_flag ? kLongNameMax : static_cast<size_t>(kStorePathMax);
    if (base + len > max) return store_too_long(path, base, entry);
    memcpy(path + base, entry, len + 1);
    return store_at(path, path, true);
}

/* A directory gets no header; everything below it is stored in the order the
 * system reads the entries. The first failure ends the walk. */
[[nodiscard]] bool store_directory(char *path) {
    DIR *dir = opendir(path);
    if (!dir) {
        z9_error(kModule, __LINE__, kFunc, "can't open directory '%s'", path);
        return false;
    }
    // The path is at most kStorePathMax long here, so the "/" still fits.
    size_t base = strlen(path);
    path[base++] = '/';
    path[base] = '\0';
    bool result = true;
    // No sorting: the members follow the order the file system keeps.
    while (const struct dirent *e = readdir(dir)) {
        const char *n = e->d_name;
        if (n[0] == '\0' || strcmp(n, ".") == 0 || strcmp(n, "..") == 0) continue;
        if (!store_entry(path, base, n)) {
            result = false;
            break;
        }
    }
    closedir(dir);
    return result;
}

/* Device nodes and FIFOs are headers alone, named by their path; anything
 * else that is neither file nor directory (a socket) cannot be archived. */
[[nodiscard]] bool store_special(const char *path) {
    okwork('a', ' ', &st, path);
    Z9_LOG(kSevInfo, kFunc, "a %s", path);
    mode_t m = st.st_mode;
    char type = S_ISFIFO(m) ? kTypeFifo : S_ISBLK(m) ? kTypeBlock : S_ISCHR(m) ? kTypeChar : 0;
    if (type == 0) {
        z9_error(kModule, __LINE__, kFunc, "'%s' not a file", path);
        return false;
    }
    if (!puthead(path, 0, type, nullptr)) return false;
    sealhead(hblock);
    return true;
}

/* A symbolic link found by a walk under -POSIX: a link member with its
 * target (a long one in a pax record), never what it points to, so that a
 * dangling link or a loop of them is stored like any other. */
[[nodiscard]] bool store_symlink(const char *path) {
    char target[kLongNameMax + 1];
    ssize_t n = readlinkat(AT_FDCWD, path, target, sizeof target);
    if (n < 0 || static_cast<size_t>(n) >= sizeof target) {
        z9_error(kModule, __LINE__, kFunc, "can't read link '%s'", path);
        return false;
    }
    target[n] = '\0';
    st.st_size = 0;
    okwork('a', ' ', &st, path);
    Z9_LOG(kSevInfo, kFunc, "a %s symbolic link to %s", path, target);
    if (!puthead(path, 0, kTypeSymlink, target)) return false;
    sealhead(hblock);
    return true;
}

int store_at(char *path, const char *name, bool below) {
    if (!take_status(path, below)) return 0;
    if (S_ISDIR(st.st_mode)) return store_directory(path);
    if (S_ISREG(st.st_mode)) return savefile(path, name);
    if (S_ISLNK(st.st_mode)) return store_symlink(path);
    return store_special(path);
}

}  // namespace

extern "C" {

int c_break;  /* interruption flag: cleared by the driver before every run */

/* The path buffer is the caller's (kStorePathSize bytes); a directory walk
 * extends it in place and leaves the last joined path in it. */
int z9tarstore(char *path, const char *name) { return store_at(path, name, false); }

}  // extern "C"
