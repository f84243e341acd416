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

void z9_set_message(const char *text) {
    if (mszErrMsg) z9_copy(mszErrMsg, kMessageSize, text);
}

void z9_error_text(const char *module, int line, const char *function, const char *text) {
    z9_set_message(text);
    OrvLogEntry(module, line, kSevError, function, "%s", text);
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
