#include "dequantize.h"

#include <cstdlib>

#include "wsq.h"

float wsq_dequantize_value(int16_t e, float p, float q, float z)
{
    if (e == 0)
        return 0.0f;
    const float fe = static_cast<float>(e);
    if (e > 0) {
        const float product = (fe - p) * q;
        return static_cast<float>(static_cast<double>(product) + static_cast<double>(z) * 0.5);
    }
    const float product = (fe + p) * q;
    return static_cast<float>(static_cast<double>(product) - static_cast<double>(z) * 0.5);
}

int wsq_dequantize(const WsqQuantTable *quant, const WsqQuantTree *tree, const int16_t *coefficients,
                   int width, int height, float **image)
{
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    float *out = static_cast<float *>(std::calloc(pixels ? pixels : 1, sizeof(float)));
    if (!out)
        return WSQ_E_NOT_MARKER;
    if (quant->defined != 1) {
        std::free(out);
        return WSQ_E_MARKER_RANGE;
    }
    const int16_t *next = coefficients;
    const int16_t *end = coefficients + pixels;
    for (int i = 0; i < WSQ_CODED_SUBBANDS; ++i) {
        const float q = quant->bin_width[i];
        if (q == 0.0f)
            continue;
        const float p = quant->bin_center;
        const float z = quant->zero_bin_width[i];
        const WsqQuantNode &node = tree->nodes[i];
        for (int r = 0; r < node.leny; ++r) {
            float *row = out + static_cast<size_t>(node.y + r) * width + node.x;
            for (int k = 0; k < node.lenx && next < end; ++k)
                row[k] = wsq_dequantize_value(*next++, p, q, z);
        }
    }
    *image = out;
    return 0;
}
