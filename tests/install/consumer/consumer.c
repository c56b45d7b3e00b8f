/* Decodes a WSQ file with the installed library; prints "WIDTH HEIGHT MEAN". */
#include <wsq.h>
#include <wsq_writers.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    unsigned char *data = NULL;
    int length = 0;
    GrayImage image = {0};
    unsigned long long sum = 0;
    size_t i, count;
    int status;

    if (argc != 2) {
        fprintf(stderr, "usage: consumer FILE.wsq\n");
        return 2;
    }
    status = wsq_load_file(argv[1], &data, &length);
    if (status >= 0)
        status = wsq_decode_image(data, length, &image);
    free(data);
    if (status < 0) {
        fprintf(stderr, "consumer: %s (%d)\n", wsq_status_text(status), status);
        return 1;
    }
    count = (size_t)image.width * (size_t)image.height;
    for (i = 0; i < count; ++i)
        sum += image.pixels[i];
    printf("%d %d %llu\n", image.width, image.height, count ? sum / count : 0ULL);
    wsq_free_image(&image);
    return 0;
}
