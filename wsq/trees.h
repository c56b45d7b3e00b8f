/*
 * trees.h - internal: the wavelet tree (20 rectangles the inverse transform
 * processes) and the quantization tree (64 subbands) for an image size, as
 * laid out by the fixed decomposition of the FBI WSQ standard.
 */
#ifndef WSQ_TREES_H
#define WSQ_TREES_H

enum { WSQ_WAVELET_NODES = 20, WSQ_QUANT_NODES = 64 };

struct WsqWaveletNode {
    int x, y;          /* top-left sample in the image */
    int lenx, leny;    /* width and height */
    int invert_rows;    /* rows hold the high band before the low band */
    int invert_columns; /* columns hold the high band before the low band */
};

struct WsqWaveletTree {
    WsqWaveletNode nodes[WSQ_WAVELET_NODES];
};

/* Widened to int (the format's 16-bit fields cannot hold sizes above 32767). */
struct WsqQuantNode {
    int x, y, lenx, leny;
};

struct WsqQuantTree {
    WsqQuantNode nodes[WSQ_QUANT_NODES];
};

/* Builds both trees for a width x height image. Cannot fail. */
void wsq_build_trees(WsqWaveletTree *wavelet, WsqQuantTree *quant, int width, int height);

void wsq_split_wavelet_node(WsqWaveletTree *tree, int node, int first_child, int lenx, int leny,
                            int x, int y, int no_fourth);
void wsq_split_quant_16(WsqQuantTree *tree, int first, int lenx, int leny, int x, int y,
                        int swap_vertical, int swap_horizontal);
void wsq_split_quant_4(WsqQuantTree *tree, int lenx, int leny, int x, int y);

#endif /* WSQ_TREES_H */
