#include "tool/compact.h"

namespace tavmerk {

CompactStatus compact_archive(const std::string&, const std::string&, CompactResult&,
                              const std::function<void(const FileEntry&)>&)
{
    return CompactStatus::write_failed;
}

}  // namespace tavmerk
