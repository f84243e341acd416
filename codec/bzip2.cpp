/* bzip2.cpp - bzip2: libbz2 reads it and writes it; with workers, each piece of
 * 900 kB becomes a bzip2 stream of its own, and the pieces follow one another as
 * the streams of one multi-stream file. Holds no process-wide state. */
#include <bzlib.h>

#include <cstdlib>
#include <cstring>

#include "codec_ops.h"

namespace {

constexpr int kBlockSize100k = 9;   // 900 kB blocks, as the bzip2 tool writes by default

struct Bz {
    bz_stream s;
    bool live;   // s holds a coder that libbz2 must release
};

Bz *bz(const CodecReader *r) { return static_cast<Bz *>(r->dec); }

// libbz2 cannot restart a decoder, so every stream gets a fresh one.
bool bz_start(CodecReader *r) {
    if (!r->dec) r->dec = calloc(1, sizeof(Bz));
    if (!r->dec) return false;
    Bz *b = bz(r);
    if (b->live) BZ2_bzDecompressEnd(&b->s);
    memset(&b->s, 0, sizeof b->s);
    b->live = BZ2_bzDecompressInit(&b->s, 0, 0) == BZ_OK;
    return b->live;
}

Step bz_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    bz_stream &s = bz(r)->s;
    int rc = decode(r, s, out, room, made, [&] { return BZ2_bzDecompress(&s); });
    if (rc == BZ_STREAM_END) return Step::end;
    if (rc == BZ_OK) return Step::more;
    if (rc == BZ_MEM_ERROR) return fail_with(r, "out of memory");
    // libbz2 tells a failed block CRC from broken structure by no code of its own.
    return fail_with(r, rc == BZ_DATA_ERROR_MAGIC ? "bad signature" : "corrupt data");
}

void bz_release(CodecReader *r) {
    if (r->dec && bz(r)->live) BZ2_bzDecompressEnd(&bz(r)->s);
    free(r->dec);
}

Bz *bzw(const CodecWriter *w) { return static_cast<Bz *>(w->enc); }

bool bz_wstart(CodecWriter *w, int) {
    w->enc = calloc(1, sizeof(Bz));
    if (!w->enc) return false;
    bzw(w)->live = BZ2_bzCompressInit(&bzw(w)->s, kBlockSize100k, 0, 0) == BZ_OK;
    return bzw(w)->live;
}

Put bz_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    bz_stream &s = bzw(w)->s;
    int rc = pump(w, s, in, n, [&] { return BZ2_bzCompress(&s, finish ? BZ_FINISH : BZ_RUN); });
    if (rc == BZ_STREAM_END) return Put::end;
    return rc == BZ_RUN_OK || rc == BZ_FINISH_OK ? Put::more : Put::fail;
}

void bz_wrelease(CodecWriter *w) {
    if (w->enc && bzw(w)->live) BZ2_bzCompressEnd(&bzw(w)->s);
    free(w->enc);
}

/* ---- with workers: a stream per piece ---- */

// One piece is exactly one bzip2 block, so the streams cost only their few bytes of
// head and end over the one stream the tool writes.
constexpr size_t kPieceBytes = 100000 * kBlockSize100k;

// libbz2's own bound for a buffer's compressed size: 1 per cent and 600 bytes more.
size_t bz_bound(size_t len) { return len + len / 100 + 600; }

/* A worker's memory for its coders. libbz2 allocates some 7.6 MB for every
 * stream; fresh from malloc that is fresh pages, and a process faulting in 8 MB
 * a piece spends more time in the kernel than the second worker saves. The
 * worker keeps what one coder asked for and hands it to the next. */
constexpr int kKeptAreas = 4;   // libbz2 asks for three areas and its state

struct BzMemory {
    void *area[kKeptAreas];
    size_t size[kKeptAreas];
    bool used[kKeptAreas];
};

void *bz_area(void *opaque, int items, int size) {
    auto *m = static_cast<BzMemory *>(opaque);
    size_t want = static_cast<size_t>(items) * static_cast<size_t>(size);
    int spare = -1;
    for (int i = 0; i < kKeptAreas; i++) {
        if (m->used[i]) continue;
        if (m->area[i] && m->size[i] == want) {
            m->used[i] = true;
            return m->area[i];
        }
        if (!m->area[i] && spare < 0) spare = i;
    }
    void *p = malloc(want);
    if (p && spare >= 0) {
        m->area[spare] = p;
        m->size[spare] = want;
        m->used[spare] = true;
    }
    return p;
}

void bz_area_free(void *opaque, void *p) {
    auto *m = static_cast<BzMemory *>(opaque);
    for (int i = 0; i < kKeptAreas; i++)
        if (m->area[i] == p) {
            m->used[i] = false;
            return;
        }
    free(p);
}

void *bz_worker_new() { return calloc(1, sizeof(BzMemory)); }

void bz_worker_free(void *worker) {
    auto *m = static_cast<BzMemory *>(worker);
    for (void *p : m->area) free(p);
    free(m);
}

bool bz_compress(void *worker, Block *b) {
    // An empty last piece adds nothing; an empty stream is written only as the
    // whole of an empty file, as the tool writes it.
    b->out_len = 0;
    if (b->len == 0 && !b->first) return true;
    bz_stream s = {};
    s.bzalloc = bz_area;
    s.bzfree = bz_area_free;
    s.opaque = worker;
    if (BZ2_bzCompressInit(&s, kBlockSize100k, 0, 0) != BZ_OK) return false;
    s.next_in = const_cast<char *>(reinterpret_cast<const char *>(b->in));
    s.avail_in = static_cast<unsigned>(b->len);
    s.next_out = reinterpret_cast<char *>(b->out);
    s.avail_out = static_cast<unsigned>(bz_bound(b->len));
    int rc = BZ2_bzCompress(&s, BZ_FINISH);
    b->out_len = bz_bound(b->len) - s.avail_out;
    BZ2_bzCompressEnd(&s);
    return rc == BZ_STREAM_END;
}

size_t bz_none(unsigned char *) { return 0; }
size_t bz_no_tail(uint32_t, uint64_t, unsigned char *) { return 0; }

const BlockCodec kBzip2Blocks = {.block = kPieceBytes, .bound = bz_bound, .worker_new = bz_worker_new,
                                 .worker_free = bz_worker_free, .compress = bz_compress, .head = bz_none,
                                 .tail = bz_no_tail, .combine = nullptr};

}  // namespace

const DecoderOps kBzip2Decoder = {.start = bz_start, .step = bz_step, .release = bz_release};
const EncoderOps kBzip2Encoder = {.start = bz_wstart, .put = bz_put, .release = bz_wrelease,
                                  .blocks = &kBzip2Blocks};
