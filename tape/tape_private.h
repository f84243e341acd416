/* tape_private.h - what the two files of the block layer share and nobody
 * else sees: the parts of the record in io_buf already read (io_lo, io_hi and
 * io_at, whose rule stands at the top of tape.cpp), the output helpers
 * of tape.cpp and the direct transfers of direct.cpp. */
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

#endif
