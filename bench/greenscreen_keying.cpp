// Keying speed: the engine on a 24-megapixel photo with an overlay, beside a
// memcpy of the same bytes and ffmpeg's chromakey and overlay filters doing
// the same job; live-view frames with the automatic key colour; and a
// 24-megapixel photo from JPEG file to JPEG file.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/Executor.h"
#include "core/UserDefaults.h"
#include "greenscreen/DominantColorFinder.h"
#include "greenscreen/GreenScreenFilterSettings.h"
#include "greenscreen/GreenScreenFilters.h"
#include "greenscreen/GreenScreenManager.h"
#include "greenscreen/KeyingEngine.h"

namespace {

std::string scratch;  // temporary home of this run

// A guest (skin and clothes) in front of a slightly noisy green screen.
QImage scene(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(0, 204, 102));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 50, 120));
    p.drawRoundedRect(QRectF(w * 0.3, h * 0.45, w * 0.4, h * 0.55), w * 0.05, w * 0.05);
    p.setBrush(QColor(225, 175, 145));
    p.drawEllipse(QRectF(w * 0.4, h * 0.12, w * 0.2, h * 0.35));
    p.end();
    std::mt19937 rng(7);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; x += 3) {
            const int n = static_cast<int>(rng() % 9) - 4;
            const QRgb c = row[x];
            row[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                          std::clamp(qBlue(c) + n, 0, 255));
        }
    }
    return image;
}

QImage backdrop(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(250, 180, 60));
    g.setColorAt(1, QColor(60, 90, 200));
    p.fillRect(image.rect(), g);
    return image;
}

QImage frameOverlay(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setPen(QPen(QColor(255, 255, 255, 220), h / 25.0));
    p.drawRect(QRectF(0, 0, w, h).adjusted(h / 50.0, h / 50.0, -h / 50.0, -h / 50.0));
    return image;
}

const GreenScreenFilterSettings& keySettings() {
    static const auto s = GreenScreenFilterSettings::initWithSettingsWithSmoothness(0.1f, 0.11f, QColor(0, 204, 102));
    return s;
}

struct Photo24 {
    QImage photo = scene(6000, 4000);
    QImage background = keying::scaleToFill(backdrop(3000, 2000), QSize(6000, 4000));
    QImage overlay = frameOverlay(6000, 4000);
};
Photo24& photo24() {
    static Photo24 p;
    return p;
}

void BM_Memcpy24MP(benchmark::State& state) {
    const QImage& src = photo24().photo;
    std::vector<unsigned char> dst(src.sizeInBytes());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.constBits(), dst.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * src.sizeInBytes());
}

void BM_Key24MPWithOverlay(benchmark::State& state) {
    Photo24& p = photo24();
    GreenScreenFilters filters;
    filters.initImages(p.background, p.overlay);
    filters.applyGPUFilterOnImage(p.photo, p.background, p.overlay, &keySettings());  // pictures made once
    for (auto _ : state) {
        QImage out = filters.applyGPUFilterOnImage(p.photo, p.background, p.overlay, &keySettings());
        benchmark::DoNotOptimize(out.constBits());
    }
    state.SetBytesProcessed(state.iterations() * p.photo.sizeInBytes());
}

bool writeRaw(const QImage& image, const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    return f.write(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()) == image.sizeInBytes();
}

void BM_Ffmpeg24MPChromakeyOverlay(benchmark::State& state) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    Photo24& p = photo24();
    const QString dir = QString::fromStdString(scratch);
    writeRaw(p.photo, dir + "/photo.raw");
    writeRaw(p.background, dir + "/bg.raw");
    writeRaw(p.overlay.convertToFormat(QImage::Format_ARGB32), dir + "/ov.raw");
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    const std::string in = " -f rawvideo -pix_fmt bgra -s 6000x4000 -i ";
    const std::string cmd = "ffmpeg -v error -y -threads " + std::to_string(threads) + " -filter_threads " +
                            std::to_string(threads) + in + scratch + "/photo.raw" + in + scratch + "/bg.raw" + in +
                            scratch + "/ov.raw" +
                            " -filter_complex \"[0:v]chromakey=0x00CC66:0.1:0.11[k];[1:v][k]overlay[o];"
                            "[o][2:v]overlay\" -f rawvideo -pix_fmt bgra " + scratch + "/out.raw";
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * p.photo.sizeInBytes());
}

void configureBackgrounds() {
    static bool done = false;
    if (done) return;
    done = true;
    const QString bg = QString::fromStdString(scratch) + "/backdrop.jpg";
    const QString ov = QString::fromStdString(scratch) + "/overlay.png";
    backdrop(3000, 2000).save(bg, "JPEG", 95);
    frameOverlay(3000, 2000).save(ov);
    UserDefaults::standard().set("GREEN_SCREEN_BACKGROUNDS",
                                 nlohmann::json::array({{{bg.toStdString(), ov.toStdString()}}}));
}

void liveView(benchmark::State& state, int w, int h) {
    configureBackgrounds();
    GreenScreenManager manager;
    const QImage frame = scene(w, h);
    manager.replaceBackgroundInImageForLiveView(frame);  // loads and scales the background once
    for (auto _ : state) {
        QImage out = manager.replaceBackgroundInImageForLiveView(frame);
        benchmark::DoNotOptimize(out.constBits());
    }
}
void BM_LiveView1MPAutomaticKey(benchmark::State& state) { liveView(state, 1224, 816); }
void BM_LiveView1920x1280AutomaticKey(benchmark::State& state) { liveView(state, 1920, 1280); }

void BM_JpegFileToFile24MP(benchmark::State& state) {
    configureBackgrounds();
    const QString original = QString::fromStdString(scratch) + "/original.jpg";
    photo24().photo.save(original, "JPEG", 95);
    QDir().mkpath(QString::fromStdString(scratch) + "/data/incoming");
    QDir().mkpath(QString::fromStdString(scratch) + "/data/Green Screen");
    const QString path = QString::fromStdString(scratch) + "/data/incoming/photo.jpg";
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(path);
        QFile::copy(original, path);
        state.ResumeTiming();
        // A new session each time: the background is read and scaled too.
        GreenScreenManager manager;
        manager.replaceBackgroundInImageFromURL(path);
        manager.waitUntilIdle();
    }
}

BENCHMARK(BM_Memcpy24MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Key24MPWithOverlay)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ffmpeg24MPChromakeyOverlay)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_LiveView1MPAutomaticKey)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiveView1920x1280AutomaticKey)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegFileToFile24MP)->Unit(benchmark::kMillisecond)->Iterations(5);

// Prints the usual table, then each figure beside its baseline.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ms;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (!r.error_occurred) ms[r.benchmark_name()] = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double get(const std::string& prefix) const {
        for (auto& [name, v] : ms) {
            if (name.rfind(prefix, 0) == 0) return v;
        }
        return 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Nothing here may touch the real user's settings or pictures.
    char tmpl[] = "/tmp/flashwren-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    scratch = tmpl;
    setenv("HOME", tmpl, 1);
    for (const char* v : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        setenv(v, (scratch + "/" + v).c_str(), 1);
    }
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double mem = reporter.get("BM_Memcpy24MP"), key = reporter.get("BM_Key24MPWithOverlay"),
                 ff = reporter.get("BM_Ffmpeg24MPChromakeyOverlay");
    std::printf("\nThreads: %zu pool workers + the caller\n", base::ThreadPool::shared().size());
    if (mem > 0 && key > 0) {
        std::printf("24 MP keyed with overlay: %.1f ms = %.2f x memcpy of the same bytes (%.1f ms)\n", key, key / mem,
                    mem);
    }
    if (ff > 0 && key > 0) std::printf("ffmpeg chromakey + overlay on the same photo: %.1f ms (%.1f x ours)\n", ff, ff / key);
    if (double lv = reporter.get("BM_LiveView1MPAutomaticKey"); lv > 0) {
        std::printf("1 MP live-view frame, automatic key colour: %.2f ms\n", lv);
    }
    if (double lv = reporter.get("BM_LiveView1920x1280AutomaticKey"); lv > 0) {
        std::printf("1920x1280 live-view frame, automatic key colour: %.2f ms\n", lv);
    }
    if (double f2f = reporter.get("BM_JpegFileToFile24MP"); f2f > 0) {
        std::printf("24 MP JPEG file to keyed JPEG file (new session): %.0f ms\n", f2f);
    }
    std::filesystem::remove_all(scratch);
    return 0;
}
