/* Every call of the core library (bmpv.h) from C, on one BMP file:
 *
 *   bmpv_example_c IN.bmp
 *
 * tones IN.bmp from memory, through a stream, through callbacks on FILE*
 * and from file to file (into c-memory.bmp, c-stream.bmp, c-io.bmp and
 * c-file.bmp in the working folder), tones a 24-bit image's pixels on their
 * own, checks that every way gave the same bytes, and prints the message of
 * a refused file. Exit status 0 when all went as expected. */
#include <bmpv.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char *read_all(const char *path, size_t *len) {
    FILE *f = fopen(path, "rb");
    unsigned char *data = NULL;
    size_t cap = 0, n = 1;
    *len = 0;
    while (f && n) {
        if (*len == cap) {
            unsigned char *more = realloc(data, cap = cap * 2 + 65536);
            if (!more) break;
            data = more;
        }
        *len += n = fread(data + *len, 1, cap - *len, f);
    }
    int ok = f && n == 0 && !ferror(f);
    if (f) fclose(f);
    if (ok) return data;
    fprintf(stderr, "cannot read %s\n", path);
    free(data);
    return NULL;
}

static int write_all(const char *path, const unsigned char *data, size_t len) {
    FILE *f = fopen(path, "wb");
    int ok = f && fwrite(data, 1, len, f) == len;
    return (f && fclose(f) == 0 && ok) ? 0 : -1;
}

/* A stream fed 4096 bytes at a time; the toned bytes go to out (len bytes). */
static bmpv_status tone_stream(const unsigned char *in, size_t len, unsigned char *out) {
    bmpv_stream *stream;
    bmpv_status s = bmpv_stream_new(&stream);
    unsigned char piece[4096 + BMPV_STREAM_SLACK];
    size_t at = 0, done = 0, n = 0;
    while (s == BMPV_OK) {
        size_t chunk = len - at < 4096 ? len - at : 4096;
        s = chunk ? bmpv_stream_push(stream, in + at, chunk, piece, sizeof piece, &n)
                  : bmpv_stream_finish(stream, piece, sizeof piece, &n);
        if (s != BMPV_OK) break;
        if (n > len - done) {
            s = BMPV_E_INVALID_ARG; /* more bytes out than in: cannot happen */
            break;
        }
        memcpy(out + done, piece, n);
        done += n;
        if (!chunk) break;
        at += chunk;
    }
    bmpv_stream_free(stream);
    return s;
}

/* Callbacks: the input read from one FILE*, the output written to another. */
static ptrdiff_t read_cb(void *user, void *buf, size_t cap) {
    size_t n = fread(buf, 1, cap, (FILE *)user);
    return n == 0 && ferror((FILE *)user) ? -1 : (ptrdiff_t)n;
}
static int write_cb(void *user, const void *buf, size_t len) {
    return fwrite(buf, 1, len, (FILE *)user) != len;
}
static bmpv_status tone_files(const char *in_path, const char *out_path) {
    FILE *in = fopen(in_path, "rb");
    FILE *out = fopen(out_path, "wb");
    bmpv_status s = in && out ? bmpv_tone_io(read_cb, in, write_cb, out) : BMPV_E_OPEN_INPUT;
    if (in) fclose(in);
    if (out && fclose(out) != 0 && s == BMPV_OK) s = BMPV_E_WRITE;
    return s;
}

static unsigned read_le(const unsigned char *p, int bytes) {
    unsigned v = 0;
    while (bytes--) v = v << 8 | p[bytes];
    return v;
}

/* Pixels: a 24-bit uncompressed image's rows (BGR, bottom-up, each padded
 * to 4 bytes) toned in place, seen top-down through a negative stride. */
static bmpv_status tone_bmp_pixels(unsigned char *bmp, size_t len) {
    if (len < 54 || read_le(bmp + 28, 2) != 24 || read_le(bmp + 30, 4) != 0 ||
        (int)read_le(bmp + 22, 4) <= 0)
        return BMPV_E_UNSUPPORTED; /* not this example's kind */
    size_t width = read_le(bmp + 18, 4), height = read_le(bmp + 22, 4);
    size_t stride = (width * 3 + 3) / 4 * 4, offset = read_le(bmp + 10, 4);
    if (offset > len || (len - offset) / stride < height) return BMPV_E_NOT_VALID;
    unsigned char *top_row = bmp + offset + (height - 1) * stride;
    return bmpv_tone_pixels(top_row, width, height, -(ptrdiff_t)stride, BMPV_BGR);
}

static int failed(const char *what, bmpv_status s) {
    fprintf(stderr, "%s: %s (%s)\n", what, bmpv_strerror(s), bmpv_status_name(s));
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: bmpv_example_c IN.bmp\n", stderr);
        return 2;
    }
    printf("libbmpvintage %s (header %s)\n", bmpv_version_string(), BMPV_VERSION_STRING);
    if (bmpv_version() < BMPV_VERSION_NUMBER) return failed("version", BMPV_E_UNSUPPORTED);

    size_t len;
    unsigned char *image = read_all(argv[1], &len);
    unsigned char *toned = image ? malloc(len) : NULL;
    unsigned char *streamed = image ? malloc(len) : NULL;
    if (!toned || !streamed) return 1;

    /* Memory: the whole file at once, into a buffer of the same size. */
    bmpv_status s = bmpv_tone_buffer(image, toned, len);
    if (s != BMPV_OK) return failed("memory", s);

    s = tone_stream(image, len, streamed);
    if (s != BMPV_OK) return failed("stream", s);
    s = tone_files(argv[1], "c-io.bmp");
    if (s != BMPV_OK) return failed("callbacks", s);

    /* Files, by UTF-8 path; BMPV_NO_CLOBBER keeps an existing output. */
    int sys_error = 0;
    s = bmpv_tone_file(argv[1], "c-file.bmp", BMPV_NO_CLOBBER, &sys_error);
    if (s != BMPV_OK) return failed("file", s);

    size_t io_len, file_len;
    unsigned char *io = read_all("c-io.bmp", &io_len);
    unsigned char *file = read_all("c-file.bmp", &file_len);
    if (!io || !file || memcmp(toned, streamed, len) != 0 || io_len != len ||
        memcmp(toned, io, len) != 0 || file_len != len || memcmp(toned, file, len) != 0) {
        fputs("the calls gave different bytes\n", stderr);
        return 1;
    }
    if (write_all("c-memory.bmp", toned, len) != 0 || write_all("c-stream.bmp", streamed, len) != 0)
        return failed("c-memory.bmp", BMPV_E_WRITE);

    s = tone_bmp_pixels(image, len);
    if (s == BMPV_OK && memcmp(image, toned, len) != 0) {
        fputs("the pixel call gave other colours than the file calls\n", stderr);
        return 1;
    }
    if (s != BMPV_OK && s != BMPV_E_UNSUPPORTED) return failed("pixels", s);
    printf("%zu bytes toned five ways, the same bytes%s\n", len,
           s == BMPV_OK ? "" : " (pixels: not a 24-bit image)");

    /* A refused file: its status, the status's message and name. */
    static const char not_an_image[] = "plain text, not an image";
    if (write_all("c-not-an-image.bmp", (const unsigned char *)not_an_image,
                  sizeof not_an_image - 1) != 0)
        return failed("c-not-an-image.bmp", BMPV_E_WRITE);
    s = bmpv_tone_file("c-not-an-image.bmp", "c-never.bmp", 0, &sys_error);
    printf("c-not-an-image.bmp: %s (%s)\n", bmpv_strerror(s), bmpv_status_name(s));

    free(image);
    free(toned);
    free(streamed);
    free(io);
    free(file);
    return s == BMPV_E_NOT_VALID ? 0 : 1;
}
