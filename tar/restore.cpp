/* restore.cpp - puts what extraction decided onto the file system or into the
 * host's memory: a regular member's data (a whole file or one extent of it)
 * and hard links through the run's making operations, and the plain row of
 * those operations, which uses names as paths exactly as the archive gives
 * them (the directories on a path, new files, links, nodes, owners, times).
 * Sets ofname and, in memory mode, mbuf, msize and moff; reads st, codesize,
 * hblock, file_flag and o_flag. Never changes the file-creation mask. */
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tar.h"
#include "../tape/tape.h"

static const char kModule[] = "restore";

/* nOutLength, the only way to tell the host a buffer's length, is 32 bits. */
constexpr int64_t kMaxMemoryMember = 4294967295LL;

extern "C" {

char ofname[kOfnameSize];  /* output being written; set by newfile and restore, shown by readarch */

}  // extern "C"

Owner give_owner(const char *name) {
    if (o_flag) return Owner::kept;
    return chown(name, st.st_uid, st.st_gid) == 0 ? Owner::set : Owner::refused;
}

/* The owner rule for a `kind` just made, with a trace line saying whether it took. */
void own(const char *name, const char *function, const char *kind) {
    Owner owner = give_owner(name);
    if (owner != Owner::kept)
        Z9_LOG(kSevInfo, function, "UID = %d and GID = %d %s for %s %s", static_cast<int>(st.st_uid),
               static_cast<int>(st.st_gid), owner == Owner::set ? "set" : "not set", kind, name);
}

/* ---- directories ------------------------------------------------------- */

/* Directories are made with every permission bit, set on the directory
 * itself: the host's file-creation mask would take some away. */
constexpr mode_t kDirMode = 0777;

int makedir(char *name, int strict) {
    // Without strictness a failure is expected: the directory may exist,
    // and then keeps its mode.
    if (mkdir(name, kDirMode) == 0)
        chmod(name, kDirMode);
    else if (strict)
        return -1;
    own(name, "makedir", "dir");
    return 0;
}

int testdir(char *name) {
    int made = 0;
    // Index 0 is never a separator, so "/" itself is never made; only the
    // first 100 characters are looked at, as a header name holds no more.
    int limit = posix_flag ? static_cast<int>(kLongNameMax) : kNameLen;
    for (int i = 1; i < limit && name[i] != '\0'; i++) {
        if (name[i] != '/') continue;
        name[i] = '\0';
        if (access(name, X_OK) != 0) {
            // Left cut here, so the caller's message names the failing part.
            if (makedir(name, 1) < 0) return -1;
            made = 1;
        }
        name[i] = '/';
    }
    return made;
}

/* ---- regular data ------------------------------------------------------ */

int newfile(const char *name, int mode) {
    auto bits = static_cast<mode_t>(mode & 07777);
    // testdir writes into the name, and on failure the cut copy is what the
    // message shows.
    char path[kLongNameMax + 8];
    z9_copy(path, sizeof path, name);
    for (int attempt = 0; attempt < 2; attempt++) {
        // A new inode: a hard link to the old file keeps the old bytes.
        struct stat old;
        if (stat(name, &old) == 0) unlink(name);
        int fd = creat(name, bits);
        if (fd >= 0) {
            // The bits as they stand, whatever the host's mask took away;
            // before the owner, whose change clears the set-id bits.
            fchmod(fd, bits);
            Z9_LOG(kSevInfo, "newfile", "file %s created, mode is 0%o\n", name, bits);
            own(name, "newfile", "file");
            return fd;
        }
        // Only a missing parent that testdir could make is worth a retry.
        if (attempt == 1 || testdir(path) != 1) break;
    }
    z9_error(kModule, __LINE__, "newfile", "can't create '%s'", path);
    return -1;
}

void pfile(const char *name, int64_t bytes, int64_t blocks) {
    Z9_LOG(kSevInfo, "pfile", "x %s, %ld bytes, %ld tape blocks", name, static_cast<long>(bytes),
           static_cast<long>(blocks));
}

/* A large member buffer is filled whole, at once. Aligned to huge pages and
 * advised so, it costs the system one fault and one clearing for every 2 MiB
 * instead of every 4 KiB, about half the time of a plain allocation. */
constexpr size_t kHugePage = size_t{2} << 20;
constexpr int64_t kLargeMember = int64_t{8} << 20;

static unsigned char *large_buffer(size_t size) {
    void *p = nullptr;
    if (posix_memalign(&p, kHugePage, size) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, size / kHugePage * kHugePage, MADV_HUGEPAGE);   // only advice
#endif
    return static_cast<unsigned char *>(p);
}

/* Memory mode: a fresh buffer for this member, zero where the archive does
 * not fill it (past `filled` bytes: a coded size above the size), never old
 * heap contents. The previous member's buffer belongs to the run and goes
 * first; a buffer the host already took was forgotten by the entry point. */
[[nodiscard]] static bool new_member_buffer(int64_t size, int64_t filled) {
    free(mbuf);
    mbuf = nullptr;
    msize = 0;
    moff = 0;
    if (size > kMaxMemoryMember) {
        z9_error(kModule, __LINE__, "restore", "'%s' is too large to extract into memory (%ld bytes)", ofname,
                 static_cast<long>(size));
        return false;
    }
    auto bytes = static_cast<size_t>(size);
    if (size < kLargeMember) {
        mbuf = static_cast<unsigned char *>(calloc(bytes, 1));
    } else if ((mbuf = large_buffer(bytes)) != nullptr) {
        auto from = static_cast<size_t>(filled < size ? filled : size);
        memset(mbuf + from, 0, bytes - from);
    }
    if (!mbuf && size >= 1) {
        z9_error(kModule, __LINE__, "restore", "Unable to allocate memory (%ld bytes)", static_cast<long>(size));
        return false;
    }
    msize = size;
    return true;
}

/* A later extent is appended to the file its first extent created. */
static int open_extent(const char *name) {
    int fd = popenfile(name, O_WRONLY);
    if (fd < 0) {
        if (errno == ENOENT)
            z9_error(kModule, __LINE__, "restore", "'%s' does not exist\n", name);
        else
            z9_error(kModule, __LINE__, "restore", "can't append '%s'\n", name);
        return -1;
    }
    z9_copy(ofname, sizeof ofname, name);
    if (plseekfile(fd, 0, SEEK_END) < 0) {
        z9_error(kModule, __LINE__, "restore", "'%s' seek error\n", name);
        pclosefile(fd);
        return -1;
    }
    return fd;
}

/* Where restore puts one member's data. */
struct Output {
    int fd = -1;          /* file mode: the file being written */
    /* Memory mode: the data run past the end of a regular-file archive and can
     * only fail. No buffer is asked for them: a few hostile bytes claiming
     * gigabytes must not make the host allocate them. */
    bool doomed = false;
};

static bool past_the_end(void) {
    int64_t left = z9_archive_left();
    return left >= 0 && st.st_size > left;
}

/* Opens the output of a whole file or an extent: the file in file mode; in
 * memory mode only the name and the buffer. False when nothing can be written. */
[[nodiscard]] static bool open_output(Output &out, char *name, int extent, int count, int64_t bufsize,
                                      bool reads) {
    z9_copy(ofname, sizeof ofname, name);
    if (!file_flag) {
        // Each member gets a buffer of its own size, so a later piece has
        // nothing to be appended to: refuse it rather than write past msize.
        if (extent >= 2) {
            z9_error(kModule, __LINE__, "restore",
                     "'%s' is extent %d of %d: only a first extent can be extracted into memory", ofname, extent,
                     count);
            return false;
        }
        out.doomed = reads && past_the_end();
        return new_member_buffer(out.doomed ? 0 : bufsize, reads ? st.st_size : 0);
    }
    out.fd = extent <= 1 ? makeops->file(name, static_cast<int>(st.st_mode)) : open_extent(name);
    return out.fd >= 0;
}

/* Copies the member's data out of the archive into the output. */
[[nodiscard]] static bool copy_data(const Output &out, int extent, int count, int64_t total) {
    if (extent >= 1) Z9_LOG(kSevInfo, "restore", " [extent #%d of %d]", extent, count);
    // Memory mode without a buffer for data that run past the archive's end:
    // passing over them fails exactly where and as the copy would.
    if (out.doomed) return z9_skipblocks(data_blocks(st.st_size)) != 0;
    // In memory mode the descriptor is ignored and the data go to mbuf + 0.
    if (!readarch(file_flag ? out.fd : 0, st.st_size)) return false;
    // The last of several pieces: the file should now be the whole file.
    // Compared in 64 bits, so a file past 2 GiB is not reported as changed.
    if (file_flag && extent > 1 && extent == count) {
        off_t end = plseekfile(out.fd, 0, SEEK_END);
        if (end != static_cast<off_t>(total))
            Z9_LOG(kSevInfo, "restore", "warning: '%s' changed size\n", ofname);
    }
    return true;
}

int restore(char *name) {
    short count = 0;
    int64_t total = 0;
    int extent = isextent(&count, &total);
    int64_t bufsize = codesize > st.st_size ? codesize : st.st_size;
    int64_t blocks = data_blocks(st.st_size);
    // A size below the coded size (not an extent) is announced only: no data
    // are read, and the next header is looked for where the data begin.
    bool reads = st.st_size >= codesize || extent >= 1;
    Output out;
    if (!open_output(out, name, extent, count, bufsize, reads)) return -1;
    pfile(ofname, bufsize, blocks);
    bool copied = !reads || copy_data(out, extent, count, total);
    // Owner and times go through the descriptor that wrote the data.
    if (copied && out.fd >= 0) {
        Made made{.name = name, .fd = out.fd};
        makeops->finish(&made);
    }
    if (out.fd >= 0) pclosefile(out.fd);
    if (!copied) return -1;
    // 1 tells the caller that further pieces of this file are to come.
    return extent > 0 && extent < count ? 1 : 0;
}

int makelink(const char *name, const char *target) {
    int r = makeops->link(name, target);
    if (r != 0)
        Z9_LOG(kSevInfo, "makelink", "can't link '%s' to '%s'", name, target);
    else
        Z9_LOG(kSevInfo, "makelink", "x %s linked to %s", name, target);
    return r == 0 ? 1 : 0;
}

void made_release(Made *made) {
    if (made->fd >= 0) close(made->fd);
    if (made->dir >= 0) close(made->dir);
    made->fd = made->dir = -1;
}

/* ---- the plain row: names as paths ----------------------------------- */

namespace {

Admit plain_admit(void) { return Admit::make; }

/* The name is reserved exclusively and then released again, so that
 * whatever the member turns out to be (file, directory, node) finds it free. */
void plain_reserve(char *out) {
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

/* A directory member makes no directory above it, and a failure is no
 * error; an old-style one ("name/") makes every directory on its path. */
int plain_dir(char *name, bool parents, Made *) {
    if (parents) return testdir(name) < 0 ? -1 : 0;
    makedir(name, 0);   // an existing directory just gets its owner again
    return 0;
}

int plain_link(const char *name, const char *target) {
    // link() never replaces a name, so whatever holds it goes first.
    unlink(name);
    int r = link(target, name);
    if (r != 0) {
        char path[kLongNameMax + 8];
        z9_copy(path, sizeof path, name);
        if (testdir(path) == 1) r = link(target, name);
    }
    return r;
}

int plain_node(char *name, mode_t mode, dev_t dev, Made *) {
    // mknod replaces nothing: a node that exists already fails the member.
    int r = mknod(name, mode, dev);
    if (r != 0 && testdir(name) == 1) r = mknod(name, mode, dev);
    if (r == 0) chmod(name, mode & 07777);   // whatever the host's mask took away
    return r;
}

void plain_finish(Made *made) {
    const char *name = made->name;
    if (give_owner(name) == Owner::refused)
        Z9_LOG(kSevInfo, "extract", "warning: unable to assign GID = %d and UID = %d to extracted file",
               static_cast<int>(st.st_gid), static_cast<int>(st.st_uid));
    // A file system without times is no reason to fail. Under -POSIX the
    // archive may carry nanoseconds, which then come back where they fit.
    if (posix_flag) {
        const struct timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
        utimensat(AT_FDCWD, name, times, 0);
        return;
    }
    struct utimbuf times;
    times.actime = time(nullptr);
    times.modtime = st.st_mtime;
    utime(name, &times);
}

}  // namespace

const MAKEOPS kPlainMakeOps = {
    .admit = plain_admit,
    .reserve = plain_reserve,
    .file = newfile,
    .dir = plain_dir,
    .link = plain_link,
    .node = plain_node,
    .finish = plain_finish,
};
