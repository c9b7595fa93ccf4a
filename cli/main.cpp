#include "cli/command_line.h"
#include "cli/console.h"
#include "engine/ordered_work.h"
#include "platform/platform.h"

// The single-threaded build is the reference the parallel paths are tested
// against: the same archive, files and console output.
#ifdef TAVMERK_SINGLE_THREADED
constexpr bool single_threaded = true;
#else
constexpr bool single_threaded = false;
#endif

int main(int argc, char** argv)
{
    tavmerk::platform::init_process();
    const int status = tavmerk::run_tool(argc, argv, single_threaded ? 0 : tavmerk::default_workers());
    tavmerk::flush_console();
    return status;
}
