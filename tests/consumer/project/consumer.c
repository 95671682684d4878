/* A C program using the installed library: tones a 4 x 2 image (a white
 * row and a black row) and checks the bytes, then checks a failure. */
#include <BMPVintage.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#define PATH(s) L##s
#else
#define PATH(s) u##s
#endif

enum { kSize = 54 + 2 * 12 };

static void Header(unsigned char* b) {
    static const unsigned char header[54] = {
        /* clang-format off */
        'B', 'M', kSize, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, /* file header */
        40, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0,             /* size, width 4, height 2 */
        1, 0, 24, 0, 0, 0, 0, 0, 24, 0, 0, 0,            /* planes, 24 bits, BI_RGB */
        0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    /* clang-format on */
    memcpy(b, header, sizeof header);
}

int main(void) {
    unsigned char in[kSize], out[kSize + 1];
    Header(in);
    memset(in + 54, 255, 12); /* bottom row: white */
    memset(in + 66, 0, 12);   /* top row: black */

    FILE* f = fopen("consumer-c-in.bmp", "wb");
    if (!f || fwrite(in, 1, kSize, f) != kSize || fclose(f) != 0) {
        fputs("C consumer: cannot write its input\n", stderr);
        return 1;
    }
    if (BMPVintage(PATH("consumer-c-in.bmp"), PATH("consumer-c-out.bmp")) != 0) {
        fputs("C consumer: BMPVintage failed\n", stderr);
        return 1;
    }
    f = fopen("consumer-c-out.bmp", "rb");
    size_t n = f ? fread(out, 1, sizeof out, f) : 0;
    if (f) fclose(f);
    if (n != kSize || memcmp(out, in, 54) != 0) {
        fputs("C consumer: output has the wrong size or headers\n", stderr);
        return 1;
    }
    for (int i = 0; i < 4; ++i) {
        const unsigned char* white = out + 54 + 3 * i;
        const unsigned char* black = out + 66 + 3 * i;
        if (white[0] != 214 || white[1] != 229 || white[2] != 229 || black[0] || black[1] ||
            black[2]) {
            fputs("C consumer: wrong toned pixels\n", stderr);
            return 1;
        }
    }
    /* A missing input: result 1 and nothing created. */
    if (BMPVintage(PATH("consumer-c-missing.bmp"), PATH("consumer-c-never.bmp")) != 1 ||
        (f = fopen("consumer-c-never.bmp", "rb")) != NULL) {
        fputs("C consumer: a missing input did not fail cleanly\n", stderr);
        return 1;
    }
    puts("C consumer: ok");
    return 0;
}
