/* tape.cpp - the block layer: the only code that touches the archive. Owns
 * io_buf/io_2nd, handle/hwrite, scratch, sa, cblock and the record counters;
 * reads file_flag, c_flag, a_flag, d_flag, t_flag, posix_flag and ofname.
 * Whole records that bypass the buffers are direct.cpp's, the lock between
 * processes lock.cpp's, an append's commit commit.cpp's. It opens but never
 * frees: _done closes what is left open and frees the buffers. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "../support/run.h"
#include "tape_private.h"

extern "C" {

unsigned char *io_buf;  /* record buffer reads fill; allocated by the driver, freed by _done */
unsigned char *io_2nd;  /* record buffer writes fill; io_buf, or duptape's own in delete runs */
int handle = -1;        /* archive descriptor; opened by initape, closed by endtape or _done */
int hwrite = -1;        /* output descriptor: handle, or duptape's scratch file */
char *scratch;          /* scratch file name of a delete run; set by duptape, freed by _done */
struct stat sa;         /* status of the archive; set by initape, decides file vs device */
int cblock;             /* blocks per record: requested (0: learn it) or learned by readbuf */
unsigned char ndrive;   /* default tape drive number; low 3 bits name /dev/mtN */

int nblock;      /* blocks per record in use; 0 until the first read or write */
int nread;       /* blocks the last read put into io_buf */
int rblock;      /* next block of io_buf to hand out */
int wblock;      /* next free block of io_2nd */
int rbyte;       /* byte of the current block for readbyte, 0..511 */
int64_t nbytes;  /* bytes read from the archive this run; 64-bit so that large
                    archives are positioned exactly by backtape */

}  // extern "C"

/* The record in io_buf: always io_lo <= io_hi <= nread, and blocks
 * io_lo..io_hi-1 hold what the archive has there. Normally that is all of
 * them (0..nread); a skip that lands in a record of a regular-file archive
 * reads only the block after the skipped ones, and the rest is read from
 * io_at when it is wanted. So every block goes through ensure() before it
 * is handed out. */
int io_lo, io_hi;
int64_t io_at;
bool copy_refused;  /* set by copy_direct when the system will not copy; cleared by initape */

namespace {

constexpr const char *kModule = "tape";
constexpr int kArchiveMode = 0666;  /* before the umask */

/* Writes the output record out once it is full: the next block starts a new one. */
[[nodiscard]] bool write_if_full(const char *function) {
    if (wblock < nblock) return true;
    if (!put_blocks(nblock, function)) return false;
    wblock = 0;
    return true;
}

}  // namespace

// A short write is a failure as much as a negative one: the archive would
// silently miss data, and nothing later could tell.
bool put_blocks(int blocks, const char *function) {
    if (z9_holding()) return z9_put_holding(blocks, function);
    int want = blocks * kBlockSize;
    if (tapeops.write(io_2nd, want) == want) return true;
    z9_error_text(kModule, __LINE__, function, "tape write error");
    return false;
}

int read_error(void) {
    if (!z9_codec_read_failed()) z9_error_text(kModule, __LINE__, "readbuf", "archive read error");
    return 0;
}

int talign(int64_t count) {
    if (count % kBlockSize == 0) return 1;
    z9_error_text(kModule, __LINE__, "talign", "tape blocksize error");
    return 0;
}

void printbs(int blocks) {
    Z9_LOG(kSevInfo, "printbs", "blocksize = %d\n", blocks);
}

namespace {

bool lock_busy;   /* initape gave up waiting for another process's lock; cleared by initape */

/* The archive's descriptor as the run switches ask, or -1; *writable tells
 * whether it may write, as an exclusive lock needs. A create neither empties
 * the file nor refuses one that is there: that waits until the lock is held.
 * Every descriptor is closed on exec, so that a child the host starts in the
 * meantime never holds the lock on. */
int open_by_switches(const char *path, bool named, bool made, bool *writable) {
    constexpr int kMode = O_CLOEXEC;
    struct stat s;
    *writable = true;
    if (c_flag && named) return open(path, (made ? O_RDWR : O_WRONLY) | O_CREAT | kMode, kArchiveMode);
    if (a_flag && !d_flag) return open(path, O_RDWR | kMode);
    // A delete reads the archive, and opens it for writing only to lock
    // writers out; an archive the process may not write is locked shared.
    if (d_flag && stat(path, &s) == 0 && S_ISREG(s.st_mode)) {
        int fd = open(path, O_RDWR | kMode);
        if (fd >= 0) return fd;
    }
    *writable = false;
    return open(path, O_RDONLY | kMode);
}

/* Opens the archive and locks it: shared for reading, exclusive for a run
 * that writes. When a delete or replace of another process put a new file
 * under the name while this run waited, that file is opened and locked. */
bool open_locked(const char *path, bool named) {
    int64_t deadline = z9_lock_deadline();
    bool made = false;   // the archive was missing: this add makes it
    for (;;) {
        bool writable;
        handle = open_by_switches(path, named, made, &writable);
        if (handle < 0) {
            // Appending to an archive that isn't there yet creates it; the run
            // then goes on as a create run (c_flag is seen by runtape and the driver).
            if (c_flag || !a_flag) return false;
            c_flag = 1;
            made = true;
            continue;
        }
        Lock lock = z9_lock_archive(handle, path, writable && (a_flag || d_flag), deadline);
        if (lock == Lock::held || lock == Lock::none) return true;
        close(handle);
        handle = -1;
        if (lock == Lock::busy) {
            lock_busy = true;
            z9_error(kModule, __LINE__, "initape", "'%s' is locked by another process", path);
            return false;
        }
    }
}

/* Once locked: an add finds out whether there is an archive to append to,
 * since another process may have made one in the file this run made, and an
 * empty file cannot be read as one; a create empties the file. */
bool settle_locked(bool emptying) {
    struct stat s;
    if (fstat(handle, &s) != 0 || !S_ISREG(s.st_mode)) return true;
    if (a_flag && !d_flag && !emptying) c_flag = s.st_size == 0;
    return !emptying || ftruncate(handle, 0) == 0;
}

}  // namespace

bool z9_lock_busy(void) { return lock_busy; }

int initape(const char *name) {
    handle = -1;
    lock_busy = false;
    z9_hold_from(-1);
    z9_select_ops();

    // No name: the default tape drive, /dev/mt0 to /dev/mt7.
    char device[] = "/dev/mt0";
    bool named = name && *name;
    const char *path = named ? name : device;
    if (!named) device[sizeof device - 2] = static_cast<char>('0' + (ndrive & 7));

    bool emptying = c_flag && named;
    if (!open_locked(path, named) || !settle_locked(emptying)) return 0;

    // Status unknown: treat it as a device, which never relies on seeking.
    if (fstat(handle, &sa) != 0) sa.st_mode = S_IFBLK;
    if (!z9_wrap_archive(path)) return 0;
    if (t_flag) z9_count_reads();
    hwrite = handle;
    nbytes = 0;
    copy_refused = false;
    return 1;
}

int runtape(void) {
    if (cblock == 0 && c_flag) {
        cblock = kMaxBlocks;
        printbs(cblock);
    }
    // rblock == nread (or beyond) makes the first readtape refill the buffer.
    nblock = cblock;
    rblock = cblock;
    nread = 0;
    io_lo = io_hi = 0;
    wblock = 0;
    rbyte = 0;
    return 1;
}

unsigned char *getbuf(int size) {
    if (size <= 0) return nullptr;
    return static_cast<unsigned char *>(malloc(static_cast<size_t>(size)));
}

int duptape(const char *name) {
    int size = nblock ? nblock * kBlockSize : kRecordBytes;
    unsigned char *buf = getbuf(size);
    if (!buf) {
        z9_error(kModule, __LINE__, "duptape", "Insufficient memory: allocation of %d bytes failed", size);
        return 0;
    }
    io_2nd = buf;

    // The scratch file lives beside the archive, so that linking it into
    // the archive's place never crosses a file system.
    const char *slash = name ? strrchr(name, '/') : nullptr;
    size_t dirlen = slash ? static_cast<size_t>(slash - name) + 1 : 0;
    int namesize = static_cast<int>(dirlen) + 7;
    free(scratch);
    scratch = reinterpret_cast<char *>(getbuf(namesize));
    if (!scratch) {
        z9_error(kModule, __LINE__, "duptape", "unable to allocate %d bytes", namesize);
        return 0;
    }
    if (dirlen) memcpy(scratch, name, dirlen);
    memcpy(scratch + dirlen, "XXXXXX", 7);

    int fd = z9_mkstemp(scratch);
    if (fd < 0) {
        z9_error_text(kModule, __LINE__, "duptape", "can't create scratch file\n");
        return 0;
    }
    hwrite = fd;
    return 1;
}

/* ---- reading ---- */

/* What the first read of a run did. */
enum class First { read, failed, factor_known };

// The first read learns the blocking factor from what the archive gives: a
// tape returns one record, a file up to 32 blocks. A result that isn't whole
// blocks says nothing about the record size and is dropped.
static First learn_record(void) {
    while (nblock == 0) {
        int got = tapeops.read(io_buf, kRecordBytes);
        if (got <= 0) {
            read_error();
            return First::failed;
        }
        nbytes += got;
        if (got % kBlockSize == 0) {
            nread = nblock = cblock = got / kBlockSize;
            printbs(nblock);
            rblock = io_lo = 0;
            io_hi = nread;
            return First::read;
        }
        nblock = cblock;
        nbytes = 0;
    }
    return First::factor_known;
}

int readbuf(void) {
    First first = learn_record();
    if (first != First::factor_known) return first == First::read ? 1 : 0;
    int got = tapeops.read(io_buf, nblock * kBlockSize);
    // A short last record is fine as long as it holds whole blocks.
    if (got < kBlockSize || got % kBlockSize != 0) return read_error();
    nbytes += got;
    nread = io_hi = got / kBlockSize;
    rblock = io_lo = 0;
    return 1;
}

/* Reads blocks [from, to) of a record that was read only in part into the
 * places of io_buf where the record read would have put them. */
static bool read_part(int from, int to) {
    ssize_t want = static_cast<ssize_t>(to - from) * kBlockSize;
    if (pread(handle, block_at(io_buf, from), static_cast<size_t>(want), io_at + int64_t{from} * kBlockSize) == want)
        return true;
    // The archive shrank since the record was measured: as a failed read.
    read_error();
    return false;
}

/* Makes blocks [from, to) of the record in io_buf hold the archive's bytes
 * before they are handed out. */
static bool ensure(int from, int to) {
    assert(0 <= io_lo && io_lo <= io_hi && io_hi <= nread);
    if (from >= io_lo && to <= io_hi) return true;
    if (to > io_hi) {
        if (!read_part(io_hi, nread)) return false;
        io_hi = nread;
    }
    if (from < io_lo) {
        if (!read_part(0, io_lo)) return false;
        io_lo = 0;
    }
    return true;
}

unsigned char *readtape(void) {
    if (rblock >= nread && !readbuf()) return nullptr;
    if (!ensure(rblock, rblock + 1)) return nullptr;
    rbyte = 0;
    return block_at(io_buf, rblock++);
}

int readbyte(void) {
    // rbyte 0 starts a new block; the block being read is rblock - 1.
    if (rbyte == 0) rblock++;
    if (rblock > nread) {
        if (!readbuf()) return -1;
        rblock = 1;
    }
    if (!ensure(rblock - 1, rblock)) return -1;
    int byte = block_at(io_buf, rblock - 1)[rbyte];
    rbyte = (rbyte + 1) % kBlockSize;
    return byte;
}

void bacouple(void) {
    rbyte = 0;
    if (rblock > 0) rblock--;
}

/* The record in io_buf is used up: whole records are moved past the buffers
 * by `direct` first, which counts them off *left, then the next one is read. */
static bool refill(int64_t *left, int64_t (*direct)(int64_t)) {
    int64_t moved = direct(*left);
    if (moved < 0) return false;
    *left -= moved;
    return readbuf() != 0;
}

int readarch(int fd, int64_t size) {
    while (size > 0) {
        if (rblock >= nread && !refill(&size, read_direct)) return 0;
        // Everything left in the record goes out in one piece.
        int64_t n = static_cast<int64_t>(nread - rblock) * kBlockSize;
        if (n > size) n = size;
        int spans = static_cast<int>(data_blocks(n));
        if (!ensure(rblock, rblock + spans)) return 0;
        ssize_t put = pwritefile(fd, block_at(io_buf, rblock), static_cast<size_t>(n));
        if (put != n) {
            z9_error(kModule, __LINE__, "readarch", "error extracting '%s'", ofname);
            return 0;
        }
        // The padding of a last partial block is skipped with it.
        rblock += spans;
        size -= n;
    }
    rbyte = 0;
    return 1;
}

bool z9_read_from(int64_t offset) {
    // A decompressed archive is placed by its reader; a plain one by seeking.
    if (z9_archive_codec() == Codec::none && lseek(handle, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    // As if the blocks before it had been handed out: the next readtape
    // reads a record from there.
    nbytes = offset;
    nread = rblock = io_lo = io_hi = 0;
    rbyte = 0;
    return true;
}

int64_t z9_blocks_taken(void) {
    int64_t waiting = nread > rblock ? nread - rblock : 0;
    return nbytes / kBlockSize - waiting;
}

int64_t z9_archive_left(void) {
    if (!S_ISREG(sa.st_mode) || !z9_reads_descriptor()) return -1;
    int64_t left = static_cast<int64_t>(sa.st_size) - z9_blocks_taken() * kBlockSize;
    return left < 0 ? 0 : left;
}

static bool all_zero(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0) return false;
    return true;
}

int64_t z9_first_data_behind(unsigned char *block) {
    if (!S_ISREG(sa.st_mode) || !z9_reads_descriptor()) return -1;
    // Looking for data moves the descriptor: the walk's position is put back.
    off_t here = lseek(handle, 0, SEEK_CUR);
    unsigned char buf[kRecordBytes];
    int64_t found = -1;
    // Holes read as zeros, so only the data regions are read.
    for (off_t at = static_cast<off_t>(z9_blocks_taken() * kBlockSize);
         found < 0 && (at = lseek(handle, at, SEEK_DATA)) >= 0 && at < sa.st_size;) {
        at -= at % kBlockSize;   // a data region need not begin on a block
        ssize_t got = pread(handle, buf, sizeof buf, at);
        if (got <= 0) break;
        for (ssize_t b = 0; b < got && found < 0; b += kBlockSize) {
            size_t n = static_cast<size_t>(got - b < kBlockSize ? got - b : kBlockSize);
            if (all_zero(buf + b, n)) continue;
            found = at + b;
            memset(block, 0, kBlockSize);
            memcpy(block, buf + b, n);
        }
        at += got;
    }
    lseek(handle, here, SEEK_SET);
    return found;
}

int z9_skipblocks(int64_t n) {
    rbyte = 0;
    bool seekable = true;   // until the archive refuses a seek
    while (n > 0) {
        if (rblock >= nread) {
            if (seekable && skip_into_record(n)) return 1;
            // Whole records are passed over by seeking, once the record size
            // is known. The record holding the last block is still read, so
            // the buffer, nread and rblock end exactly as after reading.
            int64_t records = nblock > 0 ? (n - 1) / nblock : 0;
            if (seekable && records > 0) {
                seekable = z9_seek_blocks(records * nblock) != 0;
                if (seekable) {
                    nbytes += records * nblock * kBlockSize;
                    n -= records * nblock;
                }
            }
            if (!readbuf()) return 0;
        }
        int64_t take = nread - rblock < n ? nread - rblock : n;
        rblock += static_cast<int>(take);
        n -= take;
    }
    return 1;
}

int z9_copyblocks(int64_t n) {
    while (n > 0) {
        if (rblock >= nread && !refill(&n, copy_direct)) return 0;
        // As steptape: a full output record goes out before the next block.
        if (!write_if_full("steptape")) return 0;
        int64_t take = nread - rblock;
        if (take > nblock - wblock) take = nblock - wblock;
        if (take > n) take = n;
        if (!ensure(rblock, rblock + static_cast<int>(take))) return 0;
        memcpy(block_at(io_2nd, wblock), block_at(io_buf, rblock), static_cast<size_t>(take) * kBlockSize);
        rblock += static_cast<int>(take);
        wblock += static_cast<int>(take);
        n -= take;
    }
    rbyte = 0;
    return 1;
}

/* ---- writing ---- */

unsigned char *steptape(void) {
    if (nblock == 0) nblock = 1;
    if (!write_if_full("steptape")) return nullptr;
    return block_at(io_2nd, wblock++);
}

int writearch(int fd, uint64_t size, const char *name) {
    if (nblock == 0) nblock = 1;
    int blocks = 0;
    while (size != 0) {
        if (!write_if_full("writearch")) return 0;
        if (wblock == 0) {
            bool ended = false;
            int64_t stored = write_direct(fd, size, name, &ended);
            if (stored < 0) return 0;
            blocks += static_cast<int>(data_blocks(stored));
            if (ended) return blocks;
            size -= static_cast<uint64_t>(stored);
        }
        // Read straight into the record, as much as the record has room for.
        uint64_t want = static_cast<uint64_t>(nblock - wblock) * kBlockSize;
        if (want > size) want = size;
        unsigned char *at = block_at(io_2nd, wblock);
        ssize_t got = preadfile(fd, at, static_cast<size_t>(want));
        if (got < 0 || static_cast<uint64_t>(got) > want) {
            z9_error(kModule, __LINE__, "writearch", "error reading '%s'", name ? name : "");
            return 0;
        }
        int b = static_cast<int>(data_blocks(got));
        memset(at + got, 0, static_cast<size_t>(b) * kBlockSize - static_cast<size_t>(got));
        wblock += b;
        blocks += b;
        // A source that ends early: the caller pads the member with zero blocks.
        if (static_cast<uint64_t>(got) != want) return blocks;
        size -= want;
    }
    return write_if_full("writearch") ? blocks : 0;
}

/* ---- positioning and ending ---- */

static int seek_error(void) {
    z9_error_text(kModule, __LINE__, "backtape", "tape seek failed");
    return 0;
}

int backtape(void) {
    if (!talign(nbytes)) return 0;
    // Nothing read yet: there is no end marker to stand on.
    if (nblock <= 0 || rblock <= 0) return seek_error();
    // Its blocks before the end marker are written back from io_buf.
    if (S_ISREG(sa.st_mode) && !ensure(0, rblock)) return 0;
    // The size of the record now in io_buf: what the last read returned.
    int64_t n = (nbytes / kBlockSize) % nblock;
    if (n == 0) n = nblock;
    if (!S_ISREG(sa.st_mode)) {
        // A device repositions by records: read the record again so the
        // drive stands behind it, then step back over it below.
        if (tapeops.back(n) < 0) return seek_error();
        int got = tapeops.read(io_buf, rblock * kBlockSize);
        if (got < kBlockSize) {
            z9_error_text(kModule, __LINE__, "backtape", "tape read failed");
            return 0;
        }
        nbytes += got;
    }
    if (tapeops.back(n) < 0) return seek_error();
    // New members begin on the end marker's block. On a regular file the
    // blocks from there are held back and written last, the old end marker
    // first of all (commit.cpp); elsewhere the next write-out rewrites this
    // record from its start.
    rblock--;
    wblock = rblock;
    if (S_ISREG(sa.st_mode) && z9_plain_archive_ops()) {
        off_t record = lseek(handle, 0, SEEK_CUR);
        if (record < 0) return seek_error();
        z9_hold_from(record + int64_t{rblock} * kBlockSize);
    }
    rbyte = 0;
    // From here io_buf is the output record: nothing may be read into it.
    io_lo = 0;
    io_hi = nread;
    return 1;
}

int endtape(void) {
    // One zero block ends the archive; under -POSIX two, as other readers expect.
    for (int markers = posix_flag ? 2 : 1; markers > 0; markers--) {
        unsigned char *marker = steptape();
        if (!marker) return 0;
        memset(marker, 0, kBlockSize);
    }
    // A file ends right after its marker; a device takes whole records only.
    if (!put_blocks(S_ISREG(sa.st_mode) ? wblock : nblock, "endtape")) return 0;
    if (!z9_finish_archive() || !z9_commit()) return 0;
    if (hwrite >= 0) {
        // The descriptor is gone even when close reports an error, so it is
        // marked closed first: _done must never close a reused number.
        int fd = hwrite;
        if (handle == hwrite) handle = -1;
        hwrite = -1;
        if (close(fd) != 0) {
            z9_error_text(kModule, __LINE__, "endtape", "tape close error");
            return 0;
        }
    }
    return 1;
}
