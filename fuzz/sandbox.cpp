// sandbox.cpp - keeps a fuzz run inside its scratch directory. Extraction makes
// directories, links and nodes under the names an archive gives, which may be
// absolute or climb with "..": the file-system calls the engine makes are
// replaced here, for the fuzz programs only, by versions that refuse such names
// and never make device nodes.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utime.h>

#include <ftw.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sandbox.h"

namespace {

bool confined(const char *path) {
    if (!path || path[0] == '/') return false;
    for (const char *p = path; (p = strstr(p, "..")) != nullptr; p += 2) {
        bool starts = p == path || p[-1] == '/';
        bool ends = p[2] == '\0' || p[2] == '/';
        if (starts && ends) return false;
    }
    return true;
}

long refuse() {
    errno = EACCES;
    return -1;
}

}  // namespace

extern "C" {

int unlink(const char *path) {
    return confined(path) ? static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, 0)) : static_cast<int>(refuse());
}

int link(const char *from, const char *to) {
    return confined(to) ? static_cast<int>(syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0))
                        : static_cast<int>(refuse());
}

int mkdir(const char *path, mode_t mode) {
    return confined(path) ? static_cast<int>(syscall(SYS_mkdirat, AT_FDCWD, path, mode)) : static_cast<int>(refuse());
}

int mknod(const char *path, mode_t mode, dev_t dev) {
    if (!confined(path) || !S_ISFIFO(mode)) return static_cast<int>(refuse());
    return static_cast<int>(syscall(SYS_mknodat, AT_FDCWD, path, mode, dev));
}

int chown(const char *path, uid_t owner, gid_t group) {
    return confined(path) ? static_cast<int>(syscall(SYS_fchownat, AT_FDCWD, path, owner, group, 0))
                          : static_cast<int>(refuse());
}

int utime(const char *path, const struct utimbuf *times) {
    if (!confined(path)) return static_cast<int>(refuse());
    struct timespec ts[2] = {{times->actime, 0}, {times->modtime, 0}};
    return static_cast<int>(syscall(SYS_utimensat, AT_FDCWD, path, ts, 0));
}

int creat(const char *path, mode_t mode) {
    if (!confined(path)) return static_cast<int>(refuse());
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode));
}

}  // extern "C"

static char scratch_dir[64];

static void leave_scratch() {
    z9fuzz_clear_scratch();
    if (chdir("/") == 0) rmdir(scratch_dir);
}

void z9fuzz_enter_scratch() {
    if (scratch_dir[0]) return;
    // A memory file system where there is one: rewriting the same few files
    // thousands of times a second must not wait for a disk.
    struct stat s;
    const char *base = stat("/dev/shm", &s) == 0 && S_ISDIR(s.st_mode) ? "/dev/shm" : "/tmp";
    snprintf(scratch_dir, sizeof scratch_dir, "%s/z9fuzz.XXXXXX", base);
    if (mkdtemp(scratch_dir) && chdir(scratch_dir) == 0) atexit(leave_scratch);
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *at) {
    if (at->level > 0) remove(path);
    return 0;
}

void z9fuzz_clear_scratch() {
    // Everything a run made lies below the scratch directory.
    nftw(".", remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
