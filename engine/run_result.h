// How an engine's run ended, as a whole: what each front end turns into its
// own words, in one place. What became of each record is told along the
// way through the engine's events.
#pragma once

#include "archive/walk.h"

namespace tavmerk {

enum class RunEnd {
    completed,      // everything asked was done (records may still report problems)
    cannot_open,    // the archive cannot be opened (`error` says why; see platform::not_regular_file)
    damaged,        // its header or directory fails the checks made before anything is written
    bad_folder_id,  // a nested folder entry has a bad id, met after every record before it
    data_outside,   // refused: live records' data lies outside the file (each reported); nothing written
    write_failed,   // a write failed (`error` says why); the archive is as it was
};

struct RunResult {
    RunEnd end = RunEnd::completed;
    int error = 0;  // the system's error code, for cannot_open and write_failed

    bool completed() const { return end == RunEnd::completed; }
};

// How a run that walked the whole directory ended, by how the walk did.
inline RunResult walk_result(WalkEnd end)
{
    switch (end) {
    case WalkEnd::complete:
        return {};
    case WalkEnd::bad_folder_id:
        return {RunEnd::bad_folder_id};
    case WalkEnd::damaged:
    case WalkEnd::stopped:
        break;
    }
    return {RunEnd::damaged};
}

}  // namespace tavmerk
