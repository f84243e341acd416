// sandbox.cpp - keeps a fuzz run inside its scratch directory. Extraction makes
// files, links and nodes under the names an archive gives, which may be
// absolute or climb with "..": the file-system calls the engine makes are
// replaced here by ones that refuse such names and never make device nodes.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sandbox.h"

// True, with errno EACCES, for a name that leaves the working directory.
static bool outside(const char *path) {
    bool out = !path || path[0] == '/';
    for (const char *p = path; !out && (p = strstr(p, "..")) != nullptr; p += 2)
        out = (p == path || p[-1] == '/') && (p[2] == '\0' || p[2] == '/');
    if (out) errno = EACCES;
    return out;
}

extern "C" {
int unlink(const char *p) { return outside(p) ? -1 : int(syscall(SYS_unlinkat, AT_FDCWD, p, 0)); }
int mkdir(const char *p, mode_t m) {
    return outside(p) ? -1 : int(syscall(SYS_mkdirat, AT_FDCWD, p, m));
}
int chown(const char *p, uid_t u, gid_t g) {
    return outside(p) ? -1 : int(syscall(SYS_fchownat, AT_FDCWD, p, u, g, 0));
}
int chmod(const char *p, mode_t m) {
    return outside(p) ? -1 : int(syscall(SYS_fchmodat, AT_FDCWD, p, m));
}
int link(const char *from, const char *to) {
    return outside(to) ? -1 : int(syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}
int mknod(const char *p, mode_t m, dev_t dev) {   // FIFOs only
    return outside(S_ISFIFO(m) ? p : nullptr) ? -1 : int(syscall(SYS_mknodat, AT_FDCWD, p, m, dev));
}
int utime(const char *p, const struct utimbuf *t) {
    struct timespec ts[2] = {{t->actime, 0}, {t->modtime, 0}};
    return outside(p) ? -1 : int(syscall(SYS_utimensat, AT_FDCWD, p, ts, 0));
}
int creat(const char *p, mode_t m) {
    return outside(p) ? -1 : int(syscall(SYS_openat, AT_FDCWD, p, O_CREAT | O_WRONLY | O_TRUNC, m));
}
}  // extern "C"

static char scratch_dir[64];

static int remove_entry(const char *path, const struct stat *, int, struct FTW *at) {
    if (at->level > 0) remove(path);
    return 0;
}

void z9fuzz_clear_scratch() { nftw(".", remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

static void leave_scratch() {
    z9fuzz_clear_scratch();
    if (chdir("/") == 0) rmdir(scratch_dir);
}

// On a memory file system where there is one: the same few files are
// rewritten thousands of times a second.
void z9fuzz_enter_scratch() {
    if (scratch_dir[0]) return;
    struct stat s;
    const char *base = stat("/dev/shm", &s) == 0 && S_ISDIR(s.st_mode) ? "/dev/shm" : "/tmp";
    snprintf(scratch_dir, sizeof scratch_dir, "%s/z9fuzz.XXXXXX", base);
    if (mkdtemp(scratch_dir) && chdir(scratch_dir) == 0) atexit(leave_scratch);
}
