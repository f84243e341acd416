/* extract.cpp - turns the current member into a file-system object or into
 * bytes for the host: output naming in file mode, the update rule, the
 * dispatch on the type flag, nodes, owners and times; and the time list kept
 * before an append (uplist, acctime). Owns mszFileName; reads hblock, st,
 * dmajor, dminor and the run flags; writes the host's file-name field. Under
 * -SAFE the checks and the confined creation of safe.cpp take over. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tar.h"
#include "../tape/tape.h"

static const char kModule[] = "extract";

extern "C" {

char *mszFileName;  /* the -FILE value; set by the driver before a file-mode extraction, read by extract */

}  // extern "C"

/* File mode: the output name, from the -FILE template or, with -UNIQUE, the
 * member's own name, with the trailing "XXXXXX" made unique. The name is
 * reserved exclusively and then released again, so that whatever the member
 * turns out to be (file, directory, node) finds the name free. */
static void output_name(char *out, size_t size, const char *member) {
    if (unique_flag)
        snprintf(out, size, "%sXXXXXX", member);
    else
        z9_copy(out, size, mszFileName ? mszFileName : "");
    if (safe_flag && unique_flag) return safe_reserve(out);
    if (z9_mktemp(out) == 0) {
        unlink(out);
    } else if (errno == EEXIST) {
        // No free name was found: an empty name fails cleanly later rather
        // than replacing a file that exists.
        out[0] = '\0';
    }
    // Any other failure (a missing parent) leaves a name that does not exist;
    // creating the output makes the parents then.
}

/* Update rule: a file on disk at least as new as the member keeps its place. */
static bool up_to_date(const char *name) {
    struct stat disk;
    return u_flag && stat(name, &disk) == 0 && disk.st_mtime >= st.st_mtime;
}

/* Owner, group and times of what was made. Under -SAFE the entry is reached
 * through its own directory, and a symbolic link in its place is not followed;
 * a place that cannot be reached again gets neither. */
static int owner_and_times(const char *name) {
    const char *entry = name;
    int dir = safe_flag ? safe_dir(name, false, &entry) : AT_FDCWD;
    if (give_owner(entry, dir) == Owner::refused)
        Z9_LOG(kSevInfo, "extract", "warning: unable to assign GID = %d and UID = %d to extracted file",
               static_cast<int>(st.st_gid), static_cast<int>(st.st_uid));
    if (safe_flag) {
        const struct timespec times[2] = {{0, UTIME_NOW}, posix_flag ? st.st_mtim : timespec{st.st_mtime, 0}};
        if (dir >= 0) {
            utimensat(dir, entry, times, AT_SYMLINK_NOFOLLOW);
            close(dir);
        }
        return 1;
    }
    // A file system without times is no reason to fail. Under -POSIX the
    // archive may carry nanoseconds, which then come back where they fit.
    if (posix_flag) {
        const struct timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
        utimensat(AT_FDCWD, name, times, 0);
        return 1;
    }
    struct utimbuf times;
    times.actime = time(nullptr);
    times.modtime = st.st_mtime;
    utime(name, &times);
    return 1;
}

/* An old-style directory member: every directory on the path. One that
 * exists already counts as extracted; only one that cannot be made fails. */
static int make_dirs(char *name) {
    // Under -SAFE one confined walk makes them all, the last one included.
    if ((safe_flag ? safe_mkdir(name, true) : testdir(name)) < 0) {
        z9_error(kModule, __LINE__, "extract", "can't create '%s'", name);
        return 0;
    }
    name[strlen(name) - 1] = '\0';
    return owner_and_times(name);
}

/* A character or block device or a FIFO, with the member's permissions. */
static int make_node(char *name, int type) {
    mode_t kind = type == kTypeFifo ? S_IFIFO : type == kTypeBlock ? S_IFBLK : S_IFCHR;
    st.st_mode = (st.st_mode & 07777) | kind;
    // The classic pairing: major above the low eight bits, both signed.
    int number = static_cast<int>(dmajor) * 256 | static_cast<int>(dminor);
    st.st_rdev = type == kTypeFifo ? 0 : static_cast<dev_t>(static_cast<long>(number));
    // mknod replaces nothing: a node that exists already fails the member.
    int r = mknod(name, st.st_mode, st.st_rdev);
    if (r != 0 && testdir(name) == 1) r = mknod(name, st.st_mode, st.st_rdev);
    if (r != 0) {
        z9_error(kModule, __LINE__, "extract", "can't create '%s'", name);
        return 0;
    }
    Z9_LOG(kSevInfo, "extract", "x %s\n", name);
    return owner_and_times(name);
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
        makedir(name, 0);  // an existing directory just gets its owner again
        if (usize() && !skipfile()) return 0;
        return owner_and_times(name);
    case kTypeLink:
        makelink(name, member_link());  // a link that can't be made is only logged
        return 1;
    case kTypeRegOld:
    case kTypeReg:
        if (restore(name) < 0) return 0;
        // In memory mode nothing was written on disk to give times to.
        return file_flag ? owner_and_times(name) : 1;
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
    // -SAFE refuses a member before anything of it is named or made. It
    // confines what extraction makes on disk in memory mode too (directories,
    // hard links; devices and FIFOs are refused), while regular members'
    // data still go only to memory there.
    if (safe_flag) {
        Admit admit = safe_admit();
        if (admit == Admit::refuse) return 0;
        if (admit == Admit::pass) return usize() ? skipfile() : 1;
    }
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
