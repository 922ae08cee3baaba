#include "greenscreen/KeyingEngine.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/Executor.h"

namespace keying {

namespace {

// BT.601 chroma weights (full range).
constexpr float kCbR = -0.168736f, kCbG = -0.331264f, kCbB = 0.5f;
constexpr float kCrR = 0.5f, kCrG = -0.418688f, kCrB = -0.081312f;

// The key, ready for the row kernels: everything in 0..255 units.
struct RowKey {
    float keyCb, keyCr;  // key chroma without the 128 offset
    float low;           // sensitivity * 255
    float inverseBand;   // 1 / (smoothness * 255), huge for a plain step
};

// Below this width (in 0..255 units) the smoothing band is keyed as a plain
// step: its inverse would overflow to infinity, and a pixel right on the
// threshold would then give 0 times infinity, a NaN the kernels turn into an
// undefined integer.
constexpr float kNarrowestBand = 1e-6f * 255.0f;

// A key parameter in 0..1; NaN (which no comparison catches) counts as 0.
float unitRange(float v) { return v >= 0.0f ? std::min(v, 1.0f) : 0.0f; }

RowKey rowKeyFor(const KeyParameters& key) {
    RowKey k;
    k.keyCb = key.keyCb - 128.0f;
    k.keyCr = key.keyCr - 128.0f;
    k.low = unitRange(key.sensitivity) * 255.0f;
    const float band = unitRange(key.smoothness) * 255.0f;
    k.inverseBand = band >= kNarrowestBand ? 1.0f / band : 1e20f;
    return k;
}

inline float channel(std::uint32_t p, int shift) {
    return static_cast<float>(static_cast<int>((p >> shift) & 0xffu));
}

inline std::uint32_t pack(float a, float r, float g, float b) {
    auto q = [](float v) { return static_cast<std::uint32_t>(static_cast<int>(v + 0.5f)); };
    return (q(a) << 24) | (q(r) << 16) | (q(g) << 8) | q(b);
}

// The row kernels are built twice, for AVX2 with FMA and for plain x86-64, and the
// variant is chosen by the loader before any code of ours runs. Under a
// sanitizer that choice runs before the sanitizer's runtime is set up and
// crashes the program while it loads, so sanitizer builds get the plain
// variant only. Clang does not take CPU variants on a function template, so
// its builds get the plain variant too.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FLASHWREN_NO_CPU_VARIANTS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FLASHWREN_NO_CPU_VARIANTS 1
#endif
#endif
#if defined(FLASHWREN_NO_CPU_VARIANTS) || !defined(__x86_64__) || defined(__clang__)
#define FLASHWREN_CPU_VARIANTS
#else
#define FLASHWREN_CPU_VARIANTS __attribute__((target_clones("arch=x86-64-v3", "default")))
#endif

// One row of the fused key and overlay pass. Written as a plain loop over
// independent pixels, without branches, so the compiler vectorises it.
// `Opaque`: camera and background are opaque, so is the result (its alpha
// is 255 whatever the overlay), and alpha is not worked out.
template <bool HasBackground, bool HasOverlay, bool Opaque>
FLASHWREN_CPU_VARIANTS void keyRow(const std::uint32_t* __restrict camera, const std::uint32_t* __restrict background,
            const std::uint32_t* __restrict overlay, std::uint32_t* __restrict out, int width,
            const RowKey k) {
    for (int x = 0; x < width; ++x) {
        const std::uint32_t c = camera[x];
        const float ca = Opaque ? 255.0f : channel(c, 24);
        const float cr = channel(c, 16), cg = channel(c, 8), cb = channel(c, 0);
        const float dCb = kCbR * cr + kCbG * cg + kCbB * cb - k.keyCb;
        const float dCr = kCrR * cr + kCrG * cg + kCrB * cb - k.keyCr;
        const float d = std::sqrt(dCb * dCb + dCr * dCr);
        float t = (d - k.low) * k.inverseBand;
        t = t < 0.0f ? 0.0f : t;
        t = t > 1.0f ? 1.0f : t;
        const float s = t * t * (3.0f - 2.0f * t);

        float oa, orr, og, ob;
        if constexpr (HasBackground) {
            const std::uint32_t g = background[x];
            const float ba = Opaque ? 255.0f : channel(g, 24);
            const float br = channel(g, 16), bg = channel(g, 8), bb = channel(g, 0);
            oa = Opaque ? 255.0f : ba + (ca - ba) * s;
            orr = br + (cr - br) * s;
            og = bg + (cg - bg) * s;
            ob = bb + (cb - bb) * s;
        } else {
            oa = ca * s;
            orr = cr * s;
            og = cg * s;
            ob = cb * s;
        }
        if constexpr (HasOverlay) {
            const std::uint32_t v = overlay[x];
            const float va = channel(v, 24);
            const float keep = 1.0f - va * (1.0f / 255.0f);
            if constexpr (!Opaque) oa = va + oa * keep;
            orr = channel(v, 16) + orr * keep;
            og = channel(v, 8) + og * keep;
            ob = channel(v, 0) + ob * keep;
        }
        if constexpr (Opaque) {
            out[x] = 0xff000000u | (pack(0.0f, orr, og, ob) & 0x00ffffffu);
        } else {
            out[x] = pack(oa, orr, og, ob);
        }
    }
}

using RowFn = void (*)(const std::uint32_t*, const std::uint32_t*, const std::uint32_t*, std::uint32_t*, int,
                       const RowKey);

// One axis of a resampling: for each output position, a run of source
// positions and their weights (which sum to one).
struct Axis {
    std::vector<int> start;
    std::vector<int> count;
    std::vector<int> offset;  // into weights
    std::vector<float> weights;
};

Axis makeAxis(int sourceSize, int targetSize, int sourceOffset) {
    Axis axis;
    axis.start.resize(targetSize);
    axis.count.resize(targetSize);
    axis.offset.resize(targetSize);
    const double scale = static_cast<double>(sourceSize) / targetSize;
    const double radius = std::max(1.0, scale);
    std::vector<double> w;
    for (int i = 0; i < targetSize; ++i) {
        const double centre = (i + 0.5) * scale - 0.5;
        const int first = static_cast<int>(std::ceil(centre - radius));
        const int last = static_cast<int>(std::floor(centre + radius));
        const int lo = std::clamp(first, 0, sourceSize - 1);
        const int hi = std::clamp(last, 0, sourceSize - 1);
        w.assign(hi - lo + 1, 0.0);
        double sum = 0;
        for (int j = first; j <= last; ++j) {
            const double weight = std::max(0.0, 1.0 - std::abs(j - centre) / radius);
            w[std::clamp(j, 0, sourceSize - 1) - lo] += weight;
            sum += weight;
        }
        if (sum <= 0) {  // cannot happen with radius >= 1, but keep the pixel defined
            w.assign(1, 1.0);
            sum = 1;
        }
        axis.start[i] = lo + sourceOffset;
        axis.count[i] = static_cast<int>(w.size());
        axis.offset[i] = static_cast<int>(axis.weights.size());
        for (double v : w) axis.weights.push_back(static_cast<float>(v / sum));
    }
    return axis;
}

QImage scaleRect(const QImage& source, const QRect& rect, const QSize& size) {
    const QImage src = toPremultiplied(source);
    const bool opaque = !src.hasAlphaChannel();
    QImage out(size, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    if (out.isNull()) return out;
    const Axis xs = makeAxis(rect.width(), size.width(), rect.x());
    const Axis ys = makeAxis(rect.height(), size.height(), rect.y());
    const int rowFloats = rect.width() * 4;
    const int left = rect.x();
    // Row pointers are taken up front: scanLine() on the workers would race.
    uchar* outBits = out.bits();
    const qsizetype outStride = out.bytesPerLine();
    parallelFor(size.height(), 8, [&](int begin, int end) {
        std::vector<float> tmp(rowFloats);
        for (int y = begin; y < end; ++y) {
            std::fill(tmp.begin(), tmp.end(), 0.0f);
            for (int k = 0; k < ys.count[y]; ++k) {
                const float w = ys.weights[ys.offset[y] + k];
                const auto* row = reinterpret_cast<const std::uint32_t*>(src.constScanLine(ys.start[y] + k)) + left;
                float* __restrict t = tmp.data();
                for (int x = 0; x < rect.width(); ++x) {
                    const std::uint32_t p = row[x];
                    t[x * 4 + 0] += w * channel(p, 24);
                    t[x * 4 + 1] += w * channel(p, 16);
                    t[x * 4 + 2] += w * channel(p, 8);
                    t[x * 4 + 3] += w * channel(p, 0);
                }
            }
            auto* o = reinterpret_cast<std::uint32_t*>(outBits + y * outStride);
            for (int x = 0; x < size.width(); ++x) {
                float a = 0, r = 0, g = 0, b = 0;
                const float* w = xs.weights.data() + xs.offset[x];
                const float* t = tmp.data() + (xs.start[x] - left) * 4;
                for (int k = 0; k < xs.count[x]; ++k) {
                    a += w[k] * t[k * 4 + 0];
                    r += w[k] * t[k * 4 + 1];
                    g += w[k] * t[k * 4 + 2];
                    b += w[k] * t[k * 4 + 3];
                }
                a = std::clamp(a, 0.0f, 255.0f);
                // Rounding must not break premultiplication.
                o[x] = pack(opaque ? 255.0f : a, std::min(r, a), std::min(g, a), std::min(b, a));
            }
        }
    });
    return out;
}

}  // namespace

KeyParameters keyParametersFor(const QColor& key, float sensitivity, float smoothness) {
    const QColor rgb = key.toRgb();
    const float r = static_cast<float>(rgb.redF()) * 255.0f;
    const float g = static_cast<float>(rgb.greenF()) * 255.0f;
    const float b = static_cast<float>(rgb.blueF()) * 255.0f;
    KeyParameters p;
    p.keyCb = 128.0f + kCbR * r + kCbG * g + kCbB * b;
    p.keyCr = 128.0f + kCrR * r + kCrG * g + kCrB * b;
    p.sensitivity = sensitivity;
    p.smoothness = smoothness;
    return p;
}

float keptShare(const KeyParameters& key, float r, float g, float b) {
    const RowKey k = rowKeyFor(key);
    const float dCb = kCbR * r + kCbG * g + kCbB * b - k.keyCb;
    const float dCr = kCrR * r + kCrG * g + kCrB * b - k.keyCr;
    const float d = std::sqrt(dCb * dCb + dCr * dCr);
    const float t = std::clamp((d - k.low) * k.inverseBand, 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

namespace {

// The cores this process may run on (fewer than the machine's when it is
// pinned): more helpers than that only take turns on the same cores.
int usableCores() {
    static const int cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
        return CPU_COUNT(&set);
    }();
    return cores;
}

}  // namespace

void parallelFor(int count, int grain, const std::function<void(int, int)>& body) {
    if (count <= 0) return;
    grain = std::max(1, grain);
    auto& pool = base::ThreadPool::shared();
    int participants = static_cast<int>(pool.size()) + 1;
    if (const int cores = usableCores(); cores > 0) participants = std::min(participants, cores);
    // Many more ranges than threads: on a busy machine a thread that is
    // held up leaves only a small range for the others to wait for.
    const int chunks = std::min((count + grain - 1) / grain, participants * 16);
    if (chunks <= 1) {
        body(0, count);
        return;
    }
    struct State {
        std::atomic<int> next{0};
        std::atomic<int> done{0};
        int chunks = 0;
        int count = 0;
        const std::function<void(int, int)>* body = nullptr;
        std::mutex mutex;
        std::condition_variable finished;
    };
    auto state = std::make_shared<State>();
    state->chunks = chunks;
    state->count = count;
    state->body = &body;
    // A helper that starts after the work is done finds no chunk left and
    // never touches `body`, which may be gone by then.
    auto work = [state] {
        for (;;) {
            const int c = state->next.fetch_add(1);
            if (c >= state->chunks) return;
            const long long b = static_cast<long long>(state->count) * c / state->chunks;
            const long long e = static_cast<long long>(state->count) * (c + 1) / state->chunks;
            (*state->body)(static_cast<int>(b), static_cast<int>(e));
            if (state->done.fetch_add(1) + 1 == state->chunks) {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->finished.notify_all();
            }
        }
    };
    const int helpers = std::min(chunks - 1, participants - 1);
    for (int i = 0; i < helpers; ++i) pool.post(work);
    work();
    std::unique_lock<std::mutex> lock(state->mutex);
    state->finished.wait(lock, [&] { return state->done.load() == state->chunks; });
}

bool isKernelFormat(QImage::Format format) {
    return format == QImage::Format_ARGB32_Premultiplied || format == QImage::Format_RGB32;
}

QImage toPremultiplied(const QImage& image) {
    if (image.isNull() || isKernelFormat(image.format())) return image;
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}

QImage scaleSmoothly(const QImage& image, const QSize& size) {
    if (image.isNull() || size.isEmpty()) return {};
    if (image.size() == size) return toPremultiplied(image);
    return scaleRect(image, image.rect(), size);
}

QImage scaleToFill(const QImage& image, const QSize& size) {
    if (image.isNull() || size.isEmpty()) return {};
    if (image.size() == size) return toPremultiplied(image);
    // The largest centred part of the image with the target's aspect ratio.
    const double target = static_cast<double>(size.width()) / size.height();
    QRect rect = image.rect();
    if (static_cast<double>(image.width()) / image.height() > target) {
        const int w = std::max(1, static_cast<int>(std::lround(image.height() * target)));
        rect = QRect((image.width() - w) / 2, 0, w, image.height());
    } else {
        const int h = std::max(1, static_cast<int>(std::lround(image.width() / target)));
        rect = QRect(0, (image.height() - h) / 2, image.width(), h);
    }
    return scaleRect(image, rect, size);
}

QImage flattenOnWhite(const QImage& image) {
    const QImage src = toPremultiplied(image);
    if (src.isNull() || !src.hasAlphaChannel()) return src;
    QImage out(src.size(), QImage::Format_RGB32);
    if (out.isNull()) return out;
    const int width = src.width();
    uchar* outBits = out.bits();
    const qsizetype outStride = out.bytesPerLine();
    parallelFor(src.height(), 16, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            const auto* in = reinterpret_cast<const std::uint32_t*>(src.constScanLine(y));
            auto* o = reinterpret_cast<std::uint32_t*>(outBits + y * outStride);
            for (int x = 0; x < width; ++x) {
                // Premultiplied: white shows through by 255 - alpha in each channel.
                const std::uint32_t p = in[x];
                const std::uint32_t white = 255u - (p >> 24);
                auto lay = [white](std::uint32_t c) { return std::min(c + white, 255u); };
                o[x] = 0xff000000u | (lay((p >> 16) & 0xffu) << 16) | (lay((p >> 8) & 0xffu) << 8) | lay(p & 0xffu);
            }
        }
    });
    return out;
}

OverlayRuns OverlayRuns::of(const QImage& overlay) {
    OverlayRuns runs;
    if (overlay.isNull() || !isKernelFormat(overlay.format())) return runs;
    // Gaps shorter than this (two cache lines of pixels) cost more to skip
    // than to read.
    constexpr int kBridge = 32;
    runs.size = overlay.size();
    runs.rows.resize(overlay.height());
    const int width = overlay.width();
    const bool opaque = !overlay.hasAlphaChannel();
    parallelFor(overlay.height(), 16, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            auto& row = runs.rows[y];
            if (opaque) {
                row.emplace_back(0, width);
                continue;
            }
            const auto* p = reinterpret_cast<const std::uint32_t*>(overlay.constScanLine(y));
            int x = 0;
            while (x < width) {
                while (x < width && (p[x] >> 24) == 0) ++x;
                if (x == width) break;
                const int first = x;
                while (x < width && (p[x] >> 24) != 0) ++x;
                if (!row.empty() && first - row.back().second < kBridge) {
                    row.back().second = x;
                } else {
                    row.emplace_back(first, x);
                }
            }
        }
    });
    return runs;
}

namespace {

// Keyed rows of a photo are larger than the caches and read next by the JPEG
// writer from memory anyway: they are written around the caches, which
// spares reading each line in before it is overwritten.
constexpr qsizetype kStreamingBytes = qsizetype(32) << 20;
constexpr int kSegment = 1024;  // pixels computed into a buffer in L1 before streaming out

void streamOut(std::uint32_t* __restrict dst, const std::uint32_t* __restrict src, int n) {
#if defined(__SSE2__)
    int i = 0;
    for (; i < n && (reinterpret_cast<std::uintptr_t>(dst + i) & 15u) != 0; ++i) dst[i] = src[i];
    for (; i + 4 <= n; i += 4) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    }
    for (; i < n; ++i) dst[i] = src[i];
#else
    std::memcpy(dst, src, static_cast<std::size_t>(n) * sizeof(std::uint32_t));
#endif
}

}  // namespace

QImage composite(const QImage& camera, const QImage& background, const QImage& overlay, const KeyParameters& key,
                 QImage recycle, const OverlayRuns* runs) {
    if (camera.isNull() || !isKernelFormat(camera.format())) return {};
    const bool hasBackground = !background.isNull();
    const bool hasOverlay = !overlay.isNull();
    if ((hasBackground && (background.size() != camera.size() || !isKernelFormat(background.format()))) ||
        (hasOverlay && (overlay.size() != camera.size() || !isKernelFormat(overlay.format())))) {
        return {};
    }
    const bool opaque = !camera.hasAlphaChannel() && hasBackground && !background.hasAlphaChannel();
    const QImage::Format format = opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied;
    QImage out;
    if (!recycle.isNull() && recycle.isDetached() && recycle.size() == camera.size() && recycle.format() == format) {
        out = std::move(recycle);
    } else {
        recycle = QImage();
        out = QImage(camera.size(), format);
    }
    if (out.isNull()) return out;
    if (runs && (!hasOverlay || runs->size != overlay.size() ||
                 static_cast<int>(runs->rows.size()) != overlay.height())) {
        runs = nullptr;
    }
    const RowKey k = rowKeyFor(key);
    const RowFn plain = opaque ? &keyRow<true, false, true>
                               : (hasBackground ? &keyRow<true, false, false> : &keyRow<false, false, false>);
    const RowFn withOverlay = opaque ? &keyRow<true, true, true>
                                     : (hasBackground ? &keyRow<true, true, false> : &keyRow<false, true, false>);
    const int width = camera.width();
    uchar* outBits = out.bits();
    const qsizetype outStride = out.bytesPerLine();
    const bool stream = out.sizeInBytes() >= kStreamingBytes;
    parallelFor(camera.height(), 16, [&](int begin, int end) {
        alignas(64) std::uint32_t segment[kSegment];
        for (int y = begin; y < end; ++y) {
            const auto* c = reinterpret_cast<const std::uint32_t*>(camera.constScanLine(y));
            const auto* b = hasBackground ? reinterpret_cast<const std::uint32_t*>(background.constScanLine(y)) : nullptr;
            const auto* o = hasOverlay ? reinterpret_cast<const std::uint32_t*>(overlay.constScanLine(y)) : nullptr;
            auto* dst = reinterpret_cast<std::uint32_t*>(outBits + y * outStride);
            // Columns [x0, x1), with or without the overlay's pass.
            auto span = [&](int x0, int x1, bool over) {
                const RowFn fn = over ? withOverlay : plain;
                const std::uint32_t* bx = b ? b + x0 : nullptr;
                const std::uint32_t* ox = over ? o + x0 : nullptr;
                if (!stream) {
                    fn(c + x0, bx, ox, dst + x0, x1 - x0, k);
                    return;
                }
                for (int s = x0; s < x1; s += kSegment) {
                    const int n = std::min(kSegment, x1 - s);
                    fn(c + s, b ? b + s : nullptr, over ? o + s : nullptr, segment, n, k);
                    streamOut(dst + s, segment, n);
                }
            };
            if (!runs) {
                span(0, width, hasOverlay);
                continue;
            }
            int x = 0;
            for (const auto& [first, last] : runs->rows[y]) {
                if (x < first) span(x, first, false);
                span(first, last, true);
                x = last;
            }
            if (x < width) span(x, width, false);
        }
#if defined(__SSE2__)
        // Streamed lines reach memory in no set order: fence them before the
        // range is reported done.
        if (stream) _mm_sfence();
#endif
    });
    return out;
}

}  // namespace keying
