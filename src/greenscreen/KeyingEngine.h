#pragma once
// The keying engine: chroma key, smooth scaling and source-over blending on
// the CPU, on raw 32-bit pixel rows, split over all cores.
//
// Pixels are premultiplied ARGB (QImage::Format_ARGB32_Premultiplied; opaque
// Format_RGB32 has the same layout and is read as is).
//
// The key. For a pixel with red, green and blue r, g, b in 0..1 its chroma in
// BT.601 is
//     Cb = 0.5 - 0.168736 r - 0.331264 g + 0.5 b
//     Cr = 0.5 + 0.5 r - 0.418688 g - 0.081312 b
// and d is the Euclidean distance between (Cb, Cr) of the pixel and of the
// key colour. The share of the camera pixel that is kept is
//     a = smoothstep(sensitivity, sensitivity + smoothness, d)
// where smoothstep(e0, e1, x) = t * t * (3 - 2 t), t = clamp((x - e0) / (e1 - e0), 0, 1),
// and a plain step (0 up to e0, 1 above) when smoothness is 0. Every
// channel (alpha included) is then camera * a + background * (1 - a), and an
// overlay is drawn over that: result = overlay + result * (1 - overlay alpha).
#include <QColor>
#include <QImage>
#include <QSize>

#include <functional>
#include <utility>
#include <vector>

namespace keying {

struct KeyParameters {
    float keyCb = 0;  // chroma of the key colour, 0..255
    float keyCr = 0;
    float sensitivity = 0;  // 0..1
    float smoothness = 0;   // 0..1
};

// The parameters for keying out `key` (its red, green and blue only).
KeyParameters keyParametersFor(const QColor& key, float sensitivity, float smoothness);

// The share (0..1) of a camera pixel of colour r, g, b (0..255) kept by the key.
float keptShare(const KeyParameters& key, float r, float g, float b);

// Runs body(begin, end) over consecutive ranges covering [0, count), on the
// shared thread pool and the calling thread together; returns when all ran.
// Ranges are at least `grain` long. Never deadlocks when the pool is busy:
// the caller works through every range itself if need be.
void parallelFor(int count, int grain, const std::function<void(int begin, int end)>& body);

// `image` as premultiplied ARGB (shared, not copied, when it already is, or
// when it is opaque RGB32).
QImage toPremultiplied(const QImage& image);
// True for formats the kernels read directly.
bool isKernelFormat(QImage::Format format);

// `image` (any format) resampled smoothly to exactly `size`: a triangle
// filter widened to the scale when shrinking, so that every source pixel
// counts. The result is premultiplied ARGB (RGB32 when the source is opaque).
QImage scaleSmoothly(const QImage& image, const QSize& size);
// `image` scaled to cover `size` keeping its aspect ratio, centred and cropped.
QImage scaleToFill(const QImage& image, const QSize& size);

// `image` with its transparency laid on white, as a JPEG of it is seen
// (opaque RGB32); an opaque image comes back as it is. Keying onto a
// background laid on white gives exactly the keyed result laid on white.
QImage flattenOnWhite(const QImage& image);

// Where an overlay is not fully transparent: per row, the column ranges
// [begin, end) in order. Gaps shorter than a few cache lines are bridged.
// An overlay is mostly transparent (a frame, a logo, a caption), and a photo
// keyed with these reads it only where it shows.
struct OverlayRuns {
    QSize size;
    std::vector<std::vector<std::pair<int, int>>> rows;
    // The runs of an overlay in kernel format (empty for another format).
    static OverlayRuns of(const QImage& overlay);
};

// The key pass with the overlay pass fused. `camera` must be in a kernel
// format; `background` and `overlay` may be null, else kernel format and the
// camera's size. A null background leaves keyed pixels transparent.
// `recycle`, when nobody else holds it and it has the right size and format,
// is written into instead of a new image (fresh large images cost page faults).
// `runs`, when they are the overlay's (same size), limit the overlay's reads.
QImage composite(const QImage& camera, const QImage& background, const QImage& overlay,
                 const KeyParameters& key, QImage recycle = QImage(), const OverlayRuns* runs = nullptr);

}  // namespace keying
