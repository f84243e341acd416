/* pool.cpp - the workers that compress a writer's blocks: the caller cuts what it
 * writes into blocks, worker threads compress them in any order, and the caller
 * writes their outputs to the descriptor in order, keeping at most a few blocks per
 * worker in flight. The threads live from pool_open to pool_close, which joins
 * them on every path. Also how many threads a reader or writer may use. Holds no
 * process-wide state; allocates with malloc only. */
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "codec_ops.h"

namespace {

constexpr size_t kSlotsPerWorker = 2;   // one being compressed, one waiting either side of it

enum class Slot { free, ready, done, failed };

struct Piece {
    Slot state;
    unsigned char *in, *out;
    size_t len, out_len;
    uint32_t crc;
    bool first, last;
};

}  // namespace

struct BlockPool {
    const BlockCodec *bc;
    int fd;
    pthread_mutex_t mu;     // guards the pieces' states, the counts below and stop
    pthread_cond_t work;    // a piece is ready, or the workers are to stop
    pthread_cond_t done;    // a piece is compressed (or failed)
    Piece *pieces;
    size_t count;           // pieces in the ring
    uint64_t filled;        // pieces handed to the workers; the caller fills pieces[filled % count]
    uint64_t taken;         // pieces a worker has taken
    uint64_t written;       // pieces written out, in order
    bool stop;
    bool failed;            // the caller's: a failed piece or write; every later call fails
    uint32_t crc;           // the checks of the pieces written, joined
    uint64_t total;         // their input bytes
    pthread_t *threads;
    int started;            // threads running
    void **states;          // each worker's own, by its number
};

namespace {

struct Start {
    BlockPool *pool;
    int index;
};

void *work(void *arg) {
    BlockPool *p = static_cast<Start *>(arg)->pool;
    void *state = p->states[static_cast<Start *>(arg)->index];
    free(arg);
    pthread_mutex_lock(&p->mu);
    for (;;) {
        while (!p->stop && p->taken == p->filled) pthread_cond_wait(&p->work, &p->mu);
        if (p->stop) break;
        Piece &q = p->pieces[p->taken++ % p->count];
        pthread_mutex_unlock(&p->mu);
        Block b = {q.in, q.len, q.first, q.last, q.out, 0, 0};
        bool ok = p->bc->compress(state, &b);
        pthread_mutex_lock(&p->mu);
        q.out_len = b.out_len;
        q.crc = b.crc;
        q.state = ok ? Slot::done : Slot::failed;
        pthread_cond_signal(&p->done);
    }
    pthread_mutex_unlock(&p->mu);
    return nullptr;
}

// One write of all of buf; a short write is a failure, as for the block layer's records.
bool put_all(int fd, const unsigned char *buf, size_t n) {
    if (n == 0) return true;
    ssize_t put;
    do put = write(fd, buf, n);
    while (put < 0 && errno == EINTR);
    return put == static_cast<ssize_t>(n);
}

// Writes the oldest piece out once it is compressed, waiting for that when wait is
// set. False when it failed or was not ready (without wait).
bool write_next(BlockPool *p, bool wait) {
    Piece &q = p->pieces[p->written % p->count];
    pthread_mutex_lock(&p->mu);
    while (wait && q.state == Slot::ready) pthread_cond_wait(&p->done, &p->mu);
    Slot state = q.state;
    pthread_mutex_unlock(&p->mu);
    if (state != Slot::done) {
        p->failed = p->failed || state == Slot::failed;
        return false;
    }
    unsigned char head[kFrameBytes];
    size_t nhead = q.first ? p->bc->head(head) : 0;
    if (!put_all(p->fd, head, nhead) || !put_all(p->fd, q.out, q.out_len)) {
        p->failed = true;
        return false;
    }
    p->crc = p->bc->combine ? p->bc->combine(p->crc, q.crc, q.len) : 0;
    p->total += q.len;
    q.len = 0;
    q.state = Slot::free;   // only the caller touches a free piece
    p->written++;
    return true;
}

// Hands the piece being filled to the workers, then makes the next one free:
// what is done is written out, and the caller waits when every piece is in flight.
bool submit(BlockPool *p, bool last) {
    Piece &q = p->pieces[p->filled % p->count];
    pthread_mutex_lock(&p->mu);
    q.first = p->filled == 0;
    q.last = last;
    q.state = Slot::ready;
    p->filled++;
    pthread_cond_signal(&p->work);
    pthread_mutex_unlock(&p->mu);
    while (p->written < p->filled && write_next(p, p->written + p->count <= p->filled)) continue;
    return !p->failed;
}

void free_pool(BlockPool *p) {
    for (size_t i = 0; p->pieces && i < p->count; i++) {
        free(p->pieces[i].in);
        free(p->pieces[i].out);
    }
    for (int i = 0; p->states && i < p->started; i++)
        if (p->bc->worker_free) p->bc->worker_free(p->states[i]);
    free(p->pieces);
    free(p->states);
    free(p->threads);
    pthread_cond_destroy(&p->done);
    pthread_cond_destroy(&p->work);
    pthread_mutex_destroy(&p->mu);
    free(p);
}

// Starts a worker with every signal blocked: the host's signals go to its own threads.
bool start_worker(BlockPool *p) {
    auto *s = static_cast<Start *>(malloc(sizeof(Start)));
    void *state = p->bc->worker_new ? p->bc->worker_new() : nullptr;
    if (!s || (p->bc->worker_new && !state)) {
        free(s);
        if (state) p->bc->worker_free(state);
        return false;
    }
    *s = {p, p->started};
    p->states[p->started] = state;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool ok = pthread_create(&p->threads[p->started], nullptr, work, s) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!ok) {
        free(s);
        if (state) p->bc->worker_free(state);
        return false;
    }
    p->started++;
    return true;
}

bool alloc_pieces(BlockPool *p) {
    p->pieces = static_cast<Piece *>(calloc(p->count, sizeof(Piece)));
    if (!p->pieces) return false;
    for (size_t i = 0; i < p->count; i++) {
        p->pieces[i].in = static_cast<unsigned char *>(malloc(p->bc->block));
        p->pieces[i].out = static_cast<unsigned char *>(malloc(p->bc->bound(p->bc->block)));
        if (!p->pieces[i].in || !p->pieces[i].out) return false;
    }
    return true;
}

}  // namespace

BlockPool *pool_open(const BlockCodec *bc, int fd, int workers) {
    auto *p = static_cast<BlockPool *>(calloc(1, sizeof(BlockPool)));
    if (!p) return nullptr;
    p->bc = bc;
    p->fd = fd;
    p->count = kSlotsPerWorker * static_cast<size_t>(workers);
    pthread_mutex_init(&p->mu, nullptr);
    pthread_cond_init(&p->work, nullptr);
    pthread_cond_init(&p->done, nullptr);
    p->threads = static_cast<pthread_t *>(calloc(static_cast<size_t>(workers), sizeof(pthread_t)));
    p->states = static_cast<void **>(calloc(static_cast<size_t>(workers), sizeof(void *)));
    bool ok = p->threads && p->states && alloc_pieces(p);
    while (ok && p->started < workers && start_worker(p)) continue;
    // Fewer threads than asked still do the work; none cannot.
    if (p->started == 0) {
        free_pool(p);
        return nullptr;
    }
    return p;
}

bool pool_write(BlockPool *p, const unsigned char *in, size_t n) {
    while (n > 0 && !p->failed) {
        Piece &q = p->pieces[p->filled % p->count];
        size_t take = least(n, p->bc->block - q.len);
        memcpy(q.in + q.len, in, take);
        q.len += take;
        in += take;
        n -= take;
        if (q.len == p->bc->block) submit(p, false);
    }
    return !p->failed;
}

bool pool_finish(BlockPool *p) {
    if (p->failed || !submit(p, true)) return false;
    while (p->written < p->filled)
        if (!write_next(p, true)) return false;
    unsigned char tail[kFrameBytes];
    if (put_all(p->fd, tail, p->bc->tail(p->crc, p->total, tail))) return true;
    p->failed = true;
    return false;
}

void pool_close(BlockPool *p) {
    if (!p) return;
    pthread_mutex_lock(&p->mu);
    p->stop = true;
    pthread_cond_broadcast(&p->work);
    pthread_mutex_unlock(&p->mu);
    for (int i = 0; i < p->started; i++) pthread_join(p->threads[i], nullptr);
    free_pool(p);
}

int codec_threads(void) {
    const char *env = getenv("Z9TAR_THREADS");
    char *end = nullptr;
    long n = env && *env ? strtol(env, &end, 10) : 0;
    if (end && *end == '\0' && n >= 1) return n < kThreadsMax ? static_cast<int>(n) : kThreadsMax;
    cpu_set_t cpus;
    int have = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    return have < 1 ? 1 : have < kThreadsMax ? have : kThreadsMax;
}
