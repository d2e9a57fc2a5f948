// Not an Apple interface: glibc's <stdlib.h> in the type-check, plus what Darwin's has and
// glibc shows only to GNU builds: mkostemp(3), on macOS since 10.12.
#include_next <stdlib.h>

#ifndef GLIBC_AS_DARWIN_STDLIB_H
#define GLIBC_AS_DARWIN_STDLIB_H
#if defined(__cplusplus)
extern "C" {
#endif
int mkostemp(char* path, int oflags);
#if defined(__cplusplus)
}
#endif
#endif
