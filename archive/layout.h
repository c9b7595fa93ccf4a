// Pack archive layout. Every integer is a big-endian 32-bit word (`be32`),
// stored unaligned. Offsets below are from the start of the file (header)
// or from the start of an entry.
//
//   ArchiveHeader, bytes 0..39
//     0  16  not interpreted, carried through unchanged
//    16   4  root_folder_count   top-level FolderEntry records
//    20   8  not interpreted
//    28   4  directory_size      length of the DirectoryBlock at 40
//    32   4  not interpreted
//    36   4  directory_crc       CRC-32 of the DirectoryBlock
//
//   DirectoryBlock: the folder tree in depth-first pre-order, each folder
//   entry followed directly by its children. Every entry starts with
//     0   4  entry_key           not interpreted
//     4   1  entry_kind          0 = folder, anything else = file
//     5   4  folder_id / file_tag  must be 0 for a nested folder
//   A FolderEntry continues with
//     9   4  child_count
//    13   4  name_length
//    17   n  name                 first child follows at 17 + n
//   A file entry continues with its FileRecord at entry offset 9:
//     9   4  stored_size
//    13   4  expanded_size       equal sizes mean the data is stored raw,
//                                otherwise it is a zlib stream
//    17   4  record_checksum     additive checksum of the stored bytes
//    21   4  data_offset         absolute; 0 marks a deleted file
//    25   4  name_length
//    29   n  name                 next entry follows at 29 + n
//
// Names are byte strings without terminator; as a path component a name
// ends at its first NUL byte, but the next entry is always found
// `name_length` bytes after the name's start.
//
// These accessors do no bounds checks of their own: the entry cursor
// (archive/entry_cursor.h) checks every entry against the block before it
// reads it, and ArchiveReader (archive/reader.h) checks the header and the
// whole block before anything else reads them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavmerk {

inline uint32_t read_be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void write_be32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

// Offsets and sizes are 32-bit: no byte of an archive may lie at or past
// 4 GiB, its redo record (archive/redo.h) included.
constexpr uint64_t archive_size_limit = uint64_t(1) << 32;

// Header.
constexpr size_t header_size = 40;
constexpr size_t root_folder_count_at = 16;
constexpr size_t directory_size_at = 28;
constexpr size_t directory_crc_at = 36;
constexpr size_t directory_block_at = header_size;

inline uint32_t root_folder_count(const uint8_t* header) { return read_be32(header + root_folder_count_at); }
inline uint32_t directory_size(const uint8_t* header) { return read_be32(header + directory_size_at); }
inline uint32_t directory_crc(const uint8_t* header) { return read_be32(header + directory_crc_at); }
inline void set_directory_crc(uint8_t* header, uint32_t crc) { write_be32(header + directory_crc_at, crc); }

// Entry prefix shared by folders and files.
constexpr size_t entry_kind_at = 4;
constexpr size_t folder_id_at = 5;

inline uint8_t entry_kind(const uint8_t* entry) { return entry[entry_kind_at]; }
inline bool is_folder(const uint8_t* entry) { return entry_kind(entry) == 0; }
inline uint32_t folder_id(const uint8_t* entry) { return read_be32(entry + folder_id_at); }

// FolderEntry.
constexpr size_t folder_child_count_at = 9;
constexpr size_t folder_name_length_at = 13;
constexpr size_t folder_name_at = 17;

inline uint32_t child_count(const uint8_t* folder) { return read_be32(folder + folder_child_count_at); }
inline uint32_t folder_name_length(const uint8_t* folder) { return read_be32(folder + folder_name_length_at); }
inline const uint8_t* folder_name(const uint8_t* folder) { return folder + folder_name_at; }

// File entry and its FileRecord (record offsets are from entry offset 9).
constexpr size_t file_record_at = 9;
constexpr size_t stored_size_at = 0;
constexpr size_t expanded_size_at = 4;
constexpr size_t record_checksum_at = 8;
constexpr size_t data_offset_at = 12;
constexpr size_t file_name_length_at = 16;
constexpr size_t file_name_at = 20;
constexpr size_t file_entry_fixed_size = file_record_at + file_name_at;  // 29

inline uint32_t stored_size(const uint8_t* record) { return read_be32(record + stored_size_at); }
inline uint32_t expanded_size(const uint8_t* record) { return read_be32(record + expanded_size_at); }
inline uint32_t record_checksum(const uint8_t* record) { return read_be32(record + record_checksum_at); }
inline uint32_t data_offset(const uint8_t* record) { return read_be32(record + data_offset_at); }
inline uint32_t file_name_length(const uint8_t* record) { return read_be32(record + file_name_length_at); }
inline const uint8_t* file_name(const uint8_t* record) { return record + file_name_at; }

inline void set_stored_size(uint8_t* record, uint32_t v) { write_be32(record + stored_size_at, v); }
inline void set_expanded_size(uint8_t* record, uint32_t v) { write_be32(record + expanded_size_at, v); }
inline void set_record_checksum(uint8_t* record, uint32_t v) { write_be32(record + record_checksum_at, v); }
inline void set_data_offset(uint8_t* record, uint32_t v) { write_be32(record + data_offset_at, v); }

// The storage rule: equal sizes (raw words) mean stored, else zlib. New
// data keeps its record's method, with one exception: a stream exactly as
// long as its source would read back as stored data, so the source itself
// is stored in its place.
inline bool is_stored(const uint8_t* record) { return stored_size(record) == expanded_size(record); }
inline bool stream_reads_as_stored(size_t stream_size, size_t source_size) { return stream_size == source_size; }
inline bool is_deleted(const uint8_t* record) { return data_offset(record) == 0; }

}  // namespace tavmerk
