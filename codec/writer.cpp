/* writer.cpp - one compressed stream to a descriptor: in the caller's thread through
 * the codec's streaming encoder, or, with workers for a codec that cuts its stream
 * into blocks, through the worker pool. Holds no process-wide state; allocates with
 * malloc only and frees all of it, threads joined, on every path. */
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "codec_ops.h"

namespace {

// Indexed by Codec.
const EncoderOps *const kEncoders[] = {nullptr, &kGzipEncoder, &kZstdEncoder, &kXzEncoder, &kBzip2Encoder};

const EncoderOps &encoder(const CodecWriter *w) { return *kEncoders[static_cast<size_t>(w->codec)]; }

// Writes out[0..used) in one write. A short write is a failure, as it is for the block
// layer's records: on a tape it means the end of the medium.
bool drain(CodecWriter *w) {
    if (w->used == 0) return true;
    ssize_t put;
    do put = write(w->fd, w->out, w->used);
    while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(w->used)) return false;
    w->used = 0;
    return true;
}

// Runs the encoder until it has taken all of in[0..n) and holds no output back for want
// of room (with finish: until the stream's end is written), writing out each full buffer.
bool stream(CodecWriter *w, const unsigned char *in, size_t n, bool finish) {
    const EncoderOps &ops = encoder(w);
    for (;;) {
        if (w->used == kOutBytes && !drain(w)) return false;
        size_t was_n = n, was_used = w->used;
        Put put = ops.put(w, &in, &n, finish);
        if (put == Put::fail) return false;
        if (put == Put::end) return drain(w);
        if (!finish && n == 0 && w->used < kOutBytes) return true;
        if (n == was_n && w->used == was_used) return false;  // room and nothing moved: never ends
    }
}

bool write_or_finish(CodecWriter *w, const unsigned char *in, size_t n, bool finish) {
    if (!w || w->failed || w->finished) return false;
    bool ok = w->pool ? (finish ? pool_finish(w->pool) : pool_write(w->pool, in, n)) : stream(w, in, n, finish);
    w->failed = !ok;
    w->finished = ok && finish;
    return ok;
}

}  // namespace

CodecWriter *codec_writer_open(Codec c, int fd, int threads) {
    if (c <= Codec::none || c > Codec::bzip2) return nullptr;
    auto *w = static_cast<CodecWriter *>(calloc(1, sizeof(CodecWriter)));
    if (!w) return nullptr;
    w->codec = c;
    w->fd = fd;
    const EncoderOps &ops = encoder(w);
    // A pool that cannot be had (no memory, no thread) leaves the caller's thread to
    // do it all: the same data, in the stream one thread writes.
    if (threads > 1 && ops.blocks && (w->pool = pool_open(ops.blocks, fd, threads)) != nullptr) return w;
    w->out = static_cast<unsigned char *>(malloc(kOutBytes));
    if (!w->out || !ops.start(w, ops.blocks ? 1 : threads)) {
        codec_writer_close(w);
        return nullptr;
    }
    return w;
}

bool codec_write(CodecWriter *w, const void *buf, size_t len) {
    if (len == 0) return w && !w->failed && !w->finished;
    if (!buf) return false;
    return write_or_finish(w, static_cast<const unsigned char *>(buf), len, false);
}

bool codec_finish(CodecWriter *w) { return write_or_finish(w, nullptr, 0, true); }

void codec_writer_close(CodecWriter *w) {
    if (!w) return;
    pool_close(w->pool);
    if (w->out) encoder(w).release(w);
    free(w->out);
    free(w);
}
