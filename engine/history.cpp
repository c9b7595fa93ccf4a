#include "engine/history.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "archive/layout.h"
#include "archive/room.h"
#include "checksum/checksum.h"
#include "engine/inflate.h"
#include "engine/transaction.h"

namespace tavmerk {

namespace {

// A repack leaves the anchor of the directory it replaced where it was;
// it is looked for this far after the directory to say so.
constexpr size_t repack_search_limit = size_t(1) << 20;

const char anchor_magic[16 + 1] = "TAVMERK-VERSIONS";

uint32_t image_crc(const uint8_t* header, uint64_t size) { return Crc32().compute(header, size_t(size)); }

// The live records' data, sorted, to tell whether a block lies where a
// record points.
struct LiveData {
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // [start, end)
    uint64_t first = UINT64_MAX;

    explicit LiveData(const ArchiveReader& reader)
    {
        RecordCursor records(reader.block(), reader.block_size(), reader.root_folder_count(), std::string(), '/',
                             PathComposing::skip);
        while (records.next()) {
            const FileEntry& e = records.entry();
            if (e.live() && e.stored_size > 0)
                spans.emplace_back(e.data_offset, uint64_t(e.data_offset) + e.stored_size);
        }
        std::sort(spans.begin(), spans.end());
        if (!spans.empty())
            first = spans.front().first;
        // Each span's end raised to the furthest end so far, so that one
        // search finds any overlap.
        for (size_t i = 1; i < spans.size(); ++i)
            spans[i].second = std::max(spans[i].second, spans[i - 1].second);
    }

    bool overlaps(uint64_t start, uint64_t end) const
    {
        // The last span starting before `end` reaches furthest of all such.
        auto it = std::lower_bound(spans.begin(), spans.end(), std::make_pair(end, uint64_t(0)));
        if (it == spans.begin())
            return false;
        return std::prev(it)->second > start;
    }
};

struct Anchored {
    bool room = false;     // a room marker holds after the directory
    uint64_t room_end = 0;
    bool damaged = false;  // an anchor's magic where one stands, the rest not holding
    bool found = false;    // an anchor holds in itself
    bool bound = false;    // ... and belongs to the directory in force
    HistoryAnchor anchor;
};

Anchored find_anchor(const HistorySource& source)
{
    Anchored a;
    const ArchiveReader& reader = *source.reader;
    const uint64_t block_end = header_size + uint64_t(reader.block_size());
    uint8_t bytes[room_marker_size + history_anchor_size];
    if (block_end + sizeof bytes > source.data_end || !source.read_at(block_end, bytes, sizeof bytes))
        return a;
    a.room_end = room_end(reader, bytes);
    a.room = a.room_end != 0;
    if (!a.room || block_end + sizeof bytes > a.room_end)
        return a;
    a.found = read_history_anchor(bytes + room_marker_size, a.anchor);
    a.damaged = !a.found && std::memcmp(bytes + room_marker_size, anchor_magic, 16) == 0;
    a.bound = a.found && a.anchor.for_image_size == block_end &&
              a.anchor.for_image_crc == image_crc(reader.header(), block_end);
    return a;
}

// True when an anchor that holds in itself stands in the bytes after the
// directory that no live record uses: what a repack over a directory with
// history leaves behind.
bool repack_left_an_anchor(const HistorySource& source, const LiveData& live)
{
    const uint64_t start = header_size + uint64_t(source.reader->block_size());
    const uint64_t end = std::min<uint64_t>({live.first, source.data_end, start + repack_search_limit});
    if (end <= start + history_anchor_size)
        return false;
    std::vector<uint8_t> bytes(size_t(end - start));
    if (!source.read_at(start, bytes.data(), bytes.size()))
        return false;
    const uint8_t* at = bytes.data();
    const uint8_t* stop = bytes.data() + bytes.size() - history_anchor_size;
    HistoryAnchor anchor;
    while (at <= stop) {
        at = static_cast<const uint8_t*>(std::memchr(at, anchor_magic[0], size_t(stop - at) + 1));
        if (!at)
            return false;
        if (read_history_anchor(at, anchor))
            return true;
        ++at;
    }
    return false;
}

// Reads and checks the block `ref` leads to: inside the data after the
// room, where no live record points, whole by its CRC.
bool read_block(const HistorySource& source, const LiveData& live, uint64_t room_end, const BlockRef& ref,
                std::vector<uint8_t>& bytes, VersionBlock& block)
{
    const uint64_t start = ref.offset, end = start + ref.size;
    if (ref.offset == 0 || start < room_end || end > source.data_end || ref.size < version_block_fixed_size ||
        live.overlaps(start, end))
        return false;
    bytes.resize(ref.size);
    if (!source.read_at(start, bytes.data(), bytes.size()) || Crc32().compute(bytes.data(), bytes.size()) != ref.crc)
        return false;
    return read_version_block(bytes.data(), bytes.size(), block);
}

uint32_t live_files(const ArchiveReader& reader)
{
    uint32_t files = 0;
    RecordCursor records(reader.block(), reader.block_size(), reader.root_folder_count(), std::string(), '/', PathComposing::skip);
    while (records.next())
        if (records.entry().live())
            ++files;
    return files;
}

void describe(VersionInfo& info, const VersionBlock& block)
{
    info.time = block.time;
    info.time_known = true;
    info.files = block.files;
    info.added = block.added;
    info.changed = block.changed;
    info.removed = block.removed;
    info.counts_known = true;
    info.summary = block.summary;
}

// Live files by path, as "/E" would write them (the last record at a
// path), each path known by a 64-bit hash: counting what a commit changed
// is a merge of two sorted arrays, with no string kept. Two paths sharing
// a hash would only miscount the log's figures, never anything stored.
struct FileState {
    uint64_t path_hash;
    uint32_t order;  // in the walk
    uint32_t stored_size, expanded_size, checksum;
    bool same_content(const FileState& o) const
    {
        return stored_size == o.stored_size && expanded_size == o.expanded_size && checksum == o.checksum;
    }
};

uint64_t path_hash(const std::string& path)
{
    uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
    for (const char c : path)
        h = (h ^ uint8_t(c)) * 0x100000001b3ull;
    return h;
}

std::vector<FileState> live_by_path(const ArchiveReader& reader)
{
    std::vector<FileState> files;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (e.live())
            files.push_back(
                FileState{path_hash(e.path), uint32_t(files.size()), e.stored_size, e.expanded_size, e.checksum});
    }
    // The last record at a path counts: keep each hash's last in walk order.
    std::sort(files.begin(), files.end(), [](const FileState& a, const FileState& b) {
        return a.path_hash != b.path_hash ? a.path_hash < b.path_hash : a.order < b.order;
    });
    size_t kept = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i + 1 < files.size() && files[i + 1].path_hash == files[i].path_hash)
            continue;
        files[kept++] = files[i];
    }
    files.resize(kept);
    return files;
}

void count_changes(const ArchiveReader& before, const ArchiveReader& after, VersionBlock& block)
{
    const std::vector<FileState> old_files = live_by_path(before);
    const std::vector<FileState> new_files = live_by_path(after);
    block.files = uint32_t(new_files.size());
    block.previous_files = uint32_t(old_files.size());
    size_t i = 0, j = 0;
    while (i < old_files.size() || j < new_files.size()) {
        if (j == new_files.size() || (i < old_files.size() && old_files[i].path_hash < new_files[j].path_hash)) {
            ++block.removed;
            ++i;
        } else if (i == old_files.size() || new_files[j].path_hash < old_files[i].path_hash) {
            ++block.added;
            ++j;
        } else {
            if (!old_files[i].same_content(new_files[j]))
                ++block.changed;
            ++i;
            ++j;
        }
    }
}

bool compress_image(const uint8_t* image, size_t size, std::vector<uint8_t>& stream)
{
    uLongf bound = compressBound(uLong(size));
    stream.resize(bound);
    if (compress2(stream.data(), &bound, image, uLong(size), Z_BEST_SPEED) != Z_OK)
        return false;
    stream.resize(bound);
    return true;
}

}  // namespace

History read_history(const HistorySource& source, size_t limit)
{
    History history;
    const LiveData live(*source.reader);
    const Anchored a = find_anchor(source);
    VersionInfo current;
    current.files = live_files(*source.reader);
    if (!a.bound) {
        if (a.damaged)
            history.end = HistoryEnd::damaged;
        else if (a.found || repack_left_an_anchor(source, live))
            history.end = HistoryEnd::repack;
        history.versions.push_back(current);
        return history;
    }
    history.anchored = true;
    history.newest = a.anchor.newest;
    current.version = a.anchor.version;
    history.versions.push_back(current);

    BlockRef ref = a.anchor.newest;
    uint32_t expect = a.anchor.version;
    std::vector<uint8_t> bytes;
    while (!ref.empty() && expect > 0) {
        VersionBlock block;
        if (!read_block(source, live, a.room_end, ref, bytes, block) || block.version != expect) {
            history.end = HistoryEnd::damaged;
            history.damaged_before = expect;
            break;
        }
        history.history_bytes += ref.size;
        describe(history.versions.back(), block);
        if (limit != 0 && history.versions.size() >= limit)
            break;
        VersionInfo older;
        older.version = expect - 1;
        older.files = block.previous_files;
        older.time = block.previous_time;
        older.time_known = block.previous_time != 0;
        older.data_kept = block.image_stored != 0;
        older.image_block = ref;
        history.versions.push_back(older);
        if (block.flags & block_flag_after_repack) {
            history.end = HistoryEnd::repack;
            break;
        }
        if (block.flags & block_flag_after_damage) {
            history.end = HistoryEnd::damaged;
            history.damaged_before = older.version;
            break;
        }
        ref = block.previous;
        --expect;
    }
    return history;
}

bool read_version_image(const HistorySource& source, const History& history, uint32_t version,
                        const std::vector<uint8_t>& current_image, std::vector<uint8_t>& image, std::string& why)
{
    const auto it = std::find_if(history.versions.begin(), history.versions.end(),
                                 [&](const VersionInfo& v) { return v.version == version; });
    if (it == history.versions.end()) {
        why = "unknown";
        return false;
    }
    if (it == history.versions.begin()) {
        const uint64_t size = header_size + uint64_t(source.reader->block_size());
        image.assign(current_image.begin(), current_image.begin() + std::ptrdiff_t(std::min<uint64_t>(size, current_image.size())));
        return true;
    }
    if (!it->data_kept) {
        why = "dropped";
        return false;
    }
    const LiveData live(*source.reader);
    const Anchored a = find_anchor(source);
    std::vector<uint8_t> bytes;
    VersionBlock block;
    why = "damaged";
    return a.bound && read_block(source, live, a.room_end, it->image_block, bytes, block) &&
           inflate_block_image(block, bytes, source.data_end, image);
}

bool read_block_at(const HistorySource& source, const BlockRef& ref, std::vector<uint8_t>& bytes, VersionBlock& block)
{
    if (ref.empty() || ref.size < version_block_fixed_size || uint64_t(ref.offset) + ref.size > source.data_end)
        return false;
    bytes.resize(ref.size);
    return source.read_at(ref.offset, bytes.data(), bytes.size()) &&
           Crc32().compute(bytes.data(), bytes.size()) == ref.crc && read_version_block(bytes.data(), bytes.size(), block);
}

bool inflate_block_image(const VersionBlock& block, const std::vector<uint8_t>& bytes, uint64_t data_end,
                         std::vector<uint8_t>& image)
{
    image.clear();
    if (block.image_stored == 0 || block.image_at + block.image_stored > bytes.size())
        return false;
    // An earlier directory stood at the start of this file, which has only
    // grown since (compaction aside, which keeps the data of the version,
    // or at worst a stream a directory does not compress beyond): a block
    // claiming more is damaged, and is not given the memory it claims.
    if (block.image_size > std::max<uint64_t>(data_end, uint64_t(block.image_stored) * 64))
        return false;
    image.resize(inflate_room(block.image_stored, block.image_size));
    size_t got = 0;
    if (image.size() != block.image_size ||
        inflate_stream(bytes.data() + block.image_at, block.image_stored, image.data(), image.size(), got) != Z_OK ||
        got != block.image_size || image_crc(image.data(), image.size()) != block.image_crc) {
        image.clear();
        return false;
    }
    return true;
}

bool is_version_text(const std::string& text)
{
    const std::string digits = !text.empty() && text[0] == '~' ? text.substr(1) : text;
    return !digits.empty() && digits.size() <= 10 && digits.find_first_not_of("0123456789") == std::string::npos;
}

bool make_version_block(VersionBlock& block, const uint8_t* image, size_t size, std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> stream;
    if (image && !compress_image(image, size, stream))
        return false;
    block.image_stored = uint32_t(stream.size());
    block.image_size = image ? uint32_t(size) : 0;
    block.image_crc = image ? image_crc(image, size) : 0;
    const std::string head = make_version_block_head(block);
    bytes.assign(head.begin(), head.end());
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    return true;
}

void anchor_image(std::vector<uint8_t>& image, uint64_t room_end, const BlockRef& newest, uint32_t version)
{
    const uint64_t block_end = header_size + uint64_t(directory_size(image.data()));
    image.resize(size_t(block_end + room_marker_size + history_anchor_size));
    make_room_marker(directory_size(image.data()), room_end, image.data() + block_end);
    HistoryAnchor anchor;
    anchor.for_image_size = uint32_t(block_end);
    anchor.for_image_crc = image_crc(image.data(), block_end);
    anchor.newest = newest;
    anchor.version = version;
    make_history_anchor(anchor, image.data() + block_end + room_marker_size);
}

bool resolve_version(const std::string& text, const History& history, uint32_t& version)
{
    if (!is_version_text(text))
        return false;
    const bool back = text[0] == '~';
    const std::string digits = back ? text.substr(1) : text;
    const uint64_t n = std::stoull(digits);
    if (back) {
        if (n >= history.versions.size())
            return false;
        version = history.versions[size_t(n)].version;
        return true;
    }
    for (const VersionInfo& v : history.versions)
        if (v.version == n) {
            version = v.version;
            return true;
        }
    return false;
}

VersionBlock next_version_block(const History& old, const platform::UpdateFile& file, const ArchiveReader& before,
                                const ArchiveReader& after, const VersionNote& note)
{
    VersionBlock block;
    block.version = old.versions[0].version + 1;
    block.time = platform::utc_now();
    block.summary = summary_line(note.summary);
    if (old.versions[0].time_known) {
        block.previous_time = old.versions[0].time;
    } else {
        platform::FileStamp stamp;
        if (file.stamp(stamp) && stamp.modified_ns > 0)
            block.previous_time = uint64_t(stamp.modified_ns / 1000000000);
    }
    if (old.anchored && old.end != HistoryEnd::damaged)
        block.previous = old.newest;
    else if (old.end == HistoryEnd::damaged)
        block.flags |= block_flag_after_damage;
    else if (old.end == HistoryEnd::repack)
        block.flags |= block_flag_after_repack;
    count_changes(before, after, block);
    return block;
}

bool attach_version(Transaction& tx, std::vector<uint8_t>& image, uint64_t room_end, const VersionNote& note)
{
    const uint64_t block_end = header_size + uint64_t(directory_size(image.data()));
    if (block_end + room_marker_size + history_anchor_size > room_end || image.size() < block_end)
        return false;
    const platform::UpdateFile& file = tx.file();
    HistorySource source{&tx.reader(), tx.data_end(),
                         [&file](uint64_t at, uint8_t* dest, size_t size) { return file.read_at(at, dest, size); }};
    const History old = read_history(source, 1);
    ArchiveReader after;
    if (!after.open(image.data(), block_end, tx.data_end()))
        return false;
    VersionBlock block = next_version_block(old, file, tx.reader(), after, note);

    const uint64_t old_end = header_size + uint64_t(tx.reader().block_size());
    const std::vector<uint8_t>& old_image = tx.image();
    std::vector<uint8_t> bytes;
    if (old_image.size() < old_end || !make_version_block(block, old_image.data(), size_t(old_end), bytes))
        return false;
    // The block goes after everything appended so far, also what a writer
    // appended through the file itself.
    uint64_t size = 0;
    if (!tx.file().size(size))
        return false;
    if (size > tx.append_at())
        tx.appended_to(size);
    const uint64_t at = tx.append_at();
    if (at + bytes.size() >= archive_size_limit || !tx.append(bytes.data(), bytes.size()))
        return false;

    anchor_image(image, room_end,
                 BlockRef{uint32_t(at), uint32_t(bytes.size()), Crc32().compute(bytes.data(), bytes.size())},
                 block.version);
    return true;
}

}  // namespace tavmerk

namespace tavmerk {

VersionOpen open_version(const platform::FileView& view, const ArchiveReader& current, const std::string& at,
                         std::vector<uint8_t>& image, ArchiveReader& reader, uint32_t* version)
{
    return open_version([&view](uint64_t offset, uint8_t* dest, size_t size) { return view.read_at(offset, dest, size); },
                        current, at, image, reader, version);
}

VersionOpen open_version(const ReadAt& read_at, const ArchiveReader& current, const std::string& at,
                         std::vector<uint8_t>& image, ArchiveReader& reader, uint32_t* version)
{
    const HistorySource source{&current, current.file_size(), read_at};
    const History history = read_history(source);
    uint32_t id = 0;
    if (!resolve_version(at, history, id))
        return VersionOpen::unknown;
    if (version)
        *version = id;
    const std::vector<uint8_t> current_image(current.header(),
                                             current.header() + header_size + current.block_size());
    std::string why;
    if (!read_version_image(source, history, id, current_image, image, why))
        return why == "dropped" ? VersionOpen::dropped : why == "unknown" ? VersionOpen::unknown : VersionOpen::damaged;
    return reader.open(image.data(), image.size(), current.file_size()) ? VersionOpen::ok : VersionOpen::damaged;
}

std::string version_problem(VersionOpen problem, const std::string& at)
{
    switch (problem) {
    case VersionOpen::ok:
        break;
    case VersionOpen::unknown:
        return "no version " + at;
    case VersionOpen::dropped:
        return "version " + at + ": its data was dropped by compact";
    case VersionOpen::damaged:
        return "version " + at + ": its directory cannot be read";
    }
    return std::string();
}

std::string utc_time_text(uint64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &t);
#else
    gmtime_r(&t, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace tavmerk
