/* codec_ops.h - what the files of the codec folder share and nobody else sees: the
 * reader and writer records, the rows each codec's file fills (its decoder, its
 * encoder, and how its blocks are compressed by workers), and the worker pool that
 * compresses blocks for the writer. Holds no process-wide state. */
#ifndef Z9_CODEC_OPS_H
#define Z9_CODEC_OPS_H

#include <cstddef>
#include <cstdint>

#include "codec.h"

// The codecs count in 32 bits, so no single call gets a longer span than this.
constexpr size_t kSpanMax = size_t{1} << 30;
constexpr size_t kOutBytes = 256 * 1024;   // compressed bytes the writer gathers per write

inline size_t least(size_t a, size_t b) { return a < b ? a : b; }

enum class Step { more, end, fail };
enum class Put { more, end, fail };

/* ---- reading ---- */

struct CodecReader {
    Codec codec;
    int fd;                // -1 when sniffing: the head is all the input there is
    int threads;           // workers a decoder may use (xz), 1 for none
    unsigned char *in;     // compressed input; in[pos..len) not yet taken by the codec
    size_t cap, pos, len;  // size of in, and the span above
    bool eof;              // the descriptor reported its end (or there is none)
    bool file;             // the descriptor is a regular file, whose reads never wait
    bool between;          // a stream ended: padding, a next stream or the end follow
    int state;             // 0 reading, 1 ended cleanly, -1 failed
    bool cut;              // failed because the input ended inside a stream
    uint64_t made;         // decompressed bytes so far, including a failing call's
    int64_t in_at;         // the descriptor's offset of in[0]
    CodecMark mark;        // given the place where made reaches mark_at, or none
    void *mark_ctx;
    int64_t mark_at;
    const char *why;       // the failure's reason, "" until one
    void *dec;             // the codec's decoder, made by its start, freed by its release
};

inline Step fail_with(CodecReader *r, const char *why) {
    r->why = why;
    return Step::fail;
}

// Each decoder: start makes it ready for a stream's first byte (false when out of
// memory); step decodes from in[pos..len) into out[0..room), moving pos on and
// telling how many bytes it made; release frees what start took. A decoder whose
// whole state is plain bytes can also lend them (state) and take them back (resume).
struct DecoderOps {
    bool (*start)(CodecReader *r);
    Step (*step)(CodecReader *r, unsigned char *out, size_t room, size_t *made);
    void (*release)(CodecReader *r);
    const void *(*state)(const CodecReader *r, size_t *len) = nullptr;
    bool (*resume)(CodecReader *r, const void *state, size_t len) = nullptr;
};

/* liblzma and libbz2 decoders have the same shape: point one at the input
 * not yet taken and at the output, run one step, see how far both moved. */
template <typename Stream, typename Run>
auto decode(CodecReader *r, Stream &s, unsigned char *out, size_t room, size_t *made, Run run) {
    unsigned char *from = r->in + r->pos;
    s.next_in = reinterpret_cast<decltype(s.next_in)>(from);
    s.avail_in = static_cast<decltype(s.avail_in)>(least(r->len - r->pos, kSpanMax));
    s.next_out = reinterpret_cast<decltype(s.next_out)>(out);
    s.avail_out = static_cast<decltype(s.avail_out)>(room);
    auto rc = run();
    r->pos += static_cast<size_t>(reinterpret_cast<const unsigned char *>(s.next_in) - from);
    *made = static_cast<size_t>(reinterpret_cast<unsigned char *>(s.next_out) - out);
    return rc;
}

/* ---- writing ---- */

struct BlockPool;

struct CodecWriter {
    Codec codec;
    int fd;
    unsigned char *out;  // compressed bytes waiting for the descriptor: out[0..used)
    size_t used;
    bool failed;         // a codec error or a failed write; every later call fails
    bool finished;       // the stream's end is written
    void *enc;           // the codec's encoder, made by its start, freed by its release
    BlockPool *pool;     // the workers that compress blocks, when the codec has blocks
};

// Each encoder: start sets it up at the codec's default level, with threads workers
// of the codec library's own where it has them (1: none); put takes what it can of
// in[0..*n) (moving in and n on) into out[used..kOutBytes); with finish (and no input)
// it ends the stream and says end once all of it is in out.
struct BlockCodec;
struct EncoderOps {
    bool (*start)(CodecWriter *w, int threads);
    Put (*put)(CodecWriter *w, const unsigned char **in, size_t *n, bool finish);
    void (*release)(CodecWriter *w);
    const BlockCodec *blocks = nullptr;   // with more than one thread: the pool's way instead
};

/* zlib, libbz2 and liblzma encoders have the same shape: point one at the
 * input and at the free output, run one step, see how far both moved. */
template <typename Stream, typename Run>
auto pump(CodecWriter *w, Stream &s, const unsigned char **in, size_t *n, Run run) {
    size_t give = least(*n, kSpanMax);
    s.next_in = reinterpret_cast<decltype(s.next_in)>(const_cast<unsigned char *>(*in));
    s.avail_in = static_cast<decltype(s.avail_in)>(give);
    s.next_out = reinterpret_cast<decltype(s.next_out)>(w->out + w->used);
    s.avail_out = static_cast<decltype(s.avail_out)>(kOutBytes - w->used);
    auto rc = run();
    *in += give - s.avail_in;
    *n -= give - s.avail_in;
    w->used = kOutBytes - s.avail_out;
    return rc;
}

/* ---- blocks compressed by workers (pool.cpp) ---- */

/* One block of the stream: its bytes, and what a worker makes of them. */
struct Block {
    const unsigned char *in;       // the block's bytes, in[0..len)
    size_t len;
    bool first, last;              // the stream's first and last block (the last possibly empty)
    unsigned char *out;            // room for bound(len) bytes; out[0..out_len) is made
    size_t out_len;
    uint32_t crc;                  // the block's check, when the codec keeps one
};

/* How a codec's stream is cut into blocks that workers compress one each, in any
 * order, and the writer joins in order: head, the blocks' outputs, tail. */
struct BlockCodec {
    size_t block;      // input bytes per block
    size_t (*bound)(size_t len);   // output room a block of len bytes may need
    void *(*worker_new)(void);     // a worker's own state (null: out of memory), or none
    void (*worker_free)(void *worker);
    bool (*compress)(void *worker, Block *b);
    // The stream's head and tail, each at most kFrameBytes; the tail is given the
    // blocks' checks joined (combine, when the codec keeps one) and the input's length.
    size_t (*head)(unsigned char *out);
    size_t (*tail)(uint32_t crc, uint64_t total, unsigned char *out);
    uint32_t (*combine)(uint32_t crc, uint32_t next, size_t next_len);
};
constexpr size_t kFrameBytes = 32;

/* workers threads compressing bc's blocks of what the caller writes, for the stream
 * on fd; null when memory or threads run out. Writes happen in the caller's thread:
 * each block's output in one write, in order, as soon as it and those before it are
 * done. false from a write or finish after any failure. */
BlockPool *pool_open(const BlockCodec *bc, int fd, int workers);
bool pool_write(BlockPool *p, const unsigned char *in, size_t n);
bool pool_finish(BlockPool *p);
/* Stops the workers, joins them and frees everything, on every path. */
void pool_close(BlockPool *p);

/* ---- each codec's rows (gzip.cpp, zstd.cpp, xz.cpp, bzip2.cpp) ---- */
extern const DecoderOps kGzipDecoder, kZstdDecoder, kXzDecoder, kBzip2Decoder;
extern const EncoderOps kGzipEncoder, kZstdEncoder, kXzEncoder, kBzip2Encoder;

#endif
