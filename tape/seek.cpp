/* seek.cpp - places in a gzip stream to start decoding from: a reader that
 * records one about every megabyte of output as it goes (the decoder's whole
 * state there, which holds its unread bits, its code tables and the 32 KiB of
 * history, and where its input stood), and a reader that starts at one of them.
 * The points belong to the member index, which keeps them between calls. */
#include <isa-l/igzip_lib.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "codec.h"

namespace {

constexpr int64_t kSpacing = int64_t{1} << 20;
constexpr size_t kInBytes = 256 * 1024;
constexpr size_t kPointBytesMax = size_t{32} << 20;   /* past this, no more points */

/* A point: the decoder as it stood with `out` bytes made and the input taken
 * up to file offset `in`; kept compressed (some 20 KiB). */
struct Point {
    int64_t in, out;
    void *state;
    size_t state_len;
};

}  // namespace

struct GzPoints {
    Point *points = nullptr;
    size_t count = 0, cap = 0, bytes = 0;
};

struct GzReader {
    int fd;
    inflate_state s;
    unsigned char in[kInBytes];
    int64_t in_at;                  /* file offset of in[0] */
    bool eof, ended, failed;
    const char *why;
    GzPoints *record;               /* filled as it goes; none when resuming */
    ZSTD_CCtx *pack;                /* compresses the recorded states */
    int64_t next_point;             /* output offset the next point waits for */
    int64_t out;                    /* output so far, from the stream's start */
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

/* A point here; when memory or the budget runs out the index keeps the points
 * it has, and members past the last are reached by decoding on from it. */
void add_point(GzReader *r) {
    GzPoints *g = r->record;
    size_t cap = ZSTD_compressBound(sizeof r->s);
    void *state = malloc(cap);
    size_t len = state ? ZSTD_compressCCtx(r->pack, state, cap, &r->s, sizeof r->s, 1) : 0;
    if (!state || ZSTD_isError(len) || g->bytes + len > kPointBytesMax || !grow(g)) {
        free(state);
        r->record = nullptr;
        return;
    }
    if (void *fit = realloc(state, len)) state = fit;
    int64_t in = r->in_at + static_cast<int64_t>(r->s.next_in - r->in);
    g->points[g->count++] = {in, r->out, state, len};
    g->bytes += sizeof(Point) + len;
    r->next_point = r->out + kSpacing;
}

bool fill(GzReader *r) {
    if (r->s.avail_in > 0 || r->eof) return true;
    r->in_at += static_cast<int64_t>(r->s.next_in - r->in);
    ssize_t got;
    while ((got = read(r->fd, r->in, sizeof r->in)) < 0 && errno == EINTR) continue;
    if (got < 0) {
        r->why = "read error";
        return false;
    }
    r->eof = got == 0;
    r->s.next_in = r->in;
    r->s.avail_in = static_cast<uint32_t>(got);
    return true;
}

/* After a member: zero padding is passed, another member goes on, anything
 * else ends the data as the codec reader ends it. */
bool next_member(GzReader *r) {
    for (;;) {
        if (!fill(r)) return false;
        while (r->s.avail_in > 0 && *r->s.next_in == 0) r->s.next_in++, r->s.avail_in--;
        if (r->s.avail_in > 0 || r->eof) break;
    }
    if (r->s.avail_in == 0 || *r->s.next_in != 0x1f) {
        r->ended = true;
        return true;
    }
    isal_inflate_reset(&r->s);
    r->s.crc_flag = ISAL_GZIP;
    return true;
}

GzReader *open_reader(int fd, int64_t at) {
    auto *r = static_cast<GzReader *>(calloc(1, sizeof(GzReader)));
    if (!r) return nullptr;
    r->fd = fd;
    r->why = "";
    r->in_at = at;
    r->s.next_in = r->in;
    if (lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) {
        free(r);
        return nullptr;
    }
    return r;
}

}  // namespace

GzPoints *gz_points_new(void) { return static_cast<GzPoints *>(calloc(1, sizeof(GzPoints))); }

void gz_points_free(GzPoints *g) {
    if (!g) return;
    for (size_t i = 0; i < g->count; i++) free(g->points[i].state);
    free(g->points);
    free(g);
}

size_t gz_points_bytes(const GzPoints *g) { return g ? g->bytes : 0; }

GzReader *gz_open_recording(int fd, GzPoints *record) {
    GzReader *r = open_reader(fd, 0);
    if (!r) return nullptr;
    isal_inflate_init(&r->s);   // which clears the input place too
    r->s.next_in = r->in;
    r->s.crc_flag = ISAL_GZIP;
    r->record = record;
    r->pack = ZSTD_createCCtx();
    if (!r->pack) {
        gz_close(r);
        return nullptr;
    }
    add_point(r);
    return r;
}

GzReader *gz_open_at(int fd, const GzPoints *g, int64_t out, int64_t *from) {
    size_t i = 0;
    while (i + 1 < g->count && g->points[i + 1].out <= out) i++;
    if (g->count == 0 || g->points[i].out > out) return nullptr;
    const Point &p = g->points[i];
    GzReader *r = open_reader(fd, p.in);
    if (!r) return nullptr;
    // The state's own input and output places are set before every step.
    if (ZSTD_decompress(&r->s, sizeof r->s, p.state, p.state_len) != sizeof r->s) {
        gz_close(r);
        return nullptr;
    }
    r->s.next_in = r->in;
    r->s.avail_in = 0;
    r->out = p.out;
    *from = p.out;
    return r;
}

long gz_read(GzReader *r, void *buf, size_t len) {
    if (r->failed) return -1;
    auto *out = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < len && !r->ended) {
        if (!fill(r)) break;
        // Recording stops at the next point's offset, to take the state there.
        size_t room = len - done;
        if (r->record && r->next_point > r->out && static_cast<uint64_t>(r->next_point - r->out) < room)
            room = static_cast<size_t>(r->next_point - r->out);
        uint32_t had = r->s.avail_in;
        r->s.next_out = out + done;
        r->s.avail_out = static_cast<uint32_t>(room);
        int rc = isal_inflate(&r->s);
        size_t made = room - r->s.avail_out;
        r->out += static_cast<int64_t>(made);
        done += made;
        if (rc != ISAL_DECOMP_OK) {
            r->why = isal_reason(rc);
            break;
        }
        if (r->s.block_state == ISAL_BLOCK_FINISH) {
            if (!next_member(r)) break;
            continue;
        }
        // Nothing taken and nothing made: cut short, or input it cannot use.
        if (made == 0 && r->s.avail_in == had) {
            r->why = had == 0 ? "unexpected end of data" : "corrupt data";
            break;
        }
        if (r->record && r->out >= r->next_point) add_point(r);
    }
    if (done < len && !r->ended) {
            r->failed = true;
        return -1;
    }
    return static_cast<long>(done);
}

const char *gz_error(const GzReader *r) { return r->why; }

void gz_close(GzReader *r) {
    if (!r) return;
    ZSTD_freeCCtx(r->pack);
    free(r);
}
