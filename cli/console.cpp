#include "cli/console.h"

#include <cstdio>

#include "platform/platform.h"

namespace tavmerk {

void say(const char* text)
{
    std::fputs(text, stdout);
}

void say(const char* format, const std::string& text)
{
    std::printf(format, text.c_str());
}

void say(const char* format, int value)
{
    std::printf(format, value);
}

void pause_for_key()
{
    flush_console();
    platform::wait_for_key();
}

void flush_console()
{
    std::fflush(stdout);
}

}  // namespace tavmerk
