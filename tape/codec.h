/* codec.h - the compressors an archive may be wrapped in: their names, telling a
 * compressed archive by its first bytes, and streaming readers and writers over a
 * descriptor. Holds no process-wide state; every reader and writer owns its buffers. */
#ifndef Z9_TAPE_CODEC_H
#define Z9_TAPE_CODEC_H

#include <cstddef>
#include <cstdint>

enum class Codec { none, gzip, zstd, xz, bzip2 };

/* "none", "gzip", "zstd", "xz" or "bzip2". */
const char *codec_name(Codec c);
/* Case-insensitive codec name to codec; false (and *out untouched) for anything else. */
bool codec_from_name(const char *text, Codec *out);
/* The codec whose signature starts p[0..n) when its decoder accepts what follows:
 * none when the decoder reports a data error before it produces a byte. Running out
 * of the n bytes is no error, so n may be any prefix of the archive. */
Codec codec_sniff(const unsigned char *p, size_t n);

/* ---- reading: decompressed bytes out of a descriptor ---- */
struct CodecReader;
/* A reader over fd whose stream starts with head[0..nhead), bytes the caller already
 * read from fd. Null when c is none or memory runs out. Never closes fd. */
CodecReader *codec_reader_open(Codec c, int fd, const unsigned char *head, size_t nhead);
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
 * cannot be set up. Never closes fd. */
CodecWriter *codec_writer_open(Codec c, int fd);
/* Compresses buf[0..len); false on a codec error or a failed or short write to fd,
 * and false from then on. */
bool codec_write(CodecWriter *w, const void *buf, size_t len);
/* Ends the stream and writes out everything still held; false as codec_write. */
bool codec_finish(CodecWriter *w);
void codec_writer_close(CodecWriter *w);

/* The reason, in zlib's words, for an ISA-L inflate return code. */
const char *isal_reason(int rc);

/* ---- gzip: decoding from places inside the stream ---- */
struct GzPoints;   /* places to start decoding from, about one a megabyte */
struct GzReader;
GzPoints *gz_points_new(void);
void gz_points_free(GzPoints *g);
size_t gz_points_bytes(const GzPoints *g);
/* A reader of the gzip archive fd from its start that records points in
 * record as it goes; null when memory runs out. */
GzReader *gz_open_recording(int fd, GzPoints *record);
/* A reader that starts at the last point at or before the output offset
 * out; *from tells that point's offset. Null when none can be had. */
GzReader *gz_open_at(int fd, const GzPoints *g, int64_t out, int64_t *from);
/* As codec_read and codec_error; a member read from its middle is checked
 * against its trailer too, the state at the point holding the sum so far. */
long gz_read(GzReader *r, void *buf, size_t len);
const char *gz_error(const GzReader *r);
void gz_close(GzReader *r);

#endif
