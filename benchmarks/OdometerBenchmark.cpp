#include "core/Odometer.h"

#include <benchmark/benchmark.h>

namespace {

// A pointer that walks a fixed square path, so every tick does real
// arithmetic in each of the three cases.
class WalkingPointer final : public dovo::PointerServices
{
public:
    void GetCursorPos(dovo::ScreenPoint& point) override
    {
        static constexpr dovo::ScreenPoint path[] = {{10, 10}, {60, 10}, {60, 70}, {13, 31}};
        point = path[next_++ % 4];
    }
    float TwipsPerPixelX() override { return 15.0f; }
    float TwipsPerPixelY() override { return 15.0f; }
    std::string DecimalSeparator() override { return "."; }

private:
    unsigned next_ = 0;
};

void StepAndReadouts(benchmark::State& run)
{
    WalkingPointer pointer;
    dovo::OdometerState state;
    const std::string separator = pointer.DecimalSeparator();
    for (auto _ : run) {
        dovo::Step(state, pointer);
        auto texts = dovo::Readouts(state.TotalTwips, state.TotalBlocks, separator);
        benchmark::DoNotOptimize(texts);
    }
}
BENCHMARK(StepAndReadouts);

} // namespace

BENCHMARK_MAIN();
