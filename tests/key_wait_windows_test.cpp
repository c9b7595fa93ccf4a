// The key wait on Windows: which console events answer it, what an extended
// key's second code does, and that without a console it returns at once.
// (A console cannot be driven where the suite runs headless, so the events
// are fed to the filter the wait uses.)
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>

#include "fixtures.h"
#include "platform/windows_keys.h"

namespace {

using tavmerk::platform::ConsoleKeys;
using tavmerk::platform::key_event_ends_wait;

KEY_EVENT_RECORD key(bool down, WORD virtual_key, char character, DWORD control = 0)
{
    KEY_EVENT_RECORD k = {};
    k.bKeyDown = down;
    k.wRepeatCount = 1;
    k.wVirtualKeyCode = virtual_key;
    k.uChar.AsciiChar = character;
    k.dwControlKeyState = control;
    return k;
}

INPUT_RECORD key_event(const KEY_EVENT_RECORD& k)
{
    INPUT_RECORD event = {};
    event.EventType = KEY_EVENT;
    event.Event.KeyEvent = k;
    return event;
}

TEST(KeyWaitWindows, KeysWithACharacterEndTheWait)
{
    EXPECT_TRUE(key_event_ends_wait(key(true, 'A', 'a')));
    EXPECT_TRUE(key_event_ends_wait(key(true, 'A', 'A', SHIFT_PRESSED)));
    EXPECT_TRUE(key_event_ends_wait(key(true, 'C', 3, LEFT_CTRL_PRESSED)));  // Ctrl+C is a key here
    EXPECT_TRUE(key_event_ends_wait(key(true, VK_RETURN, '\r')));
    EXPECT_TRUE(key_event_ends_wait(key(true, VK_ESCAPE, 27)));
    EXPECT_TRUE(key_event_ends_wait(key(true, VK_SPACE, ' ')));
    EXPECT_TRUE(key_event_ends_wait(key(true, VK_NUMPAD4, '4', NUMLOCK_ON)));
    EXPECT_TRUE(key_event_ends_wait(key(true, 'Q', '@', RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED)));  // AltGr
    EXPECT_TRUE(key_event_ends_wait(key(true, VK_OEM_7, char(0xE9))));  // a letter past ASCII
}

TEST(KeyWaitWindows, ExtendedKeysEndTheWaitWithOrWithoutTheEnhancedFlag)
{
    const WORD extended[] = {VK_LEFT, VK_UP, VK_RIGHT, VK_DOWN, VK_HOME, VK_END, VK_PRIOR, VK_NEXT,
                             VK_INSERT, VK_DELETE, VK_F1, VK_F10, VK_F11, VK_F12, VK_F24};
    for (WORD vk : extended) {
        EXPECT_TRUE(key_event_ends_wait(key(true, vk, 0, ENHANCED_KEY))) << vk;
        EXPECT_TRUE(key_event_ends_wait(key(true, vk, 0))) << vk;  // the keypad's, with NumLock off
        EXPECT_TRUE(tavmerk::platform::is_extended_key(vk)) << vk;
    }
}

TEST(KeyWaitWindows, ReleasesModifiersAndOtherEventsArePassedOver)
{
    EXPECT_FALSE(key_event_ends_wait(key(false, 'A', 'a')));
    EXPECT_FALSE(key_event_ends_wait(key(false, VK_LEFT, 0, ENHANCED_KEY)));
    EXPECT_FALSE(key_event_ends_wait(key(false, VK_F5, 0)));
    // Lone modifiers, some of which carry the enhanced-key flag.
    const KEY_EVENT_RECORD modifiers[] = {
        key(true, VK_SHIFT, 0, SHIFT_PRESSED),
        key(true, VK_CONTROL, 0, LEFT_CTRL_PRESSED),
        key(true, VK_CONTROL, 0, RIGHT_CTRL_PRESSED | ENHANCED_KEY),
        key(true, VK_MENU, 0, LEFT_ALT_PRESSED),
        key(true, VK_MENU, 0, RIGHT_ALT_PRESSED | ENHANCED_KEY),
        key(true, VK_CAPITAL, 0, CAPSLOCK_ON),
        key(true, VK_NUMLOCK, 0, NUMLOCK_ON | ENHANCED_KEY),
        key(true, VK_SCROLL, 0, SCROLLLOCK_ON),
        key(true, VK_LWIN, 0, ENHANCED_KEY),
        key(true, VK_RWIN, 0, ENHANCED_KEY),
        key(true, VK_APPS, 0, ENHANCED_KEY),
        key(true, VK_CLEAR, 0),  // the keypad's 5 with NumLock off
    };
    for (const KEY_EVENT_RECORD& k : modifiers) {
        EXPECT_FALSE(key_event_ends_wait(k)) << k.wVirtualKeyCode;
        EXPECT_FALSE(tavmerk::platform::is_extended_key(k.wVirtualKeyCode)) << k.wVirtualKeyCode;
    }
    // Events that are not keys, even with bytes that would read as a key.
    ConsoleKeys keys;
    INPUT_RECORD mouse = {};
    mouse.EventType = MOUSE_EVENT;
    mouse.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
    INPUT_RECORD focus = {};
    focus.EventType = FOCUS_EVENT;
    focus.Event.FocusEvent.bSetFocus = TRUE;
    INPUT_RECORD resize = {};
    resize.EventType = WINDOW_BUFFER_SIZE_EVENT;
    resize.Event.WindowBufferSizeEvent.dwSize = {80, 25};
    EXPECT_FALSE(keys.ends_wait(mouse));
    EXPECT_FALSE(keys.ends_wait(focus));
    EXPECT_FALSE(keys.ends_wait(resize));
    EXPECT_FALSE(keys.take_held_code());
}

// Reads `events` as the wait does: up to the first that ends it. Returns
// how many were read, or 0 when none ended the wait.
size_t events_read(ConsoleKeys& keys, const std::vector<INPUT_RECORD>& events)
{
    for (size_t i = 0; i < events.size(); ++i)
        if (keys.ends_wait(events[i]))
            return i + 1;
    return 0;
}

TEST(KeyWaitWindows, AnExtendedKeyAnswersTwoWaits)
{
    ConsoleKeys keys;
    // Shift, then the up arrow: the arrow ends the first wait...
    const std::vector<INPUT_RECORD> typed = {
        key_event(key(true, VK_SHIFT, 0, SHIFT_PRESSED)),
        key_event(key(false, VK_SHIFT, 0)),
        key_event(key(true, VK_UP, 0, ENHANCED_KEY)),
        key_event(key(false, VK_UP, 0, ENHANCED_KEY)),
    };
    EXPECT_FALSE(keys.take_held_code());
    EXPECT_EQ(events_read(keys, typed), 3u);
    // ... its second code answers the next one without reading, and only
    // that one.
    EXPECT_TRUE(keys.take_held_code());
    EXPECT_FALSE(keys.take_held_code());
    // A character is one code.
    EXPECT_EQ(events_read(keys, {key_event(key(false, VK_UP, 0)), key_event(key(true, 'x', 'x'))}), 2u);
    EXPECT_FALSE(keys.take_held_code());
    // Nothing that ends the wait: it goes on reading.
    EXPECT_EQ(events_read(keys, {key_event(key(true, VK_CONTROL, 0)), key_event(key(false, 'x', 'x'))}), 0u);
    EXPECT_FALSE(keys.take_held_code());
}

TEST(KeyWaitWindows, WithoutAConsoleThePauseReturnsAtOnce)
{
    test::ExpandFixture f;
    test::ArchiveBuilder b;
    b.folder("d").stored("one", "1").stored("two", "2").end();
    test::make_dirs(f.out + "\\d");
    test::write_file(f.out + "\\d\\one", "mine");
    test::write_file(f.out + "\\d\\two", "mine");
    const auto start = std::chrono::steady_clock::now();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "File " + f.root + "d\\one alredy exists\nFile " + f.root + "d\\two alredy exists\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(test::read_file(f.out + "\\d\\one"), "mine");
}

}  // namespace
