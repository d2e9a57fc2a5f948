// Kernel event queues, as far as watching a pipe or socket for its reader's end: kqueue(2)
// and kevent(2), macOS manual page. EVFILT_WRITE "will set EV_EOF when the reader
// disconnects" (pipes, FIFOs and sockets).
#pragma once

#include <stdint.h>
#include <time.h>

#if defined(__cplusplus)
extern "C" {
#endif

struct kevent {
  uintptr_t ident;
  int16_t filter;
  uint16_t flags;
  uint32_t fflags;
  intptr_t data;
  void* udata;
};

#define EVFILT_WRITE (-2)
#define EV_ADD 0x0001
#define EV_CLEAR 0x0020
#define EV_ERROR 0x4000
#define EV_EOF 0x8000

#define EV_SET(kevp, a, b, c, d, e, f) \
  do {                                 \
    struct kevent* __kevp__ = (kevp);  \
    __kevp__->ident = (a);             \
    __kevp__->filter = (b);            \
    __kevp__->flags = (c);             \
    __kevp__->fflags = (d);            \
    __kevp__->data = (e);              \
    __kevp__->udata = (f);             \
  } while (0)

int kqueue(void);
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout);

#if defined(__cplusplus)
}
#endif
