/* c_host_test.c - a host written in plain C: it compiles against the public
 * header, finds the entry points through the description record and calls
 * both, checking the record's return code and message. */
#include <stdio.h>
#include <string.h>
#include "z9tar.h"

static int failures;

static void check(int ok, const char *what) {
    if (!ok) fprintf(stderr, "FAILED: %s\n", what), failures++;
}

/* One call through the entry point the description record names. */
static void call(int slot, char *line, const char *message) {
    EXITPARAM rec;
    memset(&rec, 0, sizeof rec);
    rec.nSize = sizeof rec;
    rec.pszCmdLine = line;
    (strcmp(z9tar_config50.pNames[slot], "Z9TAR_GetArchive") == 0 ? Z9TAR_GetArchive : Z9TAR_PutArchive)(&rec);
    check(rec.nReturnCode == -1 && strcmp(rec.szMessage, message) == 0, message);
}

int main(void) {
    char cmd[] = "-ARCHIVE /nonexistent/dir/none.tar -MEMBER m -x", bad[] = "-MEMBER m";
    check(z9tar_config50.nLength == 104 && z9tar_config.nLength == 160, "record lengths");
    check(strcmp(z9tar_config50.pNames[2], "Z9TAR_GetArchive") == 0, "get name");
    check(strcmp(z9tar_config50.pNames[3], "Z9TAR_PutArchive") == 0, "put name");
    call(2, cmd, "Failed_to_open_archive");
    call(3, bad, "Invalid_command_line_-_missing_data_file_name");
    return failures ? 1 : 0;
}
