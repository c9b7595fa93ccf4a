// The small tree the repack fuzzer packs from, shared with the corpus
// generator so that the seed archives name its files.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fuzz {

// Path below the root ("/" between levels) and contents of each file.
inline std::vector<std::pair<std::string, std::string>> fixed_tree()
{
    std::string text, binary;
    uint32_t state = 12345;
    for (int i = 0; i < 3000; ++i) {
        state = state * 1103515245u + 12345u;
        binary.push_back(char(state >> 24));
        text += "word" + std::to_string(state >> 28) + (i % 12 == 11 ? "\n" : " ");
    }
    return {
        {"d/a", "alpha\n"},
        {"d/text", text.substr(0, 6000)},
        {"d/sub/bin", binary.substr(0, 700)},
        {"d/empty", ""},
        {"e/one", "1"},
    };
}

}  // namespace fuzz
