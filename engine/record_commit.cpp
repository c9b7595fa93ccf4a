#include "engine/record_commit.h"

#include <zlib.h>

#include <algorithm>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/change_set.h"
#include "engine/expanded_tree.h"
#include "engine/history.h"
#include "archive/room.h"
#include "engine/zstream.h"

namespace tavmerk {

namespace {

// Where new data goes, and what it came to: `sum` over the bytes written
// (a run-on of a record's data starts with the last bytes it had).
struct Appended {
    uint64_t at = 0;
    uint64_t size = 0;
    AdditiveChecksum sum;
};

// Writes the content at `out.at`, unchanged or as the level-9 zlib stream
// compress2 makes of it, a piece at a time (engine/zstream.h): memory stays
// at a few pieces whatever the size.
CommitStatus append_pieces(platform::UpdateFile& archive, const NewContent& content, bool compressed,
                           Appended& out)
{
    uint64_t read = 0;
    bool read_failed = false, too_large = false, write_failed = false;
    const PieceReader from_content = [&](uint8_t* dest, size_t size, size_t& got) {
        got = size_t(std::min<uint64_t>(size, content.size - read));
        read_failed = !content.read(read, dest, got);
        read += got;
        return !read_failed;
    };
    const PieceWriter to_archive = [&](const uint8_t* data, size_t size) {
        too_large = size > archive_size_limit - out.at - out.size;
        write_failed = !too_large && !archive.write_at(out.at + out.size, data, size);
        if (too_large || write_failed)
            return false;
        out.sum.add(data, size);
        out.size += size;
        return true;
    };
    const StreamResult made = compressed ? deflate_in_pieces(content.size, from_content, to_archive)
                                         : copy_in_pieces(content.size, from_content, to_archive);
    // A write that failed stops the stream short of the content's end:
    // the write's failure is the reason, not the read.
    if (too_large)
        return CommitStatus::too_large;
    if (write_failed)
        return CommitStatus::write_failed;
    if (read_failed || made.in != content.size)
        return CommitStatus::read_failed;
    return made.result != Z_OK ? CommitStatus::write_failed : CommitStatus::committed;
}

// Appends the content, as a stream where `compressed`. A stream as long
// as its source would read back as stored data, and one no smaller where
// only a smaller one is wanted (`smaller_only`): the source goes in its
// place, over exactly the same bytes.
CommitStatus append_content(platform::UpdateFile& archive, const NewContent& content, bool compressed,
                            bool smaller_only, Appended& out)
{
    if (content.size >= archive_size_limit || out.at >= archive_size_limit)
        return CommitStatus::too_large;
    const CommitStatus status = append_pieces(archive, content, compressed, out);
    const bool raw_instead =
        stream_reads_as_stored(out.size, content.size) || (smaller_only && out.size > content.size);
    if (!compressed || status != CommitStatus::committed || !raw_instead)
        return status;
    out = Appended{out.at, 0, AdditiveChecksum()};
    return append_pieces(archive, content, false, out);
}

// Whether the stored `record`, found under the lock, takes the content's
// added bytes where its data ends: it is still the record the content was
// edited from, all of its data is the content's start, and nothing lies
// after its data.
bool takes_added_bytes(const uint8_t* record, const NewContent& content, uint64_t data_end)
{
    const EditedFrom* from = content.from;
    return from && is_stored(record) && !is_deleted(record) && data_offset(record) == from->data_offset &&
           stored_size(record) == from->stored_size && expanded_size(record) == from->expanded_size &&
           record_checksum(record) == from->checksum && from->unchanged >= from->expanded_size &&
           content.size >= from->expanded_size && uint64_t(from->data_offset) + from->stored_size == data_end;
}

// Appends what the content adds after the stored `record`'s data, which
// ends at `out.at`; `checksum` is then the record's: its last bytes, which
// its checksum took singly while they ended it (checksum/checksum.h), are
// read back and summed again with what follows them.
CommitStatus append_added_bytes(platform::UpdateFile& archive, const NewContent& content, const uint8_t* record,
                                Appended& out, uint32_t& checksum)
{
    const uint32_t kept = stored_size(record);
    if (content.size >= archive_size_limit)
        return CommitStatus::too_large;
    uint8_t loose[4];
    const size_t loose_size = kept % 4;
    if (!archive.read_at(out.at - loose_size, loose, loose_size))
        return CommitStatus::write_failed;
    out.sum.add(loose, loose_size);
    const NewContent added{content.size - kept,
                           [&content, kept](uint64_t offset, uint8_t* dest, size_t size) {
                               return content.read(kept + offset, dest, size);
                           },
                           nullptr};
    const CommitStatus status = append_pieces(archive, added, false, out);
    checksum = record_checksum(record) - additive_checksum(loose, loose_size) + out.sum.value();
    return status;
}

// The record "/E" would write at `path` in the directory `image`.
bool locate_record(const std::vector<uint8_t>& image, uint64_t data_end, const std::string& path,
                   size_t& record_at)
{
    ArchiveReader reader;
    if (!reader.open(image.data(), image.size(), data_end))
        return false;
    ExpandedTree tree;
    tree.build(reader);
    const uint32_t found = tree.find(path);
    if (found == ExpandedTree::none || tree.node(found).folder)
        return false;
    record_at = tree.node(found).record_at;
    return true;
}

// The save as a change set: a put at `path`, which makes room for the
// directory's history by writing the archive anew where it has none.
CommitStatus commit_through_change_set(const std::string& archive_path, const std::string& path,
                                       const NewContent& content, const VersionNote& note, CommitResult& result)
{
    ChangeSet changes;
    changes.put(path, Content::of_reader(content.size, content.read));
    CommitOptions options;
    options.summary = note.summary.empty() ? "save " + path : note.summary;
    ChangeResult changed = commit_changes(archive_path, changes, options);
    if (!changed.ok())
        return changed.status == CommitStatus::exists || changed.status == CommitStatus::conflict ||
                       changed.status == CommitStatus::not_found
                   ? CommitStatus::no_record
                   : changed.status;
    result.same_directory = false;
    result.data_end = changed.data_end;
    result.stamp = changed.stamp;
    result.image = std::move(changed.image);
    size_t record_at = 0;
    if (locate_record(result.image, result.data_end, path, record_at))
        result.record_at = record_at;
    return CommitStatus::committed;
}

// Whether the content is made as a stream for `record` (a chosen method
// tries one; a record's own method as the record has it).
bool made_compressed(RecordStorage storage, const uint8_t* record)
{
    switch (storage) {
    case RecordStorage::kept:
        return !is_stored(record);
    case RecordStorage::stored:
        return false;
    case RecordStorage::chosen:
        break;
    }
    return true;
}

}  // namespace

void stage_record(const std::string& archive_path, const NewContent& content, const std::vector<uint8_t>& known_image,
                  size_t known_record_at, StagedRecord& staged, RecordStorage storage)
{
    // The content is made ready (compressed, for a compressed record) in a
    // scratch file beside the archive before the lock is taken: other runs
    // then wait for a copy and the directory write, not for a deflate.
    staged.storage = storage;
    staged.ready = false;
    if (known_record_at + directory_block_at + file_name_at > known_image.size())
        return;
    const uint8_t* record = known_image.data() + directory_block_at + known_record_at;
    staged.compressed = made_compressed(storage, record);
    // Bytes added to a stored record are copied from the content under
    // the lock: most often where its data ends, else with the rest.
    const EditedFrom* from = content.from;
    if (!staged.compressed && from && is_stored(record) && data_offset(record) == from->data_offset &&
        stored_size(record) == from->stored_size && from->unchanged >= from->expanded_size)
        return;
    size_t cut = archive_path.size();
    while (cut > 0 && !platform::is_separator(archive_path[cut - 1]))
        --cut;
    const std::string folder = cut <= 1 ? archive_path.substr(0, cut) : archive_path.substr(0, cut - 1);
    Appended ready;
    staged.ready = !folder.empty() && staged.file.open_unnamed(folder) &&
                   append_content(staged.file, content, staged.compressed, storage == RecordStorage::chosen,
                                  ready) == CommitStatus::committed;
    staged.expanded = content.size;
    staged.size = ready.size;
    staged.checksum = ready.sum.value();
}

CommitStatus commit_staged_record(const std::string& archive_path, const std::string& path,
                                  const NewContent& content, const StagedRecord& staged,
                                  const std::vector<uint8_t>& known_image, size_t known_record_at,
                                  CommitResult& result, const VersionNote& note)
{
    const NewContent staged_content{staged.size,
                                    [&staged](uint64_t offset, uint8_t* dest, size_t size) {
                                        return staged.file.read_at(offset, dest, size);
                                    },
                                    nullptr};

    Transaction tx;
    const CommitStatus begun = tx.begin(archive_path);
    if (begun != CommitStatus::committed)
        return begun == CommitStatus::cannot_open ? CommitStatus::cannot_open : CommitStatus::write_failed;
    // A file cut short: appending at its end would write into data that
    // live records still point at.
    if (tx.data_outside())
        return CommitStatus::data_outside;
    const std::vector<uint8_t>& old_image = tx.image();
    const uint64_t data_end = tx.data_end();
    platform::UpdateFile& archive = tx.file();
    result.same_directory = old_image == known_image;
    size_t record_at = known_record_at;
    if (!result.same_directory && !locate_record(old_image, data_end, path, record_at))
        return CommitStatus::no_record;

    // A version is kept of every save; without room after the directory
    // for its anchor, the save goes through a change set, which writes the
    // archive anew with room once.
    const uint64_t room_end = tx.room_end();
    if (header_size + uint64_t(directory_size(old_image.data())) + room_marker_size + history_room() > room_end) {
        tx.release();
        return commit_through_change_set(archive_path, path, content, note, result);
    }

    std::vector<uint8_t> image = old_image;
    uint8_t* record = image.data() + directory_block_at + record_at;
    const bool compressed = made_compressed(staged.storage, record);
    uint64_t expanded = content.size;
    uint32_t checksum = 0;
    CommitStatus status;
    if (!compressed && takes_added_bytes(record, content, data_end)) {
        Appended added{data_end, 0, AdditiveChecksum()};
        status = append_added_bytes(archive, content, record, added, checksum);
        if (status != CommitStatus::committed)
            return status;  // what was appended is cut off with the transaction
        tx.appended_to(added.at + added.size);
        set_stored_size(record, uint32_t(content.size));
    } else {
        Appended data{data_end, 0, AdditiveChecksum()};
        // Should the record found under the lock ask for the other method,
        // the content is made again here.
        const bool use_staged = staged.ready && compressed == staged.compressed;
        status = use_staged ? append_content(archive, staged_content, false, false, data)
                            : append_content(archive, content, compressed,
                                             staged.storage == RecordStorage::chosen, data);
        if (status != CommitStatus::committed)
            return status;  // what was appended is cut off with the transaction
        tx.appended_to(data.at + data.size);
        if (use_staged)
            expanded = staged.expanded;
        checksum = data.sum.value();
        set_data_offset(record, uint32_t(data.at));
        set_stored_size(record, uint32_t(data.size));
    }
    set_expanded_size(record, uint32_t(expanded));
    set_record_checksum(record, checksum);
    seal_directory(image.data());
    image.resize(header_size + size_t(directory_size(image.data())));
    if (!attach_version(tx, image, room_end, note.summary.empty() ? VersionNote{"save " + path} : note) ||
        tx.commit(image) != CommitStatus::committed)
        return CommitStatus::write_failed;
    result.image = std::move(image);
    result.record_at = record_at;
    result.data_end = tx.data_end();
    if (!archive.stamp(result.stamp))
        result.stamp = platform::FileStamp();
    return CommitStatus::committed;
}

CommitStatus commit_record(const std::string& archive_path, const std::string& path, const NewContent& content,
                           const std::vector<uint8_t>& known_image, size_t known_record_at, CommitResult& result,
                           RecordStorage storage, const VersionNote& note)
{
    StagedRecord staged;
    stage_record(archive_path, content, known_image, known_record_at, staged, storage);
    return commit_staged_record(archive_path, path, content, staged, known_image, known_record_at, result, note);
}

}  // namespace tavmerk
