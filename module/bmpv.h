/* bmpv.h: libbmpvintage, the SorvaneBMPVintage core library.
 *
 * Gives BMP images a vintage tone (a sepia matrix capped at 255, then
 * darkened by a tenth, in exact double arithmetic): from memory, through a
 * stream of chunks, through read and write callbacks, from file to file by
 * UTF-8 path, and on a caller's decoded pixels. Usable from C (C99 or later)
 * and C++. Link with libbmpvintage (SONAME libbmpvintage.so.1; on Windows
 * libbmpvintage-1.dll): pkg-config package bmpvintage, or CMake's
 * find_package(SorvaneBMPVintage) and the target SorvaneBMPVintage::bmpvintage.
 * Define BMPV_STATIC before including this header to link the static library
 * on Windows.
 *
 * The calls keep no state between them and the library has no mutable
 * globals: calls on different streams or buffers may run on many threads at
 * once; one stream is used by one thread at a time. The library never writes
 * to standard output or standard error, never installs signal handlers and
 * never changes process-wide settings (the umask, the locale, the working
 * directory). Every call reports a bmpv_status; nothing is thrown.
 *
 * Every call converts a file the same way: every colour it stores (pixels of
 * 16, 24 and 32 bits, colour tables of indexed images) is toned, and every
 * other byte (headers, row padding, gaps, trailing data, alpha and unused
 * bits) is kept, so the output has the input's size, byte for byte the
 * output of the file call and of the program bmpvintage. */
#ifndef BMPV_H
#define BMPV_H

#include <stddef.h>

#define BMPV_VERSION_MAJOR 1
#define BMPV_VERSION_MINOR 0
#define BMPV_VERSION_PATCH 0
/* MAJOR * 1000000 + MINOR * 1000 + PATCH: compare with >=. */
#define BMPV_VERSION_NUMBER \
    (BMPV_VERSION_MAJOR * 1000000L + BMPV_VERSION_MINOR * 1000L + BMPV_VERSION_PATCH)
#define BMPV_VERSION_STRING "1.0.0"

#if defined(_WIN32) && !defined(BMPV_STATIC)
#if defined(BMPV_BUILDING)
#define BMPV_API __declspec(dllexport)
#else
#define BMPV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define BMPV_API __attribute__((visibility("default")))
#else
#define BMPV_API
#endif

/* A status left unread is a warning: most failures leave no other trace. */
#if defined(__GNUC__)
#define BMPV_NODISCARD __attribute__((warn_unused_result))
#else
#define BMPV_NODISCARD
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call came to. The numbers never change; new ones may be added.
 * The JavaScript package (npm sorvanebmpvintage) uses the same list: its
 * errors carry the name that bmpv_status_name() gives, and their message is
 * bmpv_strerror()'s (the package adds ERR_BMP_NOT_READY and
 * ERR_BMP_LOAD_FAILED for loading its WebAssembly, which no C call meets).
 * The first seven messages are the lines of the module's BMPVintage(). */
typedef enum bmpv_status {
    BMPV_OK = 0,
    BMPV_E_NOT_VALID = 1,    /* "Not a valid BMP file": not a BMP, or damaged:
                                sizes or offsets outside the file, headers
                                that contradict themselves */
    BMPV_E_UNSUPPORTED = 2,  /* "Unsupported BMP file": a well-formed kind
                                that is not converted */
    BMPV_E_READ = 3,         /* "Error reading input file": a read failed, a
                                read callback failed, or an input file changed
                                while it was read */
    BMPV_E_OPEN_OUTPUT = 4,  /* "Error opening output file" */
    BMPV_E_WRITE = 5,        /* "Error writing output file": a write, a write
                                callback, the sync or the replacement failed */
    BMPV_E_OPEN_INPUT = 6,   /* "Error opening input file" */
    BMPV_E_TRUNCATED = 7,    /* a stream ended before the end of the image
                                its headers describe */
    BMPV_E_EXISTS = 8,       /* BMPV_NO_CLOBBER, and the output exists */
    BMPV_E_INVALID_ARG = 9,  /* a null pointer, an unknown layout or flag, a
                                stride or buffer too small, overlapping
                                buffers */
    BMPV_E_FINISHED = 10,    /* a stream pushed or finished after its finish */
    BMPV_E_NO_MEMORY = 100   /* "Not enough memory" */
} bmpv_status;

/* The message of a status, in English, as static text; never NULL (an
 * unknown number gives "Unknown status"). */
BMPV_API const char *bmpv_strerror(int status);

/* The status's stable name, as the JavaScript package's error codes have it
 * ("ERR_BMP_NOT_VALID"; "OK" for BMPV_OK); never NULL ("ERR_BMP_UNKNOWN"). */
BMPV_API const char *bmpv_status_name(int status);

/* The library's BMPV_VERSION_NUMBER and BMPV_VERSION_STRING, as built. */
BMPV_API long bmpv_version(void);
BMPV_API const char *bmpv_version_string(void);

/* A whole BMP file of `len` bytes in memory. The toned file is written to
 * `out`, which holds `len` bytes; `out == in` tones in place. Buffers that
 * overlap otherwise are refused. On any failure nothing has been written to
 * `out`. Allocates nothing. */
BMPV_NODISCARD BMPV_API bmpv_status bmpv_tone_buffer(const void *in, void *out, size_t len);

/* A BMP file in chunks of any size, in memory that does not grow with the
 * file (a few hundred bytes a stream). Each push takes all `in_len` bytes
 * and writes the bytes that are final to `out`, `*out_len` of them: at most
 * in_len + BMPV_STREAM_SLACK, so `out_cap` must be at least that (or the
 * push is refused with BMPV_E_INVALID_ARG and the stream is unchanged).
 * `out` must not overlap `in`. The finish writes the last bytes (at most
 * BMPV_STREAM_SLACK). Together the outputs are the file call's output for
 * the same bytes.
 *
 * A refusal is final: every later push and the finish return it again, and
 * the bytes already given out must be discarded. Refusals that the headers
 * decide come before any byte is given out. An input that ends before the
 * image its headers describe is BMPV_E_TRUNCATED at the finish. After the
 * finish, pushes and finishes return BMPV_E_FINISHED. bmpv_stream_reset()
 * readies a stream for a new file at any point. */
#define BMPV_STREAM_SLACK 128u
typedef struct bmpv_stream bmpv_stream;
BMPV_NODISCARD BMPV_API bmpv_status bmpv_stream_new(bmpv_stream **stream);
BMPV_NODISCARD BMPV_API bmpv_status bmpv_stream_push(bmpv_stream *stream, const void *in,
                                                     size_t in_len, void *out, size_t out_cap,
                                                     size_t *out_len);
BMPV_NODISCARD BMPV_API bmpv_status bmpv_stream_finish(bmpv_stream *stream, void *out,
                                                       size_t out_cap, size_t *out_len);
BMPV_API void bmpv_stream_reset(bmpv_stream *stream);
BMPV_API void bmpv_stream_free(bmpv_stream *stream); /* NULL: nothing */

/* Callbacks, for FILE*, sockets, archive members: the input read through
 * `read` and the output written through `write`, built on the stream.
 * read: fills up to `cap` bytes of `buf`; returns the count (short reads are
 *       fine), 0 at the end of the input, or a negative number on an error
 *       (BMPV_E_READ).
 * write: writes all `len` bytes; returns 0, or nonzero on an error
 *       (BMPV_E_WRITE).
 * On any failure the bytes already written must be discarded by the caller.
 * Allocates one buffer of at most 1 MiB for the call (BMPV_E_NO_MEMORY). */
typedef ptrdiff_t (*bmpv_read_fn)(void *user, void *buf, size_t cap);
typedef int (*bmpv_write_fn)(void *user, const void *buf, size_t len);
BMPV_NODISCARD BMPV_API bmpv_status bmpv_tone_io(bmpv_read_fn read, void *read_user,
                                                 bmpv_write_fn write, void *write_user);

/* File to file, by UTF-8 path on every platform (on POSIX the bytes are the
 * path, whatever their encoding), with BMPVintage()'s care: the input is
 * opened once; the output is written to a new file beside it that takes the
 * output's name only when whole, so a failure leaves the old output as it
 * was and the same path may be given twice (in place); links, shared
 * folders, late edits, attributes and syncing as BMPVintage.h describes.
 * A null or empty path cannot be opened.
 * BMPV_NO_CLOBBER: an existing output (a file, a link, anything) is refused
 * with BMPV_E_EXISTS, atomically: a file that takes the name while the call
 * runs is kept, never replaced.
 * `*sys_error` (when `sys_error` is not NULL) receives the system's error
 * code behind the failure (errno; GetLastError() on Windows), 0 when none. */
#define BMPV_NO_CLOBBER 0x1u
BMPV_NODISCARD BMPV_API bmpv_status bmpv_tone_file(const char *in_path, const char *out_path,
                                                   unsigned flags, int *sys_error);

/* A caller's decoded pixels, toned in place exactly as a BMP's colours are.
 * Row y starts at (char *)row0 + y * stride; `stride` may be negative (rows
 * bottom-up in memory, `row0` at the last one), and 0 means packed rows
 * (width times the pixel's size). |stride| smaller than a row is refused.
 * A and X bytes are left as they are. width or height 0: nothing to do. */
typedef enum bmpv_layout {
    BMPV_RGB = 0,
    BMPV_BGR = 1,
    BMPV_RGBA = 2,
    BMPV_BGRA = 3,
    BMPV_ARGB = 4,
    BMPV_ABGR = 5,
    BMPV_RGBX = 6,
    BMPV_BGRX = 7,
    BMPV_XRGB = 8,
    BMPV_XBGR = 9,
    BMPV_LAYOUT_COUNT = 10
} bmpv_layout;
BMPV_NODISCARD BMPV_API bmpv_status bmpv_tone_pixels(void *row0, size_t width, size_t height,
                                                     ptrdiff_t stride, bmpv_layout layout);

#ifdef __cplusplus
}
#endif

#endif /* BMPV_H */
