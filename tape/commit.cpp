/* commit.cpp - how a change reaches the archive for good. An append in place
 * holds back the blocks that go over the old end marker and the one behind
 * it, puts a placeholder behind the marker instead, and writes the two last:
 * until that commit every reader sees the old archive, with unused blocks
 * behind its end marker. Also -SYNC's flushes and what the scratch file of a
 * delete takes over from the archive. Owns the held-back blocks (g_hold);
 * reads sa, hwrite, io_2nd and sync_flag. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "../support/run.h"
#include "tape_private.h"

namespace {

constexpr const char kModule[] = "tape";
/* A write that stays inside one aligned 4 KiB page is never cut in two by a
 * kill: the kernel copies a page at a time and checks for a fatal signal
 * only between pages. */
constexpr int64_t kPageBytes = 4096;
constexpr int kHeld = 2;   /* the block over the old end marker and the one behind it */

/* The append in place of this run: where the old end marker lies (-1: no
 * append in place), how many of the two blocks from there the writes have
 * handed over, and those blocks. Set by backtape, used up by the commit,
 * cleared by initape. */
struct Hold {
    int64_t at = -1;
    int taken = 0;
    unsigned char blocks[kHeld * kBlockSize];
};
Hold g_hold;

/* What stands behind the old end marker until the commit: no header, since
 * its checksum field holds no digits, and not zero, so it is the first block
 * a look behind the marker finds. Blocks behind an end marker that begin
 * with such a block are free space (see the driver). */
unsigned char g_placeholder[kBlockSize];

bool write_at(const unsigned char *from, int64_t bytes, int64_t at, const char *function) {
    if (pwrite(hwrite, from, static_cast<size_t>(bytes), static_cast<off_t>(at)) == bytes) return true;
    z9_error_text(kModule, __LINE__, function, "tape write error");
    return false;
}

/* -SYNC: the output's data on stable storage. Devices and pipes keep nothing
 * to flush here. */
bool sync_output(const char *function) {
    if (!sync_flag || !S_ISREG(sa.st_mode) || fdatasync(hwrite) == 0) return true;
    z9_error_text(kModule, __LINE__, function, "tape write error");
    return false;
}

/* Keeps the blocks of the record about to be written (from offset pos of
 * the archive) that go over the old end marker or the block behind it. */
void take_held(int64_t pos, int blocks) {
    for (int i = 0; i < blocks; i++) {
        int64_t off = pos + int64_t{i} * kBlockSize;
        if (off < g_hold.at || off >= g_hold.at + kHeld * kBlockSize) continue;
        int k = static_cast<int>((off - g_hold.at) / kBlockSize);
        memcpy(g_hold.blocks + k * kBlockSize, block_at(io_2nd, i), kBlockSize);
        g_hold.taken = k + 1;
    }
}

}  // namespace

void z9_hold_from(int64_t at) {
    g_hold.at = at;
    g_hold.taken = 0;
}

bool z9_holding(void) { return g_hold.at >= 0 && g_hold.taken < kHeld; }

bool z9_put_holding(int blocks, const char *function) {
    off_t pos = lseek(hwrite, 0, SEEK_CUR);
    if (pos < 0) {
        z9_error_text(kModule, __LINE__, function, "tape write error");
        return false;
    }
    int64_t end = pos + int64_t{blocks} * kBlockSize, behind = g_hold.at + kBlockSize;
    // Blocks before the old end marker are the archive's own, read back into
    // the record: they stay as they lie. The two from the marker are kept.
    take_held(pos, blocks);
    // The placeholder goes first, so that whatever follows it is never the
    // first thing behind the end marker.
    if (behind >= pos && behind < end) {
        memset(g_placeholder, 0xff, sizeof g_placeholder);
        if (!write_at(g_placeholder, kBlockSize, behind, function)) return false;
    }
    int64_t from = g_hold.at + kHeld * kBlockSize;
    if (from < pos) from = pos;
    if (from < end && !write_at(block_at(io_2nd, static_cast<int>((from - pos) / kBlockSize)), end - from, from,
                                function))
        return false;
    if (lseek(hwrite, static_cast<off_t>(end), SEEK_SET) >= 0) return true;
    z9_error_text(kModule, __LINE__, function, "tape write error");
    return false;
}

bool z9_commit(void) {
    // Without an append in place, or with nothing of it handed over (the
    // marker then still stands), there is nothing to commit.
    if (g_hold.at < 0 || g_hold.taken == 0) return sync_output("endtape");
    // Everything behind the held blocks is written (and, with -SYNC, on
    // disk); the old end marker still stands. Writing the first held block
    // over it makes the new archive, in one write.
    if (!sync_output("endtape")) return false;
    int64_t at = g_hold.at;
    g_hold.at = -1;
    if (g_hold.taken < kHeld) return write_at(g_hold.blocks, kBlockSize, at, "endtape") && sync_output("endtape");
    // Both blocks in one page: one write, which a kill cannot split. Across
    // pages, or when the device might tear a write of two blocks at power
    // loss (-SYNC), the block behind the marker goes first and alone.
    if (!sync_flag && at / kPageBytes == (at + kBlockSize) / kPageBytes)
        return write_at(g_hold.blocks, kHeld * kBlockSize, at, "endtape");
    return write_at(g_hold.blocks + kBlockSize, kBlockSize, at + kBlockSize, "endtape") && sync_output("endtape") &&
           write_at(g_hold.blocks, kBlockSize, at, "endtape") && sync_output("endtape");
}

bool z9_keep_attributes(const char *path) {
    // The owner first: a change of owner may clear the set-id bits. Where the
    // owner cannot be kept, the group is, if the process may.
    if (fchown(hwrite, sa.st_uid, sa.st_gid) != 0) {
        bool group = fchown(hwrite, static_cast<uid_t>(-1), sa.st_gid) == 0;
        Z9_LOG(kSevInfo, "duptape", "'%s' cannot keep its owner %d:%d%s", path, static_cast<int>(sa.st_uid),
               static_cast<int>(sa.st_gid), group ? " (group kept)" : "");
    }
    if (fchmod(hwrite, sa.st_mode & 07777) == 0) return true;
    z9_error(kModule, __LINE__, "duptape", "'%s' cannot keep its mode %o", path,
             static_cast<unsigned>(sa.st_mode & 07777));
    return false;
}

bool z9_sync_directory(const char *path) {
    if (!sync_flag) return true;
    const char *slash = strrchr(path, '/');
    size_t len = !slash ? 0 : slash == path ? 1 : static_cast<size_t>(slash - path);
    char dir[kPathSize] = ".";
    if (len) z9_copy(dir, len + 1 < sizeof dir ? len + 1 : sizeof dir, path);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!synced) z9_error(kModule, __LINE__, "endtape", "can't sync the directory of '%s'", path);
    return synced;
}
