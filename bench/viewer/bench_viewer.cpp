// bench_viewer - how long the viewer takes to show a file and to repaint.
//
//   bench_viewer [repeats]
//
// Runs offscreen (unless QT_QPA_PLATFORM says otherwise) with settings in a
// temporary folder. Opens the shared 1608 x 1000 and 900 x 2500 samples
// (synthetic prints of the same sizes when the folder is absent), timing
// LoadAndShowFile plus the first paint of the view, then repaints a
// 1600 x 1000 view fitted and at 0.5, 1.0 and 3.0, unchanged and while
// panning. Prints the median and the fastest run in milliseconds.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "imagezoom.h"
#include "quorlandlg.h"
#include "uiseam.h"
#include "wsq.h"
#include "wsq_encoder.h"

namespace {

struct Stats {
    double median = 0;
    double best = 0;
};

Stats Time(int repeats, const std::function<void()> &run)
{
    std::vector<double> ms;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer t;
        t.start();
        run();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front()};
}

void Print(const char *what, const Stats &s)
{
    std::printf("%-44s median %7.2f ms   best %7.2f ms\n", what, s.median, s.best);
    std::fflush(stdout);
}

// A print-like texture of the given size, encoded at 0.75 bpp.
QString Synthetic(const QTemporaryDir &dir, int w, int h)
{
    std::vector<unsigned char> px(std::size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int dx = x - w / 2, dy = y - h / 2;
            px[std::size_t(y) * w + x] = (dx * dx + dy * dy) / 97 % 9 < 4 ? 40 : 215;
        }
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    unsigned char *out = nullptr;
    int length = 0;
    if (wsq_encode(px.data(), w, h, &params, &out, &length, nullptr) < 0)
        return {};
    const QString path = dir.filePath(QStringLiteral("synthetic-%1x%2.wsq").arg(w).arg(h));
    QFile f(path);
    const bool ok = f.open(QIODevice::WriteOnly) && f.write(reinterpret_cast<char *>(out), length) == length;
    std::free(out);
    return ok ? path : QString();
}

QString Sample(const QTemporaryDir &dir, const char *name, int w, int h)
{
    const QString shared = QStringLiteral(VELLUMO_SHARED_DATA_DIR "/") + QLatin1String(name);
    return QFile::exists(shared) ? shared : Synthetic(dir, w, h);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("VELLUMO_UPDATE_URL", ""); // no update check
    QApplication app(argc, argv);
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;

    QTemporaryDir dir;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    vellumo::ui::setMessageBoxHandler([](const vellumo::ui::MessageBoxRequest &r) {
        std::fprintf(stderr, "message: %s\n", qPrintable(r.text));
    });

    const struct { const char *label; const char *name; int w, h; } files[] = {
        {"open + first paint, 1608 x 1000", "nist-sample-slaps-left-1608x1000.wsq", 1608, 1000},
        {"open + first paint, 900 x 2500", "nist-sample-noise-900x2500.wsq", 900, 2500},
    };
    QImage large;
    for (const auto &f : files) {
        const QString path = Sample(dir, f.name, f.w, f.h);
        if (path.isEmpty()) {
            std::fprintf(stderr, "cannot make a %dx%d sample\n", f.w, f.h);
            return 1;
        }
        CquorlanDlg w;
        w.resize(1600, 1000);
        w.show();
        QCoreApplication::processEvents();
        const Stats s = Time(repeats, [&] {
            w.OpenPath(path);
            w.view()->repaint(); // the first paint, fitted
        });
        Print(f.label, s);

        // The decoder's share, to tell it from the viewer's own work.
        unsigned char *data = nullptr;
        int length = 0;
        if (wsq_load_file(QFile::encodeName(path).constData(), &data, &length) == 0) {
            const Stats d = Time(repeats, [&] {
                int dw, dh, dd, dp, dl;
                wsq_decode_buffer(&dw, &dh, &dd, &dp, &dl, data, length);
            });
            std::free(data);
            Print("  of which decoding (wsq_decode_buffer)", d);
            Print("  viewer's own share (median difference)", Stats{s.median - d.median, s.best - d.best});
        }
        w.OpenPath(path);
        if (f.w == 1608)
            large = w.displayBitmap();
    }

    // Repaints of a 1600 x 1000 view showing the 1608 x 1000 image.
    CImageZoom view;
    view.resize(1600, 1000);
    view.SetBitmap(large);
    view.show();
    QCoreApplication::processEvents();
    view.repaint();
    Print("repaint, fit", Time(repeats * 4, [&] { view.repaint(); }));
    Print("repaint, fit after a resize", Time(repeats, [&] {
              view.resize(view.width() == 1600 ? 1599 : 1600, 1000);
              view.repaint();
          }));
    view.resize(1600, 1000);
    for (float zoom : {0.5f, 1.0f, 3.0f}) {
        view.m_viewMode = CImageZoom::VIEW_ZOOM;
        view.SetZoom(zoom);
        view.HorizontalBar()->setValue(0);
        view.VerticalBar()->setValue(0);
        view.repaint();
        char label[64];
        std::snprintf(label, sizeof label, "repaint, zoom %.1f", zoom);
        Print(label, Time(repeats * 4, [&] { view.repaint(); }));
        int step = 0;
        std::snprintf(label, sizeof label, "repaint, zoom %.1f, panning", zoom);
        Print(label, Time(repeats * 4, [&] {
                  ++step;
                  view.HorizontalBar()->setValue(step * 7 % 200);
                  view.VerticalBar()->setValue(step * 5 % 150);
                  view.repaint();
              }));
    }
    wsq_release_current_image();
    return 0;
}
