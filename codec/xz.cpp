/* xz.cpp - xz: liblzma reads it and writes it, with its own worker threads when
 * the reader or writer may have them (blocks decoded in parallel, blocks of the
 * stream compressed in parallel). Holds no process-wide state. */
#include <lzma.h>

#include <cstdint>
#include <cstdlib>

#include "codec_ops.h"

namespace {

constexpr uint32_t kPreset = 6;
// Workers decode blocks side by side as long as their buffers stay within this
// (beyond it liblzma decodes with fewer, at worst in the caller's thread); no
// limit stops decoding, as with one thread.
constexpr uint64_t kDecodeThreadingBytes = uint64_t{512} << 20;
// The blocks the workers compress, from the first round's to the largest (see
// next_block). Measured with two workers on 8 MiB of text: 4 MiB blocks take half
// the time of one block and come out about 2 per cent larger; smaller ones lose
// more (3 MiB: 3 per cent, 1 MiB: 7).
constexpr uint64_t kBlockFirst = uint64_t{4} << 20;
constexpr uint64_t kBlockMax = uint64_t{24} << 20;
// Fewer workers compress when that many would need more memory than this
// (about 170 MiB each at preset 6 with the largest blocks).
constexpr uint64_t kEncodeBytesMax = uint64_t{1} << 30;

const char *xz_reason(lzma_ret rc) {
    switch (rc) {
    case LZMA_DATA_ERROR: return "corrupt data";
    case LZMA_FORMAT_ERROR: return "unknown format";
    case LZMA_OPTIONS_ERROR: return "unsupported options";
    case LZMA_MEM_ERROR: return "out of memory";
    case LZMA_MEMLIMIT_ERROR: return "memory limit reached";
    default: return "decoder error";
    }
}

lzma_stream *xs(const CodecReader *r) { return static_cast<lzma_stream *>(r->dec); }

// One stream per decoder, not LZMA_CONCATENATED: the reader itself decides what may
// follow a stream, the same way for every codec. All zero is liblzma's initial
// state, and lzma_end accepts it.
bool xz_start(CodecReader *r) {
    if (!r->dec) r->dec = calloc(1, sizeof(lzma_stream));
    if (!r->dec) return false;
    if (r->threads <= 1) return lzma_stream_decoder(xs(r), UINT64_MAX, 0) == LZMA_OK;
    lzma_mt mt = {};
    mt.threads = static_cast<uint32_t>(r->threads);
    mt.memlimit_threading = kDecodeThreadingBytes;
    mt.memlimit_stop = UINT64_MAX;
    return lzma_stream_decoder_mt(xs(r), &mt) == LZMA_OK;
}

Step xz_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    lzma_stream *s = xs(r);
    lzma_ret rc = decode(r, *s, out, room, made, [&] { return lzma_code(s, LZMA_RUN); });
    // Right after a call that filled the output, liblzma's workers' decoder does not
    // wait for them when given no input, and may make nothing: the next call waits.
    if (r->threads > 1 && rc == LZMA_OK && *made == 0 && r->pos == r->len)
        rc = decode(r, *s, out, room, made, [&] { return lzma_code(s, LZMA_RUN); });
    if (rc == LZMA_STREAM_END) return Step::end;
    // LZMA_BUF_ERROR only says nothing moved; the reader tells whether input ran out.
    if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) return Step::more;
    return fail_with(r, xz_reason(rc));
}

// Ending the decoder joins its workers.
void xz_release(CodecReader *r) {
    if (r->dec) lzma_end(xs(r));
    free(r->dec);
}

/* The writer's encoder. With workers, the stream is cut into blocks that they
 * compress side by side; the cuts are made here, so that blocks can grow. */
struct XzWriter {
    lzma_stream s;
    bool blocks;       // workers compress blocks that this writer cuts
    uint32_t threads;  // workers liblzma runs
    uint64_t cut;      // blocks cut so far
    uint64_t left;     // input bytes the current block still takes
};

XzWriter *xw(const CodecWriter *w) { return static_cast<XzWriter *>(w->enc); }

// Every block starts the dictionary afresh, which costs some 60 KB of output on text,
// while only blocks side by side keep the workers busy. So the first block of each
// worker is small, and each round of blocks is twice the one before, up to liblzma's
// own choice (3 times the dictionary): 8 MiB of text goes to two workers at once
// (2 per cent larger than one thread makes it), and a large archive ends up as large
// blocks, within about 1 per cent.
uint64_t next_block(const XzWriter *x) {
    uint64_t rounds = x->cut / x->threads;
    uint64_t size = rounds < 8 ? kBlockFirst << rounds : kBlockMax;
    return size < kBlockMax ? size : kBlockMax;
}

// Preset 6 with CRC64, as the xz tool writes by default.
bool xz_wstart(CodecWriter *w, int threads) {
    auto *x = static_cast<XzWriter *>(calloc(1, sizeof(XzWriter)));
    if (!(w->enc = x)) return false;
    if (threads <= 1) return lzma_easy_encoder(&x->s, kPreset, LZMA_CHECK_CRC64) == LZMA_OK;
    lzma_mt mt = {};
    mt.preset = kPreset;
    mt.check = LZMA_CHECK_CRC64;
    mt.block_size = kBlockMax;
    mt.threads = static_cast<uint32_t>(threads);
    while (mt.threads > 1 && lzma_stream_encoder_mt_memusage(&mt) > kEncodeBytesMax) mt.threads--;
    x->blocks = true;
    x->threads = mt.threads;
    x->left = next_block(x);
    return lzma_stream_encoder_mt(&x->s, &mt) == LZMA_OK;
}

Put xz_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    XzWriter *x = xw(w);
    auto step = [&](size_t *give, lzma_action action) {
        return pump(w, x->s, in, give, [&] { return lzma_code(&x->s, action); });
    };
    lzma_ret rc = LZMA_OK;
    // A full block is cut: the barrier ends as soon as liblzma holds all of its
    // input, without waiting for its output; then the next block begins.
    if (x->blocks && !finish && x->left == 0) {
        size_t none = 0;
        if ((rc = step(&none, LZMA_FULL_BARRIER)) != LZMA_STREAM_END) return rc == LZMA_OK ? Put::more : Put::fail;
        x->cut++;
        x->left = next_block(x);
    }
    size_t give = x->blocks && !finish ? least(*n, x->left) : *n, was = give;
    rc = step(&give, finish ? LZMA_FINISH : LZMA_RUN);
    *n -= was - give;
    if (x->blocks) x->left -= least(x->left, was - give);
    if (rc == LZMA_STREAM_END) return Put::end;
    return rc == LZMA_OK || rc == LZMA_BUF_ERROR ? Put::more : Put::fail;
}

void xz_wrelease(CodecWriter *w) {
    if (w->enc) lzma_end(&xw(w)->s);
    free(w->enc);
}

}  // namespace

const DecoderOps kXzDecoder = {.start = xz_start, .step = xz_step, .release = xz_release};
const EncoderOps kXzEncoder = {.start = xz_wstart, .put = xz_put, .release = xz_wrelease};
