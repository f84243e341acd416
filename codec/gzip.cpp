/* gzip.cpp - gzip: ISA-L's inflate reads it (and lends its whole state as a place to
 * resume from); zlib writes it in the caller's thread; with workers, libdeflate
 * compresses independent blocks that join into one gzip member. Holds no
 * process-wide state; allocates with malloc only. */
#define ZLIB_CONST
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "codec_ops.h"

namespace {

/* ---- reading: ISA-L ---- */

// ISA-L's inflate decodes about twice as fast as zlib's, byte for byte the same;
// its return codes become the reasons zlib users know.
const char *isal_reason(int rc) {
    switch (rc) {
    case ISAL_INVALID_BLOCK: return "invalid block";
    case ISAL_INVALID_SYMBOL: return "invalid code";
    case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
    case ISAL_INVALID_WRAPPER: return "invalid header";
    case ISAL_UNSUPPORTED_METHOD: return "unknown compression method";
    case ISAL_INCORRECT_CHECKSUM: return "incorrect data check";
    case ISAL_NEED_DICT: return "needs a dictionary";
    default: return "corrupt data";
    }
}

inflate_state *isal(const CodecReader *r) { return static_cast<inflate_state *>(r->dec); }

bool isal_start(CodecReader *r) {
    if (!r->dec) r->dec = calloc(1, sizeof(inflate_state));
    if (!r->dec) return false;
    isal_inflate_init(isal(r));
    isal(r)->crc_flag = ISAL_GZIP;  // parse the gzip header; check the trailer's CRC and length
    return true;
}

Step isal_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    inflate_state *s = isal(r);
    s->next_in = r->in + r->pos;
    s->avail_in = static_cast<uint32_t>(least(r->len - r->pos, kSpanMax));
    s->next_out = out;
    s->avail_out = static_cast<uint32_t>(room);
    int rc = isal_inflate(s);
    // At a member's end ISA-L gives back the bytes it had read ahead past the trailer,
    // so pos is exactly where a next member starts.
    r->pos = static_cast<size_t>(s->next_in - r->in);
    *made = static_cast<size_t>(s->next_out - out);
    if (rc != ISAL_DECOMP_OK) return fail_with(r, isal_reason(rc));
    return s->block_state == ISAL_BLOCK_FINISH ? Step::end : Step::more;
}

void isal_release(CodecReader *r) { free(r->dec); }

// ISA-L's state holds all a stream needs to go on: its unread bits, its code tables,
// the 32 KiB of history and the sums so far; it holds no pointer that outlives a step.
const void *isal_state(const CodecReader *r, size_t *len) {
    *len = sizeof(inflate_state);
    return r->dec;
}

bool isal_resume(CodecReader *r, const void *state, size_t len) {
    if (len != sizeof(inflate_state)) return false;
    memcpy(r->dec, state, len);
    return true;
}

/* ---- writing in the caller's thread: zlib ---- */

constexpr int kLevel = 6;

z_stream *zs(const CodecWriter *w) { return static_cast<z_stream *>(w->enc); }

// Window bits 15 + 16: zlib wraps the deflate data in a gzip header and trailer.
bool gz_start(CodecWriter *w, int) {
    auto *z = static_cast<z_stream *>(calloc(1, sizeof(z_stream)));
    if (!z) return false;
    if (deflateInit2(z, kLevel, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        free(z);
        return false;
    }
    w->enc = z;
    return true;
}

Put gz_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    // Z_BUF_ERROR only says nothing could move; the writer decides whether that is a fault.
    int rc = pump(w, *zs(w), in, n, [&] { return deflate(zs(w), finish ? Z_FINISH : Z_NO_FLUSH); });
    if (rc == Z_STREAM_END) return Put::end;
    return rc == Z_OK || rc == Z_BUF_ERROR ? Put::more : Put::fail;
}

void gz_release(CodecWriter *w) {
    if (!w->enc) return;
    deflateEnd(zs(w));
    free(w->enc);
}

/* ---- writing with workers: libdeflate, one block each ---- */

// libdeflate compresses about 1.5 times as fast as zlib at the same level (1.25
// times with the search for the last block below), and a block of 1 MiB without
// the 32 KiB before it as a dictionary still comes out 2 per cent smaller than
// zlib's whole stream. It only writes whole deflate streams: the last
// deflate block of each piece says "final", so a worker finds that block (zlib's
// inflate stops at each block's end and says where in the bits it stands), clears
// the flag, and ends the piece with an empty stored block, as a sync flush would,
// so the next piece starts on a byte.
constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr unsigned char kGzipHead[] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};   // no name, no time, Unix
constexpr unsigned char kStoredEmpty[] = {0, 0, 0xff, 0xff};   // LEN 0 and its complement
constexpr int kHeaderBits = 3;   // a deflate block's header: the final flag and two type bits

struct GzWorker {
    libdeflate_compressor *deflater;
    z_stream inflater;            // only finds where the blocks lie; what it makes goes to scratch
    bool inflater_live;
    unsigned char *scratch;
};

void *gz_worker_new() {
    auto *g = static_cast<GzWorker *>(calloc(1, sizeof(GzWorker)));
    if (!g) return nullptr;
    g->deflater = libdeflate_alloc_compressor(kLevel);
    g->inflater_live = inflateInit2(&g->inflater, -15) == Z_OK;
    g->scratch = static_cast<unsigned char *>(malloc(kBlockBytes));
    if (g->deflater && g->inflater_live && g->scratch) return g;
    free(g->scratch);
    if (g->inflater_live) inflateEnd(&g->inflater);
    libdeflate_free_compressor(g->deflater);
    free(g);
    return nullptr;
}

void gz_worker_free(void *worker) {
    auto *g = static_cast<GzWorker *>(worker);
    free(g->scratch);
    inflateEnd(&g->inflater);
    libdeflate_free_compressor(g->deflater);
    free(g);
}

size_t gz_bound(size_t len) { return libdeflate_deflate_compress_bound(nullptr, len) + 1 + sizeof kStoredEmpty; }

// Where the last deflate block of out[0..n) starts (in bits) and how many bits of
// its last byte are unused; false when zlib does not read it as one whole stream.
bool last_block(GzWorker *g, const unsigned char *out, size_t n, size_t *header, int *unused) {
    z_stream *z = &g->inflater;
    inflateReset(z);
    z->next_in = out;
    z->avail_in = static_cast<uInt>(n);
    *header = 0;
    *unused = -1;
    for (;;) {
        z->next_out = g->scratch;
        z->avail_out = static_cast<uInt>(kBlockBytes);
        int rc = inflate(z, Z_BLOCK);
        if (rc == Z_STREAM_END) return z->avail_in == 0 && *unused >= 0;
        if (rc != Z_OK) return false;
        // Stopped at a block's end (128) with its bits left unused in the byte: after
        // the last block (64) that is the piece's end, else the next block's header.
        int bits = z->data_type & 7;
        if (!(z->data_type & 128)) continue;
        if (z->data_type & 64) *unused = bits;
        else *header = (n - z->avail_in) * 8 - static_cast<size_t>(bits);
    }
}

bool gz_compress(void *worker, Block *b) {
    auto *g = static_cast<GzWorker *>(worker);
    b->crc = libdeflate_crc32(0, b->in, b->len);
    b->out_len = libdeflate_deflate_compress(g->deflater, b->in, b->len, b->out, gz_bound(b->len));
    if (b->out_len == 0) return false;
    if (b->last) return true;
    size_t header;
    int unused;
    if (!last_block(g, b->out, b->out_len, &header, &unused)) return false;
    b->out[header / 8] &= static_cast<unsigned char>(~(1u << (header % 8)));
    // The stored block's header goes into the unused bits (zero) when they hold it,
    // else into one more zero byte; it is then padded to the byte.
    if (unused < kHeaderBits) b->out[b->out_len++] = 0;
    memcpy(b->out + b->out_len, kStoredEmpty, sizeof kStoredEmpty);
    b->out_len += sizeof kStoredEmpty;
    return true;
}

size_t gz_head(unsigned char *out) {
    memcpy(out, kGzipHead, sizeof kGzipHead);
    return sizeof kGzipHead;
}

// The trailer: the CRC-32 of all the data and its length modulo 2^32, little-endian.
size_t gz_tail(uint32_t crc, uint64_t total, unsigned char *out) {
    for (int i = 0; i < 4; i++) {
        out[i] = static_cast<unsigned char>(crc >> (8 * i));
        out[4 + i] = static_cast<unsigned char>(total >> (8 * i));
    }
    return 8;
}

uint32_t gz_combine(uint32_t crc, uint32_t next, size_t next_len) {
    return static_cast<uint32_t>(crc32_combine(crc, next, static_cast<z_off_t>(next_len)));
}

const BlockCodec kGzipBlocks = {.block = kBlockBytes, .bound = gz_bound,
                                .worker_new = gz_worker_new, .worker_free = gz_worker_free,
                                .compress = gz_compress, .head = gz_head, .tail = gz_tail,
                                .combine = gz_combine};

}  // namespace

const DecoderOps kGzipDecoder = {.start = isal_start, .step = isal_step, .release = isal_release,
                                 .state = isal_state, .resume = isal_resume};
const EncoderOps kGzipEncoder = {.start = gz_start, .put = gz_put, .release = gz_release,
                                 .blocks = &kGzipBlocks};
