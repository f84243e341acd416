// archive_fuzz.cpp - any bytes as an archive: a listing with a trace, then a
// memory-mode extraction of every member, through the entry points.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sandbox.h"
#include "z9tar.h"

namespace {

void call(bool get, const char *line) {
    char cmd[256];
    snprintf(cmd, sizeof cmd, "%s", line);
    EXITPARAM rec;
    memset(&rec, 0, sizeof rec);
    rec.nSize = sizeof rec;
    rec.nTraceMode = 1;
    rec.pszCmdLine = cmd;
    if (get) Z9TAR_GetArchive(&rec);
    else Z9TAR_PutArchive(&rec);
    if (strnlen(rec.szMessage, sizeof rec.szMessage) == sizeof rec.szMessage) abort();  // always terminated
    if (rec.nReturnCode == 0 && rec.pOutData) {
        // Touch the buffer across its whole length: every byte is the host's.
        const auto *p = static_cast<const unsigned char *>(rec.pOutData);
        unsigned sum = 0;
        for (uint32_t i = 0; i < rec.nOutLength; i += 4096) sum += p[i];
        if (rec.nOutLength) sum += p[rec.nOutLength - 1];
        volatile unsigned sink = sum;
        (void)sink;
    }
    free(rec.pOutData);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static unsigned runs = 0;
    z9fuzz_enter_scratch();
    if (++runs % 500 == 0) z9fuzz_clear_scratch();
    FILE *f = fopen("in.tar", "wb");
    if (!f) return 0;
    if (size) fwrite(data, 1, size, f);
    fclose(f);
    call(true, "-ARCHIVE in.tar -CAT -T trace.log");
    call(true, "-ARCHIVE in.tar -MEMBER * -x");
    call(true, "-ARCHIVE in.tar -MEMBER * -x -TE trace.log");
    return 0;
}
