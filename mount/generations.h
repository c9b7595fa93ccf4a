// The generations room: the archive as each load or commit found it, the
// node numbers the kernel knows its files and folders by, the shapes of
// tree those numbers belong to, and what the kernel must be told to forget.
//
// A generation is the archive file as one (re)load found it: its
// directory and tree, never changed once installed. The directory is
// loaded under the shared lock, which is let go at once: the mount holds
// no lock while idle. Data located through a committed directory stays
// where it is (data is only ever appended; a compaction or a rewrite
// makes a new file, and a generation keeps the old one open), so reads
// need no lock. Before an open, the archive's stamp is compared with the
// generation's, and a changed archive loaded again, unless another run
// holds its exclusive lock for a commit: the generation in force is then
// served on, and the load left for a later open.
//
// Node numbers: a node of the tree is its index in the tree plus one, in
// the high half the shape of the tree it belongs to (a later tree of
// another shape numbers its nodes anew; a node of an earlier shape is found
// again by its path, through the renames made here since). Files created
// in the mount have numbers of their own, with the top bit set. An earlier
// shape's generation is kept while the kernel names any of its nodes, and
// let go (with its archive's descriptor) once it has forgotten them all.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "archive/reader.h"
#include "engine/expanded_tree.h"
#include "mount/messages.h"
#include "mount/mount_options.h"
#include "platform/platform.h"

namespace tavmerk {

constexpr Ino created_bit = Ino(1) << 63;

// The archive as one load found it. Never changed once installed.
struct Generation {
    std::shared_ptr<platform::UpdateFile> file;  // open for reading, not locked
    uint64_t file_key = 0;
    platform::FileStamp stamp;
    std::vector<uint8_t> image;  // header and directory
    uint64_t data_end = 0;
    ExpandedTree tree;
    uint64_t referenced = 0;  // bytes the directory, its room and its live records' data take
    uint32_t shape = 0;       // the same for generations whose trees have one shape
    // The time folders show: the archive's at the load that gave the
    // tree its shape, as a folder's time changes only with its names.
    int64_t shaped_ns = 0;
    // Every node by the hash of its whole path, so that a lookup is one
    // probe and a comparison, not a walk level by level; paths whose
    // hashes collide are marked `none` and walked.
    std::unordered_map<uint64_t, uint32_t> by_path;

    // The tree of the directory `reader` reads, with every folder entry,
    // empty ones too, indexed; false at a bad folder id.
    bool build(const ArchiveReader& reader, const platform::UpdateFile& from);
    uint32_t find(const std::string& path) const;

private:
    void index(const ArchiveReader& reader, const platform::UpdateFile& from);
};

// What a read of a record needs: the generation holds its file open.
struct RecordRef {
    std::shared_ptr<const Generation> generation;
    const ExpandedTree::Node* node = nullptr;
    std::string path;
};

// Where a node stands now.
struct Place {
    std::shared_ptr<const Generation> generation;
    uint32_t node = ExpandedTree::none;  // in the generation's tree; none: no node of the archive there
    bool created = false;                // a file created in the mount
    std::string path;                    // when asked for, and for created files
};

class Generations {
public:
    Generations(const MountOptions& options, Messages& messages);
    ~Generations();

    // The first load, and the teller thread started.
    bool load(std::string& reason);
    // Takes up other runs' commits, if the archive changed and no other
    // run holds it locked.
    void refresh();
    // The directory a commit of this mount left is the one in force;
    // `saved` names the file whose new size the kernel knows already.
    void take_up(const std::shared_ptr<const Generation>& before, std::vector<uint8_t> image, uint64_t data_end,
                 const platform::FileStamp& stamp, const std::string& saved);
    std::shared_ptr<const Generation> current() const;
    bool lookup(const std::string& path, RecordRef& ref) const;

    bool place_of(Ino ino, Place& place, bool with_path) const;
    bool path_in(Ino parent, const std::string& name, std::string& path) const;
    // The path of a node once other runs' commits are taken up.
    bool fresh_path(Ino ino, std::string& path);
    void attr_of(const Generation& generation, uint32_t node, EntryAttr& attr) const;
    // A node of an earlier shape whose path the archive no longer has.
    bool kept_attr(Ino ino, EntryAttr& attr) const;
    void remember(Ino ino);
    void forget(Ino ino, uint64_t count);

    // Created files' nodes, by path.
    Ino new_created(const std::string& path);
    void drop_created(const std::string& path, bool below);
    void move_created(const std::string& from, const std::string& to);
    // A rename this mount committed, made when `shape` was in force.
    void renamed(uint32_t shape, const std::string& from, const std::string& to);

    // Tells the kernel what it must drop, with no lock of the mount held:
    // now, or from the teller thread (after a change of the tree, whose
    // folders the kernel holds locked until it is answered).
    void tell_changes();
    void tell_changes_later();
    void stop_teller();

    void space(uint64_t& size, uint64_t& unreferenced, uint64_t& files) const;

private:
    struct Change {
        Ino ino = 0;  // attributes changed; 0: the name below
        Ino parent = 0;
        std::string name;
    };
    struct Rename {
        uint32_t shape;
        std::string from, to;
    };

    bool reload(std::string& reason, bool wait);
    void install(std::shared_ptr<const Generation> generation);
    void note_changes(const std::shared_ptr<const Generation>& before, Generation& after, uint32_t except);
    std::shared_ptr<const Generation> earlier_shape(Ino ino) const;
    void teller();

    const MountOptions& options_;
    Messages& messages_;

    std::mutex load_mutex_;  // one load or take-up at a time
    // Guards generation_, shapes_, named_, named_nodes_, renames_, shapes_made_.
    mutable std::shared_mutex mutex_;
    std::shared_ptr<const Generation> generation_;
    // Earlier generations whose trees differ in shape from the current,
    // by shape, while the kernel names nodes of theirs.
    std::map<uint32_t, std::shared_ptr<const Generation>> shapes_;
    std::map<uint32_t, uint64_t> named_;  // by shape, the lookups the kernel holds
    std::unordered_map<Ino, uint64_t> named_nodes_;  // and by node
    std::vector<Rename> renames_;         // by the shape in force before each
    uint32_t shapes_made_ = 0;
    uint64_t file_keys_ = 0;

    mutable std::mutex created_mutex_;  // guards created_, next_created_
    std::map<Ino, std::string> created_;  // where each created file's node stands now
    Ino next_created_ = 0;

    std::mutex changed_mutex_;  // guards changed_, tell_wanted_, ending_
    std::vector<Change> changed_;  // not yet told
    std::condition_variable tell_;
    bool tell_wanted_ = false;
    bool ending_ = false;
    std::thread teller_;
};

}  // namespace tavmerk
