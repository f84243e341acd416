/* zstd.cpp - zstd: libzstd reads it and writes it, with its own worker threads
 * when the writer may have them. Holds no process-wide state. */
#include <zstd.h>
#include <zstd_errors.h>

#include "codec_ops.h"

namespace {

const char *zstd_reason(size_t rc) {
    switch (ZSTD_getErrorCode(rc)) {
    case ZSTD_error_checksum_wrong: return "incorrect data check";
    case ZSTD_error_corruption_detected: return "corrupt data";
    case ZSTD_error_prefix_unknown: return "unknown frame type";
    case ZSTD_error_memory_allocation: return "out of memory";
    case ZSTD_error_frameParameter_windowTooLarge: return "window too large";
    default: return ZSTD_getErrorName(rc);
    }
}

ZSTD_DCtx *dctx(const CodecReader *r) { return static_cast<ZSTD_DCtx *>(r->dec); }

bool zstd_start(CodecReader *r) {
    if (!r->dec) return (r->dec = ZSTD_createDCtx()) != nullptr;
    return !ZSTD_isError(ZSTD_DCtx_reset(dctx(r), ZSTD_reset_session_only));
}

Step zstd_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    ZSTD_inBuffer src = {r->in + r->pos, r->len - r->pos, 0};
    ZSTD_outBuffer dst = {out, room, 0};
    size_t rc = ZSTD_decompressStream(dctx(r), &dst, &src);
    r->pos += src.pos;
    *made = dst.pos;
    if (ZSTD_isError(rc)) return fail_with(r, zstd_reason(rc));
    return rc == 0 ? Step::end : Step::more;  // 0: a frame is decoded and all of it handed out
}

void zstd_release(CodecReader *r) { ZSTD_freeDCtx(dctx(r)); }

// Level 3 with the content checksum, as the zstd tool writes by default; the checksum
// costs about 2 per cent of the time.
constexpr int kZstdLevel = ZSTD_CLEVEL_DEFAULT;

ZSTD_CCtx *cctx(const CodecWriter *w) { return static_cast<ZSTD_CCtx *>(w->enc); }

bool zstd_wstart(CodecWriter *w, int threads) {
    w->enc = ZSTD_createCCtx();
    if (!w->enc || ZSTD_isError(ZSTD_CCtx_setParameter(cctx(w), ZSTD_c_compressionLevel, kZstdLevel)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx(w), ZSTD_c_checksumFlag, 1)))
        return false;
    // Workers compress while the caller reads the next files, as a zstd process
    // beside tar would; one thread alone compresses in the caller's. A library
    // built without threads says no, and compresses in the caller's thread: the
    // same stream, only slower.
    ZSTD_CCtx_setParameter(cctx(w), ZSTD_c_nbWorkers, threads > 1 ? threads : 0);
    return true;
}

Put zstd_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    ZSTD_inBuffer src = {*in, *n, 0};
    ZSTD_outBuffer dst = {w->out + w->used, kOutBytes - w->used, 0};
    size_t rc = ZSTD_compressStream2(cctx(w), &dst, &src, finish ? ZSTD_e_end : ZSTD_e_continue);
    *in += src.pos;
    *n -= src.pos;
    w->used += dst.pos;
    if (ZSTD_isError(rc)) return Put::fail;
    return finish && rc == 0 ? Put::end : Put::more;
}

// Freeing the context joins its workers.
void zstd_wrelease(CodecWriter *w) { ZSTD_freeCCtx(cctx(w)); }

}  // namespace

const DecoderOps kZstdDecoder = {.start = zstd_start, .step = zstd_step, .release = zstd_release};
const EncoderOps kZstdEncoder = {.start = zstd_wstart, .put = zstd_put, .release = zstd_wrelease};
