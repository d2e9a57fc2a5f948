// The executable path of a process. libproc has no reference page of its own: this is the
// interface as the SDK's libproc.h states it (opensource.apple.com, Libc darwin/libproc.h):
// the path's length, or 0 with errno set; a buffer of PROC_PIDPATHINFO_MAXSIZE always fits.
#pragma once

#include <os/availability.h>
#include <stdint.h>

#if defined(__cplusplus)
extern "C" {
#endif

#define PROC_PIDPATHINFO_MAXSIZE (4 * 1024)
int proc_pidpath(int pid, void* buffer, uint32_t buffersize) API_AVAILABLE(macos(10.5));

#if defined(__cplusplus)
}
#endif
