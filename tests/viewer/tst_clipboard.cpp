// Clipboard copy: the 24-bit block byte for byte, and what the clipboard
// holds after a copy (offscreen, in-process clipboard).
#include "clipboard.h"
#include "uiseam.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QWidget>
#include <QtTest>

#include <cstdint>
#include <vector>

namespace {

std::uint32_t le32(const QByteArray &b, int at)
{
    return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 16 | std::uint32_t(std::uint8_t(b[at + 3])) << 24;
}
std::uint16_t le16(const QByteArray &b, int at)
{
    return std::uint16_t(std::uint8_t(b[at]) | std::uint8_t(b[at + 1]) << 8);
}
int byteAt(const QByteArray &b, int at) { return std::uint8_t(b[at]); }

// A gray display bitmap with the same bytes as a packed pixel buffer.
QImage grayBitmap(const std::vector<unsigned char> &pixels, int width, int height)
{
    QImage image(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y)
        memcpy(image.scanLine(y), pixels.data() + y * width, size_t(width));
    return image;
}

std::vector<unsigned char> ramp(int width, int height)
{
    std::vector<unsigned char> pixels(size_t(width) * size_t(height));
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<unsigned char>((i * 37 + 11) % 256);
    return pixels;
}

// Every pixel of image is the gray level of the packed buffer, upright.
bool isUprightGray(const QImage &image, const std::vector<unsigned char> &pixels, int width, int height)
{
    if (image.size() != QSize(width, height))
        return false;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int g = pixels[size_t(y * width + x)];
            if (image.pixel(x, y) != qRgb(g, g, g))
                return false;
        }
    return true;
}

} // namespace

class TestClipboard : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_messages.clear();
        vellumo::ui::setMessageBoxHandler(
            [this](const vellumo::ui::MessageBoxRequest &r) { m_messages.append(r); });
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    }
    void cleanup() { vellumo::ui::setMessageBoxHandler({}); }

    void block3x2HasPaddedRowsBottomFirst()
    {
        // Rows top to bottom: 10 20 30 / 40 50 60.
        const unsigned char pixels[] = {10, 20, 30, 40, 50, 60};
        const QByteArray dib = BuildRgbDibFromGray(pixels, 3, 2);
        QCOMPARE(dib.size(), 64);

        QCOMPARE(le32(dib, 0), 40u);
        QCOMPARE(le32(dib, 4), 3u);
        QCOMPARE(le32(dib, 8), 2u); // positive height: bottom-up
        QCOMPARE(le16(dib, 12), std::uint16_t(1));
        QCOMPARE(le16(dib, 14), std::uint16_t(24));
        QCOMPARE(le32(dib, 16), 0u);
        QCOMPARE(le32(dib, 20), 24u); // stride 12 * height 2
        for (int at = 24; at < 40; at += 4)
            QCOMPARE(le32(dib, at), 0u);

        const int expected[2][3] = {{40, 50, 60}, {10, 20, 30}}; // bottom row first
        for (int row = 0; row < 2; ++row) {
            const int base = 40 + row * 12;
            for (int x = 0; x < 3; ++x)
                for (int c = 0; c < 3; ++c)
                    QCOMPARE(byteAt(dib, base + 3 * x + c), expected[row][x]);
            for (int pad = 9; pad < 12; ++pad)
                QCOMPARE(byteAt(dib, base + pad), 0);
        }
    }

    void block4x1HasNoPadding()
    {
        const unsigned char pixels[] = {1, 2, 3, 4};
        const QByteArray dib = BuildRgbDibFromGray(pixels, 4, 1);
        QCOMPARE(dib.size(), 40 + 12);
        QCOMPARE(le32(dib, 20), 12u);
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c)
                QCOMPARE(byteAt(dib, 40 + 3 * x + c), x + 1);
    }

    void strideIsSmallestMultipleOfFour_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("stride");
        QTest::newRow("1") << 1 << 4;
        QTest::newRow("2") << 2 << 8;
        QTest::newRow("5") << 5 << 16;
        QTest::newRow("7") << 7 << 24;
        QTest::newRow("8") << 8 << 24;
    }
    void strideIsSmallestMultipleOfFour()
    {
        QFETCH(int, width);
        QFETCH(int, stride);
        const std::vector<unsigned char> pixels(size_t(width) * 3, 77);
        const QByteArray dib = BuildRgbDibFromGray(pixels.data(), width, 3);
        QCOMPARE(dib.size(), 40 + 3 * stride);
        QCOMPARE(le32(dib, 20), std::uint32_t(3 * stride));
        // Gray 77 is stored as blue = green = red = 77.
        for (int row = 0; row < 3; ++row)
            for (int i = 0; i < 3 * width; ++i)
                QCOMPARE(byteAt(dib, 40 + row * stride + i), 77);
    }

    void emptyImageGivesNoBlock()
    {
        const unsigned char pixel = 5;
        QVERIFY(BuildRgbDibFromGray(&pixel, 0, 1).isEmpty());
        QVERIFY(BuildRgbDibFromGray(&pixel, 1, 0).isEmpty());
        QVERIFY(BuildRgbDibFromGray(&pixel, -1, 1).isEmpty());
        QVERIFY(BuildRgbDibFromGray(nullptr, 1, 1).isEmpty());
        QVERIFY(BuildRgbDibFromImage(QImage()).isEmpty());
        QVERIFY(BmpFileFromDib(QByteArray()).isEmpty());
        // Rows beyond what 32-bit size fields can describe are refused.
        QVERIFY(BuildRgbDibFromGray(&pixel, 0x7FFFFFFF, 2).isEmpty());
    }

    void rgbBitmapKeepsGrayLevelsAndOrientation()
    {
        // Odd width: the QImage rows are padded, the conversion must not skew.
        const std::vector<unsigned char> pixels = ramp(5, 3);
        const QImage gray = grayBitmap(pixels, 5, 3);
        const QImage rgb = CreateRgbBitmapFromGray(gray);
        QCOMPARE(rgb.format(), QImage::Format_RGB888);
        QVERIFY(isUprightGray(rgb, pixels, 5, 3));
        // Both roads to the block give the same bytes.
        QCOMPARE(BuildRgbDibFromImage(rgb), BuildRgbDibFromGray(pixels.data(), 5, 3));

        // A palettized bitmap goes through its colour table.
        QImage indexed(2, 1, QImage::Format_Indexed8);
        indexed.setColorTable({qRgb(0, 0, 0), qRgb(200, 200, 200)});
        indexed.scanLine(0)[0] = 1;
        indexed.scanLine(0)[1] = 0;
        const QImage fromIndexed = CreateRgbBitmapFromGray(indexed);
        QCOMPARE(fromIndexed.pixel(0, 0), qRgb(200, 200, 200));
        QCOMPARE(fromIndexed.pixel(1, 0), qRgb(0, 0, 0));

        QVERIFY(CreateRgbBitmapFromGray(QImage()).isNull());
        QVERIFY(CreateRgbBitmapFromGray(QImage(2, 2, QImage::Format_RGB32)).isNull());
    }

    void copyPutsUprightImageAndBmpOnClipboard()
    {
        const int w = 7, h = 4;
        const std::vector<unsigned char> pixels = ramp(w, h);
        const QImage bitmap = grayBitmap(pixels, w, h);
        QWidget owner;
        CopyImageToClipboard(&bitmap, &owner);
        QVERIFY(m_messages.isEmpty());

        QVERIFY(isUprightGray(QGuiApplication::clipboard()->image(), pixels, w, h));

        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        QVERIFY(data);
        QVERIFY(data->hasFormat(QStringLiteral("image/bmp")));
        const QByteArray bmp = data->data(QStringLiteral("image/bmp"));
        const QByteArray dib = BuildRgbDibFromGray(pixels.data(), w, h);
        QCOMPARE(bmp.size(), 14 + dib.size());
        QCOMPARE(bmp.left(2), QByteArray("BM"));
        QCOMPARE(le32(bmp, 2), std::uint32_t(bmp.size()));
        QCOMPARE(le32(bmp, 6), 0u);
        QCOMPARE(le32(bmp, 10), 54u);
        QCOMPARE(bmp.mid(14), dib);

        // Another program reading the BMP sees it upright too.
        QVERIFY(isUprightGray(QImage::fromData(bmp, "BMP"), pixels, w, h));
    }

    void copyWithoutImageDoesNothing()
    {
        QWidget owner;
        const QImage empty;
        CopyImageToClipboard(nullptr, &owner);
        CopyImageToClipboard(&empty, &owner);
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
        QVERIFY(!PutBitmapOnClipboard(QImage(), &owner));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    }

    void copyOfNonGrayBitmapIsRefusedWithMessage()
    {
        QImage colour(3, 3, QImage::Format_RGB32);
        colour.fill(Qt::red);
        QWidget owner;
        CopyImageToClipboard(&colour, &owner);
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.at(0).caption, QStringLiteral("Vellumo"));
        QCOMPARE(m_messages.at(0).text,
                 QStringLiteral("Copying of images other than 8 or 24bit is not supported"));
        QCOMPARE(m_messages.at(0).owner, nullptr);
        // The clipboard keeps what it held.
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    }

private:
    QList<vellumo::ui::MessageBoxRequest> m_messages;
};

QTEST_MAIN(TestClipboard)
#include "tst_clipboard.moc"
