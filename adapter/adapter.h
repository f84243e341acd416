/* adapter.h - what the adapter folder exports to the engine: the options
 * record filled from the command line, the one-byte run flags, the run values
 * set by the initialisation, the parser and the operation driver. */
#ifndef Z9_ADAPTER_ADAPTER_H
#define Z9_ADAPTER_ADAPTER_H

#include "../include/z9tar.h"
#include "../support/orv.h"

constexpr int kMemberSize = 100;   /* szMember: 1 to 99 characters */
constexpr int kPathSize = 260;     /* szFile, szArchive, szTrace: 1 to 259 */
constexpr int kMessageSize = 100;  /* EXITPARAM.szMessage */
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

/* Run flags: cleared and set by every parse, read throughout the engine. */
Z9_EXPORT extern unsigned char a_flag;       /* add; -c sets it too */
Z9_EXPORT extern unsigned char c_flag;       /* create */
Z9_EXPORT extern unsigned char d_flag;       /* delete (with a_flag: replace) */
Z9_EXPORT extern unsigned char x_flag;       /* extract */
Z9_EXPORT extern unsigned char t_flag;       /* catalog */
Z9_EXPORT extern unsigned char o_flag;       /* owners are not set on extraction */
Z9_EXPORT extern unsigned char file_flag;    /* member data in a file */
Z9_EXPORT extern unsigned char unique_flag;  /* file named after the member */
Z9_EXPORT extern unsigned char perm_flag;    /* mperm replaces the mode bits */
Z9_EXPORT extern unsigned char uid_flag;     /* muid replaces the owner */
Z9_EXPORT extern unsigned char gid_flag;     /* mgid replaces the group */
Z9_EXPORT extern unsigned char member_flag;  /* a member name was taken */
Z9_EXPORT extern unsigned char u_flag;       /* update: only newer files */

/* Run values set by the initialisation for every run. */
Z9_EXPORT extern char *mszErrMsg;   /* the record's szMessage */
Z9_EXPORT extern char *mszFile;     /* the record's szFileName */
Z9_EXPORT extern int mperm;         /* -PERM bits */
Z9_EXPORT extern int muid;          /* -UID */
Z9_EXPORT extern int mgid;          /* -GID */

Z9_EXPORT int Z9TAR_ParseCmdLine(const char *line, CMDLINEPARAM *options, int hostTraceMode,
                                 const char *hostTraceFile);
Z9_EXPORT int Z9TAR_Archive(CMDLINEPARAM *options, EXITPARAM *record);

/* Private to the adapter. */
int Z9TAR_AdptInit(EXITPARAM *record, CMDLINEPARAM *options, const char *entry);
extern const OrvTokenDef z9tar_tokens[];
extern const int z9tar_token_count;

}  // extern "C"

#endif
