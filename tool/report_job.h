// A record with nothing to do but its report, made in its place among the
// other records' (both engines have such records: deleted, unsafe,
// passed over).
#pragma once

#include <utility>

#include "archive/walk.h"
#include "tool/ordered_work.h"

namespace tavmerk {

template <class Events, class Report, class Outcome>
class ReportJob : public Job {
public:
    // `error`: the system's reason, for an outcome that has one.
    ReportJob(Events& events, FileEntry entry, Outcome outcome, int error = 0)
        : events_(events), entry_(std::move(entry)), outcome_(outcome), error_(error)
    {
    }
    bool has_work() const override { return false; }
    void finish() override { events_.record(Report{entry_, outcome_, 0, error_}); }

private:
    Events& events_;
    FileEntry entry_;
    Outcome outcome_;
    int error_;
};

}  // namespace tavmerk
