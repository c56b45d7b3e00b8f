// thumbnail.h - the thumbnailer's pieces: argument handling, URI to path,
// and shrinking a decoded image to fit a square.
#pragma once

#include "wsq.h"

#include <string>

namespace thumbnailer {

// Size of the image that fits size x size with the source's aspect ratio,
// never larger than the source, never below 1 x 1.
void FitSize(int width, int height, int size, int *outWidth, int *outHeight);

// Box-filter reduction of src (8-bit gray) to outWidth x outHeight: every
// output pixel is the rounded mean of the source pixels it covers. The
// result's pixels are malloc'd (release with wsq_free_image). 0 or -5.
int Shrink(const GrayImage &src, int outWidth, int outHeight, GrayImage *out);

// A local path from what a file manager passes: a plain path, or a file://
// URI with %XX escapes. Empty for URIs of other schemes or hosts.
std::string PathFromArgument(const std::string &argument);

// Decodes input, shrinks it to fit size and writes it as PNG. 0 or a
// negative library status; *stage names the step that failed.
int MakeThumbnail(const std::string &input, const std::string &output, int size,
                  long long maxPixels, const char **stage);

} // namespace thumbnailer
