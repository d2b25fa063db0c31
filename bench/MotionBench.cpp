// norvale_motion_bench: the cost of motion detection per frame on the detection-size picture
// (160 × 120), still and with an object moving, with and without a mask. A camera judges about
// five pictures a second; 36 cameras 180.
#include "core/MotionDetector.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace norvale;

namespace {

void detect(benchmark::State& state, bool moving, bool masked) {
    constexpr int W = 160, H = 120;
    MotionSettings settings;
    if (masked)
        settings.mask = *MotionMask::parse(std::string(24, 'F') + std::string(24, '0'));
    MotionDetector detector(settings);
    std::vector<std::uint8_t> frame(W * H);
    for (int i = 0; i < W * H; ++i)
        frame[i] = static_cast<std::uint8_t>(60 + i % 97);
    detector.feed({frame.data(), W, H, W});
    int step = 0;
    for (auto _ : state) {
        if (moving) {
            const int x0 = step++ % (W - 20);
            for (int y = 50; y < 70; ++y)
                for (int x = x0; x < x0 + 20; ++x)
                    frame[y * W + x] ^= 0x80;
        }
        benchmark::DoNotOptimize(detector.feed({frame.data(), W, H, W}));
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(detect, still, false, false);
BENCHMARK_CAPTURE(detect, moving, true, false);
BENCHMARK_CAPTURE(detect, moving_masked, true, true);
BENCHMARK_MAIN();
