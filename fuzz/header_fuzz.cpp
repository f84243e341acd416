// header_fuzz.cpp - header decoding: the input's blocks are one record in the
// record buffer, read header by header with every predicate applied (half the
// time under -POSIX), every field parser runs at every offset of the first
// block, and the pax and base-256 decoders on the input itself.
#include <cstdlib>
#include <cstring>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/posix.h"
#include "tar/tar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char message[kMessageSize];
    int blocks = static_cast<int>(size / kBlockSize);
    if (blocks == 0 || blocks > kMaxBlocks || !(io_buf = io_2nd = getbuf(kRecordBytes))) return 0;
    // The archive descriptor is closed: asking for more fails as a truncated archive does.
    memcpy(io_buf, data, blocks * kBlockSize);
    mszErrMsg = message;
    handle = hwrite = -1;
    nblock = cblock = nread = blocks;
    rblock = nskipped = 0;
    perm_flag = uid_flag = gid_flag = size & 1;
    posix_flag = (size & 4) != 0;   // the modern dialect for half the inputs
    short count;
    int64_t total;
    for (int guard = 0; guard < 64 && gethead(size & 2) == 1; guard++) {
        (void)isextent(&count, &total);
        (void)ismagic();
        if (usize() && !skipfile()) break;
    }
    for (hblock = io_buf; hblock < io_buf + kBlockSize; hblock++) {
        (void)soctus(hblock, &count);
        (void)soctul(hblock, &total);
        (void)shexul(hblock, &total);
    }
    // The modern dialect's decoders on the same bytes: pax records, base 256.
    PaxAttrs pax;
    const char *why;
    (void)pax_parse({data, size}, &pax, &why);
    for (size_t at = 0; at + 12 <= size && at < kBlockSize; at++)
        (void)base256({data + at, 12}, &total);
    ext_release();
    free(io_buf);
    io_buf = io_2nd = nullptr;
    return 0;
}
