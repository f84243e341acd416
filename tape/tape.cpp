/* STUB: replaced by the block layer. */
#include "tape.h"
extern "C" {
unsigned char *io_buf, *io_2nd;
int handle = -1, hwrite = -1;
char *scratch;
struct stat sa;
int cblock;
unsigned char ndrive;
int nblock, nread, rblock, wblock, rbyte;
int64_t nbytes;
int talign(int64_t) { return 0; }
void printbs(int) {}
int initape(const char *) { return 0; }
int runtape(void) { return 1; }
unsigned char *getbuf(int) { return nullptr; }
int duptape(const char *) { return 0; }
int backtape(void) { return 0; }
int endtape(void) { return 0; }
int readbuf(void) { return 0; }
unsigned char *readtape(void) { return nullptr; }
int readbyte(void) { return -1; }
void bacouple(void) {}
int readarch(int, int64_t) { return 0; }
unsigned char *steptape(void) { return nullptr; }
int writearch(int, uint64_t, const char *) { return 0; }
}
