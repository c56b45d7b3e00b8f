#include "thumbnail.h"

#include "wsq_writers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace thumbnailer {

void FitSize(int width, int height, int size, int *outWidth, int *outHeight)
{
    int w = width;
    int h = height;
    if (size > 0 && (w > size || h > size)) {
        if (w >= h) {
            h = int((static_cast<long long>(h) * size + w / 2) / w);
            w = size;
        } else {
            w = int((static_cast<long long>(w) * size + h / 2) / h);
            h = size;
        }
    }
    *outWidth = std::max(1, w);
    *outHeight = std::max(1, h);
}

int Shrink(const GrayImage &src, int outWidth, int outHeight, GrayImage *out)
{
    const size_t count = static_cast<size_t>(outWidth) * static_cast<size_t>(outHeight);
    auto *pixels = static_cast<unsigned char *>(std::malloc(count));
    if (!pixels)
        return WSQ_E_READ_OR_NOMEM;
    for (int oy = 0; oy < outHeight; ++oy) {
        const int y0 = int(static_cast<long long>(oy) * src.height / outHeight);
        const int y1 = std::max(y0 + 1, int(static_cast<long long>(oy + 1) * src.height / outHeight));
        for (int ox = 0; ox < outWidth; ++ox) {
            const int x0 = int(static_cast<long long>(ox) * src.width / outWidth);
            const int x1 = std::max(x0 + 1, int(static_cast<long long>(ox + 1) * src.width / outWidth));
            unsigned long long sum = 0;
            for (int y = y0; y < y1; ++y) {
                const unsigned char *row = src.pixels + static_cast<size_t>(y) * src.width;
                for (int x = x0; x < x1; ++x)
                    sum += row[x];
            }
            const unsigned long long n = static_cast<unsigned long long>(y1 - y0) * (x1 - x0);
            pixels[static_cast<size_t>(oy) * outWidth + ox] = static_cast<unsigned char>((sum + n / 2) / n);
        }
    }
    out->pixels = pixels;
    out->width = outWidth;
    out->height = outHeight;
    out->depth = 8;
    out->ppi = -1;
    out->lossy = 1;
    return WSQ_OK;
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string PathFromArgument(const std::string &argument)
{
    const std::string scheme = "file://";
    if (argument.size() < scheme.size() ||
        !std::equal(scheme.begin(), scheme.end(), argument.begin(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(b)) == a; }))
        return argument;
    std::string rest = argument.substr(scheme.size());
    // file:///path or file://localhost/path; any other host is not ours.
    const size_t slash = rest.find('/');
    if (slash == std::string::npos)
        return {};
    const std::string host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost")
        return {};
    rest = rest.substr(slash);
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size()) {
            const int hi = hexValue(rest[i + 1]);
            const int lo = hexValue(rest[i + 2]);
            if (hi >= 0 && lo >= 0) {
                path += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        path += rest[i];
    }
#ifdef _WIN32
    // file:///C:/dir -> C:/dir
    if (path.size() >= 3 && path[0] == '/' && path[2] == ':')
        path.erase(0, 1);
#endif
    return path;
}

int MakeThumbnail(const std::string &input, const std::string &output, int size,
                  long long maxPixels, const char **stage)
{
    *stage = "read";
    unsigned char *data = nullptr;
    int length = 0;
    int status = wsq_load_file(input.c_str(), &data, &length);
    if (status < 0)
        return status;

    *stage = "decode";
    int width = 0, height = 0, encoder = 0, implementation = 0;
    status = wsq_query_header(data, length, &width, &height, &encoder, &implementation);
    if (status >= 0 && maxPixels > 0 && static_cast<long long>(width) * height > maxPixels)
        status = WSQ_E_TOO_MANY_PIXELS;
    GrayImage image{};
    if (status >= 0)
        status = wsq_decode_image(data, length, &image);
    std::free(data);
    if (status < 0)
        return status;

    *stage = "scale";
    int outWidth = 0, outHeight = 0;
    FitSize(image.width, image.height, size, &outWidth, &outHeight);
    GrayImage thumb{};
    if (outWidth == image.width && outHeight == image.height) {
        thumb = image;
        image = GrayImage{};
    } else {
        status = Shrink(image, outWidth, outHeight, &thumb);
        wsq_free_image(&image);
        if (status < 0)
            return status;
    }

    *stage = "write";
    status = wsq_save_png(&thumb, output.c_str());
    wsq_free_image(&thumb);
    return status;
}

} // namespace thumbnailer
