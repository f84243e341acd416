// sandbox.h - the fuzz programs' scratch directory.
#ifndef Z9_FUZZ_SANDBOX_H
#define Z9_FUZZ_SANDBOX_H

// Makes a fresh directory under /tmp the working directory (once per process).
void z9fuzz_enter_scratch();
// Removes everything below the working directory.
void z9fuzz_clear_scratch();

#endif
