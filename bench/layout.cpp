// Laying out a four-photo strip from 12-megapixel camera photos, beside the
// baseline of only decoding those photos.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include "base/AppInfo.h"
#include "templates/ImageUtils.h"
#include "templates/LayoutEngine.h"
#include "templates/TETemplateDocument.h"
#include "templates/TETemplateLibrary.h"

namespace {

struct Fixture {
    QTemporaryDir dir;
    QStringList photos;
    std::shared_ptr<TETemplateDocument> strip;

    Fixture() {
        for (int i = 0; i < 4; ++i) {
            QImage photo(4000, 3000, QImage::Format_RGB32);
            QPainter p(&photo);
            QLinearGradient g(0, 0, 4000, 3000);
            g.setColorAt(0, QColor(40, 190, 80));
            g.setColorAt(1, QColor(20, 140, 60));
            p.fillRect(photo.rect(), g);
            p.setBrush(QColor(200 - i * 30, 80, 60 + i * 40));
            for (int k = 0; k < 40; ++k) p.drawEllipse(QPoint(100 * k, 75 * k), 300, 200);
            p.end();
            const QString path = dir.filePath(QStringLiteral("photo-%1.jpg").arg(i));
            photo.save(path, "JPG", 92);
            photos << path;
        }
        strip = TETemplateDocument::loadFromFolder(TETemplateLibrary::shippedTemplatesFolder() + "/Classic Strip");
    }
};

Fixture& fixture() {
    static Fixture* f = new Fixture();
    return *f;
}

void BM_DecodeFourPhotos(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        for (const QString& path : f.photos) benchmark::DoNotOptimize(ImageUtils::loadImage(path));
    }
}
BENCHMARK(BM_DecodeFourPhotos)->Unit(benchmark::kMillisecond);

void BM_LayoutFourPhotoStrip(benchmark::State& state) {
    auto& f = fixture();
    LayoutEngine engine(f.strip);
    const QString prints = f.dir.filePath(QStringLiteral("prints"));
    for (auto _ : state) {
        QString error;
        auto result = engine.layoutPhotos(f.photos, &error, prints);
        if (!result) state.SkipWithError(error.toStdString().c_str());
        state.PauseTiming();
        QDir(prints).removeRecursively();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LayoutFourPhotoStrip)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    ImageUtils::allowLargeImages();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
