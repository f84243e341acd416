/* STUB: replaced by the log implementation. */
#include "orv.h"
extern "C" {
int OrvLogInit(void) { return 1; }
int OrvLogOpen(const char *, int) { return 0; }
int OrvLogClose(void) { return 0; }
int OrvLogSetLevel(int) { return -1; }
int OrvLogSetMode(int) { return -1; }
int OrvLogEntry(const char *, int, int, const char *, const char *, ...) { return 0; }
int OrvLogDumpBin(const char *, int, int, const char *, const void *, uint64_t) { return 0; }
int OrvTrace(const char *, ...) { return 0; }
void TimeDiffHMS(time_t, time_t, int *h, int *m, int *s) { *h = *m = *s = 0; }
}
