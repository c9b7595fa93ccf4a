#include "platform/platform.h"
#include "tool/command_line.h"
#include "tool/console.h"

int main(int argc, char** argv)
{
    tavmerk::platform::init_process();
    const int status = tavmerk::run_tool(argc, argv);
    tavmerk::flush_console();
    return status;
}
