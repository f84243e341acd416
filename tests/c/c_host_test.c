/* c_host_test.c - a host written in plain C: it compiles against the public
 * header, finds the entry points through the description record and calls
 * both, checking the record's return code and message. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "z9tar.h"

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        failures++;
    }
}

int main(void) {
    EXITPARAM rec;
    char cmd[] = "-ARCHIVE /nonexistent/dir/none.tar -MEMBER m -x";
    char bad[] = "-MEMBER m";

    check(z9tar_config50.nLength == 104, "config50 length");
    check(strcmp(z9tar_config50.pNames[2], "Z9TAR_GetArchive") == 0, "get name");
    check(strcmp(z9tar_config50.pNames[3], "Z9TAR_PutArchive") == 0, "put name");
    check(z9tar_config.nLength == 160, "config length");

    memset(&rec, 0, sizeof rec);
    rec.nSize = sizeof rec;
    rec.pszCmdLine = cmd;
    Z9TAR_GetArchive(&rec);
    check(rec.nReturnCode == -1, "missing archive fails");
    check(strcmp(rec.szMessage, "Failed_to_open_archive") == 0, "open failure text");

    memset(&rec, 0, sizeof rec);
    rec.nSize = sizeof rec;
    rec.pszCmdLine = bad;
    Z9TAR_PutArchive(&rec);
    check(rec.nReturnCode == -1, "missing archive name fails");
    check(strcmp(rec.szMessage, "Invalid_command_line_-_missing_data_file_name") == 0,
          "missing archive text");

    return failures ? 1 : 0;
}
