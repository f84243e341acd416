/* z9tar.cpp - the adapter's face to the host: the two entry points, the shared
 * initialisation (which reads the operator's Z9TAR_OPTIONS at every call), the
 * description records, the version strings and the help printer. Owns the
 * process-wide lock and the run values mszErrMsg, mszFile, mperm, muid and
 * mgid; every call runs whole under the lock. */
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "adapter.h"
#include "../tape/tape.h"
#include "../tar/tar.h"

extern "C" {

char *mszErrMsg;  /* set by the initialisation to the record's szMessage; every module writes errors there */
char *mszFile;    /* set by the initialisation to the record's szFileName; extraction reports its file */
int mperm;        /* -PERM bits (0777 when absent), set by the initialisation */
int muid;         /* -UID, set by the initialisation */
int mgid;         /* -GID, set by the initialisation */

/* The host reads these two records to find the entry points; the library
 * never reads them. All empty-text slots share one empty string. */
static const char kEmpty[] = "";

const Z9TAR_CONFIG z9tar_config = {
    .nLength = 160, .zero4 = {}, .pEmpty = kEmpty, .n72 = 25, .n76 = 29, .zero80 = {},
    .a104 = {7, 1, 2, 1, 1, 2}, .zero128 = {}, .a136 = {7, 1, 2, 1, 1, 2},
};

const Z9TAR_CONFIG50 z9tar_config50 = {
    .nLength = 104, .zero4 = 0,
    .pNames = {kEmpty, kEmpty, "Z9TAR_GetArchive", "Z9TAR_PutArchive", kEmpty, kEmpty, kEmpty,
               kEmpty, kEmpty, kEmpty, kEmpty, kEmpty},
};

char szVersion[9] = "1.0(101)";
char szFullQRTVersion[19] = "1.0.0.0(101)_64bit";
char szLundVersionLabel[32] = "LundVerLabel=1.0.0.0(101)_64bit";
char szMainProductName[38] = "z9tar tar archive adapter";
char szCopyright[55] = "Copyright (c) 2026 the z9tar developers";

}  // extern "C"

namespace {

constexpr const char kModule[] = "z9tar";
constexpr const char kInit[] = "Z9TAR_AdptInit";
/* Below this size the record does not reach nTraceMode; reading the command
 * line or the trace fields of such a record would read past the host's bytes. */
constexpr uint32_t kTraceFieldsEnd = 802;
/* The operator's tokens for every call of the process, read at every call. */
constexpr const char kOptionsVariable[] = "Z9TAR_OPTIONS";

pthread_once_t lock_once = PTHREAD_ONCE_INIT;
pthread_mutex_t run_lock;

void create_lock() { pthread_mutex_init(&run_lock, nullptr); }

/* pthread_once makes the creation safe when two first calls race. */
void take_lock() {
    pthread_once(&lock_once, create_lock);
    pthread_mutex_lock(&run_lock);
}

void release_lock() { pthread_mutex_unlock(&run_lock); }

/* Writes a fixed adapter text into the record and logs it as an error. */
void refuse(EXITPARAM *rec, const char *function, const char *text) {
    z9_copy(rec->szMessage, sizeof rec->szMessage, text);
    Z9_LOG(kSevError, function, "%s", text);
}

/* Forgets the record: nothing may write into it once the call returns. */
void detach_record() {
    mszErrMsg = nullptr;
    mszFile = nullptr;
    mszFileName = nullptr;  // pointed into the caller's options record
}

void log_banner(EXITPARAM *rec, const char *entry, const char *policy, int count) {
    Z9_LOG(kSevInfo, kInit, "=== Z9TAR(%s) Adapter Log ===", szLundVersionLabel);
    Z9_LOG(kSevInfo, kInit, "Performing initialization for %s", entry);
    Z9_LOG(kSevInfo, kInit, "Command line in <%s>", rec->pszCmdLine ? rec->pszCmdLine : "");
    if (policy) Z9_LOG(kSevInfo, kInit, "Tokens from %s <%s>", kOptionsVariable, policy);
    Z9_LOG(kSevInfo, kInit, "%d arguments detected", count);
}

/* The end of a run that reached the driver: release, closing line, log close. */
void finish_run(const CMDLINEPARAM &opts, const char *entry, time_t start) {
    _done();
    int h, m, s;
    TimeDiffHMS(start, time(nullptr), &h, &m, &s);
    if (!opts.bTraceOnError)
        Z9_LOG(kSevInfo, entry, "=== End run. Elapsed time: %02d:%02d:%02d ===", h, m, s);
    OrvLogClose();
    detach_record();
}

/* The early stops: the log closes, no release and no closing line. */
void stop_early() {
    OrvLogClose();
    detach_record();
}

/* Parses the operator's tokens (Z9TAR_OPTIONS, when set and not empty) and
 * then the record's command line, as one line: the parser keeps a token's
 * first occurrence, so the operator's value wins. Without the memory to join
 * them the call fails rather than run without the operator's policy. */
int parse_line(EXITPARAM *rec, CMDLINEPARAM *opts, const char *policy) {
    const char *line = rec->pszCmdLine;
    if (!policy) return Z9TAR_ParseCmdLine(line, opts, rec->nTraceMode, rec->szTraceFile);
    size_t a = strlen(policy), b = line ? strlen(line) : 0;
    auto *joined = static_cast<char *>(malloc(a + b + 2));
    if (joined) {
        memcpy(joined, policy, a);
        joined[a] = ' ';
        memcpy(joined + a + 1, line ? line : "", b + 1);
    }
    int count = Z9TAR_ParseCmdLine(joined ? joined : line, opts, rec->nTraceMode, rec->szTraceFile);
    if (!joined)
        z9_copy(mcmdline_error, kMessageSize, "out of memory joining Z9TAR_OPTIONS to the command line");
    free(joined);
    return count;
}

}  // namespace

int Z9TAR_AdptInit(EXITPARAM *rec, CMDLINEPARAM *opts, const char *entry) {
    OrvLogInit();
    int count = 0;
    const char *policy = getenv(kOptionsVariable);
    if (policy && !*policy) policy = nullptr;
    if (rec->nSize >= kTraceFieldsEnd) {
        count = parse_line(rec, opts, policy);
        if (count != 0 && opts->bTrace && opts->szTrace[0] != '\0')
            OrvLogOpen(opts->szTrace, !opts->bTraceAppend);
    }
    if (rec->nSize != static_cast<uint32_t>(kRecordSize)) {
        Z9_LOG(kSevError, kInit, "Fatal error. EXITPARAM size difference!");
        OrvLogClose();
        return 0;
    }
    OrvLogSetMode(kLogNoHeader);
    OrvLogSetLevel(kSevInfo);
    if (!opts->bTraceOnError) log_banner(rec, entry, policy, count);

    rec->nReturnCode = -1;
    rec->nOutLength = 0;
    rec->pOutData = nullptr;
    bool stop = false;
    if (!t_flag && opts->szMember[0] == '\0') {
        refuse(rec, kInit, "Invalid_command_line_-_missing_entry_name");
        stop = true;
    }
    if (opts->szArchive[0] == '\0') {
        refuse(rec, kInit, "Invalid_command_line_-_missing_data_file_name");
        stop = true;
    }
    // -STRICT's refusal names the token at fault, so its text is the one left.
    if (mcmdline_error[0]) {
        refuse(rec, kInit, mcmdline_error);
        stop = true;
    }
    mperm = opts->nPerm;
    mgid = opts->nGid;
    muid = opts->nUid;
    mszFile = rec->szFileName;
    moff = 0;
    mszErrMsg = rec->szMessage;
    if (stop) {
        OrvLogClose();
        return 0;
    }
    return 1;
}

namespace {

/* What tells the two entry points apart. */
struct Entry {
    const char *name;        /* "Z9TAR_GetArchive" or "Z9TAR_PutArchive" */
    bool get;                /* reads the archive; hands a member buffer over */
    const char *refusal;     /* the text for an operation this entry does not do */
    const char *succeeded;   /* the success text */
    const char *failed;      /* the failure line of the trace */
};

constexpr Entry kGet = {"Z9TAR_GetArchive", true, "Invalid_option_(-a_-c_or_-u)_request_for_Z9TAR_GetArchive",
                        "GetArchive_succeeded", "GetArchive failed"};
constexpr Entry kPut = {"Z9TAR_PutArchive", false, "Invalid_option_(-x)_request_for_Z9TAR_PutArchive",
                        "PutArchive_succeeded", "PutArchive failed"};

/* The progress line before the operation. */
void log_operation(const Entry &e, const CMDLINEPARAM &opts) {
    if (opts.bTraceOnError) return;
    if (t_flag)
        Z9_LOG(kSevInfo, e.name, "Catalog requested");
    else if (e.get)
        Z9_LOG(kSevInfo, e.name, "Extracting <%s>", opts.szMember);
    else
        Z9_LOG(kSevInfo, e.name, "Archiving <%s>", file_flag ? opts.szFile : opts.szMember);
}

/* One host call, whole, under the lock. */
void run_call(EXITPARAM *rec, const Entry &e) {
    if (e.get) mbuf = nullptr;  // a buffer handed over earlier belongs to the host
    time_t start = time(nullptr);
    CMDLINEPARAM opts;
    memset(&opts, 0, sizeof opts);
    if (!Z9TAR_AdptInit(rec, &opts, e.name)) {
        detach_record();
        return;
    }
    if (e.get ? a_flag != 0 : opts.bExtract != 0) {
        refuse(rec, e.name, e.refusal);
        stop_early();
        return;
    }
    if (!e.get) {
        mbuf = static_cast<unsigned char *>(rec->pInData);
        msize = static_cast<int64_t>(rec->nInLength);
    }
    log_operation(e, opts);
    cblock = 0;
    if (Z9TAR_Archive(&opts, rec)) {
        if (e.get && !file_flag) {
            rec->pOutData = mbuf;
            rec->nOutLength = mbuf ? static_cast<uint32_t>(msize) : 0;
            mbuf = nullptr;  // from here on the host owns the buffer
        }
        rec->nReturnCode = 0;
        z9_copy(rec->szMessage, sizeof rec->szMessage, e.succeeded);
        if (!opts.bTraceOnError) Z9_LOG(kSevInfo, e.name, "%s", e.succeeded);
    } else {
        Z9_LOG(kSevInfo, e.name, "%s", e.failed);
    }
    // A buffer of a failed get never reaches the host and is released here;
    // a put's input stays the host's and is only forgotten.
    if (e.get) free(mbuf);
    mbuf = nullptr;
    msize = 0;
    finish_run(opts, e.name, start);
}

/* Both entry points: the outcome is in the record, never in the result. */
int enter(EXITPARAM *rec, const Entry &e) {
    if (!rec) return 0;
    take_lock();
    run_call(rec, e);
    release_lock();
    return 0;
}

}  // namespace

extern "C" int Z9TAR_GetArchive(EXITPARAM *rec) noexcept { return enter(rec, kGet); }

extern "C" int Z9TAR_PutArchive(EXITPARAM *rec) noexcept { return enter(rec, kPut); }

extern "C" int QuickHelp(void) noexcept {
    static const char *const lines[] = {
        "\nExported functions:\n",
        "Z9TAR_GetArchive  - Use this to read from an archive.\n",
        "Z9TAR_PutArchive  - Use this to add data to an archive.\n\n",
        "Command line options:\n\n",
        "Token   Req?  Usage                             Example\n",
        "======  ====  ===============================   ==============\n",
        "-ARCHIVE Y   Specify the archive          \t\t\t-ARCHIVE data.tar\n",
        "-MEMBER Y    Specify member name          \t\t\t-MEMBER entry1\n",
        "-FILE   N    Specify data in file         \t\t\t-FILE\n",
        "-PERM   N    Specify the permissions      \t\t\t-PERM 777\n",
        "-UID    N    Specify the user ID          \t\t\t-UID 23\n",
        "-GID    N    Specify the group ID         \t\t\t-GID 2000\n",
        "-a      N    Specify add to archive       \t\t\t-a\n",
        "-c      N    Specify create new archive   \t\t\t-c\n",
        "-u      N    Specify update archive       \t\t\t-u\n",
        "-x      N    Specify extract from archvie \t\t\t-x\n",
        "-d      N    Specify delete from archive  \t\t\t-d\n",
        "-CAT    N    Specify archive catalog\t  \t\t\t-CAT \n",
        "-T      N    Turn on tracing              \t\t\t-T trace.txt or just -T\n",
        "-TA     N    Append to trace file         \t\t\t-TA trace.txt or just -TA\n",
        "-TE     N    Turn on tracing on error     \t\t\t-TE trace.txt or just -TE\n",
        "-TE+    N    Append to trace file on error        \t-TE+ trace.txt or just -TE+\n",
    };
    int last = 0;
    for (const char *line : lines) last = printf("%s", line);
    fflush(stdout);
    return last;
}
