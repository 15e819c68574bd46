// The production records dialog TRecordsForm: today's yield per chip and
// image file (the chips of the operations that program one), today's count
// of each other operation, and the station's newest records, newest first. It reads the
// station's database when it opens and on Refresh, and only reads: a
// database that does not exist yet is not created, and one that cannot be
// read is told in a line where the tables would be.
#pragma once

#include "shell/seams.h"
#include "shell/views.h"

#include <functional>
#include <string>

namespace kvx {

class TRecordsForm : public Form {
public:
    // The newest records the list shows.
    static constexpr int kLastRecords = 200;

    // `path` names the database at each reading (the logs folder may change
    // while the program runs); `clock` tells which day "today" is.
    TRecordsForm(Clock& clock, std::function<std::string()> path);
    // Reads the database again and shows what it holds.
    void ButtonRefreshClick();

private:
    Clock& clock_;
    std::function<std::string()> path_;
};

}  // namespace kvx
