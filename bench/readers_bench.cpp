// Object-file readers against srecord's srec_cat, and the image checksums.
//
// Makes a 4 MiB image at 0x08000000, writes it as Intel HEX and as S3 with
// the program's writers, then times the program's readers on both files and
// srec_cat converting the same files to binary (each checked against the
// image), and flashCrc16 + byteSum32 over the 4 MiB. Prints the times and
// the ratios. Usage: bench_readers [folder for the temporary files]

#include "bench_util.h"
#include "image/object_files.h"
#include "shell/checksum.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace kvx;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Best of n runs of fn, in milliseconds.
template <typename Fn>
double bestOf(int n, Fn fn) {
    double best = 1e300;
    for (int i = 0; i < n; ++i) {
        auto t0 = Clock::now();
        fn();
        best = std::min(best, msSince(t0));
    }
    return best;
}

bool haveSrecCat() { return std::system("command -v srec_cat >/dev/null 2>&1") == 0; }

bool sameAsFile(const std::string& path, const std::vector<uint8_t>& want) {
    std::string got;
    return readWholeFile(path, got) && got.size() == want.size() && std::memcmp(got.data(), want.data(), got.size()) == 0;
}

long fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr size_t kSize = 4u << 20;
    constexpr uint32_t kBase = 0x08000000;
    const int runs = 5, srecRuns = 3;

    const auto args = kvx::bench::benchArgs(argc, argv, R"(Usage: bench_readers [DIR]
Reads and writes a 4 MiB image as Intel HEX, S3 records and binary, in DIR
(default: a new temporary folder), side by side with srec_cat when it is
installed.
)", {}, 1);
    std::string dir;
    if (!args.operands.empty()) {
        dir = args.operands[0];
    } else {
        char tmpl[] = "/tmp/kvx-bench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
    }
    const std::string hexPath = dir + "/image.hex", s3Path = dir + "/image.s37", binPath = dir + "/out.bin";

    std::vector<uint8_t> image(kSize);
    std::mt19937 gen(2024);
    for (size_t i = 0; i < kSize; i += 4) {
        uint32_t v = gen();
        std::memcpy(&image[i], &v, 4);
    }

    double writeHex = bestOf(1, [&] { writeHexFile(hexPath, image.data(), kBase, kBase, kBase + kSize - 1); });
    double writeS3 = bestOf(1, [&] { writeSRecordFile(s3Path, image.data(), kBase, kBase, kBase + kSize - 1); });
    std::printf("image 4 MiB at 0x%08X: HEX %ld bytes (written in %.1f ms), S3 %ld bytes (written in %.1f ms)\n", kBase,
                fileSize(hexPath), writeHex, fileSize(s3Path), writeS3);

    std::vector<uint8_t> buffer(kSize);
    bool ok = true;
    auto readOurs = [&](bool hex) {
        return bestOf(runs, [&] {
            std::fill(buffer.begin(), buffer.end(), 0xFF);
            ReaderOutputs out;
            if (hex) readHexFile(hexPath, kBase, buffer.data(), buffer.size(), out, nullptr);
            else readSRecordFile(s3Path, kBase, buffer.data(), buffer.size(), out, nullptr);
            if (out.aborted || buffer != image || out.first != kBase || out.last != kBase + kSize - 1) ok = false;
        });
    };
    const double oursHex = readOurs(true);
    const double oursS3 = readOurs(false);
    std::printf("our readers (best of %d):   HEX %8.1f ms   S3 %8.1f ms\n", runs, oursHex, oursS3);

    double srecHex = 0, srecS3 = 0;
    const bool srec = haveSrecCat();
    if (srec) {
        auto convert = [&](const std::string& in, const char* format) {
            std::string cmd = "srec_cat '" + in + "' " + format + " -offset -0x08000000 -o '" + binPath + "' -binary 2>/dev/null";
            return bestOf(srecRuns, [&] {
                if (std::system(cmd.c_str()) != 0 || !sameAsFile(binPath, image)) ok = false;
            });
        };
        srecHex = convert(hexPath, "-intel");
        srecS3 = convert(s3Path, "-motorola");
        std::printf("srec_cat to binary (best of %d): HEX %8.1f ms   S3 %8.1f ms\n", srecRuns, srecHex, srecS3);
        std::printf("ratio srec_cat / ours:      HEX %8.1fx   S3 %8.1fx\n", srecHex / oursHex, srecS3 / oursS3);
    } else {
        std::printf("srec_cat not found: no comparison\n");
    }

    volatile uint32_t sink = 0;
    const double sums = bestOf(runs, [&] {
        uint16_t crc = flashCrc16(image.data(), 0, kSize - 1);
        uint32_t acc = byteSum32(image.data(), 0, kSize - 1);
        sink = sink + crc + acc;
    });
    std::printf("flashCrc16 + byteSum32 over 4 MiB (best of %d): %.1f ms (%.0f MB/s)\n", runs, sums,
                kSize / 1e6 / (sums / 1000));

    if (argc <= 1) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    if (!ok) {
        std::printf("MISMATCH: a reader or srec_cat did not give back the image\n");
        return 1;
    }
    return 0;
}
