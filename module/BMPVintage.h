/* SorvaneBMPVintage 1.0.0.1: gives a BMP image a vintage tone.
 *
 * One function, usable from C (C11, for char16_t) and C++. Link with
 * libSorvaneBMPVintage (SONAME libSorvaneBMPVintage.so.1): through CMake,
 * find_package(SorvaneBMPVintage) and the target
 * SorvaneBMPVintage::SorvaneBMPVintage; through pkg-config, the package
 * sorvanebmpvintage.
 *
 * The module is a shell over the core library libbmpvintage (bmpv.h): its
 * paths go to the core's bmpv_tone_file() in UTF-8, and the line of the
 * status it returns is printed. New programs can call the core directly,
 * for images in memory, streams, callbacks and decoded pixels as well. */
#ifndef SORVANE_BMPVINTAGE_H
#define SORVANE_BMPVINTAGE_H

#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
/* A UTF-16 code unit: the platform's wide character. */
typedef wchar_t BMPVintageChar;
#elif defined(__cplusplus)
typedef char16_t BMPVintageChar;
#else
#include <uchar.h>
typedef char16_t BMPVintageChar;
#endif

#if defined(_WIN32)
#if defined(SORVANE_BMPVINTAGE_BUILD)
#define BMPVINTAGE_API __declspec(dllexport)
#else
#define BMPVINTAGE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define BMPVINTAGE_API __attribute__((visibility("default")))
#else
#define BMPVINTAGE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the BMP file at inputPath, tones every colour it stores (a sepia
 * matrix capped at 255, then darkened by a tenth) and writes the result to
 * outputPath. Every other byte of the file (headers, row padding, gaps,
 * trailing data) is copied unchanged, so the output has the input's size.
 *
 * Paths are null-terminated UTF-16, converted to UTF-8 for the core; a path
 * with an unpaired surrogate cannot be opened. On Windows the core uses them
 * as wide paths again, turned into the "\\?\" form so that paths of any
 * length work. A null or empty path cannot be opened.
 *
 * The file is read in parts through one buffer of at most 1 MiB, each
 * part's colours toned and the part written at once, so memory does not
 * grow with the file. The output is written to a new file in the output's
 * directory and takes the output's name only when complete, so inputPath
 * and outputPath may name the same file. A symbolic link at outputPath has
 * its target replaced (on Windows a link that leads nowhere is refused).
 * On POSIX systems a symbolic link in a world-writable sticky directory
 * (such as /tmp), at outputPath or on the way to it, is followed only when
 * its owner is the caller (effective user) or the directory's owner, as the
 * kernel's fs.protected_symlinks rule has it, whatever that setting says.
 * Only a regular file is replaced, and only one the caller may write (by
 * its permission bits on POSIX; not read-only on Windows).
 *
 * One lookup: the input is opened once and read only through that handle.
 * The output's directory is looked up once, one name at a time, each link
 * judged against the directory it was found in; on POSIX that directory is
 * then held open and every later step (making the new file, the checks,
 * the copy of attributes, the rename, the removal on failure, the sync) acts
 * on it and the output's name in it, never on the path again. A directory
 * on the way that another user renames or swaps for a link meanwhile does
 * not redirect the call: the output ends where the lookup found it. On
 * Windows every directory on the way is held open without delete sharing,
 * so none of them can be renamed, removed or replaced during the call.
 *
 * Late edits: just before the new file takes its name, outputPath must
 * still name the file that was there when the call checked it, unchanged
 * (the same file with the same size, modification and change times to the
 * nanosecond where the system keeps them), or still none for a new output;
 * when it is also inputPath, that is the file that was read. A file saved
 * there since by another program (or another call), or written into in
 * place, is newer: it is kept, the call fails with "Error writing output
 * file" and removes its own file. An input written to or replaced while it
 * is read fails with "Error reading input file". What remains is the
 * moment between that last check and the rename: a file saved there then
 * is replaced (on Linux, where the file system allows it, a new output
 * takes its name only while the name is free, so none is lost), and a
 * write into the old file then is lost with it.
 *
 * Replacing a file (in place, or an output that already existed): the new
 * file keeps the old one's permission bits (less set-user-ID and
 * set-group-ID), its owner and group where the caller may set them, and
 * its extended attributes, POSIX ACLs among them (on Windows, ReplaceFileW
 * keeps attributes, ACLs, streams and the creation time). It is synced to
 * disk before it takes the old one's name, and the directory after (POSIX),
 * so a power cut leaves the old image or the new one. A directory that
 * fails to sync is reported ("Error writing output file"): the new image
 * is then in place but not known to be on disk. (A file system that cannot
 * sync directories is no failure.) A new output is not synced: its input
 * still holds the image (on Windows it is moved into place with
 * write-through). The replacement is a new file: other hard links to the
 * old one keep the old image.
 *
 * The library's own files never take file descriptors 0, 1 or 2, so a host
 * with those closed never finds its own writes to them in an output. It
 * installs no signal handlers: the host owns its signals. A host killed
 * during a call may find the call's temporary file beside the output,
 * named ".bmpvintage-" and 12 hexadecimal digits, then ".tmp"
 * ("~bmpvintage-....tmp" on Windows); it holds nothing but that call's
 * unfinished output and may be removed.
 *
 * Returns 0 when the output has been written whole. Returns 1 on failure,
 * after writing exactly one of these lines, and a line feed, to standard
 * error (file descriptor 2) in a single write:
 *   "Error opening input file"  - inputPath is null, empty, missing, not a
 *                                 regular file, or cannot be opened
 *   "Error reading input file"  - a read failed after the open, or the input
 *                                 changed (was written to, cut short,
 *                                 extended or replaced) while it was read
 *   "Not a valid BMP file"      - not a BMP (the first two bytes are not
 *                                 "BM"), or damaged: sizes or offsets point
 *                                 outside the file, or the headers
 *                                 contradict themselves (bad colour masks)
 *   "Unsupported BMP file"      - a well-formed BMP of a kind that is not
 *                                 converted
 *   "Not enough memory"         - the conversion's buffer could not be had
 *   "Error opening output file" - outputPath is null, empty, a directory or
 *                                 other non-regular file, a file the caller
 *                                 may not write, its directory does not
 *                                 exist or is not writable, or a link on
 *                                 the way may not be followed (above)
 *   "Error writing output file" - a write, sync or the final rename failed,
 *                                 or outputPath names another file than
 *                                 the one checked (late edits, above)
 * Nothing else is ever printed, and nothing is printed on success. On
 * failure the file at outputPath, if there was one, is left exactly as it
 * was (unless only the directory's sync after the rename failed) and no new
 * file is left behind. Nothing is thrown and no error code is stored (errno
 * may have changed).
 *
 * Thread safety: calls share no state; any number may run at once on
 * different files. Two calls writing the same output at once each write it
 * whole, so it always holds one image whole: a call that finds the other's
 * image put there after its own check fails as a late edit; when both
 * checks come before either rename, the last rename wins. */
BMPVINTAGE_API int32_t BMPVintage(const BMPVintageChar* inputPath,
                                  const BMPVintageChar* outputPath);

#ifdef __cplusplus
}
#endif

#endif /* SORVANE_BMPVINTAGE_H */
