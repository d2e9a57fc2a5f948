// A GNU extension of glibc that macOS does not have.
// expect: use of undeclared identifier 'pipe2'
#include <fcntl.h>
#include <unistd.h>

int openBoth(int ends[2]) { return pipe2(ends, O_CLOEXEC); }
