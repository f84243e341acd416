// archive_fuzz.cpp - any bytes as an archive: a listing with a trace, then an
// extraction of every member in memory, through the entry points.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sandbox.h"
#include "z9tar.h"

static void get(const char *line) {
    char cmd[64];
    snprintf(cmd, sizeof cmd, "%s", line);
    EXITPARAM rec = {};
    rec.nSize = sizeof rec;
    rec.nTraceMode = 1;
    rec.pszCmdLine = cmd;
    Z9TAR_GetArchive(&rec);
    if (!memchr(rec.szMessage, '\0', sizeof rec.szMessage)) abort();   // always terminated
    // Every byte of a buffer handed over is the host's: its last one must be readable.
    volatile char last = rec.nOutLength ? static_cast<char *>(rec.pOutData)[rec.nOutLength - 1] : 0;
    (void)last;
    free(rec.pOutData);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static unsigned runs = 0;
    z9fuzz_enter_scratch();
    if (++runs % 500 == 0) z9fuzz_clear_scratch();
    if (FILE *f = fopen("in.tar", "wb")) {
        fwrite(data, 1, size, f);
        fclose(f);
    }
    get("-ARCHIVE in.tar -CAT -T trace.log");
    get("-ARCHIVE in.tar -MEMBER * -x");
    get("-ARCHIVE in.tar -MEMBER * -x -TE trace.log");
    return 0;
}
