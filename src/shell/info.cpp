#include "shell/info.h"

#include "shell/text.h"

namespace kvx {

void InfoWriter::AppendInfoLine(const std::string& text) {
    log_.append("> " + longTimeText(clock_.now()) + " " + text);
}

void InfoWriter::channelLine(const std::string& text, int channel) {
    appendingChannel_ = channel;
    log_.append("> " + longTimeText(clock_.now()) + format(" Channel %d: ", channel) + text);
    appendingChannel_ = 0;
}

}  // namespace kvx
