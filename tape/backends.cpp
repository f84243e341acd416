/* backends.cpp - the replaceable I/O operations: the member-data pointers
 * (system file calls, or the host's memory buffer mbuf/msize/moff) and the
 * archive operations record tapeops with its counting read (allblock).
 * Sets these pointers only through z9_select_ops/z9_count_reads (initape). */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "../support/run.h"
#include "tape.h"

extern "C" {

unsigned char *mbuf;   /* host data or extraction buffer; set by the entry points and restore */
int64_t msize;         /* bytes at mbuf; set together with mbuf, read by the memory operations */
int64_t moff;          /* offset of the memory operations; moved by them and by restore */
uint64_t allblock;     /* blocks read in a catalog run; counted here, printed by the driver */

/* Member-data operations: the system's calls until initape picks a set. */
ssize_t (*preadfile)(int fd, void *buf, size_t count) = read;
ssize_t (*pwritefile)(int fd, const void *buf, size_t count) = write;
int (*popenfile)(const char *path, int flags, ...) = open;
int (*pclosefile)(int fd) = close;
off_t (*plseekfile)(int fd, off_t offset, int whence) = lseek;

}  // extern "C"

/* ---- archive operations on the descriptors of the block layer ---- */

static int desc_read(void *buf, int length) {
    return static_cast<int>(read(handle, buf, static_cast<size_t>(length)));
}

static int desc_write(const void *buf, int length) {
    return static_cast<int>(write(hwrite, buf, static_cast<size_t>(length)));
}

// Moves the read position back by whole blocks. lseek itself refuses a
// negative position, so a failure here also covers "before the start".
static int64_t desc_back(int64_t blocks) {
    if (lseek(handle, -blocks * kBlockSize, SEEK_CUR) < 0) return -1;
    return blocks;
}

// Set while the counting read is installed, so that blocks passed over by
// seeking are counted too, whatever wraps the read in use.
static bool counting;

// The catalog's read: every read counts its bytes rounded up to whole blocks,
// so a short last record counts only the blocks it returned.
static int count_read(void *buf, int length) {
    int got = tapeops.saved_read(buf, length);
    if (got >= 0) allblock += (static_cast<uint32_t>(got) + kBlockSize - 1) / kBlockSize;
    return got;
}

extern "C" {
TAPEOPS tapeops = {
    .read = desc_read,
    .write = desc_write,
    .back = desc_back,
    .run_read = desc_read,
    .run_write = desc_write,
    .run_back = desc_back,
    .saved_read = desc_read,
};
}

/* ---- member data in the host's memory buffer ---- */

// Bytes a transfer of count may move at moff without leaving mbuf: a transfer
// never passes msize; it is cut short, so the caller sees a short count and
// reports its usual error instead of touching foreign memory.
static size_t mem_room(size_t count) {
    if (moff < 0 || moff >= msize) return 0;
    uint64_t room = static_cast<uint64_t>(msize - moff);
    return count < room ? count : static_cast<size_t>(room);
}

static int mem_open(const char *, int, ...) {
    moff = 0;
    return mbuf ? 0 : -1;
}

static int mem_close(int) {
    moff = 0;
    return mbuf ? 0 : -1;
}

// Without a buffer there is nothing to read from or write to: -1, like the
// open and close above.
static ssize_t mem_read(int, void *buf, size_t count) {
    if (!mbuf) return -1;
    size_t n = mem_room(count);
    if (n) memcpy(buf, mbuf + moff, n);
    moff += static_cast<int64_t>(n);
    return static_cast<ssize_t>(n);
}

static ssize_t mem_write(int, const void *buf, size_t count) {
    if (!mbuf) return -1;
    size_t n = mem_room(count);
    if (n) memcpy(mbuf + moff, buf, n);
    moff += static_cast<int64_t>(n);
    return static_cast<ssize_t>(n);
}

// Like the system's lseek, a position before the start (or one that
// overflows) is refused and leaves moff alone; one past msize is allowed and
// simply has no room for a transfer.
static off_t mem_lseek(int, off_t offset, int whence) {
    if (!mbuf) return -1;
    int64_t base;
    switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = moff; break;
    case SEEK_END: base = msize; break;
    default: return -1;
    }
    int64_t pos;
    if (__builtin_add_overflow(base, offset, &pos) || pos < 0) return -1;
    moff = pos;
    return pos;
}

/* Where member data may be placed without passing through the record buffer:
 * only the host's memory is addressed directly, and only when all of it fits. */
unsigned char *z9_member_span(int64_t bytes) {
    if (pwritefile != mem_write || !mbuf || bytes < 0) return nullptr;
    if (mem_room(static_cast<size_t>(bytes)) != static_cast<size_t>(bytes)) return nullptr;
    return mbuf + moff;
}

/* The archive is read and written by the descriptor operations themselves
 * (no counting read, nothing put in their place): only then may the block
 * layer move whole records by other system calls. */
bool z9_plain_archive_ops(void) {
    return tapeops.read == desc_read && tapeops.write == desc_write;
}

/* The read in use reads the archive's descriptor itself, perhaps counted:
 * only then may the block layer read the archive by other calls. */
bool z9_reads_descriptor(void) {
    return tapeops.read == desc_read || (tapeops.read == count_read && tapeops.saved_read == desc_read);
}

/* Blocks the block layer took from the archive without the counting read:
 * a catalog's total counts them all the same. */
void z9_count_blocks(uint64_t blocks) {
    if (counting) allblock += blocks;
}

/* ---- selection, by initape at the start of every run ---- */

void z9_select_ops(void) {
    counting = false;
    tapeops.read = tapeops.run_read = desc_read;
    tapeops.write = tapeops.run_write = desc_write;
    tapeops.back = tapeops.run_back = desc_back;
    preadfile = file_flag ? read : mem_read;
    pwritefile = file_flag ? write : mem_write;
    popenfile = file_flag ? open : mem_open;
    pclosefile = file_flag ? close : mem_close;
    plseekfile = file_flag ? lseek : mem_lseek;
}

void z9_count_reads(void) {
    // Installing twice must not make the counting read call itself.
    if (tapeops.run_read != count_read) tapeops.saved_read = tapeops.run_read;
    tapeops.run_read = tapeops.read = count_read;
    counting = true;
    allblock = 0;
}

int z9_seek_blocks(int64_t blocks) {
    if (blocks <= 0 || !S_ISREG(sa.st_mode) || z9_archive_codec() != Codec::none) return 0;
    off_t here = lseek(handle, 0, SEEK_CUR);
    if (here < 0 || blocks > (sa.st_size - here) / kBlockSize) return 0;
    if (lseek(handle, blocks * kBlockSize, SEEK_CUR) < 0) return 0;
    // The counting read would have seen these blocks; a catalog's total
    // must not depend on whether they were read or passed over.
    if (counting) allblock += static_cast<uint64_t>(blocks);
    return 1;
}
