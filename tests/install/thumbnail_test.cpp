// The thumbnailer's own pieces: fitting sizes, box-filter reduction and the
// paths and URIs a file manager passes.
#include <gtest/gtest.h>

#include "thumbnail.h"

#include <cstdlib>
#include <vector>

using namespace thumbnailer;

namespace {

struct Fit {
    int w, h;
};

Fit fit(int width, int height, int size)
{
    Fit f{};
    FitSize(width, height, size, &f.w, &f.h);
    return f;
}

} // namespace

TEST(ThumbnailFit, LongerSideBecomesTheSizeAndSmallImagesStay)
{
    EXPECT_EQ(fit(500, 500, 128).w, 128);
    EXPECT_EQ(fit(500, 500, 128).h, 128);
    // Portrait and landscape keep their aspect ratio, rounded.
    EXPECT_EQ(fit(392, 1000, 128).w, 50);
    EXPECT_EQ(fit(392, 1000, 128).h, 128);
    EXPECT_EQ(fit(1608, 1000, 256).w, 256);
    EXPECT_EQ(fit(1608, 1000, 256).h, 159);
    // Never enlarged, never below one pixel.
    EXPECT_EQ(fit(100, 60, 256).w, 100);
    EXPECT_EQ(fit(100, 60, 256).h, 60);
    EXPECT_EQ(fit(10000, 3, 64).h, 1);
    EXPECT_EQ(fit(10000, 3, 64).w, 64);
}

TEST(ThumbnailShrink, EachPixelIsTheRoundedMeanOfItsBlock)
{
    // 4 x 2 -> 2 x 1: blocks {0,10,20,30} and {100,200,255,255}.
    std::vector<unsigned char> pixels = {0, 10, 100, 200, 20, 30, 255, 255};
    GrayImage src{pixels.data(), 4, 2, 8, -1, 1};
    GrayImage out{};
    ASSERT_EQ(Shrink(src, 2, 1, &out), 0);
    ASSERT_NE(out.pixels, nullptr);
    EXPECT_EQ(out.width, 2);
    EXPECT_EQ(out.height, 1);
    EXPECT_EQ(out.pixels[0], 15);
    EXPECT_EQ(out.pixels[1], 203); // 810 / 4 = 202.5 rounds up
    wsq_free_image(&out);

    // Uneven ratios cover every source row and column exactly once.
    std::vector<unsigned char> ramp(7 * 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            ramp[y * 7 + x] = static_cast<unsigned char>(x == 6 || y == 4 ? 255 : 0);
    GrayImage edge{ramp.data(), 7, 5, 8, -1, 1};
    ASSERT_EQ(Shrink(edge, 3, 2, &out), 0);
    EXPECT_EQ(out.pixels[0], 0);               // top-left block holds no edge pixel
    EXPECT_GT(out.pixels[2], 0);               // the last column reaches the right block
    EXPECT_GT(out.pixels[3], 0);               // the last row reaches the bottom blocks
    wsq_free_image(&out);
}

TEST(ThumbnailArguments, PathsAndFileUris)
{
    EXPECT_EQ(PathFromArgument("/home/a/print.wsq"), "/home/a/print.wsq");
    EXPECT_EQ(PathFromArgument("relative.wsq"), "relative.wsq");
    EXPECT_EQ(PathFromArgument("file:///home/a/print.wsq"), "/home/a/print.wsq");
    EXPECT_EQ(PathFromArgument("FILE:///x.wsq"), "/x.wsq");
    EXPECT_EQ(PathFromArgument("file://localhost/x.wsq"), "/x.wsq");
    // Escapes decode to bytes (UTF-8 names), bad escapes stay as they are.
    EXPECT_EQ(PathFromArgument("file:///a%20b/%C3%A9.wsq"), "/a b/\xC3\xA9.wsq");
    EXPECT_EQ(PathFromArgument("file:///100%/x%2"), "/100%/x%2");
    // Files on other hosts are not local.
    EXPECT_EQ(PathFromArgument("file://server/share/x.wsq"), "");
    EXPECT_EQ(PathFromArgument("file://"), "");
}

TEST(ThumbnailMake, MissingInputFailsAtTheReadStage)
{
    const char *stage = nullptr;
    EXPECT_LT(MakeThumbnail("/nonexistent/x.wsq", "/nonexistent/x.png", 128, 0, &stage), 0);
    EXPECT_STREQ(stage, "read");
}
