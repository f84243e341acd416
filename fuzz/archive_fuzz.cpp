// archive_fuzz.cpp - any bytes as an archive (compressed or not): a listing
// with a trace, then an extraction of every member in memory, twice (the
// second from the member index), through the entry points; half of them
// under -POSIX.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "sandbox.h"
#include "z9tar.h"

static void get(const char *line) {
    char cmd[96];
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
    // Half the inputs are read in the modern dialect: the last byte decides.
    const char *posix = size > 0 && (data[size - 1] & 1) ? " -POSIX" : "";
    for (const char *line : {"-CAT -T trace.log", "-MEMBER * -x", "-MEMBER * -x -TE trace.log"}) {
        char cmd[80];
        snprintf(cmd, sizeof cmd, "-ARCHIVE in.tar %s%s", line, posix);
        get(cmd);
    }
    return 0;
}
