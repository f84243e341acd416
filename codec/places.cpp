/* places.cpp - places in a gzip stream to start decoding from, kept for the
 * member index between calls: the codec reader's one decoding loop lends its
 * place after each step, one about every megabyte of output is kept (the
 * decoder's whole state there, compressed), and a reader resumes at the last
 * one before a wanted offset. Holds no process-wide state and decodes nothing. */
#include <zstd.h>

#include <cstdlib>
#include <cstring>

#include "codec.h"

namespace {

constexpr int64_t kSpacing = int64_t{1} << 20;
constexpr size_t kPointBytesMax = size_t{32} << 20;   /* past this, no more points */
constexpr int kPackLevel = 1;                         /* the states compress to some 20 KiB */

/* A point: the decoder as it stood with `out` bytes made and its input taken
 * up to file offset `in`; its state kept compressed, `raw` bytes unpacked. */
struct Point {
    int64_t in, out;
    void *state;
    size_t state_len, raw;
};

}  // namespace

struct GzPoints {
    Point *points;
    size_t count, cap, bytes;
    size_t budget;         /* bytes the points may take, at most kPointBytesMax */
    int64_t next;          /* the output offset the next point waits for */
};

namespace {

bool grow(GzPoints *g) {
    if (g->count < g->cap) return true;
    size_t cap = g->cap ? g->cap * 2 : 64;
    auto *p = static_cast<Point *>(realloc(g->points, cap * sizeof(Point)));
    if (!p) return false;
    g->points = p;
    g->cap = cap;
    return true;
}

}  // namespace

GzPoints *gz_points_new(size_t budget) {
    auto *g = static_cast<GzPoints *>(calloc(1, sizeof(GzPoints)));
    if (g) g->budget = budget < kPointBytesMax ? budget : kPointBytesMax;
    // The stream's start needs no point: a reader starts there by itself.
    if (g) g->next = kSpacing;
    return g;
}

void gz_points_free(GzPoints *g) {
    if (!g) return;
    for (size_t i = 0; i < g->count; i++) free(g->points[i].state);
    free(g->points);
    free(g);
}

size_t gz_points_bytes(const GzPoints *g) { return g ? g->bytes + g->cap * sizeof(Point) : 0; }

/* When memory or the budget runs out the set keeps the points it has, and
 * members past the last are reached by decoding on from it. */
int64_t gz_points_mark(void *ctx, const CodecPlace *place) {
    auto *g = static_cast<GzPoints *>(ctx);
    if (place->out < g->next) return g->next;
    size_t cap = ZSTD_compressBound(place->len);
    void *state = malloc(cap);
    size_t len = state ? ZSTD_compress(state, cap, place->state, place->len, kPackLevel) : 0;
    size_t grown = g->count < g->cap ? 0 : (g->cap ? g->cap : 64) * sizeof(Point);
    if (!state || ZSTD_isError(len) || gz_points_bytes(g) + grown + len > g->budget || !grow(g)) {
        free(state);
        return 0;
    }
    if (void *fit = realloc(state, len)) state = fit;
    g->points[g->count++] = {place->in, place->out, state, len, place->len};
    g->bytes += len;
    g->next = place->out + kSpacing;
    return g->next;
}

CodecReader *gz_points_reader(const GzPoints *g, int fd, int64_t out) {
    CodecPlace start = {0, 0, nullptr, 0};
    size_t i = g->count;
    while (i > 0 && g->points[i - 1].out > out) i--;
    if (i == 0) return codec_reader_resume(Codec::gzip, fd, &start);
    const Point &p = g->points[i - 1];
    void *state = malloc(p.raw);
    if (!state || ZSTD_decompress(state, p.raw, p.state, p.state_len) != p.raw) {
        free(state);
        return nullptr;
    }
    CodecPlace place = {p.in, p.out, state, p.raw};
    CodecReader *r = codec_reader_resume(Codec::gzip, fd, &place);
    free(state);
    return r;
}
