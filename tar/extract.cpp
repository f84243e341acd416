/* extract.cpp - turns the current member into a file-system object or into
 * bytes for the host: output naming in file mode, the update rule, the
 * dispatch on the type flag and the finishing of what was made; and the time list kept
 * before an append (uplist, acctime). Owns mszFileName and makeops; reads
 * hblock, st, dmajor, dminor and the run flags; writes the host's file-name
 * field. What is made on disk is made through the run's row of MAKEOPS. */
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "tar.h"
#include "../tape/tape.h"

static const char kModule[] = "extract";

extern "C" {

char *mszFileName;  /* the -FILE value; set by the driver before a file-mode extraction, read by extract */

}  // extern "C"

const MAKEOPS *makeops = &kPlainMakeOps;  /* set by select_makeops; read by extract and restore */

void select_makeops(void) { makeops = safe_flag ? &kSafeMakeOps : &kPlainMakeOps; }

/* File mode: the output name, from the -FILE template or, with -UNIQUE, the
 * member's own name, with the trailing "XXXXXX" made unique. */
static void output_name(char *out, size_t size, const char *member) {
    if (unique_flag)
        snprintf(out, size, "%sXXXXXX", member);
    else
        z9_copy(out, size, mszFileName ? mszFileName : "");
    makeops->reserve(out);
}

/* Update rule: a file on disk at least as new as the member keeps its place. */
static bool up_to_date(const char *name) {
    struct stat disk;
    return u_flag && stat(name, &disk) == 0 && disk.st_mtime >= st.st_mtime;
}

/* Owner and times of what was made; its descriptors are released. */
static int finish(Made *made) {
    makeops->finish(made);
    made_release(made);
    return 1;
}

/* An old-style directory member: every directory on the path. One that
 * exists already counts as extracted; only one that cannot be made fails. */
static int make_dirs(char *name) {
    Made made{.name = name};
    if (makeops->dir(name, true, &made) < 0) {
        z9_error(kModule, __LINE__, "extract", "can't create '%s'", name);
        return 0;
    }
    name[strlen(name) - 1] = '\0';
    return finish(&made);
}

/* A directory member: a failure to make it is no error (it may exist), a
 * refusal is. The data of a 'D' member are passed over. */
static int make_dir(char *name) {
    Made made{.name = name};
    if (makeops->dir(name, false, &made) < 0) return 0;
    if (usize() && !skipfile()) {
        made_release(&made);
        return 0;
    }
    return finish(&made);
}

/* A character or block device or a FIFO, with the member's permissions. */
static int make_node(char *name, int type) {
    mode_t kind = type == kTypeFifo ? S_IFIFO : type == kTypeBlock ? S_IFBLK : S_IFCHR;
    st.st_mode = (st.st_mode & 07777) | kind;
    // The classic pairing: major above the low eight bits, both signed.
    int number = static_cast<int>(dmajor) * 256 | static_cast<int>(dminor);
    st.st_rdev = type == kTypeFifo ? 0 : static_cast<dev_t>(static_cast<long>(number));
    Made made{.name = name};
    if (makeops->node(name, st.st_mode, st.st_rdev, &made) != 0) {
        z9_error(kModule, __LINE__, "extract", "can't create '%s'", name);
        return 0;
    }
    Z9_LOG(kSevInfo, "extract", "x %s\n", name);
    return finish(&made);
}

/* What the member is decides what is made. */
static int dispatch(char *name) {
    int type = hblock[kTypeOff];
    size_t len = strlen(name);
    if (len > 0 && name[len - 1] == '/') {
        // A regular member may end in '/' too (a long name cut after its
        // 100th character): its data must be passed over, or the walk would
        // read them as headers and hand out members that are not there.
        if (usize() && !skipfile()) return 0;
        return make_dirs(name);
    }
    switch (type) {
    case kTypeDir:
    case kTypeDumpDir:
        return make_dir(name);
    case kTypeLink:
        makelink(name, member_link());  // a link that can't be made is only logged
        return 1;
    case kTypeRegOld:
    case kTypeReg:
        // Owner and times of a file written are set before it is closed; in
        // memory mode nothing was written on disk to give them to.
        return restore(name) < 0 ? 0 : 1;
    case kTypeChar:
    case kTypeBlock:
    case kTypeFifo:
        return make_node(name, type);
    default:
        z9_error(kModule, __LINE__, "extract", "'%s' unknown file type '%c'\n", name, type);
        return 0;
    }
}

int extract(void) {
    // A member may be refused before anything of it is named or made (-SAFE
    // confines what memory mode makes on disk too: directories, hard links).
    Admit admit = makeops->admit();
    if (admit == Admit::refuse) return 0;
    if (admit == Admit::pass) return usize() ? skipfile() : 1;
    // The name is the member's own, or in file mode the output's; either is
    // a copy, since making directories cuts it for a moment. Room for the
    // longest -FILE value, or the longest member name and "XXXXXX".
    char name[kLongNameMax + 8];
    if (!file_flag) {
        z9_copy(name, sizeof name, member_name());
    } else {
        output_name(name, sizeof name, member_name());
        // The host learns the output's name only from the record: one that
        // does not fit there must not be written.
        if (strlen(name) >= static_cast<size_t>(kFileNameSize)) {
            z9_error(kModule, __LINE__, "extract", "'%s' is too long a name for the record", name);
            return 0;
        }
        if (mszFile) z9_copy(mszFile, kFileNameSize, name);
    }
    if (up_to_date(name)) return usize() ? skipfile() : 1;
    okwork('x', prefix(), &st, name);
    return dispatch(name);
}

int uplist(void) {
    const char *member = member_name();
    // The list is sorted by name: the search also says where a new one goes.
    ITEM *after = nullptr;
    ITEM *node = finditem(member, &after, timehead);
    if (!node) {
        node = additem(member, after, &timehead);
        if (!node) {
            z9_error_text(kModule, __LINE__, "uplist", "Out of memory");
            return 0;
        }
        node->mtime = st.st_mtime;
    } else if (st.st_mtime > node->mtime) {
        node->mtime = st.st_mtime;
    }
    return 1;
}

/* Before an append: note the member's time for update mode, pass its data. */
int acctime(void) {
    if (u_flag && !uplist()) return 0;
    return usize() ? skipfile() : 1;
}
