// sandbox.h - the fuzz programs' scratch directory.
#ifndef Z9_FUZZ_SANDBOX_H
#define Z9_FUZZ_SANDBOX_H
void z9fuzz_enter_scratch();   // a fresh directory is the working one (once per process)
void z9fuzz_clear_scratch();   // removes everything below the working directory
#endif
