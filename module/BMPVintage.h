/* SorvaneBMPVintage 1.0.0.1: gives a BMP image a vintage tone.
 *
 * One function, usable from C (C11, for char16_t) and C++. Link with
 * libSorvaneBMPVintage (SONAME libSorvaneBMPVintage.so.1): through CMake,
 * find_package(SorvaneBMPVintage) and the target
 * SorvaneBMPVintage::SorvaneBMPVintage; through pkg-config, the package
 * sorvanebmpvintage. */
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
 * Paths are null-terminated UTF-16. On POSIX systems they are converted to
 * UTF-8; a path with an unpaired surrogate cannot be opened. On Windows they
 * are used as wide paths, turned into the "\\?\" form so that paths of any
 * length work. A null or empty path cannot be opened.
 *
 * The file is read in parts through one buffer of at most 1 MiB, each
 * part's colours toned and the part written at once, so memory does not
 * grow with the file. The output is written to a new file in the output's
 * directory and takes the output's name only when complete, so inputPath
 * and outputPath may name the same file. A symbolic link at outputPath has
 * its target replaced (on Windows a link that leads nowhere is refused).
 * Only a regular file is replaced, and only one the caller may write (by
 * its permission bits on POSIX; not read-only on Windows).
 *
 * Replacing a file (in place, or an output that already existed): the new
 * file keeps the old one's permission bits (less set-user-ID and
 * set-group-ID), its owner and group where the caller may set them, and
 * its extended attributes, POSIX ACLs among them (on Windows, ReplaceFileW
 * keeps attributes, ACLs, streams and the creation time). It is synced to
 * disk before it takes the old one's name, and the directory after (POSIX),
 * so a power cut leaves the old image or the new one. A new output is not
 * synced: its input still holds the image (on Windows it is moved into
 * place with write-through). The replacement is a new file:
 * other hard links to the old one keep the old image.
 *
 * Returns 0 when the output has been written whole. Returns 1 on failure,
 * after writing exactly one of these lines, and a line feed, to standard
 * error (file descriptor 2) in a single write:
 *   "Error opening input file"  - inputPath is null, empty, missing, not a
 *                                 regular file, or cannot be opened
 *   "Error reading input file"  - a read failed after the open, or the input
 *                                 changed (was written to, cut short or
 *                                 extended) while it was read
 *   "Not a valid BMP file"      - not a BMP (the first two bytes are not
 *                                 "BM"), or damaged: sizes or offsets point
 *                                 outside the file, or the headers
 *                                 contradict themselves (bad colour masks)
 *   "Unsupported BMP file"      - a well-formed BMP of a kind that is not
 *                                 converted
 *   "Not enough memory"         - the conversion's buffer could not be had
 *   "Error opening output file" - outputPath is null, empty, a directory or
 *                                 other non-regular file, a file the caller
 *                                 may not write, or its directory does not
 *                                 exist or is not writable
 *   "Error writing output file" - a write, sync or the final rename failed
 * Nothing else is ever printed, and nothing is printed on success. On
 * failure the file at outputPath, if there was one, is left exactly as it
 * was and no new file is left behind. Nothing is thrown and no error code is
 * stored (errno may have changed).
 *
 * Thread safety: calls share no state; any number may run at once on
 * different files. Two calls writing the same output at once each replace it
 * whole, so the last rename wins. */
BMPVINTAGE_API int32_t BMPVintage(const BMPVintageChar* inputPath,
                                  const BMPVintageChar* outputPath);

#ifdef __cplusplus
}
#endif

#endif /* SORVANE_BMPVINTAGE_H */
