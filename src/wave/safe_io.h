// Output that is safe inside a signal handler: whole writes, error lines
// and decimal numbers without stdio or the allocator.  Private to src/wave
// (and to tests of its internals).
#ifndef VDL_SRC_WAVE_SAFE_IO_H
#define VDL_SRC_WAVE_SAFE_IO_H

#include <stddef.h>
#include <stdint.h>

// In a namespace so that C programs linking the library keep common names
// for themselves.
namespace vdlwave {

// Writes all len bytes of buf to fd: a short write is continued, and a
// write that a signal interrupts before any byte is retried.  Returns 1,
// or 0 on a real error with errno set (EIO when the device takes nothing
// without an error).
int WriteBlock(int fd, const void *buf, size_t len);

// Writes the texts joined, as far as 256 bytes, to stderr in one piece, so
// that the line never interleaves with other output; errno is kept.
void WriteErrorLine(const char *const parts[], size_t count);

// Formats value in decimal ("%d") into buf, which holds at least 12
// bytes; returns buf.
char *FormatDecimal(int32_t value, char *buf);

// Prints "write /dev/dsp: <reason>\n" for errno value err on stderr, as
// perror would in the C locale.
void PrintWriteError(int err);

}  // namespace vdlwave

#endif
