#include "engine/change_messages.h"

#include "archive/path_rules.h"

namespace tavmerk {

const char* change_outcome_word(ChangeOutcome outcome)
{
    switch (outcome) {
    case ChangeOutcome::added:
        return "added";
    case ChangeOutcome::replaced:
        return "replaced";
    case ChangeOutcome::removed:
        return "removed";
    case ChangeOutcome::renamed:
        return "renamed";
    case ChangeOutcome::made:
        break;
    }
    return "made";
}

std::string refused_change(const ChangeSet& changes, size_t index)
{
    if (index >= changes.changes().size())
        return std::string();
    const Change& c = changes.changes()[index];
    return c.kind == ChangeKind::rename ? escape_name(c.path) + " -> " + escape_name(c.to) : escape_name(c.path);
}

std::string change_failure(const ChangeSet& changes, const ChangeResult& result, const std::string& archive_name)
{
    const std::string change = refused_change(changes, result.failed_change);
    const std::string reason = result.error ? ": " + platform::error_message(result.error) : std::string();
    switch (result.status) {
    case ChangeStatus::committed:
        break;
    case ChangeStatus::refused_name:
        return change + ": refused: a name \"/E\" would not write back at this path";
    case ChangeStatus::not_found:
    case ChangeStatus::stale_place:
        return change + ": no such file or folder in the archive";
    case ChangeStatus::conflict:
        return change + ": refused: a file where a folder is needed, or a folder that is not empty";
    case ChangeStatus::too_large:
        return archive_name + ": the changes would take the archive to 4 GiB; left as it was";
    case ChangeStatus::read_failed:
        return change + ": cannot read" + reason + "; nothing changed";
    case ChangeStatus::cannot_open:
        return archive_name + ": cannot open" + reason;
    case ChangeStatus::damaged:
    case ChangeStatus::data_outside:
        return archive_name + ": damaged directory, or records with data outside the file; left untouched";
    case ChangeStatus::no_record:
        return change + ": the archive changed since it was read; left as it was";
    case ChangeStatus::exists:
        return archive_name + ": already exists";
    case ChangeStatus::write_failed:
        return archive_name + ": write failed" + reason + "; left as it was";
    case ChangeStatus::cancelled:
        return archive_name + ": cancelled; left as it was";
    }
    return std::string();
}

}  // namespace tavmerk
