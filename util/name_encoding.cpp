#include "util/name_encoding.h"

#include <cstddef>
#include <cstdint>

namespace tavmerk {

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
