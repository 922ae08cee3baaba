// The interface thread's time per setting change: the green-screen live view
// with an automatic key colour stores the colour, sensitivity and smoothness
// for every frame whose colour changes. Beside it, in the same run, the
// baseline: the same change written to disk at once on the calling thread
// (a whole-file atomic write with fsync per change, as every change was
// written before). The settings file holds about what a configured booth's
// does.
//
// Run pinned to two cores:  taskset -c 0,1 bench_settings_changes [frames] [repetitions]
// Prints min and median microseconds per change over the repetitions, and
// their ratios to the baseline.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/UserDefaults.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string scratchFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "flashwren-bench-XXXXXX").string();
    if (!::mkdtemp(templ.data())) std::abort();
    return templ;
}

void fillLikeABooth(UserDefaults& d) {
    for (int i = 0; i < 120; ++i) d.set("SETTING_" + std::to_string(i), std::string(40, char('a' + i % 26)));
    nlohmann::json backgrounds = nlohmann::json::array();
    for (int i = 0; i < 30; ++i)
        backgrounds.push_back({{"path", "/home/booth/Pictures/Backgrounds/background-" + std::to_string(i) + ".jpg"},
                               {"enabled", true}});
    d.set("GREEN_SCREEN_BACKGROUNDS", backgrounds);
    d.synchronize();
}

// One live-view frame's save: three changed settings, each written at once
// (the baseline) or left to the store's writer.
void saveFrame(UserDefaults& d, int frame, bool writeAtOnce) {
    auto change = [&](const char* key, const nlohmann::json& value) {
        d.set(key, value);
        if (writeAtOnce) d.synchronize();
    };
    change("LIVE_VIEW_GREEN_SCREEN_SENSITIVITY", 0.30 + (frame % 7) * 0.01);
    change("LIVE_VIEW_GREEN_SCREEN_SMOOTHNESS", 0.10 + (frame % 5) * 0.01);
    change("LIVE_VIEW_GREEN_SCREEN_REPLACEMENT_COLOR", nlohmann::json::array({0.1, 0.8 + (frame % 11) * 0.001, 0.2, 1.0}));
}

// Microseconds per change on the calling thread over `frames` frames.
double run(bool writeAtOnce, int frames) {
    const std::string dir = scratchFolder();
    double perChange = 0;
    {
        UserDefaults d(dir + "/Flashwren.plist");
        fillLikeABooth(d);
        const auto start = Clock::now();
        for (int f = 0; f < frames; ++f) saveFrame(d, f, writeAtOnce);
        perChange = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / (frames * 3.0);
        d.synchronize();  // the flush at quit, outside the timing
    }
    std::filesystem::remove_all(dir);
    return perChange;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 200;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 7;
    std::vector<double> atOnce, behind;
    for (int r = 0; r < repetitions; ++r) {  // interleaved, so load changes hit both alike
        atOnce.push_back(run(true, frames));
        behind.push_back(run(false, frames));
    }
    const double minA = *std::min_element(atOnce.begin(), atOnce.end());
    const double minB = *std::min_element(behind.begin(), behind.end());
    const double medA = median(atOnce), medB = median(behind);
    std::printf("settings change on the calling thread, %d frames x 3 changes, %d repetitions (us per change)\n",
                frames, repetitions);
    std::printf("  %-34s min %10.2f  median %10.2f\n", "baseline: written at once (fsync)", minA, medA);
    std::printf("  %-34s min %10.2f  median %10.2f\n", "written behind (coalesced)", minB, medB);
    std::printf("  ratio behind / at once:            min %10.5f  median %10.5f\n", minB / minA, medB / medA);
    return 0;
}
