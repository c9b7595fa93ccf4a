// The console lines of "/E" and "/P": every engine event turned into the
// tool's own messages, byte for byte, with its key waits.
#pragma once

#include "tool/console.h"
#include "tool/expand.h"
#include "tool/repack.h"

namespace tavmerk {

// What both runs report alike: a damaged directory, and a bad folder id
// (after a key).
template <class Events>
class ConsoleReports : public Events {
public:
    void damaged(const std::string& archive_path) override { say("Error in dir file %s\n", archive_path); }
    void bad_folder_id() override
    {
        say("Error in dir id\n");
        pause_for_key();
    }
};

class ConsoleExpandReports : public ConsoleReports<ExpandEvents> {
public:
    void record(const ExpandReport& report) override;
    void cannot_open(const std::string& archive_path, int error) override;
};

class ConsoleRepackReports : public ConsoleReports<RepackEvents> {
public:
    void started() override;
    void record(const RepackReport& report) override;
    void cannot_open(const std::string& archive_path, int error) override;
    void refused(const std::string& archive_path) override { damaged(archive_path); }
    void write_failed(const std::string& archive_path, int error) override;
};

}  // namespace tavmerk
