// Writing to the information log: the plain line "> " + time + " " + text,
// and lines added as they are.
#pragma once

#include "shell/seams.h"
#include "shell/views.h"

#include <string>

namespace kvx {

class InfoWriter {
public:
    InfoWriter(InfoLog& log, Clock& clock) : log_(log), clock_(clock) {}
    // "> " + local long time + " " + text.
    void AppendInfoLine(const std::string& text);
    // A line exactly as given (empty lines, dumps, summaries).
    void addLine(const std::string& text) { log_.append(text); }
    // "> " + time + " Channel %d: " + text, channel 1 .. 8.
    void channelLine(const std::string& text, int channel);
    // The channel (1 .. 8) of the line being appended, 0 for a line of no
    // channel: for the log's observers, which run during the append.
    int appendingChannel() const { return appendingChannel_; }
    InfoLog& log() { return log_; }
    Clock& clock() { return clock_; }

private:
    InfoLog& log_;
    Clock& clock_;
    int appendingChannel_ = 0;
};

}  // namespace kvx
