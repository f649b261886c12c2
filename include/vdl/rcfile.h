/*
 * RC file store: look up and update single values in group/key=value text
 * files.  Usable from C99 and C++.
 *
 * File format: "[group]" header lines and "key=value" entry lines, each
 * ended by a newline.  A header is recognised by its first bytes alone
 * ("[Audio] main" is the header of Audio).  A group's entries run from its
 * header to the next line that begins with '['.  An entry is a line that
 * begins with the key immediately followed by '='; its value is the rest of
 * the line and may itself hold '='.  Matching is byte-exact and
 * case-sensitive; the first matching header, and within it the first
 * matching entry, win.  Lines before the first header and lines of any
 * other form mean nothing and are kept as they are.  A last line without a
 * newline is read as the line it is.  A line longer than
 * VDL_RC_LINE_MAX characters is read as its first VDL_RC_LINE_MAX
 * characters; the lines after it are still found.
 *
 * Every call loads the whole file, works on it in memory and releases it
 * before it returns; nothing is cached between calls.  The calls are not
 * reentrant and must not be made from signal handlers.  An update locks
 * the file (see vdlSetRCFileValue); a lookup takes no lock, and since an
 * update replaces the file whole, never sees one half written.  All
 * messages go to stderr, "%s" filled with the path passed.
 */
#ifndef VDL_RCFILE_H
#define VDL_RCFILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Size in bytes that the value buffer of vdlGetRCFileValue must hold: a
 * value of up to VDL_RC_VALUE_SIZE - 1 characters and its terminator.
 */
#define VDL_RC_VALUE_SIZE 256

/* Longest group name, in characters, that both calls accept. */
#define VDL_RC_GROUP_MAX 252
/* Longest key, in characters, that vdlGetRCFileValue accepts. */
#define VDL_RC_KEY_MAX 254
/* Longest key and value together, in characters, that vdlSetRCFileValue
 * accepts. */
#define VDL_RC_ENTRY_MAX 253

/* Characters of a line that the store reads; the rest of a longer line is
 * skipped. */
#define VDL_RC_LINE_MAX 1023

/*
 * Looks up the entry KEY of group GROUP in the file PATH.
 *
 * Returns 1 when the entry was found: VALUE (which must hold
 * VDL_RC_VALUE_SIZE bytes) then holds the entry's value with spaces and
 * tabs cut from both ends, as vdlSpaceCut does.  A trimmed value longer
 * than VDL_RC_VALUE_SIZE - 1 characters is cut to that length, never
 * refused, and blanks left at the cut are trimmed as well.
 *
 * Returns 0, VALUE untouched, when the group or the entry is missing, when
 * GROUP or KEY is longer than VDL_RC_GROUP_MAX or VDL_RC_KEY_MAX, or when a
 * pointer is null (all silently); and when the file cannot be read (it is
 * missing, not a regular file, unreadable, or reads short), printing
 * "Error: Can't open rc file (%s)\n", or its buffer cannot be allocated,
 * printing "Error: Can't allocate memory (rc file i/o libray).\n".
 * The file is never written.
 */
int32_t vdlGetRCFileValue(const char *path, const char *group,
                          const char *key, char *value);

/*
 * Sets the entry KEY of group GROUP in the file PATH to VALUE, written
 * exactly as given ("[%s]\n" and "%s=%s\n"; a newline in VALUE makes a
 * new line).
 *
 * - The first entry KEY of the first group GROUP has its value replaced:
 *   everything after "KEY=" up to the newline.
 * - A missing entry is inserted after the group's last line that holds an
 *   '=' or a ']' (its last entry, or its header).
 * - A missing group is appended at the end with the entry.
 * - A line added after a last line without a newline is preceded by one;
 *   every other byte of the file stays as it was (a replaced value on such
 *   a line gets no newline either).
 * - A file that does not exist is created (mode 0666 less the umask),
 *   printing "Warring: Can't open rc file (%s). Create it.\n".
 *
 * The file is replaced whole and atomically: the new content is written to
 * a temporary file in the same directory, flushed to disk and renamed over
 * the old one, keeping its permission bits (and its owner, where allowed).
 * When PATH is a symbolic link the file it leads to is replaced and the
 * link stays.  The directory must therefore be writable.  A file that the
 * caller may not write (no write permission for the effective user), or
 * one owned by another user that the replacement could not give back, is
 * left as it is and counts as a failed write.
 *
 * The whole update, from loading the file to its replacement, holds an
 * advisory lock (flock) on a lock file: the path of the file that PATH
 * leads to with ".lock" added, made for the update and removed after it
 * (one left behind by a killed process is taken and removed by the next
 * update).  An update waits while another holds the lock.  So the updates of one
 * file through this library, from any number of processes, each start from
 * what the one before left, and none is lost; other writers of the file
 * are not kept out.  SIGINT, SIGTERM and SIGHUP are held back in the
 * calling thread while the lock is held, and delivered after.
 *
 * Returns 1 when the file now holds the entry with VALUE: a lookup made
 * right after finds it (trimmed as lookups are, and only up to a newline
 * in VALUE).  Returns 0, with the file as it was and no temporary or lock
 * file left behind, when:
 * - GROUP is longer than VDL_RC_GROUP_MAX, KEY and VALUE together longer
 *   than VDL_RC_ENTRY_MAX, GROUP or KEY holds a newline, or a pointer is
 *   null (silently);
 * - the lock file cannot be made or locked (the directory is not writable,
 *   say): "Error: Can't open rc file (%s)\n";
 * - the file exists but cannot be read (not a regular file, no permission,
 *   a read error, a short read): "Error: Can't open rc file (%s)\n";
 * - memory runs out while loading, "Error: Can't allocate memory (rc file
 *   i/o libray).\n", or while editing, the same text without the newline;
 * - the file may not be replaced (above), or the new file cannot be
 *   created, written, flushed or renamed: "Error: Can't open rc file
 *   (%s)\n".
 */
int32_t vdlSetRCFileValue(const char *path, const char *group,
                          const char *key, const char *value);

/*
 * Cuts spaces and tabs (only those: a carriage return stays) from both ends
 * of the zero-terminated TEXT, in place.  Blanks inside the text stay; a
 * text of blanks only becomes empty.  Always returns 1.
 */
int32_t vdlSpaceCut(char *text);

#ifdef __cplusplus
}
#endif

#endif
