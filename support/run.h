/* run.h - the run state every floor reads: the run flags the command line
 * sets, the run values the initialisation points at the host's record, and
 * the name of the output being written. Only declarations live here; the
 * adapter (cmdline.cpp, z9tar.cpp) and restore.cpp define and set them. */
#ifndef Z9_SUPPORT_RUN_H
#define Z9_SUPPORT_RUN_H

#include "orv.h"

constexpr int kMemberSize = 100;   /* szMember: 1 to 99 characters */
constexpr int kPathSize = 260;     /* szFile, szArchive, szTrace: 1 to 259 */
constexpr int kMessageSize = 100;  /* EXITPARAM.szMessage */
constexpr int kOfnameSize = 101;   /* ofname */
constexpr int kFileNameSize = 372; /* EXITPARAM.szFileName */
constexpr int kCodecNameSize = 32; /* mcompress */

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

/* Switches of the modern extensions, cleared and set with the flags above. */
extern unsigned char posix_flag;     /* long names, pax headers, base-256 numbers */
extern unsigned char safe_flag;      /* extraction stays inside the current directory */
extern unsigned char compress_flag;  /* -COMPRESS given */
extern unsigned char sync_flag;      /* -SYNC: a writing run ends with its changes on stable storage */
extern char mcompress[kCodecNameSize];  /* its value: the codec of a new archive */

/* Run values set by the initialisation for every run. */
Z9_EXPORT extern char *mszErrMsg;   /* the record's szMessage */
Z9_EXPORT extern char *mszFile;     /* the record's szFileName */
Z9_EXPORT extern int mperm;         /* -PERM bits */
Z9_EXPORT extern int muid;          /* -UID */
Z9_EXPORT extern int mgid;          /* -GID */

Z9_EXPORT extern char ofname[kOfnameSize];  /* output being written, for messages */

}  // extern "C"

#endif
