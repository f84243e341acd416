/* direct.cpp - whole records that bypass the record buffers: read into the
 * host's buffer, skipped by seeking, copied inside the system from the archive
 * or the member's file, or written from the host's buffer. Each leaves buffers
 * and counters as the buffered path would, and moves moff past what it placed. */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../support/run.h"
#include "tape_private.h"

namespace {

constexpr const char *kModule = "tape";

/* The largest single transfer of whole records: one read call, and the int
 * length of the archive operations, stay well within it. */
constexpr int64_t kDirectBytes = int64_t{1} << 30;

/* The next transfer of a bulk move with `left` bytes to go: whole records. */
int64_t chunk(int64_t left, int64_t record) {
    return left > kDirectBytes ? kDirectBytes / record * record : left;
}

/* How many of `records` whole records from the archive's current position lie
 * within its size. Only those are moved in bulk: the archive's end is always
 * met by a plain record read, which fails with the usual messages. */
int64_t records_within(int64_t records) {
    if (records <= 0 || nblock <= 0 || !S_ISREG(sa.st_mode) || z9_archive_codec() != Codec::none) return 0;
    off_t here = lseek(handle, 0, SEEK_CUR);
    if (here < 0) return 0;
    int64_t room = (static_cast<int64_t>(sa.st_size) - here) / (static_cast<int64_t>(nblock) * kBlockSize);
    return records < room ? records : room;
}

/* Errors that say the system cannot copy between these two files at all. */
bool cannot_copy(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF || err == EPERM;
}

/* How a copy inside the system ended. */
enum class Copied { all, source_ended, refused, output_full, failed };

/* Copies total bytes from `from` to the output at both descriptors' own
 * positions, inside the system; *done says how far it got. A full output is
 * reported here, as a tape write error under function; what any other
 * failure means depends on the source, so its caller reports it. */
Copied copy_range(int from, int64_t total, int64_t *done, const char *function) {
    *done = 0;
    while (*done < total) {
        ssize_t got = copy_file_range(from, nullptr, hwrite, nullptr, static_cast<size_t>(total - *done), 0);
        if (got > 0) {
            *done += got;
            continue;
        }
        if (got == 0) return Copied::source_ended;
        if (*done == 0 && cannot_copy(errno)) return Copied::refused;
        if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG) return Copied::failed;
        z9_error_text(kModule, __LINE__, function, "tape write error");
        return Copied::output_full;
    }
    return Copied::all;
}

/* The host's buffer: whole records go through the archive write as they lie
 * in mbuf, with no copy into io_2nd. */
int64_t write_from_memory(const unsigned char *from, int64_t total) {
    int64_t record = static_cast<int64_t>(nblock) * kBlockSize;
    for (int64_t done = 0; done < total;) {
        int64_t want = chunk(total - done, record);
        if (tapeops.write(from + done, static_cast<int>(want)) != want) {
            z9_error_text(kModule, __LINE__, "writearch", "tape write error");
            return -1;
        }
        done += want;
        moff += want;
    }
    return total;
}

/* A file that ended inside the bulk copy, `done` bytes in: its last partial
 * block is taken back into io_2nd and padded with zeros, as the buffered path
 * leaves it, and the archive's write position steps back to that block. */
int64_t take_back_partial(int fd, int64_t done, const char *name) {
    int64_t part = done % kBlockSize;
    if (part == 0) return done;
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < part || pread(fd, io_2nd, static_cast<size_t>(part), end - part) != part) {
        z9_error(kModule, __LINE__, "writearch", "error reading '%s'", name ? name : "");
        return -1;
    }
    if (lseek(hwrite, -part, SEEK_CUR) < 0) {
        z9_error_text(kModule, __LINE__, "writearch", "tape write error");
        return -1;
    }
    memset(io_2nd + part, 0, static_cast<size_t>(kBlockSize - part));
    wblock = 1;
    return done;
}

/* The member's file: whole records are copied into the archive inside the
 * system. Returns the bytes stored (0: the buffer must do it, the system
 * cannot copy between these files), -1 after an error; *ended when the file
 * turned out shorter than its status said. */
int64_t copy_from_file(int fd, int64_t total, const char *name, bool *ended) {
    int64_t done;
    switch (copy_range(fd, total, &done, "writearch")) {
    case Copied::all: return total;
    case Copied::refused: return 0;
    case Copied::output_full: return -1;
    case Copied::source_ended:
        *ended = true;
        return take_back_partial(fd, done, name);
    case Copied::failed: break;
    }
    z9_error(kModule, __LINE__, "writearch", "error reading '%s'", name ? name : "");
    return -1;
}

}  // namespace

/* Reads the whole records in the middle of a member's data straight into the
 * host's buffer instead of through io_buf; they are read through the archive
 * operations and counted in nbytes just as record reads are. The record that
 * holds the data's last byte is left to the caller's record read, so io_buf,
 * nread, rblock and nbytes end exactly as after the buffered copy. */
int64_t read_direct(int64_t size) {
    int64_t record = static_cast<int64_t>(nblock) * kBlockSize;
    int64_t records = nblock > 0 ? records_within((size - 1) / record) : 0;
    unsigned char *dest = records > 0 ? z9_member_span(records * record) : nullptr;
    if (!dest) return 0;
    int64_t total = records * record;
    for (int64_t done = 0; done < total;) {
        int64_t want = chunk(total - done, record);
        int got = tapeops.read(dest + done, static_cast<int>(want));
        // Within the archive's size a read returns all it is asked for; the
        // file shrank under us otherwise, which a record read also reports.
        if (got != want) {
            read_error();
            return -1;
        }
        nbytes += got;
        done += got;
        moff += got;
    }
    return total;
}

/* Passes over n blocks from the end of the record in io_buf, on a regular-file
 * archive: whole records are seeked over, and of the record that holds the
 * last of the n blocks only the block after them is read, most often the
 * next header. nread, rblock, nbytes and allblock end as after reading the
 * record whole; its other blocks are read if they are ever handed out. Only
 * where that record read is sure to succeed: anything else is left to the
 * plain reads, which fail as they always do. */
bool skip_into_record(int64_t n) {
    if (nblock <= 0 || !S_ISREG(sa.st_mode) || !z9_reads_descriptor()) return false;
    // A skip that ends in the next record reads it whole, in one call: the
    // members behind a small one are mostly in it too.
    int64_t record = static_cast<int64_t>(nblock) * kBlockSize;
    int64_t records = (n - 1) / nblock;
    if (records == 0) return false;
    off_t here = lseek(handle, 0, SEEK_CUR);
    if (here < 0) return false;
    int64_t start = here + records * record;
    int64_t len = static_cast<int64_t>(sa.st_size) - start;
    if (len > record) len = record;
    int passed = static_cast<int>(n - records * nblock);   // 1..nblock blocks of that record
    if (len < int64_t{passed} * kBlockSize || len % kBlockSize != 0) return false;
    int blocks = static_cast<int>(len / kBlockSize);
    int next = passed < blocks ? passed + 1 : passed;
    // A read that goes wrong here leaves everything to the plain reads.
    if (next > passed && pread(handle, block_at(io_buf, passed), kBlockSize, start + int64_t{passed} * kBlockSize) !=
                             kBlockSize)
        return false;
    if (lseek(handle, start + len, SEEK_SET) < 0) return false;
    io_at = start;
    nbytes += records * record + len;
    z9_count_blocks(static_cast<uint64_t>(records * nblock + blocks));
    nread = blocks;
    rblock = io_lo = passed;
    io_hi = next;
    return true;
}

/* Copies the whole records in the middle of the n blocks from the archive
 * straight into the output file, inside the system. The blocks waiting in
 * io_2nd are written out first, so that the copy lands behind them: the
 * output gets the bytes of the buffered copy, only its writes are cut
 * differently. As in read_direct the record with the last block is left to
 * the record read, and only records within the archive's size are copied. */
int64_t copy_direct(int64_t n) {
    if (copy_refused || handle == hwrite || !z9_plain_archive_ops()) return 0;
    int64_t records = nblock > 0 ? records_within((n - 1) / nblock) : 0;
    if (records <= 0) return 0;
    if (wblock > 0 && !put_blocks(wblock, "steptape")) return -1;
    wblock = 0;
    int64_t total = records * nblock * kBlockSize, done;
    switch (copy_range(handle, total, &done, "steptape")) {
    case Copied::all:
        nbytes += total;
        return records * nblock;
    case Copied::refused:
        copy_refused = true;
        return 0;
    case Copied::output_full: return -1;
    case Copied::source_ended:   // part of the way: the archive shrank under us
    case Copied::failed: break;
    }
    read_error();
    return -1;
}

/* Stores the whole records in the middle of a member's data straight into a
 * regular-file archive, from the host's buffer or from the member's file.
 * Called with io_2nd empty, so the records land where the buffered path puts
 * them; the record with the data's last byte is left to io_2nd. */
int64_t write_direct(int fd, uint64_t size, const char *name, bool *ended) {
    // Blocks an append holds back must pass through the record buffer.
    if (nblock <= 0 || !S_ISREG(sa.st_mode) || !z9_plain_archive_ops() || z9_holding()) return 0;
    uint64_t record = static_cast<uint64_t>(nblock) * kBlockSize;
    int64_t total = static_cast<int64_t>((size - 1) / record * record);
    if (total <= 0) return 0;
    if (const unsigned char *from = z9_member_span(total)) return write_from_memory(from, total);
    return file_flag ? copy_from_file(fd, total, name, ended) : 0;
}
