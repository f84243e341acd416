/* adapter.h - what the adapter folder exports: the options record filled from
 * the command line, the parser and the operation driver. The run flags and
 * values it sets for the engine are declared lower down, in support/run.h. */
#ifndef Z9_ADAPTER_ADAPTER_H
#define Z9_ADAPTER_ADAPTER_H

#include "../include/z9tar.h"
#include "../support/run.h"

constexpr int kRecordSize = 808;   /* EXITPARAM as the host builds it */

typedef struct CMDLINEPARAM {
    int bTrace;             /* a trace file is wanted */
    int bTraceAppend;       /* append to it instead of emptying it */
    int nUid;               /* -UID */
    int nGid;               /* -GID */
    int nPerm;              /* -PERM, 0777 when absent */
    int bAdd;               /* -a */
    int bCreate;            /* -c */
    int bDelete;            /* -d */
    int bNoChown;           /* -o */
    int bCatalog;           /* -CAT */
    int bExtract;           /* -x */
    int bFile;              /* -FILE with a name */
    int bUnique;            /* -UNIQUE */
    char szMember[kMemberSize];
    char szFile[kPathSize];
    char szArchive[kPathSize];
    char szTrace[kPathSize];
    int bTraceOnError;      /* -TE or -TE+: only error lines are written */
    int bTraceNamed;        /* -T, -TA or -T+ given */
    int nHostTraceMode;     /* copy of EXITPARAM.nTraceMode */
} CMDLINEPARAM;

extern "C" {

Z9_EXPORT int Z9TAR_ParseCmdLine(const char *line, CMDLINEPARAM *options, int hostTraceMode,
                                 const char *hostTraceFile);
Z9_EXPORT int Z9TAR_Archive(CMDLINEPARAM *options, EXITPARAM *record);

/* Private to the adapter. */
int Z9TAR_AdptInit(EXITPARAM *record, CMDLINEPARAM *options, const char *entry);
extern const OrvTokenDef z9tar_tokens[];
extern const int z9tar_token_count;
extern unsigned char strict_flag;       /* -STRICT given */
extern char mcmdline_error[kMessageSize];  /* why -STRICT refuses the line; "" when it does not */

}  // extern "C"

#endif
