// The console lines of "/E" and "/P": every engine event, and how each run
// ended, turned into the tool's own messages, byte for byte, with its key
// waits.
#pragma once

#include <string>

#include "cli/command_line.h"
#include "cli/console.h"
#include "engine/expand.h"
#include "engine/repack.h"

namespace tavmerk {

class ConsoleExpandReports : public ExpandEvents {
public:
    void record(const ExpandReport& report) override;
};

class ConsoleRepackReports : public RepackEvents {
public:
    void started() override;
    void record(const RepackReport& report) override;
};

// Says how a run in `mode` on `archive_path` ended, when it ended early;
// true when it completed.
bool report_run_end(RunMode mode, const RunResult& result, const std::string& archive_path);

}  // namespace tavmerk
