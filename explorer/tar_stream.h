// A folder of the archive as a tar stream (POSIX ustar, with a pax header
// for a name too long for ustar's fields), made while it is sent: one
// record's bytes at a time, a piece at a time, so memory stays the same
// whatever the folder holds. Folders become directory members, live files
// regular members (mode 0644, folders 0755, time 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "explorer/versions.h"

namespace tavmerk::explorer {

constexpr size_t tar_block = 512;

// The header blocks of one member named `name` ("/" between levels, a
// folder's ending in "/"): one ustar block, or a pax header and its
// record before it where the name does not fit.
std::vector<uint8_t> tar_header(const std::string& name, uint64_t size, bool folder);

// Takes the next piece of the stream; false (the client went away) ends it.
using TarSink = std::function<bool(const uint8_t* data, size_t size)>;

// Writes the members at or below `folder` ("" everything) of `version`,
// named from the folder's own name down, then the two zero blocks that
// end an archive. A record that cannot be read is filled out with zeros
// to its size, so that every later member stays where its header says;
// `unreadable` counts them. False when the sink refused a piece.
bool write_tar(const Version& version, const std::string& folder, const TarSink& sink, uint64_t& unreadable);

}  // namespace tavmerk::explorer
