// Fuzz target: a whole expansion of the input, taken as an archive, into a
// scratch root. Nothing outside the root may be created or changed, the
// archive is only read, and a damaged directory is refused before anything
// is written.
#include <algorithm>

#include "archive/layout.h"
#include "archive/reader.h"
#include "cli/command_line.h"
#include "engine/ordered_work.h"
#include "fuzz_support.h"

namespace {

const fuzz::Scratch& scratch()
{
    static const fuzz::Scratch s("expand");
    return s;
}

// What the tool must refuse as a whole: a short header, a directory past
// the end of the file, entries past the end of the directory.
bool damaged(const uint8_t* data, size_t size)
{
    return !tavmerk::ArchiveReader().open(data, size, size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_tool();
    scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::Scratch& s = scratch();
    s.write_archive(data, size);
    const bool ok = tavmerk::run_expand(s.archive(), s.root(), tavmerk::default_workers());

    const fuzz::Bytes after = s.read_archive();
    if (after.size() != size || !std::equal(after.begin(), after.end(), data))
        fuzz::fail("expansion changed the archive");
    if (damaged(data, size) && (ok || test::exists(s.root())))
        fuzz::fail("a damaged archive was expanded");
    s.check_outside_root();
    s.remove_root();
    return 0;
}
