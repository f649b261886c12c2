/*
 * Wave output on an Open Sound System DSP device: device open and close,
 * the canonical 44-byte RIFF/WAVE header, blocking playback, and
 * timer-driven background playback.  Usable from C99 and C++.
 *
 * A WAV stream is an open FILE positioned after the header together with
 * six values, always in this order: playing time in hundredths of a
 * second, stereo flag (channels - 1), channel count, sampling frequency in
 * Hz, bits per sample, data size in bytes.
 *
 * The module holds one device descriptor at a time.  Every device
 * operation uses it without testing it: open the device successfully
 * before any playback, open it once, and close it before opening it again.
 * All messages go to stderr.  Nothing here is thread-safe; make every call
 * from one thread (background playback below says which).
 */
#ifndef VDL_WAVE_H
#define VDL_WAVE_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Opens the DSP device write-only (O_WRONLY, blocking) and holds its
 * descriptor.  The device path is the value of key "DSP" in group "Audio"
 * of "$HOME/.vdlrc".  When that lookup fails the default "/dev/dsp" is
 * used and stored there (creating the file on first use; the store prints
 * why the lookup failed).  Without HOME, "/dev/dsp" is opened and no file
 * is read or written.  A HOME of PATH_MAX characters or more is refused
 * with "Error: Wave - Home directory name too long (...).\n" and treated
 * as unset.
 *
 * Returns the descriptor (>= 0).  From then on SIGINT and SIGTERM end the
 * process: "Terminated...\n" on stderr, interval timer disarmed, queued
 * sound dropped (SNDCTL_DSP_RESET), device closed, exit status 1.  A
 * signal that is ignored (SIG_IGN) at this call stays ignored.  The
 * handlers stay installed after vdlCloseDevice_WaveDSP.  An empty HOME
 * counts as unset.
 * On failure prints "open <path>: <reason>\n" and returns a negative
 * value; no handler is installed.
 */
int32_t vdlOpenDevice_WaveDSP(void);

/* Closes the held device descriptor.  Queued sound is played out first
 * (the driver drains on close).  A background playback still running ends
 * first: playing flag 0, timer disarmed, stream let go (as by
 * vdlEnd_WaveDSP, without its SYNC).  The module then holds no descriptor:
 * no later signal or call reaches a file that gets the same number, and
 * device operations until the next open fail (EBADF). */
void vdlCloseDevice_WaveDSP(void);

/*
 * Opens the WAV file at path and reads its 44-byte header.  Only the
 * canonical layout is accepted: "RIFF", "WAVE", "fmt " with a format
 * chunk of exactly 16 bytes, then "data" at offset 36.  The format tag is
 * not checked.
 *
 * On success stores the six values (playing time, stereo flag, channel
 * count, sampling frequency, bits per sample, data size) and returns the
 * stream, positioned at offset 44; the caller closes it with fclose.
 * The playing time is 0 for a byte rate B <= 0, (size / B) * 100 wrapped
 * to 32 bits for B of 1 to 99, and size / (B / 100) otherwise.
 *
 * On failure returns NULL, writes no output value and prints
 *   "Error: Wave - Can't open file (<path>).\n" or
 *   "Error: Wave - This file is not Linear PCM Wave Format file(<path>).\n"
 */
FILE *vdlOpenFile_WaveDSP(const char *path, int32_t *time, int32_t *stereo,
                          int32_t *channels, int32_t *freq, int32_t *bits,
                          int32_t *size);

/*
 * Plays a WAV stream to its end, blocking.  The device is reset and set
 * up from the given values (SNDCTL_DSP_RESET, _CHANNELS, _STEREO, _SPEED,
 * _SETFMT with bits as the format code, results ignored), the stream is
 * sought to offset 44, and size bytes are written in blocks of 256 (the
 * last one partial), then SNDCTL_DSP_SYNC waits until they have played.
 * A block the device takes only in part is completed; a write that a
 * signal interrupts before any byte is retried.  time is not used.
 *
 * Returns 1 when the whole data size was played (at once for size <= 0),
 * 0 for a NULL stream (no device request) or on a failure, after printing:
 *   "Error: Wave - File Read error(<n> bytes).Sound stopped.\n"
 *     the file holds less than size bytes after the header; n bytes (a
 *     multiple of 256) were written, and are drained by SNDCTL_DSP_SYNC;
 *   "write /dev/dsp: <reason>\n" the device refused a write; no SYNC.
 * errno then tells a fault of the file from one of the device: 0 for a
 * NULL stream and after a read error, the write's own error (never 0) when
 * the device refused a write.
 */
int32_t vdlPlay_WaveDSP(FILE *fp, int32_t time, int32_t stereo,
                        int32_t channels, int32_t freq, int32_t bits,
                        int32_t size);

/*
 * Opens the device, plays the WAV file at path with vdlPlay_WaveDSP,
 * closes the file and the device.  Use it only while the device is not
 * held open.  Returns 1 when the file was handed to playback (whatever
 * playback then reported), 0 when the device or the file failed to open
 * (messages as above; the device is closed again).
 */
int32_t vdlTestPlay_WaveDSP(const char *path);

/*
 * Background playback: one WAV stream played from a timer signal while the
 * caller goes on.  Call order: vdlOpenDevice_WaveDSP, vdlOpenFile_WaveDSP,
 * vdlBGMPlay_WaveDSP; then any number of vdlBGMStop_WaveDSP,
 * vdlBGMStart_WaveDSP and vdlIsBGMPlay_WaveDSP; then vdlEnd_WaveDSP; then
 * fclose the stream and, when done with sound, vdlCloseDevice_WaveDSP.
 * Between vdlBGMPlay_WaveDSP and vdlEnd_WaveDSP do not read, seek or close
 * the stream, do not call vdlPlay_WaveDSP, and leave SIGALRM and
 * ITIMER_REAL alone; start a new background playback only after
 * vdlEnd_WaveDSP of the one before.
 *
 * From vdlBGMPlay_WaveDSP to vdlEnd_WaveDSP SIGALRM comes every
 * millisecond, also while paused or played out.  Its action has no
 * SA_RESTART, so the caller's blocking calls (read, poll, sleeps, ...)
 * return early with EINTR or a partial count and must be resumed.  Each
 * signal hands up to ten 256-byte blocks, in file order, to the device from
 * inside the handler, each only when the device can take the whole block
 * without waiting: poll(POLLOUT) with no timeout before a signal's first
 * block (and before each later one that SNDCTL_DSP_GETOSPACE has not
 * vouched for), and GETOSPACE, at most once a signal, where the device
 * answers it sensibly.  When the device is full the handler returns at
 * once, and a later signal tries again once the device has had the time to
 * play room for several blocks (ten, or a quarter of its queue when that is
 * less, or a fragment when that is more and at most a quarter); so the
 * device's pace sets the pace of playback and the caller keeps nearly all
 * of its time.  Until the queue has been filled once since it was last
 * empty (the start, a pause), a device not ready is tried again at the
 * next signal: an emulation may hold writes up for a moment then.  The
 * data is read from the stream in chunks of up to 32 KiB, never past the
 * data size, so the stream stands ahead of the blocks handed over until
 * vdlEnd_WaveDSP.  On a device that answers neither
 * request the block is written anyway and that write waits while the
 * device's queue is full; a tick that falls due meanwhile is dropped and
 * the timer re-armed, so the caller still runs between two handler runs.
 * The handler allocates nothing and prints with write(2), on stderr:
 *   "Error: Wave - File Read error(<n> bytes).Sound stopped.\n"
 *     the file holds less than its data size; n is the position (data
 *     bytes handed over, in steps of 256).  Printed once: the playback
 *     ends as if played out (flag 0), the module lets go of the stream, so
 *     a resume plays nothing, and SNDCTL_DSP_POST lets the queued sound
 *     play out without waiting for it.
 *   "write /dev/dsp: <reason>\n" the device refused a block, which is
 *     lost; the stream then runs out one block early, and that read error
 *     ends the playback.
 * vdlBGMPlay_WaveDSP unblocks SIGALRM in the calling thread's signal mask
 * (an inherited mask may hold it back), and leaves it unblocked.
 *
 * Threads: the thread that calls vdlBGMPlay_WaveDSP is the playback's
 * thread.  Make every call of this module from it until vdlEnd_WaveDSP; it
 * is the one whose blocking calls the signals cut short.  Other threads may
 * exist and need not block SIGALRM: the timer's signal goes to the process,
 * and a handler run on another thread only hands the signal on to the
 * playback's thread (tgkill), so the blocks are handed over there alone,
 * one signal at a time, and never during a call of this module.
 */

/* Starts playing fp in the background and returns at once.  The arguments
 * are those of vdlPlay_WaveDSP (time is not used): the device is reset and
 * set up the same way, the stream sought to offset 44, the playing flag set
 * to 1, the SIGALRM handler installed and the timer armed.  The flag drops
 * to 0 by itself when the last block is taken (played out); for a size of
 * 0 or less nothing plays and the flag stays 1.  Returns 1, or 0 for a NULL
 * fp, when nothing changes. */
int32_t vdlBGMPlay_WaveDSP(FILE *fp, int32_t time, int32_t stereo,
                           int32_t channels, int32_t freq, int32_t bits,
                           int32_t size);

/* Resumes: sets the playing flag to 1, nothing else.  The next signal goes
 * on from where the pause left the position (see vdlBGMStop_WaveDSP).
 * With nothing left to play (played out and not paused since, ended, or
 * never started) the flag reads 1 but nothing plays. */
void vdlBGMStart_WaveDSP(void);

/* Pauses: sets the playing flag to 0, then SNDCTL_DSP_GETODELAY and
 * SNDCTL_DSP_RESET, which silences the device at once by dropping what is
 * still queued; it does not wait for the queue to play, so it returns
 * within a few milliseconds on any device.  The timer stays armed.
 * Nothing is lost to the pause: the stream and the position go back by
 * whole blocks over what GETODELAY reported still queued, so a resume
 * starts at or before the first byte not heard (part of one block, and
 * what played between the GETODELAY and the RESET, may be heard twice).
 * That holds after the sound has played out too: a resume then plays what
 * the device still held.  On a device without GETODELAY, SNDCTL_DSP_SYNC
 * comes before the RESET (the next timer signal may cut it short), the
 * position is kept, and what the RESET drops is lost. */
void vdlBGMStop_WaveDSP(void);

/* Ends background playback: playing flag 0, SIGALRM handler installed
 * again, timer disarmed, then SNDCTL_DSP_SYNC waits until the queued sound
 * has played.  The stream is not closed, but the module lets go of it: the
 * caller may close it, and a later SIGALRM or pause does not touch it.
 * What was read ahead goes back (fseek; a stream that cannot seek keeps
 * it), so the stream stands where the blocks handed over end.
 * Also valid without a prior vdlBGMPlay_WaveDSP: SIGALRM stays handled by
 * the module afterwards. */
void vdlEnd_WaveDSP(void);

/* The playing flag: 1 while playing, and also before any background
 * playback and after a resume with nothing left to play; 0 when paused,
 * played out or ended. */
int32_t vdlIsBGMPlay_WaveDSP(void);

#ifdef __cplusplus
}
#endif

#endif
