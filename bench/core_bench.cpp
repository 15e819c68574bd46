// Google Benchmark cases for the hot paths: the check code and byte sum over
// a 4 MiB image, escaping and recovering 4 KB frames, and saving and loading
// a project with a 4 MiB image.
#include "link/frame.h"
#include "project/project_file.h"
#include "shell/checksum.h"
#include "shell/seams.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <vector>

using namespace kvx;

namespace {
std::vector<uint8_t> image() {
    std::vector<uint8_t> v(4u << 20);
    uint32_t x = 1;
    for (auto& b : v) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    return v;
}
}  // namespace

static void BM_flashCrc16_4MiB(benchmark::State& st) {
    auto v = image();
    for (auto _ : st) benchmark::DoNotOptimize(flashCrc16(v.data(), 0, static_cast<uint32_t>(v.size() - 1)));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * v.size()));
}
BENCHMARK(BM_flashCrc16_4MiB)->Unit(benchmark::kMillisecond);

static void BM_byteSum32_4MiB(benchmark::State& st) {
    auto v = image();
    for (auto _ : st) benchmark::DoNotOptimize(byteSum32(v.data(), 0, static_cast<uint32_t>(v.size() - 1)));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * v.size()));
}
BENCHMARK(BM_byteSum32_4MiB)->Unit(benchmark::kMillisecond);

static void BM_EncodeFrame_4KB(benchmark::State& st) {
    auto v = image();
    std::vector<uint8_t> frame(v.begin(), v.begin() + 4106), wire(2 * 4106 + 7);
    for (auto _ : st) benchmark::DoNotOptimize(EncodeFrame(frame.data(), frame.size(), wire.data()));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * frame.size()));
}
BENCHMARK(BM_EncodeFrame_4KB);

static void BM_ExtractFrame_4KB(benchmark::State& st) {
    auto v = image();
    std::vector<uint8_t> frame(v.begin(), v.begin() + 4106), wire(2 * 4106 + 7), src(wire.size()), dest(8192);
    size_t n = EncodeFrame(frame.data(), frame.size(), wire.data());
    for (auto _ : st) {
        std::copy(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(n), src.begin());
        uint16_t count = static_cast<uint16_t>(n), len = 0;
        benchmark::DoNotOptimize(ExtractFrame(src.data(), count, dest.data(), dest.size(), len));
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * frame.size()));
}
BENCHMARK(BM_ExtractFrame_4KB);

static ProjectData bigProject() {
    ProjectData d;
    d.chipName = "SC32F58128xxx";
    d.objectFileName = "big.hex";
    d.vendor = 3;
    d.flashSize = 4u << 20;
    d.eepSize = 4096;
    d.flash = image();
    d.nvm.assign(4096, 0x5A);
    return d;
}

static void BM_ProjectSave_4MiB(benchmark::State& st) {
    ProjectData d = bigProject();
    SeededRandom rng(1);
    std::string path = "/tmp/kvx-bench-" + std::to_string(getpid()) + ".pmw";
    for (auto _ : st) writeProjectFile(path, d, rng);
    unlink(path.c_str());
}
BENCHMARK(BM_ProjectSave_4MiB)->Unit(benchmark::kMillisecond);

static void BM_ProjectLoad_4MiB(benchmark::State& st) {
    ProjectData d = bigProject();
    SeededRandom rng(1);
    std::string path = "/tmp/kvx-bench-" + std::to_string(getpid()) + ".pmw";
    writeProjectFile(path, d, rng);
    for (auto _ : st) {
        ProjectData out;
        std::string msg;
        if (readProjectFile(path, out, msg) != 0) st.SkipWithError("load failed");
    }
    unlink(path.c_str());
}
BENCHMARK(BM_ProjectLoad_4MiB)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
