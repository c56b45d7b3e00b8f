/*
 * trees.cpp - wavelet and quantization trees.
 */
#include "trees.h"

static int ceil_half(int n) { return (n + 1) / 2; }
static int floor_half(int n) { return n / 2; }

void wsq_split_wavelet_node(WsqWaveletTree *tree, int node, int first_child, int lenx, int leny,
                            int x, int y, int no_fourth)
{
    WsqWaveletNode *n = &tree->nodes[node];
    n->x = x;
    n->y = y;
    n->lenx = lenx;
    n->leny = leny;

    /* Odd lengths give the first part the larger half, except the width of
     * node 4 and the height of node 5. */
    int a = node == 4 ? floor_half(lenx) : ceil_half(lenx);
    int b = lenx - a;
    int u = node == 5 ? floor_half(leny) : ceil_half(leny);
    int v = leny - u;

    WsqWaveletNode *c = &tree->nodes[first_child];
    c[0].x = x;     c[0].y = y;     c[0].lenx = a; c[0].leny = u;
    c[1].x = x + a; c[1].y = y;     c[1].lenx = b; c[1].leny = u;
    c[2].x = x;     c[2].y = y + u; c[2].lenx = a; c[2].leny = v;
    if (!no_fourth) {
        c[3].x = x + a; c[3].y = y + u; c[3].lenx = b; c[3].leny = v;
    }
}

static void set_quant(WsqQuantNode *q, int x, int y, int lenx, int leny)
{
    q->x = x;
    q->y = y;
    q->lenx = lenx;
    q->leny = leny;
}

void wsq_split_quant_16(WsqQuantTree *tree, int first, int lenx, int leny, int x, int y,
                        int swap_vertical, int swap_horizontal)
{
    int a1 = (swap_horizontal && lenx % 2) ? floor_half(lenx) : ceil_half(lenx);
    int a2 = lenx - a1;
    int b1 = (swap_vertical && leny % 2) ? floor_half(leny) : ceil_half(leny);
    int b2 = leny - b1;
    int X = x + a1, Y = y + b1;

    /* Halves of A1/B1 larger first, of A2/B2 smaller first. */
    int ca1 = ceil_half(a1), fa1 = floor_half(a1);
    int cb1 = ceil_half(b1), fb1 = floor_half(b1);
    int fa2 = floor_half(a2), ca2 = ceil_half(a2);
    int fb2 = floor_half(b2), cb2 = ceil_half(b2);

    WsqQuantNode *q = &tree->nodes[first];
    set_quant(&q[0], x, y, ca1, cb1);
    set_quant(&q[1], x + ca1, y, fa1, cb1);
    set_quant(&q[2], x, y + cb1, ca1, fb1);
    set_quant(&q[3], x + ca1, y + cb1, fa1, fb1);
    set_quant(&q[4], X, y, fa2, cb1);
    set_quant(&q[5], X + fa2, y, ca2, cb1);
    set_quant(&q[6], X, y + cb1, fa2, fb1);
    set_quant(&q[7], X + fa2, y + cb1, ca2, fb1);
    set_quant(&q[8], x, Y, ca1, fb2);
    set_quant(&q[9], x + ca1, Y, fa1, fb2);
    set_quant(&q[10], x, Y + fb2, ca1, cb2);
    set_quant(&q[11], x + ca1, Y + fb2, fa1, cb2);
    set_quant(&q[12], X, Y, fa2, fb2);
    set_quant(&q[13], X + fa2, Y, ca2, fb2);
    set_quant(&q[14], X, Y + fb2, fa2, cb2);
    set_quant(&q[15], X + fa2, Y + fb2, ca2, cb2);
}

void wsq_split_quant_4(WsqQuantTree *tree, int lenx, int leny, int x, int y)
{
    int cx = ceil_half(lenx), fx = floor_half(lenx);
    int cy = ceil_half(leny), fy = floor_half(leny);
    WsqQuantNode *q = tree->nodes;
    set_quant(&q[0], x, y, cx, cy);
    set_quant(&q[1], x + cx, y, fx, cy);
    set_quant(&q[2], x, y + cy, cx, fy);
    set_quant(&q[3], x + cx, y + cy, fx, fy);
}

void wsq_build_trees(WsqWaveletTree *wavelet, WsqQuantTree *quant, int width, int height)
{
    WsqWaveletNode *w = wavelet->nodes;
    for (int i = 0; i < WSQ_WAVELET_NODES; ++i) {
        w[i] = WsqWaveletNode{};
    }
    static const int rows[] = {2, 4, 7, 9, 11, 13, 16, 18};
    static const int columns[] = {3, 5, 8, 9, 12, 13, 17, 18};
    for (int i : rows)
        w[i].invert_rows = 1;
    for (int i : columns)
        w[i].invert_columns = 1;

    wsq_split_wavelet_node(wavelet, 0, 1, width, height, 0, 0, 1);
    int p = w[1].lenx, q = w[1].leny;
    wsq_split_wavelet_node(wavelet, 4, 6, floor_half(p), ceil_half(q), ceil_half(p), 0, 0);
    wsq_split_wavelet_node(wavelet, 5, 10, ceil_half(p), floor_half(q), 0, ceil_half(q), 0);
    wsq_split_wavelet_node(wavelet, 14, 15, ceil_half(p), ceil_half(q), 0, 0, 0);
    w[19].x = 0;
    w[19].y = 0;
    w[19].lenx = ceil_half(w[15].lenx);
    w[19].leny = ceil_half(w[15].leny);

    for (int i = 0; i < WSQ_QUANT_NODES; ++i)
        quant->nodes[i] = WsqQuantNode{};
    wsq_split_quant_16(quant, 3, w[14].lenx, w[14].leny, w[14].x, w[14].y, 0, 0);
    wsq_split_quant_16(quant, 19, w[4].lenx, w[4].leny, w[4].x, w[4].y, 0, 1);
    wsq_split_quant_16(quant, 48, w[0].lenx, w[0].leny, w[0].x, w[0].y, 0, 0);
    wsq_split_quant_16(quant, 35, w[5].lenx, w[5].leny, w[5].x, w[5].y, 1, 0);
    wsq_split_quant_4(quant, w[19].lenx, w[19].leny, w[19].x, w[19].y);
}
