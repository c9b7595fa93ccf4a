// The plan at the start of each input of the commit fuzzer, shared with the
// corpus generator so that each seed says what it exercises. One byte a
// field, so that a mutation changes one choice at a time:
//   0  payload      raw (the material as it is), record (made by the
//                   engine's record maker), trailer (a record whose trailer
//                   fields are moved by the material)
//   1  image        where a record's image comes from
//   2  before       where a record's before-bytes come from
//   3  flags        see the Flag bits
//   4  folder       the folder the payload is stored in
//   5  follow-up    the commit made after the payload's
//   6  prefix       bytes of material in front of the record
//   7  aim          signed: added to the offset the record claims to start at
//   8  block        bytes of material in an image made from it
//   9  root count   of an image made from the material
// and the material after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

enum class PayloadFrom : uint8_t { raw, record, trailer, count };

enum class ImageFrom : uint8_t {
    input,              // a header sealed over `block` bytes of material (root count from byte 9)
    input_unsealed,     // `block` bytes of material as they are
    base_directory,     // the header and directory the archive had before the payload's commit
    current_directory,  // the header and directory the payload's commit leaves
    empty_directory,    // a header with no folders
    count
};

enum class BeforeFrom : uint8_t {
    input,              // material
    base,               // the bytes at offset 0 before the payload's commit
    current,            // the bytes at offset 0 after it
    count
};

enum class FollowUp : uint8_t { none, mkdir, put, remove, count };

namespace flag {
constexpr uint8_t chosen = 1;          // Storage::chosen (else Storage::store)
constexpr uint8_t second_file = 2;     // another new file follows the payload in its commit
constexpr uint8_t with_room = 4;       // the archive has room after its directory: the commit stays in place
constexpr uint8_t fix_checksum = 8;    // the prefix's first word makes the payload's checksum 0
constexpr uint8_t image_marker = 16;   // an image made from material ends in a room marker
constexpr uint8_t drop = 32;           // the follow-up remove takes the entry out
}  // namespace flag

constexpr size_t folder_choices = 3;   // "t", "u" (the archive's) and "w" (new)
constexpr size_t plan_size = 10;
// Material the trailer payload reads its moves from: image_size (8),
// before_crc (4), image_crc (4), record_at (8), trailer_crc (4).
constexpr size_t trailer_moves_size = 28;

struct Plan {
    PayloadFrom payload = PayloadFrom::raw;
    ImageFrom image = ImageFrom::input;
    BeforeFrom before = BeforeFrom::input;
    uint8_t flags = 0;
    uint8_t folder = 0;
    FollowUp follow_up = FollowUp::none;
    uint8_t prefix = 0;
    int8_t aim = 0;
    uint8_t block = 0;
    uint8_t root_count = 0;

    bool has(uint8_t f) const { return (flags & f) != 0; }
};

// False when the input is shorter than a plan.
inline bool decode_plan(const uint8_t* data, size_t size, Plan& out)
{
    if (size < plan_size)
        return false;
    out.payload = PayloadFrom(data[0] % uint8_t(PayloadFrom::count));
    out.image = ImageFrom(data[1] % uint8_t(ImageFrom::count));
    out.before = BeforeFrom(data[2] % uint8_t(BeforeFrom::count));
    out.flags = data[3];
    out.folder = uint8_t(data[4] % folder_choices);
    out.follow_up = FollowUp(data[5] % uint8_t(FollowUp::count));
    out.prefix = data[6];
    out.aim = int8_t(data[7]);
    out.block = data[8];
    out.root_count = data[9];
    return true;
}

inline std::vector<uint8_t> encode_plan(const Plan& p, const std::vector<uint8_t>& material)
{
    std::vector<uint8_t> out{uint8_t(p.payload), uint8_t(p.image),  uint8_t(p.before), p.flags,   p.folder,
                             uint8_t(p.follow_up), p.prefix, uint8_t(p.aim), p.block, p.root_count};
    out.insert(out.end(), material.begin(), material.end());
    return out;
}

}  // namespace fuzz
