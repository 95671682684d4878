/* SorvaneBMPVintage: gives a BMP image a vintage tone.
 *
 * One function, usable from C and C++. */
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
 * trailing data) is copied unchanged.
 *
 * Paths are null-terminated UTF-16. On POSIX systems they are converted to
 * UTF-8; a path with an unpaired surrogate cannot be opened. On Windows they
 * are used as wide paths unchanged.
 *
 * inputPath and outputPath may name the same file. The output is written to
 * a new file in the output's directory and renamed over the output only when
 * complete, so a failure never leaves a partial file and never harms what
 * was there before. A symbolic link at outputPath has its target replaced;
 * an existing output keeps its permission bits.
 *
 * Returns 0 on success. Returns 1 on failure, after writing exactly one of
 * these lines (and a line feed) to standard error in one write:
 *   "Error opening input file"  - inputPath is null or cannot be opened
 *   "Error reading input file"  - a read failed after the open
 *   "Not a valid BMP file"      - not a BMP, or damaged: sizes or offsets
 *                                 point outside the file, or the headers
 *                                 contradict themselves (bad colour masks)
 *   "Unsupported BMP file"      - a BMP of a kind that is not converted
 *   "Not enough memory"         - the file could not be held in memory
 *   "Error opening output file" - outputPath is null, a directory, or its
 *                                 directory does not exist or is not writable
 *   "Error writing output file" - a write, flush or the final rename failed
 * On any failure before the output is opened, nothing at outputPath is
 * created or changed.
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
