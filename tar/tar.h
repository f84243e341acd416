/* tar.h - what the tar folder exports: the current header and member status,
 * the header reader and writer, the member walk and catalog, the time and
 * link lists with the end-of-call release, extraction, restoring and storing. */
#ifndef Z9_TAR_TAR_H
#define Z9_TAR_TAR_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <cstdint>
#include "../support/run.h"
#include "format.h"

extern "C" {

/* ---- header block (header.cpp) ---- */
Z9_EXPORT extern unsigned char *hblock;  /* current header, inside a record buffer */
Z9_EXPORT extern struct stat st;         /* current member's status */
Z9_EXPORT extern short dmajor, dminor;   /* device numbers of a device member */
Z9_EXPORT extern int64_t codesize;       /* coded size from the header's tail */
Z9_EXPORT extern int64_t longcsum;       /* long checksum from the header's tail */
extern short nskipped;                   /* bad headers passed over; private to gethead */

Z9_EXPORT int gethead(int quiet);
Z9_EXPORT int headsum(const unsigned char *block);
int soctus(const unsigned char *text, short *value);
Z9_EXPORT int soctul(const unsigned char *text, int64_t *value);
Z9_EXPORT int shexul(const unsigned char *text, int64_t *value);
int isoctal(const unsigned char *text, int width);
Z9_EXPORT int isextent(short *count, int64_t *total);
Z9_EXPORT int ismagic(void);
Z9_EXPORT int prefix(void);
Z9_EXPORT int usize(void);
Z9_EXPORT void nullblock(unsigned char *block);
Z9_EXPORT void procts(unsigned char *field, short value, char last);
Z9_EXPORT void proctl(unsigned char *field, int64_t value);
Z9_EXPORT void prcsum(unsigned char *block);
Z9_EXPORT int newhead(const char *name, int64_t size);
Z9_EXPORT const char *deleft(const char *name);

/* ---- member walk and catalog (tar.cpp) ---- */
Z9_EXPORT extern int allfiles;           /* members listed by a catalog run */
Z9_EXPORT extern uint64_t allbytes;      /* their bytes */

typedef int (*SCANACTION)(void);
Z9_EXPORT int scantape(const char *pattern, SCANACTION action, int quiet);
Z9_EXPORT int inargs(const char *pattern, const char *name);
Z9_EXPORT int mismatch(const char *pattern, const char *text, int length);
Z9_EXPORT int skipfile(void);
Z9_EXPORT int delfile(void);
Z9_EXPORT int catalog(void);
Z9_EXPORT const char *prmode(int type, int mode);
Z9_EXPORT int okwork(int action, int type, const struct stat *status, const char *name);

/* ---- time and link lists, end-of-call release (items.cpp) ---- */
typedef struct ITEM {
    struct ITEM *prev;
    struct ITEM *next;
    int64_t mtime;          /* time list: newest modification time */
    ino_t ino;              /* link list: the file's identity ... */
    dev_t dev;
    int links;              /* ... and the names still expected */
    char *name;             /* points into the same allocation, after the node */
} ITEM;

Z9_EXPORT extern ITEM *timehead;         /* names seen in the archive (update mode) */
Z9_EXPORT extern ITEM *linkhead;         /* multiply-linked files stored in this run */

Z9_EXPORT ITEM *finditem(const char *name, ITEM **insert, ITEM *head);
Z9_EXPORT ITEM *additem(const char *name, ITEM *insert, ITEM **head);
Z9_EXPORT void delitem(ITEM *node, ITEM **head);
Z9_EXPORT void _done(void);

/* ---- extraction (extract.cpp) ---- */
Z9_EXPORT extern char *mszFileName;      /* the -FILE template of a file-mode extraction */
Z9_EXPORT int extract(void);
Z9_EXPORT int uplist(void);
Z9_EXPORT int acctime(void);

/* ---- restoring (restore.cpp) ---- */
Z9_EXPORT int makedir(char *name, int strict);
Z9_EXPORT int testdir(char *name);
int newfile(const char *name, int mode);
Z9_EXPORT int restore(char *name);
void pfile(const char *name, int64_t bytes, int64_t blocks);
Z9_EXPORT int makelink(const char *name, const char *target);

/* ---- storing (store.cpp, savefile.cpp) ---- */
constexpr int kStorePathSize = 260;      /* the caller's path buffer */
constexpr int kStorePathMax = 256;       /* longest path stored */
constexpr int kLongPathSize = 4096 + 260; /* the path buffer a store under -POSIX needs */
Z9_EXPORT extern int c_break;            /* interruption flag, cleared by the driver */
Z9_EXPORT int z9tarstore(char *path, const char *name);
Z9_EXPORT int savefile(char *path, const char *name);

}  // extern "C"

/* The command line's -PERM, -UID and -GID win over the archive's or the
 * file's own bits and ids in st; the type bits stay. */
void apply_overrides(void);

/* The owner rule of the plain way of extraction: what was made gets the
 * member's owner and group from st, unless -o leaves it to the extracting
 * user (kept). own adds the trace line of a `kind` just made. */
enum class Owner { kept, set, refused };
[[nodiscard]] Owner give_owner(const char *name);
void own(const char *name, const char *function, const char *kind);

/* ---- how extraction makes objects on disk (restore.cpp, safe.cpp) ---- */

/* Whether the current member may be made at all: refused (with the message
 * given), passed over (the directory "./" under -SAFE, which would only
 * change the root), or to be made. */
enum class Admit { make, pass, refuse };

/* An object extraction made, as the step that gives it its times (and in the
 * plain way its owner) reaches it: by its name, or through the descriptor
 * that made or opened it, or for what no descriptor holds open (a link)
 * through its directory's descriptor and its entry there. Descriptors put
 * in by a make operation are the caller's to close (made_release). */
struct Made {
    const char *name = nullptr;
    int fd = -1;
    int dir = -1;
    const char *entry = nullptr;
};
void made_release(Made *made);

/* The ways of making extracted objects, one row per policy and chosen once
 * per extraction run, as the archive I/O chooses its TAPEOPS: the plain row
 * uses member names as paths, as they stand; the -SAFE row keeps everything
 * inside the current directory. Modes are set on what was created, never
 * through the process's file-creation mask, which stays the host's. */
typedef struct MAKEOPS {
    Admit (*admit)(void);              /* checks the current member first */
    void (*reserve)(char *out);        /* a -FILE output's "XXXXXX" made unique; "" when none is free */
    /* A regular file made anew (what held its name goes, so a hard link to
     * it keeps the old bytes), its missing directories made, with the
     * member's permission bits: open for writing, or -1 after the message. */
    int (*file)(const char *name, int mode);
    /* A directory member's directory, or with parents every directory on
     * the path: 0, or -1 when one cannot be made (or is refused). */
    int (*dir)(char *name, bool parents, Made *made);
    int (*link)(const char *name, const char *target);  /* as link(2) */
    int (*node)(char *name, mode_t mode, dev_t dev, Made *made);  /* as mknod(2) */
    void (*finish)(Made *made);        /* owner and times of what was made */
} MAKEOPS;
extern const MAKEOPS *makeops;         /* the run's row; set by select_makeops */
extern const MAKEOPS kPlainMakeOps, kSafeMakeOps;
void select_makeops(void);             /* by safe_flag, before an extraction */

/* Fails the current member: "'name' is refused: why", or with a target
 * "'name' is refused: why 'target' after". The trace shows the names whole;
 * in the record's message they are shortened in their middle as far as the
 * field needs, so that both keep the reason. */
void refuse(const char *module, int line, const char *function, const char *name, const char *why,
            const char *target = nullptr, const char *after = "");

/* True when the current header is a regular file (kTypeRegOld or kTypeReg):
 * the only members that carry extent and tail fields. */
bool plain_file(void);

/* ---- the modern dialect in the walk (extended.cpp) ---- */

/* The current member's full name and link name: the header's fields, or
 * under -POSIX what long-name members, pax records and the ustar prefix make
 * of them. Valid until the next gethead. */
const char *member_name(void);
const char *member_link(void);

/* Whether the last gethead's 0 was the end marker, not a bad header. */
bool at_end_marker(void);

/* Whether a block read anywhere holds a header: its checksum field is a
 * number and agrees with the block's sum. Pure; logs nothing. */
bool header_checksum_ok(const unsigned char *block);

/* Under -POSIX: the typeflags of extension headers ('L', 'K', 'x', 'g'),
 * which gethead takes for the member behind them. */
bool is_extension(int type);
bool ustar_magic(void);            /* the current header's magic starts "ustar" */
enum class Ext { taken, bad, unreadable };
void ext_begin(void);              /* a new gethead: no extension blocks yet */
Ext ext_take(const char **why);    /* reads, parses and keeps the current one */
bool ext_waiting(void);            /* one waits for its member */
void ext_apply(void);              /* names and attributes of the member read */
int64_t ext_blocks(void);          /* blocks the member's extension headers took */
bool ext_global_seen(void);        /* a 'g' header was taken in this run */
/* Writes the member's extension blocks to the output: all of them when the
 * member is kept, only the global ones when it is dropped. */
[[nodiscard]] bool ext_copy(bool keep);
void ext_release(void);            /* end of a run: nothing is carried over */

/* How a walk ends in an extraction run: 1, or "Member '%s' not found". */
int scan_result(const char *pattern, int acted);
/* Whether the walk acts on the member name: the pattern selects it, or the
 * pattern is empty in a listing run (which then selects every member). */
bool selects(const char *pattern, const char *name);

/* ---- the member index (index.cpp) ---- */

/* A walk builds an index of every member it reads; one that reaches the end
 * marker cleanly keeps it for later calls. An archive found to get no index
 * (too large, or its walk depends on the pattern) is not built again while
 * it stays unchanged. start: where the member's blocks begin; passed: blocks
 * passed over before its header. */
void index_walk_begin(void);
void index_walk_member(int64_t start, int64_t passed);
void index_walk_end(bool clean);
/* An extraction from an archive the index knows unchanged: the members the
 * pattern selects are extracted as scantape would; -1 when the index cannot
 * serve (the caller walks), else scantape's result. */
int index_extract(const char *pattern, int quiet);
/* A run that writes the archive forgets its index. */
void index_drop(void);
/* For tests: makes bytes (0: the built-in 64 MiB) the cache's budget, and
 * tells how large the entries walks built grew, summed over the walks since
 * the last call. */
size_t index_budget(size_t bytes);

/* ---- starting a header (ustar.cpp) ---- */

/* Starts the member's header in the output buffer (hblock): newhead's
 * classic one with the type, link name and device numbers put in, or under
 * -POSIX a ustar header, behind a pax header when something does not fit.
 * sealhead writes the checksum of the same dialect, last. */
[[nodiscard]] bool puthead(const char *name, int64_t size, int type, const char *link);
void sealhead(unsigned char *block);
void names_release(void);          /* end of a run: owner names looked up again */

/* A field of the current header as text (by default the name or link name):
 * fields need no zero byte of their own, so they are copied with their bound. */
struct HeaderText {
    char text[kNameLen + 1];
    explicit HeaderText(int offset, int width = kNameLen) {
        z9_copy(text, static_cast<size_t>(width) + 1, reinterpret_cast<const char *>(hblock + offset));
    }
};

#endif
