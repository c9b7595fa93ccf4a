// A record with nothing to do but its report, made in its place among the
// other records' (both engines have such records: deleted, unsafe,
// passed over).
#pragma once

#include <utility>

#include "archive/walk.h"
#include "engine/ordered_work.h"

namespace tavmerk {

template <class Events, class Report, class Outcome>
class ReportJob : public Job {
public:
    ReportJob(Events& events, FileEntry entry, Outcome outcome)
        : events_(events), entry_(std::move(entry)), outcome_(outcome)
    {
    }
    bool has_work() const override { return false; }
    void finish() override { events_.record(Report{entry_, outcome_, 0}); }

private:
    Events& events_;
    FileEntry entry_;
    Outcome outcome_;
};

}  // namespace tavmerk
