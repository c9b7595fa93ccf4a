// Which console input events answer the key wait (Windows only). Kept apart
// from the wait itself so that the choice can be tested without a console.
#pragma once

#include <windows.h>

namespace tavmerk::platform {

// An arrow, function key, Home/End, Insert/Delete or PgUp/PgDn, told by its
// virtual-key code: the enhanced-key flag alone would also take in the right
// Ctrl and Alt keys, and leave out the keypad's arrows.
bool is_extended_key(WORD virtual_key);

// True for a key press that ends the wait: a key-down event that carries a
// character, or an extended key. Key releases, lone modifier keys (Shift,
// Ctrl, Alt, the lock keys, the Windows keys) and other keys without a
// character are passed over.
bool key_event_ends_wait(const KEY_EVENT_RECORD& key);

// The key wait's reading of console input, one event at a time, across
// waits. A console program reads an extended key as two codes: the first
// ends the wait, the second is held back and answers the next wait at once.
class ConsoleKeys {
public:
    // True, once, when a held-back code answers this wait before any event
    // is read.
    bool take_held_code();
    // True when `event` ends the wait.
    bool ends_wait(const INPUT_RECORD& event);

private:
    bool held_code_ = false;
};

}  // namespace tavmerk::platform
