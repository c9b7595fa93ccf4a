#include "tool/walk_messages.h"

#include "tool/console.h"

namespace tavmerk {

void ReportingVisitor::deleted(const std::string& path)
{
    print_in_order("Deleted file " + path + "\n");
}

void ReportingVisitor::unsafe(const std::string& path)
{
    print_in_order("Unsafe path " + path + "\n");
}

void report_damaged(const std::string& archive_path)
{
    say("Error in dir file %s\n", archive_path);
}

bool report_walk_end(WalkEnd end, const std::string& archive_path)
{
    switch (end) {
    case WalkEnd::complete:
        return true;
    case WalkEnd::bad_folder_id:
        say("Error in dir id\n");
        pause_for_key();
        return false;
    case WalkEnd::damaged:
        report_damaged(archive_path);
        return false;
    case WalkEnd::stopped:
        break;
    }
    return false;
}

}  // namespace tavmerk
