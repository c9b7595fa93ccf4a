// Console output and the key pause. Every message goes to standard output;
// output is flushed before every pause and before the process ends.
#pragma once

#include <string>

namespace tavmerk {

// Prints `format` with at most one %s or %d argument, exactly as given.
void say(const char* text);
void say(const char* format, const std::string& text);
void say(const char* format, int value);

// Flushes standard output, then waits for one key press.
void pause_for_key();

// Flushes standard output; done before every exit.
void flush_console();

}  // namespace tavmerk
