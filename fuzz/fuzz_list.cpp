// Fuzz target: list (text and JSON) and test's checks over the input taken
// as a whole archive file, in-process and on one thread. Nothing may crash
// or read outside the input; every JSON line must parse; the status must
// be one of the three.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "fuzz_support.h"
#include "engine/history.h"
#include "util/commands.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tavmerk::ArchiveBytes archive;
    archive.data = data;
    archive.size = size;
    archive.name = "input";
    archive.read_at = [&](uint64_t offset, uint8_t* dest, size_t length) {
        if (offset > size || length > size - offset)
            return false;
        std::memcpy(dest, data + offset, length);
        return true;
    };
    std::ostringstream out, err;
    tavmerk::UtilConsole console(out, err);
    const int statuses[] = {
        tavmerk::list_records(archive, false, console),
        tavmerk::list_records(archive, true, console),
        tavmerk::show_info(archive, console),
        tavmerk::test_records(archive, tavmerk::TestOptions{}, console),
        tavmerk::show_log(archive, false, console),
        tavmerk::show_log(archive, true, console),
    };
    for (const int status : statuses)
        if (status < 0 || status > 2)
            fuzz::fail("a status outside 0..2");
    if (statuses[0] != statuses[1])
        fuzz::fail("text and JSON listings end differently");
    if (statuses[4] != statuses[5])
        fuzz::fail("text and JSON logs end differently");

    // Every earlier version the history leads to reads as an archive of its
    // own: listed and tested over the same file.
    tavmerk::ArchiveReader current;
    if (archive.open(current)) {
        for (const char* at : {"~1", "~2", "~3"}) {
            std::vector<uint8_t> image;
            tavmerk::ArchiveReader version;
            if (tavmerk::open_version(archive.read_at, current, at, image, version) != tavmerk::VersionOpen::ok)
                break;
            tavmerk::ArchiveBytes then = archive;
            then.directory = image.data();
            then.directory_room = image.size();
            tavmerk::list_records(then, true, console);
            tavmerk::test_records(then, tavmerk::TestOptions{}, console);
        }
    }

    std::ostringstream json_out, json_err;
    tavmerk::UtilConsole json_console(json_out, json_err);
    tavmerk::list_records(archive, true, json_console);
    std::istringstream lines(json_out.str());
    for (std::string line; std::getline(lines, line);)
        if (!nlohmann::json::accept(line))
            fuzz::fail("a JSON line that does not parse: " + line);
    return 0;
}
