/* tape.h - what the tape folder exports: the record buffers over the archive,
 * the archive's descriptors and status, the replaceable archive and
 * member-data operations, and the block-level operations on the archive. */
#ifndef Z9_TAPE_TAPE_H
#define Z9_TAPE_TAPE_H

#include <sys/stat.h>
#include <sys/types.h>
#include <cstdint>
#include "../support/orv.h"
#include "block.h"
#include "../codec/codec.h"

extern "C" {

/* ---- run state of the block layer ---- */
Z9_EXPORT extern unsigned char *io_buf;  /* record buffer reads fill */
Z9_EXPORT extern unsigned char *io_2nd;  /* record buffer writes fill (== io_buf but in delete runs) */
Z9_EXPORT extern int handle;             /* archive descriptor, -1 when closed */
Z9_EXPORT extern int hwrite;             /* output descriptor, -1 when closed */
Z9_EXPORT extern char *scratch;          /* scratch file name of a delete run */
Z9_EXPORT extern struct stat sa;         /* status of the open archive */
Z9_EXPORT extern int cblock;             /* blocking factor requested or learned */
Z9_EXPORT extern unsigned char ndrive;   /* default tape drive number */

/* Private to the block layer; declared here so its own tests can look. */
extern int nblock;       /* blocking factor in use, 0 until known */
extern int nread;        /* blocks the last read put into io_buf */
extern int rblock;       /* next block of io_buf to hand out */
extern int wblock;       /* next free block of io_2nd */
extern int rbyte;        /* offset in the current block for readbyte */
extern int64_t nbytes;   /* bytes read from the archive in this run */

/* ---- I/O backends ---- */
Z9_EXPORT extern unsigned char *mbuf;    /* host data, or the extraction buffer */
Z9_EXPORT extern int64_t msize;          /* bytes at mbuf */
Z9_EXPORT extern int64_t moff;           /* offset of the memory operations */
Z9_EXPORT extern uint64_t allblock;      /* blocks read in a catalog run */

extern ssize_t (*preadfile)(int fd, void *buf, size_t count);
extern ssize_t (*pwritefile)(int fd, const void *buf, size_t count);
Z9_EXPORT extern int (*popenfile)(const char *path, int flags, ...);
Z9_EXPORT extern int (*pclosefile)(int fd);
Z9_EXPORT extern off_t (*plseekfile)(int fd, off_t offset, int whence);

/* The archive operations: the set in use, the run's plain set, and the read
 * the counting read calls. */
typedef struct TAPEOPS {
    int (*read)(void *buf, int length);
    int (*write)(const void *buf, int length);
    int64_t (*back)(int64_t blocks);
    int (*run_read)(void *buf, int length);
    int (*run_write)(const void *buf, int length);
    int64_t (*run_back)(int64_t blocks);
    int (*saved_read)(void *buf, int length);
} TAPEOPS;
extern TAPEOPS tapeops;

/* Installs the descriptor archive operations and, by file_flag, the file or
 * host-memory member-data operations; with t_flag the counting read. */
void z9_select_ops(void);
void z9_count_reads(void);

/* Moves handle forward over whole blocks of a regular-file archive without
 * reading them, when they all lie within the archive's size in sa; counts
 * them in allblock when the counting read is installed. 1 when moved, 0 when
 * the caller must read them instead (device, pipe, or past the end). */
int z9_seek_blocks(int64_t blocks);

/* Where `bytes` bytes of member data may be written straight to their
 * destination, mbuf + moff, when the host-memory operations are installed
 * and the buffer holds them all; none otherwise. Whoever places data there
 * moves moff past it, as the memory write would have. */
unsigned char *z9_member_span(int64_t bytes);

/* True while the archive operations in use are the plain descriptor ones. */
bool z9_plain_archive_ops(void);

/* True while the read in use is the descriptor read, counted or not. */
bool z9_reads_descriptor(void);

/* Adds blocks taken from the archive past the read in use to allblock,
 * when the counting read is installed. */
void z9_count_blocks(uint64_t blocks);

/* ---- compressed archives (wrap.cpp) ---- */

/* The codec a create writes through, set by the driver before initape; the
 * codec initape found an archive wrapped in (or a create writes). */
void z9_compress_with(Codec c);
Codec z9_archive_codec(void);
/* initape's part: a create with a codec writes through it; an archive opened
 * for reading that is compressed is read through its decompressor. false when
 * the codec cannot be set up. */
bool z9_wrap_archive(const char *path);
/* After a failed archive read: when the decompressor failed, its message
 * ("compressed data error in '%s': ...") is reported and the result is true. */
bool z9_codec_read_failed(void);
bool z9_codec_failed(void);   /* the decompressor failed in this run */
/* At the end marker: the rest of a compressed stream is read and checked;
 * false, with its message reported, when it is damaged. */
[[nodiscard]] bool z9_codec_drained(void);
/* The member index's part, for a gzip archive read from a regular file:
 * before the walk, have its reader record points in points as it decodes; or
 * go to the output offset out from the nearest point (the next readtape
 * reads a record from there). false when that cannot be done. */
bool z9_gzip_recording(GzPoints *points);
bool z9_gzip_seek(const GzPoints *points, int64_t out);
/* endtape's part: the compressed stream's end is written ("tape write error"). */
[[nodiscard]] bool z9_finish_archive(void);
/* _done's part: the run's reader and writer are freed, no codec is asked for. */
void z9_release_codec(void);

/* ---- block layer ---- */
int talign(int64_t count);
Z9_EXPORT void printbs(int blocks);
Z9_EXPORT int initape(const char *name);
Z9_EXPORT int runtape(void);
Z9_EXPORT unsigned char *getbuf(int size);
Z9_EXPORT int duptape(const char *name);
Z9_EXPORT int backtape(void);
Z9_EXPORT int endtape(void);
int readbuf(void);
Z9_EXPORT unsigned char *readtape(void);
Z9_EXPORT int readbyte(void);
Z9_EXPORT void bacouple(void);
Z9_EXPORT int readarch(int fd, int64_t size);
Z9_EXPORT unsigned char *steptape(void);
Z9_EXPORT int writearch(int fd, uint64_t size, const char *name);

}  // extern "C"

/* Passes over the next n blocks as n calls of readtape would, with the same
 * results, messages, nbytes and allblock; on a regular-file archive whole
 * records are seeked over instead of read. 1 done, 0 after a read error. */
int z9_skipblocks(int64_t n);

/* Blocks handed out from the archive so far this run (read or passed over,
 * less those still waiting in the buffer). The difference of two readings
 * tells how far a walk got, e.g. how many blocks a failed skip took. */
int64_t z9_blocks_taken(void);

/* Goes to a block boundary of a regular-file archive (of the data a
 * decompressor gives, which the caller has placed there): the next readtape
 * reads a record from offset. false when the archive cannot seek. */
bool z9_read_from(int64_t offset);

/* Bytes a regular-file archive still holds behind the blocks handed out so
 * far; -1 where that cannot be known (a device or a pipe). */
int64_t z9_archive_left(void);

/* The first block behind the blocks handed out so far, up to the end of a
 * regular-file archive, that holds a byte other than zero: copied into block
 * (512 bytes), and its offset returned; -1 when there is none, and always on
 * a device or a pipe. */
int64_t z9_first_data_behind(unsigned char *block);

/* True after an initape that failed because another process held the
 * archive's lock for all the wait allowed ("'%s' is locked by another
 * process" is then in the message). */
bool z9_lock_busy(void);

/* Delete and replace: the scratch file (hwrite) takes the archive's (sa)
 * permission bits and, where the process may, its owner and group; an owner
 * that cannot be kept is logged at severity 5. false, with a message, only
 * when the bits cannot be set. */
[[nodiscard]] bool z9_keep_attributes(const char *path);

/* -SYNC: the directory entry of the archive at path on stable storage
 * (nothing without -SYNC). false, with a message, when that fails. */
[[nodiscard]] bool z9_sync_directory(const char *path);

/* Copies the next n blocks of the archive into the output buffer io_2nd as n
 * pairs of readtape and steptape would, with the same results and messages;
 * between two regular files whole records are copied inside the system
 * instead. The output's bytes are the same either way. 1 done, 0 failed. */
int z9_copyblocks(int64_t n);

/* Replaces the trailing "XXXXXX" of tmpl so that it names a file that did not
 * exist, and creates that file exclusively (O_CREAT|O_EXCL, mode 0666 before
 * the umask). Returns the open descriptor (read-write), or -1; a template that
 * does not end in "XXXXXX" is emptied and gives -1. */
int z9_mkstemp(char *tmpl);
/* The same with tmpl taken relative to the directory descriptor dir. */
int z9_mkstempat(int dir, char *tmpl);

/* The same, but closes the new file again: the name is reserved on disk.
 * Returns 0, or -1 when no file could be created. */
int z9_mktemp(char *tmpl);

#endif
