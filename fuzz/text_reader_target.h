// The body shared by the Intel HEX and S-record targets. Input: one mode
// byte and four value bytes that choose the base address, then the file's
// text. The text is read into a 64 KB buffer between guard zones; faulty
// lines are answered OK and Abort in turn.
#pragma once

#include "fuzz_util.h"
#include "image/object_files.h"

namespace kvx::fuzz {

using TextReaderFn = void (*)(const char*, size_t, uint32_t, uint8_t*, size_t, ReaderOutputs&, const LineErrorFn&);

inline int runTextReader(const uint8_t* data, size_t size, TextReaderFn read) {
    constexpr size_t kBufferSize = 64 * 1024;
    static GuardedBuffer buffer(kBufferSize);
    if (size < 5) return 0;
    // Base address: zero, a 16-bit value, a multiple of 64 KB or any value,
    // so that records fall below, inside, across and beyond the buffer.
    uint32_t v = le32At(data + 1);
    uint32_t base = 0;
    switch (data[0] & 3) {
    case 0: base = 0; break;
    case 1: base = v & 0xFFFF; break;
    case 2: base = v & 0xFFFF0000u; break;
    default: base = v; break;
    }
    const char* text = reinterpret_cast<const char*>(data + 5);
    const size_t textSize = size - 5;
    size_t lines = 0;
    for (size_t i = 0; i < textSize; ++i) lines += text[i] == '\n';
    lines += 1;

    std::memset(buffer.data(), 0xFF, kBufferSize);
    ReaderOutputs out;
    out.fileChecksum = 0x12345678;
    int calls = 0;
    bool lastAnswer = true;
    int lastLine = 0;
    LineErrorFn onError = [&](int line, int code) {
        // Lines are numbered from 1 and reported in order.
        FUZZ_CHECK(line >= 1 && static_cast<size_t>(line) <= lines && line > lastLine);
        FUZZ_CHECK(code >= kLineNoStart && code <= kLineTypeAbove5);
        lastLine = line;
        lastAnswer = (calls++ % 2) == 0;
        return lastAnswer;
    };
    read(text, textSize, base, buffer.data(), kBufferSize, out, onError);
    buffer.checkGuards();

    // Abort is the only way to stop early with aborted set.
    FUZZ_CHECK(out.aborted == (calls > 0 && !lastAnswer));
    if (out.first != 0xFFFFFFFFu || out.last != 0) FUZZ_CHECK(out.first <= out.last);
    if (out.recordsOutside == 0) FUZZ_CHECK(out.bytesOutside == 0);
    FUZZ_CHECK(out.bytesOutside <= 255ull * out.recordsOutside);
    return 0;
}

}  // namespace kvx::fuzz
