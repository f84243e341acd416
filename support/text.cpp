/* text.cpp - the two text helpers every module uses: a bounded copy into a
 * fixed field, and the engine's error report (message field plus log entry).
 * Reads mszErrMsg, which the initialisation points at the record's field. */
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "orv.h"
#include "run.h"

void z9_copy(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) return;
    size_t n = src ? strnlen(src, size - 1) : 0;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

/* A message whose text is made only when someone may see it. */
static void (*g_pending)(char *text, size_t size);

void z9_set_message(const char *text) {
    g_pending = nullptr;
    if (mszErrMsg) z9_copy(mszErrMsg, kMessageSize, text);
}

void z9_defer_message(void (*make)(char *text, size_t size)) { g_pending = make; }

void z9_settle_message(void) {
    if (!g_pending) return;
    char text[kMessageSize];
    g_pending(text, sizeof text);
    z9_set_message(text);
}

void z9_error_text(const char *module, int line, const char *function, const char *text) {
    z9_set_message(text);
    OrvLogEntry(module, line, kSevError, function, "%s", text);
}

void z9_error_fit(const char *module, int line, const char *function, const char *message, const char *trace) {
    z9_set_message(message);
    z9_log_text(module, line, kSevError, function, trace, strlen(trace));
}

void z9_error(const char *module, int line, const char *function, const char *format, ...) {
    // The log takes up to 509 characters; the message field keeps 99 of them.
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    z9_error_text(module, line, function, text);
}

TextBuf &TextBuf::add(std::string_view s) {
    size_t len = s.size(), room = size_ - 1 - len_;
    if (len > room) len = room;
    memcpy(buf_ + len_, s.data(), len);
    len_ += len;
    buf_[len_] = '\0';
    return *this;
}

TextBuf &TextBuf::num(int64_t v, int width, bool left) {
    char digits[48];
    size_t n = 24;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do digits[--n] = static_cast<char>('0' + u % 10); while ((u /= 10) != 0);
    if (v < 0) digits[--n] = '-';
    size_t end = 24;
    // Padding on the side the format asks for; never more than the places.
    for (int pad = width - static_cast<int>(end - n); pad > 0 && n > 0 && end < sizeof digits; pad--) {
        if (left) digits[end++] = ' ';
        else digits[--n] = ' ';
    }
    return add(std::string_view(digits + n, end - n));
}
