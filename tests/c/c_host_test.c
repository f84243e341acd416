/* c_host_test.c - a host written in plain C: it compiles against the public
 * header, finds the entry points through the description record and calls
 * both, checking the record's return code and message. */
#include <stdio.h>
#include <string.h>
#include "z9tar.h"

static int failures;

/* One call through the entry point the description record names in `slot`. */
static void call(int slot, char *line, const char *message) {
    EXITPARAM rec;
    memset(&rec, 0, sizeof rec);
    rec.nSize = sizeof rec;
    rec.pszCmdLine = line;
    if (strcmp(z9tar_config50.pNames[slot], "Z9TAR_GetArchive") == 0) Z9TAR_GetArchive(&rec);
    else Z9TAR_PutArchive(&rec);
    if (rec.nReturnCode == -1 && strcmp(rec.szMessage, message) == 0) return;
    fprintf(stderr, "FAILED: slot %d gave %d %s\n", slot, rec.nReturnCode, rec.szMessage);
    failures++;
}

int main(void) {
    char get[] = "-ARCHIVE /nonexistent/dir/none.tar -MEMBER m -x";
    char put[] = "-ARCHIVE a.tar -MEMBER m -x";
    if (z9tar_config50.nLength != 104 || z9tar_config.nLength != 160) failures++;
    call(2, get, "Failed_to_open_archive");
    call(3, put, "Invalid_option_(-x)_request_for_Z9TAR_PutArchive");
    return failures ? 1 : 0;
}
