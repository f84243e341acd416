/* lock.cpp - the lock between processes on a regular-file archive: an
 * open-file-description lock on the run's archive descriptor (shared for
 * listing and extraction, exclusive for the runs that write), waited for by
 * polling up to Z9TAR_LOCK_WAIT seconds, and the check that the locked file is
 * still the one under the archive's name. Holds no state: the lock belongs to
 * the descriptor and ends when endtape or _done closes it. It never waits on a
 * signal or a timer, and never touches locks of the host's own. */
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "tape_private.h"

namespace {

constexpr double kDefaultWait = 60;       /* seconds a run waits without Z9TAR_LOCK_WAIT */
constexpr double kLongestWait = 86400;    /* a larger wait is taken as this */
constexpr long kFirstPause = 100'000;     /* ns: most runs of another process end within a few */
constexpr long kLongestPause = 2'000'000; /* ns: a waiter notices a free lock soon */
constexpr int64_t kNsPerSecond = 1'000'000'000;

int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * kNsPerSecond + t.tv_nsec;
}

/* The bound of a wait: Z9TAR_LOCK_WAIT when it is a number of seconds, 0 or more. */
double wait_seconds() {
    const char *v = getenv("Z9TAR_LOCK_WAIT");
    if (!v || !*v) return kDefaultWait;
    char *end = nullptr;
    double s = strtod(v, &end);
    if (*end != '\0' || !(s >= 0)) return kDefaultWait;   // NaN fails the test too
    return s < kLongestWait ? s : kLongestWait;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* The host's standard input and output are its own: they are never locked. */
bool host_stream(const struct stat &s) {
    struct stat std;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO})
        if (fstat(fd, &std) == 0 && same_file(std, s)) return true;
    return false;
}

/* Pauses grow from 0.1 to 2 ms, each moved by up to a quarter by the
 * process's id, so that waiters started together do not poll together. */
void pause_before_retry(long *ns) {
    timespec t = {0, *ns - *ns / 8 + (getpid() % 16) * (*ns / 64)};
    nanosleep(&t, nullptr);
    *ns = *ns * 2 < kLongestPause ? *ns * 2 : kLongestPause;
}

/* The archive's lock covers the bytes [0, kGate); the byte at kGate, far
 * beyond the end of any archive, is the gate. A run takes the gate as it
 * takes the archive before it waits for the archive, and lets it go once it
 * has that: a writer waiting for readers holds the gate, so readers that come
 * later queue behind it and cannot keep it waiting for ever. */
constexpr off_t kGate = off_t{1} << 62;

enum class Got { yes, unsupported, late };

/* A lock of type on [start, start + len), polled for until the deadline. */
Got poll_lock(int fd, short type, off_t start, off_t len, int64_t deadline) {
    struct flock l = {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = start;
    l.l_len = len;
    long pause = kFirstPause;
    while (fcntl(fd, F_OFD_SETLK, &l) != 0) {
        // A file system that has no such locks is used unlocked, as before.
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return Got::unsupported;
        if (now_ns() >= deadline) return Got::late;
        pause_before_retry(&pause);
    }
    return Got::yes;
}

}  // namespace

int64_t z9_lock_deadline(void) {
    return now_ns() + static_cast<int64_t>(wait_seconds() * static_cast<double>(kNsPerSecond));
}

Lock z9_lock_archive(int fd, const char *path, bool exclusive, int64_t deadline) {
    struct stat locked;
    if (fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode) || host_stream(locked)) return Lock::none;
    // Locks of the open file description, not of the process: a lock the
    // host holds on the same file through a descriptor of its own is
    // neither released nor taken over when this run closes its descriptor.
    short type = exclusive ? F_WRLCK : F_RDLCK;
    Got got = poll_lock(fd, type, kGate, 1, deadline);
    if (got == Got::yes) got = poll_lock(fd, type, 0, kGate, deadline);
    if (got == Got::unsupported) return Lock::none;
    if (got == Got::late) return Lock::busy;
    poll_lock(fd, F_UNLCK, kGate, 1, deadline);   // the next in line may pass
    // The lock was granted on the file this descriptor opened. A delete or
    // replace of another process may have put a new file under the name in
    // the meantime; this one is then no longer the archive.
    struct stat named;
    if (stat(path, &named) != 0 || !same_file(named, locked)) return Lock::swapped;
    return Lock::held;
}
