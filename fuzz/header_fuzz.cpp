// header_fuzz.cpp - header decoding: the bytes become the records of an
// archive held in the record buffer, read header by header with every
// predicate applied, and every field parser is run at every offset.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char message[kMessageSize];
    mszErrMsg = message;
    size_t blocks = size / kBlockSize;
    if (blocks == 0 || blocks > kMaxBlocks) return 0;
    io_buf = io_2nd = getbuf(kRecordBytes);
    if (!io_buf) return 0;
    memcpy(io_buf, data, blocks * kBlockSize);
    // The whole input is the first record; the archive descriptor is closed,
    // so asking for more fails as a truncated archive does.
    handle = hwrite = -1;
    nblock = cblock = nread = static_cast<int>(blocks);
    rblock = 0;
    perm_flag = uid_flag = gid_flag = static_cast<unsigned char>(size & 1);
    short count;
    int64_t total, value;
    short small;
    for (int guard = 0; guard < 64 && gethead(static_cast<int>(size & 2)) == 1; guard++) {
        (void)isextent(&count, &total);
        (void)ismagic();
        (void)prefix();
        if (usize() && !skipfile()) break;
    }
    const unsigned char *block = io_buf;
    hblock = io_buf;
    for (int off = 0; off < kBlockSize; off++) {
        (void)soctus(block + off, &small);
        (void)soctul(block + off, &value);
        (void)shexul(block + off, &value);
        (void)isoctal(block + off, kBlockSize - off < 12 ? kBlockSize - off : 12);
    }
    (void)headsum(block);
    free(io_buf);
    io_buf = io_2nd = nullptr;
    nskipped = 0;
    return 0;
}
