// Keying speed, each figure beside its baseline measured in the same run:
//  - the key with an overlay on a 24-megapixel photo into the photo buffer,
//    beside a memcpy of the same bytes and ffmpeg's chromakey and overlay
//    filters doing the same job;
//  - a 24-megapixel JPEG from file to keyed file as the booth sees it (the
//    second photo of a session, the first photo of a new session, a photo
//    with a new background), beside Qt's own decode plus encode of the same
//    file;
//  - live-view frames at 20 a second while photos are keyed back to back:
//    the longest gap between shown frames.
// The figures asked for are on 2 cores: run it as
//     taskset -c 0,1 bench_greenscreen_keying
// Every benchmark runs 5 times; the summary gives min and median.
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <sched.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <atomic>
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
#include "camera/CameraManager.h"
#include "camera/FolderCameraModel.h"
#include "greenscreen/DominantColorFinder.h"
#include "greenscreen/GreenScreenFilterSettings.h"
#include "greenscreen/GreenScreenFilters.h"
#include "greenscreen/GreenScreenManager.h"
#include "greenscreen/KeyingEngine.h"
#include "templates/ImageUtils.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepetitions = 5;

std::string scratch;  // temporary home of this run
QString scratchQ() { return QString::fromStdString(scratch); }

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

QImage backdrop(int w, int h, QColor from = QColor(250, 180, 60)) {
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, from);
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

struct Photo24 {
    QImage photo = scene(6000, 4000);
    QImage background = keying::scaleToFill(backdrop(3000, 2000), QSize(6000, 4000));
    QImage overlay = keying::scaleSmoothly(frameOverlay(3000, 2000), QSize(6000, 4000));
    keying::OverlayRuns overlayRuns = keying::OverlayRuns::of(overlay);
    keying::KeyParameters key = keying::keyParametersFor(QColor(0, 204, 102), 0.1f, 0.11f);
};
Photo24& photo24() {
    static Photo24 p;
    return p;
}

// The photo as the camera delivers it, and where the booth puts it.
const QString& originalJpeg() {
    static const QString path = [] {
        const QString p = scratchQ() + "/original.jpg";
        photo24().photo.save(p, "JPEG", 95);
        return p;
    }();
    return path;
}
QString incomingPhoto(const QString& name = "photo.jpg") {
    QDir().mkpath(scratchQ() + "/data/incoming");
    QDir().mkpath(scratchQ() + "/data/Green Screen");
    const QString path = scratchQ() + "/data/incoming/" + name;
    QFile::remove(path);
    QFile::copy(originalJpeg(), path);
    return path;
}

// Two backgrounds with overlays, taken in turn.
void configureBackgrounds() {
    static bool done = false;
    if (done) return;
    done = true;
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < 2; ++i) {
        const QString bg = scratchQ() + QString("/backdrop%1.jpg").arg(i);
        const QString ov = scratchQ() + QString("/overlay%1.png").arg(i);
        backdrop(3000, 2000, i ? QColor(200, 60, 160) : QColor(250, 180, 60)).save(bg, "JPEG", 95);
        frameOverlay(3000, 2000).save(ov);
        list.push_back({{bg.toStdString(), ov.toStdString()}});
    }
    UserDefaults::standard().set("GREEN_SCREEN_BACKGROUNDS", list);
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

// What a photo costs once its background and overlay are prepared: the key
// with the overlay, written into the photo buffer the manager keeps.
void BM_Key24MPWithOverlay(benchmark::State& state) {
    Photo24& p = photo24();
    QImage buffer = keying::composite(p.photo, p.background, p.overlay, p.key);
    for (auto _ : state) {
        buffer = keying::composite(p.photo, p.background, p.overlay, p.key, std::move(buffer), &p.overlayRuns);
        benchmark::DoNotOptimize(buffer.constBits());
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
    writeRaw(p.photo, scratchQ() + "/photo.raw");
    writeRaw(p.background, scratchQ() + "/bg.raw");
    writeRaw(p.overlay.convertToFormat(QImage::Format_ARGB32), scratchQ() + "/ov.raw");
    cpu_set_t set;
    CPU_ZERO(&set);
    const int cores = sched_getaffinity(0, sizeof(set), &set) == 0 ? CPU_COUNT(&set) : 2;
    const std::string threads = std::to_string(std::max(2, cores));
    const std::string in = " -f rawvideo -pix_fmt bgra -s 6000x4000 -i ";
    const std::string cmd = "ffmpeg -v error -y -threads " + threads + " -filter_threads " + threads + in + scratch +
                            "/photo.raw" + in + scratch + "/bg.raw" + in + scratch + "/ov.raw" +
                            " -filter_complex \"[0:v]chromakey=0x00CC66:0.1:0.11[k];[1:v][k]overlay[o];"
                            "[o][2:v]overlay\" -f rawvideo -pix_fmt bgra " + scratch + "/out.raw";
    for (auto _ : state) {
        const auto start = Clock::now();
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * p.photo.sizeInBytes());
}

// The baseline of a photo's way from file to file: Qt reads the JPEG and
// writes it again at the quality the booth uses.
void BM_QtDecodeEncode24MP(benchmark::State& state) {
    const QString out = scratchQ() + "/reencoded.jpg";
    originalJpeg();
    for (auto _ : state) {
        QImageReader reader(originalJpeg());
        const QImage image = reader.read();
        QImageWriter writer(out, "jpeg");
        writer.setQuality(100);
        if (image.isNull() || !writer.write(image)) {
            state.SkipWithError("Qt could not decode or encode the photo");
            return;
        }
    }
}

// One photo handed to the manager and waited for, timed alone: what the
// guest waits for after the shutter.
double keyOnePhoto(GreenScreenManager& manager) {
    const QString path = incomingPhoto();
    const auto start = Clock::now();
    manager.replaceBackgroundInImageFromURL(path);
    manager.waitUntilIdle();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_FileToFile24MP_SecondPhotoOfASession(benchmark::State& state) {
    configureBackgrounds();
    UserDefaults::standard().set("GREEN_SCREEN_BACKGROUND_SELECTION_TYPE", 1);
    UserDefaults::standard().set("GREEN_SCREEN_BACKGROUNDS_TO_USE",
                                 UserDefaults::standard().object("GREEN_SCREEN_BACKGROUNDS")->at(0));
    GreenScreenManager manager;
    keyOnePhoto(manager);
    for (auto _ : state) state.SetIterationTime(keyOnePhoto(manager));
    UserDefaults::standard().set("GREEN_SCREEN_BACKGROUND_SELECTION_TYPE", 0);
}

void BM_FileToFile24MP_FirstPhotoOfANewSession(benchmark::State& state) {
    configureBackgrounds();
    for (auto _ : state) {
        GreenScreenManager manager;
        manager.waitUntilIdle();  // the countdown: the background is prepared meanwhile
        state.SetIterationTime(keyOnePhoto(manager));
    }
}

void BM_FileToFile24MP_PhotoWithANewBackground(benchmark::State& state) {
    configureBackgrounds();
    GreenScreenManager manager;
    keyOnePhoto(manager);
    for (auto _ : state) {
        manager.updateBackgroundImageIndex();  // the booth moves on as the countdown starts
        manager.waitUntilIdle();
        state.SetIterationTime(keyOnePhoto(manager));
    }
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

// Live view at 20 frames a second on its own thread while the worker keys
// photos back to back, each with a new background; a frame that is late is
// dropped, never queued, as the booth does. Reported: the longest time
// between two shown frames, in ms (the iteration time), and the share of
// frames shown.
std::vector<double> liveViewShownShares;
void BM_LiveViewLongestGapWhilePhotosAreKeyed(benchmark::State& state) {
    configureBackgrounds();
    const QImage frame = scene(1920, 1280);
    for (auto _ : state) {
        GreenScreenManager manager;
        manager.waitUntilIdle();
        manager.replaceBackgroundInImageForLiveView(frame);
        std::atomic<bool> done{false};
        double longest = 0;
        int offered = 0, shown = 0;
        std::thread live([&] {
            const auto period = std::chrono::milliseconds(50);
            auto last = Clock::now();
            auto next = last;
            while (!done) {
                next += period;
                std::this_thread::sleep_until(next);
                const auto now = Clock::now();
                if (now - next > period) next = now;  // late: drop the ticks missed
                ++offered;
                if (!manager.replaceBackgroundInImageForLiveView(frame).isNull()) {
                    const auto at = Clock::now();
                    longest = std::max(longest, std::chrono::duration<double, std::milli>(at - last).count());
                    last = at;
                    ++shown;
                }
            }
        });
        for (int i = 0; i < 4; ++i) {
            manager.replaceBackgroundInImageFromURL(incomingPhoto(QString("photo%1.jpg").arg(i)));
            manager.updateBackgroundImageIndex();
        }
        manager.waitUntilIdle();
        done = true;
        live.join();
        state.SetIterationTime(longest / 1000.0);
        liveViewShownShares.push_back(offered ? static_cast<double>(shown) / offered : 0);
    }
}

// The first photo of the run: no photo has been keyed yet, so the size its
// background is prepared at comes from the camera, as in the booth (a
// folder camera over the photo). Timed once; also timed without a camera,
// where the background is scaled when the photo arrives.
double firstPhotoOfTheRunMs = 0;
double firstPhotoWithoutCameraMs = 0;
void timeFirstPhotoOfTheRun() {
    configureBackgrounds();
    const QString cameraFolder = scratchQ() + "/camera";
    QDir().mkpath(cameraFolder);
    QFile::copy(originalJpeg(), cameraFolder + "/photo.jpg");
    auto& cameras = CameraManager::sharedCameraManager();
    cameras.setCameraModel(std::make_shared<FolderCameraModel>(cameraFolder));
    {
        GreenScreenManager manager;
        manager.waitUntilIdle();  // the countdown
        firstPhotoOfTheRunMs = keyOnePhoto(manager) * 1000;
    }
    cameras.setCameraModel(nullptr);
}
// Without a camera only a process's very first photo has no size to be
// prepared at, so that one is timed in a child process.
void timeFirstPhotoWithoutCamera(const char* self) {
    std::string cmd = std::string(self) + " --first-photo-without-camera";
    FILE* child = popen(cmd.c_str(), "r");
    if (!child) return;
    if (std::fscanf(child, "%lf", &firstPhotoWithoutCameraMs) != 1) firstPhotoWithoutCameraMs = 0;
    pclose(child);
}

BENCHMARK(BM_Memcpy24MP)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Key24MPWithOverlay)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Ffmpeg24MPChromakeyOverlay)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_QtDecodeEncode24MP)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_FileToFile24MP_SecondPhotoOfASession)
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_FileToFile24MP_FirstPhotoOfANewSession)
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_FileToFile24MP_PhotoWithANewBackground)
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_LiveView1MPAutomaticKey)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_LiveView1920x1280AutomaticKey)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_LiveViewLongestGapWhilePhotosAreKeyed)
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(3);

// Prints the usual table, then each figure beside its baseline: min and
// median over the repetitions.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> ms;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
            ms[r.run_name.function_name].push_back(r.GetAdjustedRealTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }
    bool has(const std::string& name) const { return ms.count(name) && !ms.at(name).empty(); }
    double min(const std::string& name) const {
        return has(name) ? *std::min_element(ms.at(name).begin(), ms.at(name).end()) : 0;
    }
    double median(const std::string& name) const {
        if (!has(name)) return 0;
        std::vector<double> v = ms.at(name);
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double max(const std::string& name) const {
        return has(name) ? *std::max_element(ms.at(name).begin(), ms.at(name).end()) : 0;
    }
    void ratio(const char* what, const std::string& name, const std::string& base, const char* baseWhat) const {
        if (!has(name) || !has(base)) return;
        std::printf("%s: min %.1f ms, median %.1f ms = %.2f / %.2f x %s (min %.1f ms, median %.1f ms)\n", what,
                    min(name), median(name), min(name) / min(base), median(name) / median(base), baseWhat, min(base),
                    median(base));
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
    ImageUtils::allowLargeImages();
    if (argc > 1 && std::strcmp(argv[1], "--first-photo-without-camera") == 0) {
        configureBackgrounds();
        GreenScreenManager manager;
        manager.waitUntilIdle();
        std::printf("%f\n", keyOnePhoto(manager) * 1000);
        std::filesystem::remove_all(scratch);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    timeFirstPhotoOfTheRun();
    timeFirstPhotoWithoutCamera(argv[0]);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    cpu_set_t set;
    CPU_ZERO(&set);
    const int cores = sched_getaffinity(0, sizeof(set), &set) == 0 ? CPU_COUNT(&set) : 0;
    std::printf("\nCores this run may use: %d%s; pool threads used by the keying: at most %d\n", cores,
                cores == 2 ? "" : " (the figures asked for are on 2: taskset -c 0,1)",
                std::min(cores, static_cast<int>(base::ThreadPool::shared().size()) + 1));
    std::printf("Ratios are min/min and median/median of the same run.\n");
    reporter.ratio("24 MP keyed with overlay into the photo buffer", "BM_Key24MPWithOverlay", "BM_Memcpy24MP",
                   "memcpy of the same bytes");
    reporter.ratio("ffmpeg chromakey + overlay on the same photo", "BM_Ffmpeg24MPChromakeyOverlay",
                   "BM_Key24MPWithOverlay", "ours");
    reporter.ratio("24 MP JPEG file to keyed file, second photo of a session",
                   "BM_FileToFile24MP_SecondPhotoOfASession", "BM_QtDecodeEncode24MP", "Qt decode + encode");
    reporter.ratio("24 MP JPEG file to keyed file, first photo of a new session",
                   "BM_FileToFile24MP_FirstPhotoOfANewSession", "BM_QtDecodeEncode24MP", "Qt decode + encode");
    reporter.ratio("24 MP JPEG file to keyed file, photo with a new background",
                   "BM_FileToFile24MP_PhotoWithANewBackground", "BM_QtDecodeEncode24MP", "Qt decode + encode");
    if (reporter.has("BM_QtDecodeEncode24MP")) {
        const double qt = reporter.median("BM_QtDecodeEncode24MP");
        std::printf("24 MP JPEG file to keyed file, first photo of the run, size from the camera: %.0f ms = %.2f x "
                    "Qt decode + encode (median %.0f ms)\n",
                    firstPhotoOfTheRunMs, firstPhotoOfTheRunMs / qt, qt);
        if (firstPhotoWithoutCameraMs > 0)
            std::printf("24 MP JPEG file to keyed file, first photo of the run, no camera to tell its size: %.0f ms "
                        "= %.2f x Qt decode + encode (median)\n",
                        firstPhotoWithoutCameraMs, firstPhotoWithoutCameraMs / qt);
    }
    if (reporter.has("BM_LiveView1MPAutomaticKey")) {
        std::printf("1 MP live-view frame, automatic key colour: min %.2f ms, median %.2f ms\n",
                    reporter.min("BM_LiveView1MPAutomaticKey"), reporter.median("BM_LiveView1MPAutomaticKey"));
    }
    if (reporter.has("BM_LiveView1920x1280AutomaticKey")) {
        std::printf("1920x1280 live-view frame, automatic key colour: min %.2f ms, median %.2f ms\n",
                    reporter.min("BM_LiveView1920x1280AutomaticKey"),
                    reporter.median("BM_LiveView1920x1280AutomaticKey"));
    }
    if (reporter.has("BM_LiveViewLongestGapWhilePhotosAreKeyed")) {
        double shownMin = 1, shownMax = 0;
        for (double s : liveViewShownShares) shownMin = std::min(shownMin, s), shownMax = std::max(shownMax, s);
        std::printf("1920x1280 live view at 20 frames/s while 4 photos are keyed back to back, each with a new "
                    "background: longest gap between shown frames min %.0f ms, median %.0f ms, max %.0f ms (frame period 50 "
                    "ms); %.0f%% to %.0f%% of frames shown\n",
                    reporter.min("BM_LiveViewLongestGapWhilePhotosAreKeyed"),
                    reporter.median("BM_LiveViewLongestGapWhilePhotosAreKeyed"),
                    reporter.max("BM_LiveViewLongestGapWhilePhotosAreKeyed"), shownMin * 100, shownMax * 100);
    }
    std::filesystem::remove_all(scratch);
    return 0;
}
