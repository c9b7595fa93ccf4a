#include "engine/path_glob.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavmerk {

namespace {

class Matcher {
public:
    Matcher(const std::string& pattern, const std::string& path)
        : p_(pattern), s_(path), memo_((pattern.size() + 1) * (path.size() + 1), unknown)
    {
    }

    // Each (pattern position, path position) pair is decided once, so
    // patterns with many stars cost at most pattern × path steps.
    bool match(size_t p, size_t s)
    {
        int8_t& known = memo_[p * (s_.size() + 1) + s];
        if (known == unknown)
            known = decide(p, s) ? 1 : 0;
        return known == 1;
    }

private:
    static constexpr int8_t unknown = -1;

    bool at_level_start(size_t p) const { return p == 0 || p_[p - 1] == '/'; }
    bool byte_in_level(size_t s) const { return s < s_.size() && s_[s] != '/'; }

    bool decide(size_t p, size_t s)
    {
        if (p == p_.size())
            return s == s_.size();
        const char c = p_[p];
        if (c == '*' && p + 1 < p_.size() && p_[p + 1] == '*' && at_level_start(p)) {
            if (p + 2 == p_.size())
                return true;
            if (p_[p + 2] == '/') {
                if (match(p + 3, s))
                    return true;
                const size_t slash = s_.find('/', s);
                return slash != std::string::npos && match(p, slash + 1);
            }
        }
        if (c == '*')
            return match(p + 1, s) || (byte_in_level(s) && match(p, s + 1));
        if (c == '?')
            return byte_in_level(s) && match(p + 1, s + 1);
        if (c == '[') {
            size_t end = 0;
            bool member = false;
            if (read_class(p, s, end, member))
                return byte_in_level(s) && member && match(end, s + 1);
        }
        return s < s_.size() && s_[s] == c && match(p + 1, s + 1);
    }

    // Reads the class opening at `p`: false when it is unterminated;
    // otherwise `end` is just past its "]" and `member` tells whether the
    // path byte at `s` (if any) belongs to it.
    bool read_class(size_t p, size_t s, size_t& end, bool& member) const
    {
        size_t i = p + 1;
        const bool negated = i < p_.size() && (p_[i] == '!' || p_[i] == '^');
        if (negated)
            ++i;
        const uint8_t b = s < s_.size() ? uint8_t(s_[s]) : 0;
        bool found = false;
        for (bool first = true; i < p_.size(); first = false) {
            if (p_[i] == ']' && !first) {
                end = i + 1;
                member = found != negated;
                return true;
            }
            uint8_t low = uint8_t(p_[i]), high = low;
            if (i + 2 < p_.size() && p_[i + 1] == '-' && p_[i + 2] != ']') {
                high = uint8_t(p_[i + 2]);
                i += 3;
            } else {
                ++i;
            }
            found = found || (b >= low && b <= high);
        }
        return false;
    }

    const std::string& p_;
    const std::string& s_;
    std::vector<int8_t> memo_;
};

}  // namespace

bool glob_match(const std::string& pattern, const std::string& path)
{
    return Matcher(pattern, path).match(0, 0);
}

}  // namespace tavmerk
