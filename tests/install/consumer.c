/* A first program against an installed rastra: draws a small BMP, converts it
 * to PNG and prints the statistics. Exit 0 when the conversion worked. */
#include <rastra.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    char in[4096], out[4096];
    snprintf(in, sizeof in, "%s/consumer-in.bmp", argv[1]);
    snprintf(out, sizeof out, "%s/consumer-out.png", argv[1]);
    /* 2 x 2 pixels, 24-bit, rows padded to 4 bytes. */
    unsigned char bmp[70] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24};
    memset(bmp + 54, 0x80, 16);
    FILE *f = fopen(in, "wb");
    if (f == NULL || fwrite(bmp, 1, sizeof bmp, f) != sizeof bmp || fclose(f) != 0) return 3;

    rastra_init();
    rastra_set_format(RASTRA_FORMAT_PNG);
    if (!rastra_process_file(in, out)) {
        fprintf(stderr, "%s\n", rastra_last_error());
        return 1;
    }
    puts(rastra_stats());
    return 0;
}
