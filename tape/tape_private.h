/* tape_private.h - what the files of the block layer share and nobody
 * else sees: the parts of the record in io_buf already read (io_lo, io_hi and
 * io_at, whose rule stands at the top of tape.cpp), the output helpers
 * of tape.cpp, the direct transfers of direct.cpp, the lock of lock.cpp and
 * the append's commit of commit.cpp. */
#ifndef Z9_TAPE_PRIVATE_H
#define Z9_TAPE_PRIVATE_H

#include <cstddef>
#include <cstdint>
#include "tape.h"

extern int io_lo, io_hi;   /* blocks io_lo..io_hi-1 of io_buf hold the archive's bytes */
extern int64_t io_at;      /* archive offset of the record in io_buf, read in part */
extern bool copy_refused;  /* the system cannot copy archive to output; cleared by initape */

inline unsigned char *block_at(unsigned char *buf, int index) {
    return buf + static_cast<size_t>(index) * kBlockSize;
}

/* tape.cpp: readbuf's "archive read error" (returns 0); the first `blocks`
 * blocks of io_2nd through the archive write ("tape write error" under function). */
int read_error(void);
[[nodiscard]] bool put_blocks(int blocks, const char *function);

/* direct.cpp: whole records moved past the record buffers. Each leaves the
 * record that holds the last byte or block to the buffered path, so the
 * state afterwards is the buffered path's. The moves return how much they
 * took (0: the buffers must do it all), or -1 after an error they reported. */
int64_t read_direct(int64_t size);   /* archive into the host's buffer: bytes */
int64_t copy_direct(int64_t n);      /* archive into the output file: blocks */
int64_t write_direct(int fd, uint64_t size, const char *name, bool *ended);  /* into the archive: bytes */
bool skip_into_record(int64_t n);    /* n blocks passed, only the next one read; false: not here */

/* lock.cpp: the lock between processes. z9_lock_archive takes it on fd, the
 * archive opened under path, by polling until deadline (z9_lock_deadline:
 * now plus the wait Z9TAR_LOCK_WAIT allows). none: nothing to lock (no
 * regular file, the host's standard input or output, no locks on this file
 * system); swapped: locked, but another file now has the name; busy: still
 * locked by another process at the deadline. */
enum class Lock { held, none, swapped, busy };
int64_t z9_lock_deadline(void);
Lock z9_lock_archive(int fd, const char *path, bool exclusive, int64_t deadline);

/* commit.cpp: an append in place holds back the blocks at the old end marker
 * `at` and behind it. z9_holding: they are not both handed over yet (nothing
 * may write past the record buffer then); z9_put_holding writes `blocks` of
 * io_2nd as put_blocks does, all but those; z9_commit (endtape) writes them
 * last, or, without an append in place, only flushes for -SYNC. */
void z9_hold_from(int64_t at);
bool z9_holding(void);
[[nodiscard]] bool z9_put_holding(int blocks, const char *function);
[[nodiscard]] bool z9_commit(void);

#endif
