// Motorola S-record text into a small image buffer.
#include "text_reader_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kvx::fuzz::runTextReader(data, size, &kvx::parseSRecordText);
}
