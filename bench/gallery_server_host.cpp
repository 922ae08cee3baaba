// Runs the real gallery server over a folder of prints for bench/gallery-server.sh.
//   bench_gallery_server_host make-prints <folder> <count>   writes <count> JPEG prints and BIG.jpg (4 MB)
//   bench_gallery_server_host serve <folder>                 prints "PORT <n>" and serves until SIGTERM or SIGINT
#include <QCoreApplication>
#include <nlohmann/json.hpp>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"

namespace {

QImage printImage(int width, int height, quint32 seed, int noise) {
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            int n = noise ? int(random.bounded(noise)) : 0;
            line[x] = qRgb((x * 255 / width + n) & 255, (y * 255 / height + n) & 255, int(seed * 37 + n) & 255);
        }
    }
    return image;
}

int makePrints(const std::string& folder, int count) {
    for (int i = 1; i <= count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/IMG_%04d.jpg", i);
        if (!printImage(1800, 1200, quint32(i), 24).save(QString::fromStdString(folder + name), "JPG", 85))
            return 1;
    }
    // About 4 MB: a noisy picture compresses poorly.
    return printImage(2600, 1800, 7, 256).save(QString::fromStdString(folder + "/BIG.jpg"), "JPG", 95) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "make-prints") return makePrints(argv[2], std::stoi(argv[3]));
    if (argc != 3 || std::string(argv[1]) != "serve") {
        std::cerr << "usage: " << argv[0] << " make-prints <folder> <count> | serve <folder>\n";
        return 2;
    }
    // The signals that end the run are taken by sigwait below, in no thread's handler.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    UserDefaults::standard().set("PHOTO_FOLDER_PATH", std::string(argv[2]));
    ManageHTTPServer::Options options;
    options.bindAddress = "127.0.0.1";
    options.localAddresses = [] { return std::map<std::string, std::string>{}; };  // no announcements
    ManageHTTPServer server(options);
    if (!server.startHTTPServer()) return 1;
    std::cout << "PORT " << server.port() << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    server.stop();
    return 0;
}
