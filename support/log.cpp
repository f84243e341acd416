/* log.cpp - the trace log: one process-wide trace file, its level and mode,
 * entries with optional header lines, hex dumps, a plain print to standard
 * output and the elapsed-time split. Owns the log state below; takes no lock
 * of its own, since every caller already holds the entry points' mutex. */
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "orv.h"

namespace {

constexpr int kLineBuffer = 512;     // header line, message and OrvTrace text
constexpr int kMessageMax = kLineBuffer - 3;  // room left for "\n\n" and the zero
constexpr int kNameMax = 127;        // longest trace-file name accepted
constexpr int kDumpGroup = 10;       // bytes per dump line
constexpr int kDumpLine = 80;        // a dump line is at most 74 characters

/* The log state. Set by OrvLogInit/Open/Close/SetLevel/SetMode, read by the
 * entry and dump operations; level and mode outlive every close on purpose,
 * so later host calls of the process keep the mode the first one set. */
struct LogState {
    int initialised = 0;
    int open = 0;
    int level = 9;
    int mode = 0;
    int descriptor = -1;
};
LogState g_log;

/* One write call; a failed or short write is dropped, never retried. */
void put_fd(int fd, const char *text, size_t length) {
    if (write(fd, text, length) < 0) return;
}

void put_stdout(const char *text, size_t length) {
    fwrite(text, 1, length, stdout);
}

/* The length snprintf reports, cut to what the buffer really holds. */
size_t fitted(int formatted, size_t room) {
    if (formatted < 0) return 0;
    return static_cast<size_t>(formatted) < room ? static_cast<size_t>(formatted) : room - 1;
}

bool entry_passes(int severity) {
    return g_log.open && g_log.initialised && severity > 0 && severity <= g_log.level;
}

/* Writes the header line: severity, local date and time, the module's last
 * path component, the function and the caller's line. When the local time
 * cannot be had the date and time fields show zeros. */
void write_header(const char *module, int line, int severity, const char *function) {
    struct tm now = {};
    time_t t = time(nullptr);
    if (t == static_cast<time_t>(-1) || !localtime_r(&t, &now)) {
        now = {};
        now.tm_mon = -1;      // printed as month 0
        now.tm_year = -1900;  // printed as year 0
    }
    const char *base = module ? module : "";
    if (const char *slash = strrchr(base, '/')) base = slash + 1;
    if (!function) function = "";

    // The thread field keeps its place in the layout; its value is always 0.
    const char *thread = (g_log.mode & kLogThread) ? "Thread: 0x00000000  " : "";
    char buf[kLineBuffer] = {};
    int n = snprintf(buf, sizeof buf, "%sSev:%d  %02d/%02d/%04d  %02d:%02d:%02d  %s  %s  %d\n", thread,
                     severity, now.tm_mon + 1, now.tm_mday, now.tm_year + 1900, now.tm_hour, now.tm_min,
                     now.tm_sec, base, function, line);
    size_t length = fitted(n, sizeof buf);
    put_fd(g_log.descriptor, buf, length);
    if (g_log.mode & kLogEcho) put_stdout(buf, length);
}

/* Builds one dump line for count (1 to 10) bytes at offset; a short last
 * group is padded so the character column stays ten wide and ends in an
 * empty line. Returns the line's length. */
size_t dump_line(char *out, size_t room, const unsigned char *bytes, int count, uint64_t offset) {
    // The offset field is eight hex digits wide; larger offsets wrap.
    size_t n = fitted(snprintf(out, room, "0x%08X: ", static_cast<unsigned>(offset)), room);
    for (int i = 0; i < kDumpGroup; i++) {
        if (i < count) n += fitted(snprintf(out + n, room - n, "0x%02X ", bytes[i]), room - n);
        else n += fitted(snprintf(out + n, room - n, "     "), room - n);
    }
    for (int i = 0; i < kDumpGroup && n + 1 < room; i++) {
        if (i >= count) out[n++] = ' ';
        else out[n++] = (isalnum(bytes[i]) || isprint(bytes[i])) ? static_cast<char>(bytes[i]) : '.';
    }
    n += fitted(snprintf(out + n, room - n, count < kDumpGroup ? "\n\n" : "\n"), room - n);
    return n;
}

}  // namespace

extern "C" {

int OrvLogInit(void) {
    g_log.initialised = 1;
    return 1;
}

int OrvLogOpen(const char *name, int truncate) {
    if (!g_log.initialised || g_log.open || !name) return 0;
    if (strnlen(name, kNameMax + 1) > static_cast<size_t>(kNameMax)) return 0;
    int flags = O_RDWR | O_CREAT | O_APPEND | (truncate ? O_TRUNC : 0);
    int fd = open(name, flags, 0666);
    if (fd < 0) {
        // A trace that cannot be opened silences the whole run, not fails it.
        OrvLogClose();
        return 0;
    }
    g_log.descriptor = fd;
    g_log.open = 1;
    return 1;
}

int OrvLogClose(void) {
    if (g_log.initialised) {
        if (g_log.open) {
            close(g_log.descriptor);
            g_log.descriptor = -1;
            g_log.open = 0;
        }
        g_log.initialised = 0;
    }
    return 0;
}

int OrvLogSetLevel(int level) {
    if (!g_log.initialised || level < 1 || level > 9) return -1;
    int previous = g_log.level;
    g_log.level = level;
    return previous;
}

int OrvLogSetMode(int mode) {
    if (!g_log.initialised) return -1;
    int previous = g_log.mode;
    g_log.mode = mode;
    return previous;
}

int OrvLogEntry(const char *module, int line, int severity, const char *function,
                const char *format, ...) {
    // Entries above the level cost nothing: the arguments are never formatted,
    // and not even the buffer is cleared.
    if (!entry_passes(severity)) return 0;
    char buf[kLineBuffer];
    if (!(g_log.mode & kLogNoHeader)) write_header(module, line, severity, function);

    size_t length = 0;
    if (format) {
        va_list ap;
        va_start(ap, format);
        length = fitted(vsnprintf(buf, kMessageMax + 1, format, ap), kMessageMax + 1);
        va_end(ap);
    }
    buf[length] = '\n';
    buf[length + 1] = '\n';
    put_fd(g_log.descriptor, buf, length + 2);
    if (g_log.mode & kLogEcho) put_stdout(buf, length + 2);
    return 0;
}

}  // extern "C"

void z9_log_text(const char *module, int line, int severity, const char *function, const char *text, size_t len) {
    if (!entry_passes(severity)) return;
    if (!(g_log.mode & kLogNoHeader)) write_header(module, line, severity, function);
    // The text and its two line ends in one write, as OrvLogEntry writes them.
    char buf[kLineBuffer];
    if (len + 2 <= sizeof buf) {
        memcpy(buf, text, len);
        memcpy(buf + len, "\n\n", 2);
        put_fd(g_log.descriptor, buf, len + 2);
    } else {
        struct iovec parts[] = {{const_cast<char *>(text), len}, {const_cast<char *>("\n\n"), 2}};
        if (writev(g_log.descriptor, parts, 2) < 0) return;
    }
    if (g_log.mode & kLogEcho) {
        put_stdout(text, len);
        put_stdout("\n\n", 2);
    }
}

extern "C" {

int OrvLogDumpBin(const char *module, int line, int severity, const char *function,
                  const void *data, uint64_t length) {
    if (!entry_passes(severity)) return 0;
    if (!(g_log.mode & kLogNoHeader)) write_header(module, line, severity, function);
    if (!data) return 0;

    // Dump lines go to the trace file only, never to standard output.
    const auto *bytes = static_cast<const unsigned char *>(data);
    char out[kDumpLine];
    uint64_t offset = 0;
    for (; length - offset >= kDumpGroup; offset += kDumpGroup)
        put_fd(g_log.descriptor, out, dump_line(out, sizeof out, bytes + offset, kDumpGroup, offset));
    if (length > offset) {
        int rest = static_cast<int>(length - offset);
        put_fd(g_log.descriptor, out, dump_line(out, sizeof out, bytes + offset, rest, offset));
    }
    return 0;
}

int OrvTrace(const char *format, ...) {
    if (!format) return 0;
    char buf[kLineBuffer] = {};
    va_list ap;
    va_start(ap, format);
    size_t length = fitted(vsnprintf(buf, sizeof buf, format, ap), sizeof buf);
    va_end(ap);
    return static_cast<int>(fwrite(buf, 1, length, stdout));
}

void TimeDiffHMS(time_t start, time_t end, int *hours, int *minutes, int *seconds) {
    if (hours) *hours = 0;
    if (minutes) *minutes = 0;
    if (seconds) *seconds = 0;
    // Clamp before the conversion so absurd clock values cannot overflow.
    constexpr double kLimit = 2147483647.0 * 3600.0;
    double diff = difftime(end, start);
    if (diff > kLimit) diff = kLimit;
    if (diff < -2147483647.0) diff = -2147483647.0;
    int64_t d = static_cast<int64_t>(diff);

    int64_t m = 0, s = d, h = 0;
    if (d > 59) {
        m = d / 60;
        s = d - 60 * m;
    }
    if (m > 59) {
        h = m / 60;
        m = m - 60 * h;
    }
    if (hours) *hours = static_cast<int>(h);
    if (minutes) *minutes = static_cast<int>(m);
    if (seconds) *seconds = static_cast<int>(s);
}

}  // extern "C"

bool z9_log_is_open(void) { return g_log.initialised && g_log.open; }
