// The console lines of "/E" and "/P": every engine event turned into the
// tool's own messages, byte for byte, with its key waits.
#pragma once

#include "tool/expand.h"
#include "tool/repack.h"

namespace tavmerk {

class ConsoleExpandReports : public ExpandEvents {
public:
    void record(const ExpandReport& report) override;
    void cannot_open(const std::string& archive_path) override;
    void damaged(const std::string& archive_path) override;
    void bad_folder_id() override;
};

class ConsoleRepackReports : public RepackEvents {
public:
    void started() override;
    void record(const RepackReport& report) override;
    void cannot_open(const std::string& archive_path) override;
    void damaged(const std::string& archive_path) override;
    void bad_folder_id() override;
    void refused(const std::string& archive_path) override;
    void write_failed(const std::string& archive_path) override;
};

}  // namespace tavmerk
