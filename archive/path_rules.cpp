#include "archive/path_rules.h"

#include <cstring>

#include "platform/platform.h"
#include <cstddef>
#include <cstdint>

namespace tavmerk {

namespace {

// Names Windows gives to devices, with or without an extension.
bool device_name(const std::string& name)
{
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        c = char(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// The longest name Linux file systems (and Windows, counted in UTF-16
// units, never more than the bytes) take for one level.
constexpr size_t longest_name = 255;

}  // namespace

bool writable_name(const std::string& name)
{
    if (name.empty() || name.size() > longest_name || name == "." || name == ".." || device_name(name))
        return false;
    // Windows drops a trailing dot or space, so the name would change.
    if (name.back() == '.' || name.back() == ' ')
        return false;
    for (const char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || std::strchr("\\<>:\"|?*", ch))
            return false;
    }
    return true;
}

std::vector<std::string> split_levels(const std::string& path)
{
    std::vector<std::string> levels;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') {
            levels.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    return levels;
}

std::string parent_of(const std::string& path)
{
    const size_t at = path.rfind('/');
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

std::string last_level(const std::string& path)
{
    const size_t at = path.rfind('/');
    return at == std::string::npos ? path : path.substr(at + 1);
}

bool writable_new_name(const std::string& path, bool file)
{
    return writable_path(path) && (!file || path.find('/') != std::string::npos);  // files lie in a folder
}

bool writable_path(const std::string& path)
{
    for (const std::string& level : split_levels(path))
        if (!writable_name(level))
            return false;
    return true;
}

std::string normal_path(const std::string& relative)
{
    std::string levels = relative;
    for (char& c : levels)
        if (platform::is_separator(c))
            c = '/';
    std::string out;
    for (const std::string& level : split_levels(levels)) {
        if (level.empty() || level == ".")
            continue;
        if (!out.empty())
            out.push_back('/');
        out += level;
    }
    return out;
}



namespace {

// Length of the well-formed UTF-8 sequence at `at`, or 0 when the byte
// there does not start one.
size_t utf8_sequence_at(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return uint8_t(text[i]); };
    const uint8_t lead = byte(at);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // no overlong forms
        if (lead == 0xED)
            high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

const char hex_digits[] = "0123456789abcdef";
const char upper_hex_digits[] = "0123456789ABCDEF";

}  // namespace

std::string escape_name(const std::string& name)
{
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const uint8_t b = uint8_t(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += upper_hex_digits[b >> 4];
            out += upper_hex_digits[b & 15];
        }
    }
    return out;
}

bool is_valid_utf8(const std::string& text)
{
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence_at(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string to_valid_utf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence_at(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

std::string hex_bytes(const std::string& text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        out += hex_digits[uint8_t(c) >> 4];
        out += hex_digits[uint8_t(c) & 15];
    }
    return out;
}

}  // namespace tavmerk
