// The two checksums a pack archive carries: a CRC-32 over the directory
// block (header field `directory_crc`) and an additive checksum over each
// file's stored bytes (`record_checksum`). Both return host-order values;
// callers store them big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavmerk {

// CRC-32 of ISO-HDLC / IEEE 802.3 (reflected, polynomial 0xEDB88320), the
// same function as zlib's crc32. Stateless; its tables are built at compile
// time.
class Crc32 {
public:
    uint32_t compute(const uint8_t* data, size_t length) const;
};

// Sum modulo 2^32 of the little-endian 32-bit words of `data`, then of the
// trailing 0 to 3 bytes taken singly as unsigned values.
uint32_t additive_checksum(const uint8_t* data, size_t length);

// The same sum over data that comes in pieces of any sizes: a word split
// between two pieces counts as the word it is.
class AdditiveChecksum {
public:
    void add(const uint8_t* data, size_t length);
    uint32_t value() const;

private:
    uint32_t sum_ = 0;
    uint8_t pending_[4] = {};  // the start of a word the next piece completes
    size_t pending_size_ = 0;
};

}  // namespace tavmerk
