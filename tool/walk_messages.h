// The walk's own console lines, shared by both run modes.
#pragma once

#include <string>

#include "archive/walk.h"

namespace tavmerk {

// Prints "Deleted file" and "Unsafe path" lines in their place among the
// files' own lines; subclasses do the files.
class ReportingVisitor : public WalkVisitor {
public:
    void deleted(const std::string& path) override;
    void unsafe(const std::string& path) override;

protected:
    // Prints `text` after every line the walk's earlier records give.
    virtual void print_in_order(std::string text) = 0;
};

// Prints the message of a walk that ended early. A bad folder id pauses for
// a key first. Returns false for every end but `complete`.
bool report_walk_end(WalkEnd end, const std::string& archive_path);

// "Error in dir file %s\n".
void report_damaged(const std::string& archive_path);

}  // namespace tavmerk
