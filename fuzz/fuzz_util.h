// Helpers shared by the fuzz targets: a failed check that stops the run, a
// buffer with guard zones on both sides, and a scratch file for the readers
// that take a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define KVX_FUZZ_ASAN 1
#endif
#endif

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace kvx::fuzz {

inline void poison(const void* p, size_t n) {
#ifdef KVX_FUZZ_ASAN
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}
inline void unpoison(const void* p, size_t n) {
#ifdef KVX_FUZZ_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// size usable bytes between two guard zones. The guards hold a pattern (a
// stray write shows when checked) and are poisoned for AddressSanitizer (a
// stray read or write stops the run where it happens).
class GuardedBuffer {
public:
    static constexpr size_t kGuard = 256;
    static constexpr uint8_t kPattern = 0xA5;

    explicit GuardedBuffer(size_t size) : size_(size), mem_(new uint8_t[size + 2 * kGuard]) {
        std::memset(mem_, kPattern, kGuard);
        std::memset(mem_ + kGuard + size_, kPattern, kGuard);
        guard(true);
    }
    ~GuardedBuffer() {
        guard(false);
        delete[] mem_;
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return mem_ + kGuard; }
    size_t size() const { return size_; }

    // Aborts when a guard byte changed.
    void checkGuards() {
        guard(false);
        for (size_t i = 0; i < kGuard; ++i) {
            FUZZ_CHECK(mem_[i] == kPattern);
            FUZZ_CHECK(mem_[kGuard + size_ + i] == kPattern);
        }
        guard(true);
    }

private:
    void guard(bool on) {
        if (on) {
            poison(mem_, kGuard);
            poison(mem_ + kGuard + size_, kGuard);
        } else {
            unpoison(mem_, kGuard);
            unpoison(mem_ + kGuard + size_, kGuard);
        }
    }
    size_t size_;
    uint8_t* mem_;
};

// A file in a folder of this process's own, rewritten for each input and
// removed at exit. The folder is in memory (/dev/shm) when there is one, and
// each input goes to a fresh file: ext4 flushes a file that is truncated and
// written again to the disk on close, which made a run wait on the disk.
class ScratchFile {
public:
    explicit ScratchFile(const char* name) {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp && *tmp ? tmp : "/tmp";
        std::string dir = base + "/kvx-fuzz-XXXXXX";
        if (!::mkdtemp(dir.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir_ = dir;
        path_ = dir_ + "/" + name;
    }
    ~ScratchFile() {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }
    void write(const uint8_t* data, size_t size) {
        ::unlink(path_.c_str());
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        FUZZ_CHECK(f != nullptr);
        FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
        FUZZ_CHECK(std::fclose(f) == 0);
    }

private:
    std::string dir_, path_;
};

inline uint32_t le32At(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace kvx::fuzz
