/* tempname.cpp - the library's own exclusive-create naming for scratch files:
 * fills the "XXXXXX" of a template and creates the file with O_EXCL, so two
 * processes never share one. Holds no state beyond a per-process counter;
 * never calls the C library's temporary-name routines. */
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "tape.h"

namespace {

constexpr char kTemplateTail[] = "XXXXXX";
constexpr size_t kTailLen = sizeof kTemplateTail - 1;
constexpr char kNameChars[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr unsigned kNameCharCount = sizeof kNameChars - 1;
// Tries before giving up; with 62^6 names a collision run this long means
// something other than chance (a directory full of our names, say).
constexpr int kAttempts = 1000;

// splitmix64: spreads the bits, so that the weak fallback inputs (pid, time,
// counter) still give names that differ in every character.
uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// 64 fresh bits per attempt. getrandom is the source; the clock, the pid and
// a counter are mixed in as well, so a failing getrandom (old kernel, seccomp)
// still gives different names in different processes and attempts.
uint64_t random_bits() {
    static uint64_t counter;
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) bits = 0;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t stir = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30);
    stir ^= static_cast<uint64_t>(getpid()) << 40;
    return mix(bits ^ mix(stir + ++counter));
}

}  // namespace

int z9_mkstempat(int dir, char *tmpl) {
    if (!tmpl) return -1;
    size_t len = strlen(tmpl);
    if (len < kTailLen || memcmp(tmpl + len - kTailLen, kTemplateTail, kTailLen) != 0) {
        tmpl[0] = '\0';
        errno = EINVAL;
        return -1;
    }
    char *tail = tmpl + len - kTailLen;
    for (int attempt = 0; attempt < kAttempts; attempt++) {
        uint64_t bits = random_bits();
        for (size_t i = 0; i < kTailLen; i++, bits /= kNameCharCount)
            tail[i] = kNameChars[bits % kNameCharCount];
        int fd = openat(dir, tmpl, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

int z9_mkstemp(char *tmpl) { return z9_mkstempat(AT_FDCWD, tmpl); }

int z9_mktemp(char *tmpl) {
    int fd = z9_mkstemp(tmpl);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}
