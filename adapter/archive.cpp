/* archive.cpp - the operation driver `Z9TAR_Archive`: describes and opens the
 * archive, allocates the record buffer, then lists, extracts, adds, or deletes
 * and replaces through a scratch file. Keeps no state beyond one call; what it
 * acquires (descriptors, buffers, the scratch file) is released by `_done`. */
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "adapter.h"
#include "../tape/tape.h"
#include "../tar/tar.h"

namespace {

constexpr const char kModule[] = "z9tar";
constexpr const char kFunc[] = "Z9TAR_Archive";

void info(int line, const char *format, const char *text) {
    OrvLogEntry(kModule, line, kSevInfo, kFunc, format, text);
}

/* The scratch file goes once its bytes are in the archive's place or no longer wanted. */
[[nodiscard]] bool delete_scratch() {
    if (unlink(scratch) == 0) return true;
    z9_error_text(kModule, __LINE__, kFunc, "Cannot_delete_scratch_file");
    return false;
}

/* An adapter failure: the readable text (with details) is logged, then the
 * fixed underscore text takes its place in the record. */
template <typename... Args>
void fail_fixed(const char *fixed, const char *format, Args... args) {
    z9_error(kModule, __LINE__, kFunc, format, args...);
    z9_set_message(fixed);
}

void log_time(const char *format, time_t t) {
    char text[64];
    if (!ctime_r(&t, text)) z9_copy(text, sizeof text, "?\n");
    info(__LINE__, format, text);
}

/* The archive's description lines. They go only to the trace, so nothing is
 * looked up or formatted when no trace file is open: the user database is slow. */
void describe_archive(const char *path) {
    if (!z9_log_is_open()) return;
    struct stat s;
    int rc = stat(path, &s);
    if (rc != 0) {
        Z9_LOG(kSevInfo, kFunc, "Stat for %s returned %d ", path, rc);
        return;
    }
    Z9_LOG(kSevInfo, kFunc, "Archive %s, UID=%d, GID=%d", path, static_cast<int>(s.st_uid),
           static_cast<int>(s.st_gid));
    Z9_LOG(kSevInfo, kFunc, "Mode=%08o, size=%lld, device=%d", static_cast<unsigned>(s.st_mode),
           static_cast<long long>(s.st_size), static_cast<int>(s.st_dev));
    log_time("Last access %s", s.st_atime);
    log_time("Status changed %s", s.st_ctime);
    log_time("Archive changed %s", s.st_mtime);
    // Each lookup may read the whole user database: the archive's owner is
    // most often the running user, whose name is then looked up only once.
    // The reentrant lookup, since the host's other threads are not under our
    // lock; pw stays null for a user that is not known.
    struct passwd entry, *pw = nullptr;
    char buf[4096];
    getpwuid_r(s.st_uid, &entry, buf, sizeof buf, &pw);
    if (pw) info(__LINE__, "UID=%s", pw->pw_name);
    uid_t me = getuid();
    if (me != s.st_uid) getpwuid_r(me, &entry, buf, sizeof buf, &pw);
    if (pw)
        Z9_LOG(kSevInfo, kFunc, "Archive running as user %s UID=%d GID=%d", pw->pw_name, static_cast<int>(me),
               static_cast<int>(getgid()));
}

/* Opens the archive and gives it its record buffer. Waiting for another
 * process's lock in vain has its own text, which stays. */
bool open_archive(const char *path, bool quiet) {
    if (!initape(path)) {
        if (!z9_lock_busy()) fail_fixed("Failed_to_open_archive", "Failed to open archive (%s)", path);
        return false;
    }
    if (!quiet) info(__LINE__, "Opened archive '%s' successfully", path);
    int bytes = cblock ? kBlockSize * cblock : kRecordBytes;
    io_buf = getbuf(bytes);
    if (!io_buf) {
        fail_fixed("Memory_allocation_error", "Insufficient memory: allocation of %d bytes failed", bytes);
        return false;
    }
    io_2nd = io_buf;
    c_break = 0;
    return runtape() == 1;
}

/* The store of an add or replace: the data file under the member name, or the
 * host's buffer under the member name. The store may extend the path in place,
 * so it gets a buffer of its own of the size it expects. */
[[nodiscard]] bool store_member(const CMDLINEPARAM *opts) {
    char path[kLongPathSize];
    z9_copy(path, sizeof path, file_flag ? opts->szFile : opts->szMember);
    return z9tarstore(path, file_flag ? opts->szMember : nullptr) != 0;
}

/* Where the next output block lands: what went to the file plus what waits in
 * the buffer. A store that handed out any block moved it forward. */
int64_t output_position() {
    off_t written = lseek(hwrite, 0, SEEK_CUR);
    return static_cast<int64_t>(written < 0 ? 0 : written) + static_cast<int64_t>(wblock) * kBlockSize;
}

/* One block into the scratch file's buffer. */
bool copy_block(const unsigned char *in) {
    unsigned char *out = steptape();
    if (!out) return false;
    memcpy(out, in, kBlockSize);
    return true;
}

/* Copies the current member, its extension headers, header and data blocks,
 * to the scratch file. The data blocks of a file archive cross whole records
 * at a time. */
bool keep_member() {
    if (!ext_copy(true) || !copy_block(hblock)) return false;
    return !usize() || z9_copyblocks(data_blocks(st.st_size)) == 1;
}

/* Replace: an archived copy goes when a file of the member's own name is
 * found on the local file system; without one it stays, and the new member is
 * stored behind it all the same. With update, the copy is first noted in the
 * time list, and it stays when that local file is not newer than it. */
enum class Keep { keep, drop, fail };

Keep replace_decision(const char *name) {
    if (u_flag && !uplist()) return Keep::fail;
    struct stat local;
    if (stat(name, &local) != 0) {
        info(__LINE__, "can't access '%s'", name);
        return Keep::keep;
    }
    if (u_flag && local.st_mtime <= st.st_mtime) return Keep::keep;
    return Keep::drop;
}

/* Behind the end marker, zero blocks are passed over; the first block with
 * anything else in it decides. A block with a good header checksum begins
 * another archive laid behind this one, which writing here would destroy.
 * Anything else is free space: what an append killed before its commit left
 * there, which always begins with a block that is no header. */
enum class Behind { nothing, free_space, archive };

Behind behind_end_marker() {
    unsigned char block[kBlockSize];
    if (z9_first_data_behind(block) < 0) return Behind::nothing;
    return header_checksum_ok(block) ? Behind::archive : Behind::free_space;
}

/* Plain delete: the named member goes, and so do links that point to it. */
bool delete_matches(const char *member, const char *name) {
    if (inargs(member, name)) return true;
    char type = static_cast<char>(hblock[kTypeOff]);
    if (type != kTypeLink && type != kTypeSymlink) return false;
    return inargs(member, member_link());
}


/* Copies the archive to the scratch file, leaving out what is deleted or
 * replaced; *changed tells whether anything was left out. */
bool copy_without(const CMDLINEPARAM *opts, bool quiet, bool *changed) {
    for (;;) {
        // A header with a bad field also reads as the end of the archive, but
        // its first byte is not zero. Finishing the copy there would drop
        // every member behind it, so the run fails and the archive stays.
        // So does a header found only after gethead passed over blocks whose
        // checksum failed (the data of the pax and long-name headers of other
        // writers, which the walk does not know as data): the copy would lose
        // them and be damaged for every reader that knows them. An end marker
        // with another archive behind it (a walk that lost its way, or
        // archives laid end to end) would drop what follows, and fails too;
        // free space behind it is simply not copied.
        int64_t before = z9_blocks_taken();
        int r = gethead(quiet);
        bool passed_over = z9_blocks_taken() - before - ext_blocks() > 1;
        bool end = r == 0 && at_end_marker() && !passed_over;
        if (end && behind_end_marker() != Behind::archive) return true;
        if (r <= 0 || passed_over || end) {
            z9_error_text(kModule, __LINE__, kFunc, "Unable_to_read_archive");
            return false;
        }
        const char *name = member_name();
        bool drop = false;
        if (a_flag) {
            if (inargs(opts->szMember, name)) {
                Keep k = replace_decision(name);
                if (k == Keep::fail) return false;
                drop = k == Keep::drop;
            }
        } else if (delete_matches(opts->szMember, name)) {
            if (!quiet)
                Z9_LOG(kSevInfo, kFunc, "Deleting '%s' (%ld bytes, %ld tape blocks) from archive", name,
                       static_cast<long>(st.st_size), static_cast<long>(data_blocks(st.st_size)));
            drop = *changed = true;
        }
        // A dropped member's extension headers go with it; global ones stay.
        if (drop ? !ext_copy(false) || !delfile() : !keep_member()) return false;
    }
}

/* Puts the finished scratch file in the archive's place in one step: at every
 * moment the name holds the old archive or the new one. The two names are
 * exchanged, then the scratch name, which now holds the old archive, goes: a
 * plain rename over an existing file makes some file systems (ext4) write the
 * whole new file out inside the call, a tenth of a second for 256 MiB. Where
 * names cannot be exchanged, rename(2) does it. A name that cannot be
 * replaced leaves the archive as it was, and the scratch file goes. */
[[nodiscard]] bool swap_in_scratch(const char *path) {
    if (renameat2(AT_FDCWD, scratch, AT_FDCWD, path, RENAME_EXCHANGE) == 0)
        return delete_scratch() && z9_sync_directory(path);
    if (rename(scratch, path) != 0) {
        fail_fixed("Cannot_delete_archive", "can't delete '%s'", path);
        unlink(scratch);
        return false;
    }
    return z9_sync_directory(path);
}

[[nodiscard]] bool delete_or_replace(const CMDLINEPARAM *opts, bool quiet) {
    if (!S_ISREG(sa.st_mode)) {
        z9_error_text(kModule, __LINE__, kFunc, "delete_option_(-d)_is_for_file_archives_only");
        return false;
    }
    if (!duptape(opts->szArchive)) return false;
    bool changed = false;
    if (!copy_without(opts, quiet, &changed)) return false;
    if (a_flag) {
        // A store that failed leaves its text in the record and the archive as
        // it was: a half-stored member must never take the archive's place.
        // One that succeeded changed the archive when it produced output,
        // whether or not that output has left the buffer yet.
        int64_t before = output_position();
        if (!store_member(opts)) return false;
        if (output_position() > before) changed = true;
    }
    if (!changed) {
        if (!quiet) info(__LINE__, "%s", "archive unchanged");
        close(hwrite);
        hwrite = -1;
        return delete_scratch();
    }
    // The new archive is the old one's for whoever may read it: its bits and,
    // where the process may, its owner and group. Set before endtape closes it.
    if (!z9_keep_attributes(opts->szArchive)) return false;
    if (!endtape()) {
        // endtape marks the scratch descriptor closed even when its close
        // fails, and _done removes only a scratch file still open: the
        // unfinished copy must go here, or it stays beside the archive.
        if (hwrite < 0 && scratch) unlink(scratch);
        return false;
    }
    return swap_in_scratch(opts->szArchive);
}

/* An append that fails (a full disk, say) before its commit has left the old
 * end marker standing, so the archive reads as before; what it wrote behind
 * the marker is zeroed and the file cut to its old length, so the archive is
 * the old one byte for byte. Its lock still held, nothing else has written
 * since; once the descriptor is closed nothing more may be written. */
void undo_append(int64_t end, int64_t old) {
    static const unsigned char zeros[kBlockSize] = {};
    if (!S_ISREG(sa.st_mode) || hwrite < 0) return;
    if (old < end + kBlockSize) old = end + kBlockSize;
    for (int64_t at = end; at < old; at += kBlockSize)
        if (pwrite(hwrite, zeros, kBlockSize, at) != kBlockSize) break;
    if (ftruncate(hwrite, old) != 0) info(__LINE__, "%s", "archive not cut back after a failed append");
}

/* Goes to the end marker of an existing archive. Free space behind it is cut
 * off first: what an append writes there must never end up with leftovers
 * behind its own end marker, which might look like another archive. */
[[nodiscard]] bool go_to_end(const CMDLINEPARAM *opts, bool quiet, int64_t *end, int64_t *old) {
    bool walked = scantape(opts->szMember, acctime, quiet) != 0;
    // A header with a bad field (a base-256 number, say) ends the walk as
    // the end marker does, but writing there would overwrite it and every
    // member behind it: the run fails and the archive stays as it is. So
    // does an end marker with another archive behind it.
    Behind behind = walked && at_end_marker() ? behind_end_marker() : Behind::nothing;
    if (walked && (!at_end_marker() || behind == Behind::archive)) {
        z9_error_text(kModule, __LINE__, kFunc, "Unable_to_read_archive");
        return false;
    }
    if (!walked || !backtape()) return false;
    *end = output_position();
    *old = static_cast<int64_t>(sa.st_size);
    if (behind != Behind::free_space) return true;
    *old = *end + kBlockSize;
    if (ftruncate(hwrite, *old) == 0) return true;
    z9_error_text(kModule, __LINE__, kFunc, "tape write error");
    return false;
}

[[nodiscard]] bool add(const CMDLINEPARAM *opts, bool quiet) {
    int64_t end = -1, old = 0;   // where the old end marker lies; new members start there
    if (!c_flag && !go_to_end(opts, quiet, &end, &old)) return false;
    bool stored = store_member(opts) && endtape();
    if (!stored && end >= 0) undo_append(end, old);
    return stored && (!c_flag || z9_sync_directory(opts->szArchive));
}

[[nodiscard]] bool list(const CMDLINEPARAM *opts, bool quiet) {
    allfiles = 0;
    allbytes = 0;
    bool listed = scantape(opts->szMember, catalog, quiet) != 0;
    if (!quiet)
        Z9_LOG(kSevInfo, kFunc, "Total %u file(s) for %lu bytes in %lu tape blocks", static_cast<unsigned>(allfiles),
               static_cast<unsigned long>(allbytes), static_cast<unsigned long>(allblock));
    return listed;
}

/* -COMPRESS names the codec of a new archive. An unknown one, or one given to
 * an append, delete or replace, is refused before the archive is touched. */
[[nodiscard]] bool choose_codec() {
    Codec codec = Codec::none;
    if (compress_flag && (a_flag || d_flag)) {
        if (!codec_from_name(mcompress, &codec)) {
            z9_error(kModule, __LINE__, kFunc, "-COMPRESS '%s' is no codec: gzip, zstd, xz or bzip2", mcompress);
            return false;
        }
        if (!c_flag || d_flag) {
            z9_error_text(kModule, __LINE__, kFunc,
                          "-COMPRESS works with -c only: append, delete and replace need an uncompressed archive");
            return false;
        }
    }
    z9_compress_with(codec);
    return true;
}

/* A compressed archive can be read, not changed in place. */
[[nodiscard]] bool changeable(const char *path) {
    if (c_flag || !(a_flag || d_flag) || z9_archive_codec() == Codec::none) return true;
    z9_error(kModule, __LINE__, kFunc, "'%s' is compressed: append, delete and replace need an uncompressed archive",
             path);
    return false;
}

}  // namespace

namespace {

int run_operation(CMDLINEPARAM *opts, bool quiet);

}  // namespace

extern "C" int Z9TAR_Archive(CMDLINEPARAM *opts, EXITPARAM *rec) {
    (void)rec;  // the record's message field is reached through mszErrMsg
    int r = run_operation(opts, opts->bTraceOnError != 0);
    z9_settle_message();   // a text the walk left pending is the last one
    return r;
}

namespace {

int run_operation(CMDLINEPARAM *opts, bool quiet) {
    if (!choose_codec()) return 0;
    describe_archive(opts->szArchive);
    if (!open_archive(opts->szArchive, quiet) || !changeable(opts->szArchive)) return 0;
    if (a_flag || d_flag) index_drop();   // what this run writes no index knows
    if (d_flag) return delete_or_replace(opts, quiet);
    if (a_flag) return add(opts, quiet);
    if (x_flag) {
        // How objects are made on disk: plain, or confined under -SAFE.
        select_makeops();
        if (file_flag) mszFileName = opts->szFile;
        // The index of an archive known unchanged spares the walk.
        int indexed = index_extract(opts->szMember, quiet);
        return indexed >= 0 ? indexed : scantape(opts->szMember, extract, quiet);
    }
    if (t_flag) return list(opts, quiet);
    return 0;
}

}  // namespace
