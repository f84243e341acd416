/* codec.h - what the codec folder exports: the compressors an archive may be wrapped
 * in, their names, telling a compressed archive by its first bytes, streaming readers
 * and writers over a descriptor (with worker threads that live as long as the reader
 * or writer), and a reader's places to resume from (gzip's kept by places.cpp). Holds
 * no process-wide state; every reader and writer owns its buffers and threads. */
#ifndef Z9_CODEC_CODEC_H
#define Z9_CODEC_CODEC_H

#include <cstddef>
#include <cstdint>

enum class Codec { none, gzip, zstd, xz, bzip2 };

/* "none", "gzip", "zstd", "xz" or "bzip2". */
const char *codec_name(Codec c);
/* Case-insensitive codec name to codec; false (and *out untouched) for anything else. */
bool codec_from_name(const char *text, Codec *out);
/* The codec whose signature starts p[0..n) when its decoder accepts what follows:
 * none when the decoder reports a data error before it produces a byte. Running out
 * of the n bytes is no error, so n may be any prefix of the archive. A zstd stream may
 * open with skippable frames; its first frame's signature must lie within the n. */
Codec codec_sniff(const unsigned char *p, size_t n);
/* How many bytes of the archive's start codec_sniff wants to see, told by the n
 * bytes p holds so far: every signature's length, or past skippable frames. */
size_t codec_sniff_wants(const unsigned char *p, size_t n);

/* The threads a reader or writer may use: Z9TAR_THREADS from the environment when it
 * holds a number from 1 to kThreadsMax, else the CPUs this process may run on, at
 * most kThreadsMax. 1 means no worker thread at all. */
constexpr int kThreadsMax = 16;
int codec_threads(void);

/* ---- reading: decompressed bytes out of a descriptor ---- */
struct CodecReader;
/* A reader over fd whose stream starts with head[0..nhead), bytes the caller already
 * read from fd. Null when c is none or memory runs out. Never closes fd. With threads
 * above 1 an xz stream of several blocks is decoded by that many workers. */
CodecReader *codec_reader_open(Codec c, int fd, const unsigned char *head, size_t nhead, int threads = 1);
/* Fills buf with up to len decompressed bytes. Returns len while data last; a short
 * count only when the data ended cleanly (0 from then on); -1 on a data error, a
 * stream cut short, or a read error (errno kept), and -1 from then on. */
long codec_read(CodecReader *r, void *buf, size_t len);
/* Why the last read failed, as a few words ("incorrect data check"); "" before. */
const char *codec_error(const CodecReader *r);
void codec_reader_close(CodecReader *r);

/* ---- writing: one compressed stream to a descriptor ---- */
struct CodecWriter;
/* A writer of c's stream at its default level to fd. Null when c is none or the codec
 * cannot be set up. Never closes fd. With threads above 1, that many workers compress
 * while the caller goes on; with 1, the caller's thread does it all. */
CodecWriter *codec_writer_open(Codec c, int fd, int threads = 1);
/* Compresses buf[0..len); false on a codec error or a failed or short write to fd,
 * and false from then on. */
bool codec_write(CodecWriter *w, const void *buf, size_t len);
/* Ends the stream and writes out everything still held; false as codec_write. */
bool codec_finish(CodecWriter *w);
/* Stops and joins the writer's workers, whatever they were doing, and frees it. */
void codec_writer_close(CodecWriter *w);

/* ---- resuming: a reader's places and a reader started at one ---- */
/* A place between two steps of a reader inside a stream: the decoder's whole state
 * (state[0..len); none for a stream's very start) with its input taken up to the
 * descriptor's offset in and out bytes made. */
struct CodecPlace {
    int64_t in, out;
    const void *state;
    size_t len;
};
/* Called with the place where a step inside a stream ended, from the first step on;
 * returns the output offset it wants the next place at (steps then end exactly
 * there, or as soon after as the stream allows), or one not past this place when it
 * wants no more. Only a codec whose state can be taken (gzip) calls. */
typedef int64_t (*CodecMark)(void *ctx, const CodecPlace *place);
/* Has r call mark from its next step on; false when r's codec has no places or r has
 * read already (places count from the stream's start). */
bool codec_reader_mark(CodecReader *r, CodecMark mark, void *ctx);
/* A reader of the regular file fd that goes on from a place a mark was given (or from
 * the stream's start when place->state is none); fd is moved to place->in. Null when
 * c has no places or memory runs out. */
CodecReader *codec_reader_resume(Codec c, int fd, const CodecPlace *place);
/* The decompressed bytes handed out so far, counted from the stream's start. */
int64_t codec_reader_out(const CodecReader *r);

/* ---- gzip places kept for the member index (places.cpp) ---- */
struct GzPoints;   /* places to start decoding from, about one a megabyte */
/* An empty set that holds at most budget bytes; null when memory runs out. */
GzPoints *gz_points_new(size_t budget);
void gz_points_free(GzPoints *g);
size_t gz_points_bytes(const GzPoints *g);
/* A CodecMark (ctx: the set): keeps a place about every megabyte of output, until
 * the budget or memory runs out. */
int64_t gz_points_mark(void *ctx, const CodecPlace *place);
/* A reader of the gzip archive fd resumed at the last place at or before the
 * output offset out (the stream's start when none is); null when none can be had. */
CodecReader *gz_points_reader(const GzPoints *g, int fd, int64_t out);

#endif
