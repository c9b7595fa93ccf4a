// The generations room: the archive as each load or commit found it, the
// node numbers the kernel knows its files and folders by, and what the
// kernel must be told to forget.
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
// Node numbers: a node keeps its number for as long as it is there, as
// programs that compare a file's st_ino before and after they write it
// expect. The first load numbers each node by its index in the tree plus
// one; a later tree of the same shape (the same names in the same order)
// shares the numbering of the one before, at no cost per node. A tree of
// another shape is numbered anew from the one before it: a node at a path
// that tree had (or had before a rename made here) keeps its number, a
// file created in the mount keeps the one it was created with once it is
// a record, and every other node takes the next of a count that only
// grows, so that no number the kernel may still hold comes back for
// another node. A node a rename by another run moved is a new node.
//
// What the kernel is told to forget at a change of shape: the names of the
// nodes it holds that the tree no longer has, and the attributes of those
// whose attributes changed. A node it holds that the tree no longer has
// is served from the generation it was last in (a file still open there)
// until the kernel forgets it; that generation, and its archive's
// descriptor, go with the last such node.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/reader.h"
#include "engine/expanded_tree.h"
#include "engine/locks.h"
#include "mount/messages.h"
#include "mount/mount_options.h"
#include "platform/platform.h"

namespace tavmerk {

// The node numbers of one shape of tree.
struct Numbering {
    std::vector<Ino> inos;  // by node; empty: each node's index plus one
    std::vector<std::pair<Ino, uint32_t>> nodes;  // by number, sorted

    Ino ino(uint32_t node) const { return inos.empty() ? Ino(node) + 1 : inos[node]; }
    // The node numbered `ino` in a tree of `size` nodes, or none.
    uint32_t node(Ino ino, size_t size) const;
};

// A rename a commit of this mount made.
struct Moved {
    std::string from, to;
};

// The archive as one load found it. Never changed once installed.
struct Generation {
    std::shared_ptr<platform::UpdateFile> file;  // open for reading, not locked
    uint64_t file_key = 0;
    platform::FileStamp stamp;
    std::vector<uint8_t> image;  // header and directory
    uint64_t data_end = 0;
    ExpandedTree tree;
    uint64_t referenced = 0;  // bytes the directory, its room and its live records' data take
    // Shared by generations whose trees have one shape.
    std::shared_ptr<const Numbering> numbers = std::make_shared<Numbering>();
    // The time folders show: the archive's at the load that gave the
    // tree its shape, as a folder's time changes only with its names.
    int64_t shaped_ns = 0;
    // The time each file shows: the archive's at the load that first had
    // its content (a file's time changes with its content, not with every
    // commit to the archive, as programs that check a file before they
    // write it expect).
    std::vector<int64_t> file_ns;
    // Every node by the hash of its whole path, so that a lookup is one
    // probe and a comparison, not a walk level by level; paths whose
    // hashes collide are marked `none` and walked.
    std::unordered_map<uint64_t, uint32_t> by_path;
    // Each folder's subfolders, by node (its st_nlink less 2).
    std::vector<uint32_t> subfolders;

    // The tree of the directory `reader` reads, with every folder entry,
    // empty ones too, indexed; false at a bad folder id.
    bool build(const ArchiveReader& reader, const platform::UpdateFile& from);
    // Gives each file its time: the one it had in `before` where its
    // content (sizes and checksum) is the same, else the archive's now.
    void carry_times(const Generation* before);
    uint32_t find(const std::string& path) const;
    Ino ino_of(uint32_t node) const { return numbers->ino(node); }
    uint32_t node_of(Ino ino) const { return numbers->node(ino, tree.size()); }

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
    bool load(std::string& reason) EXCLUDES(load_mutex_);
    // Takes up other runs' commits, if the archive changed and no other
    // run holds it locked; with `wait`, once the run that holds it is done.
    void refresh(bool wait = false) EXCLUDES(load_mutex_);
    // The directory a commit of this mount left is the one in force;
    // `saved` names the file whose new size the kernel knows already;
    // `moved`, the rename the commit made, if any. The generation that
    // shows it.
    std::shared_ptr<const Generation> take_up(const std::shared_ptr<const Generation>& before, std::vector<uint8_t> image, uint64_t data_end,
                 const platform::FileStamp& stamp, const std::string& saved, const Moved* moved = nullptr)
        EXCLUDES(load_mutex_);
    std::shared_ptr<const Generation> current() const EXCLUDES(mutex_);
    bool lookup(const std::string& path, RecordRef& ref) const;

    bool place_of(Ino ino, Place& place, bool with_path) const;
    bool path_in(Ino parent, const std::string& name, std::string& path) const;
    // The path of a node once other runs' commits are taken up.
    bool fresh_path(Ino ino, std::string& path);
    void attr_of(const Generation& generation, uint32_t node, EntryAttr& attr) const;
    // A node the kernel holds whose path the archive no longer has.
    bool kept_attr(Ino ino, EntryAttr& attr) const;
    void remember(Ino ino);
    void forget(Ino ino, uint64_t count);

    // Created files' nodes, by path.
    Ino new_created(const std::string& path) EXCLUDES(created_mutex_);
    void drop_created(const std::string& path, bool below) EXCLUDES(created_mutex_);
    void move_created(const std::string& from, const std::string& to) EXCLUDES(created_mutex_);

    // Tells the kernel what it must drop, with no lock of the mount held:
    // now, or from the teller thread (after a change of the tree, whose
    // folders the kernel holds locked until it is answered).
    void tell_changes() EXCLUDES(changed_mutex_);
    void tell_changes_later() EXCLUDES(changed_mutex_);
    void stop_teller() EXCLUDES(changed_mutex_);

    void space(uint64_t& size, uint64_t& unreferenced, uint64_t& files) const;

    // Times set on a node (utimensat): the archive stores none, so they
    // are shown for the life of the mount, until the node is written to.
    // `no_time` leaves one as it is.
    void set_times(Ino ino, int64_t accessed_ns, int64_t modified_ns, int64_t shown_ns) EXCLUDES(times_mutex_);
    void drop_times(Ino ino) EXCLUDES(times_mutex_);
    // Gives `attr` the times set on its node, if any.
    void shown_times(EntryAttr& attr) const EXCLUDES(times_mutex_);

private:
    struct Change {
        Ino ino = 0;  // attributes changed; 0: the name below
        Ino parent = 0;
        std::string name;
    };

    bool reload(std::string& reason, bool wait, const Moved* moved = nullptr) REQUIRES(load_mutex_);
    void install(std::shared_ptr<const Generation> generation) REQUIRES(load_mutex_);
    void note_changes(const std::shared_ptr<const Generation>& before, Generation& after, uint32_t except,
                      const Moved* moved) REQUIRES(load_mutex_);
    std::shared_ptr<const Numbering> number(const Generation& before, const Generation& after,
                                            const Moved* moved) REQUIRES(load_mutex_);
    void teller() EXCLUDES(changed_mutex_);

    const MountOptions& options_;
    Messages& messages_;

    // Its locks in the order mount/mounted_archive.h gives.
    Mutex load_mutex_ ACQUIRED_BEFORE(mutex_);  // one load or take-up at a time
    uint64_t file_keys_ GUARDED_BY(load_mutex_) = 0;

    mutable SharedMutex mutex_ ACQUIRED_BEFORE(created_mutex_);
    std::shared_ptr<const Generation> generation_ GUARDED_BY(mutex_);
    // The lookups the kernel holds, by node.
    std::unordered_map<Ino, uint64_t> named_nodes_ GUARDED_BY(mutex_);
    // The nodes the kernel holds that the tree in force no longer has,
    // with the generation each was last in.
    std::unordered_map<Ino, std::shared_ptr<const Generation>> gone_ GUARDED_BY(mutex_);
    std::atomic<Ino> last_ino_{root_ino};  // the highest number given yet

    mutable Mutex created_mutex_ ACQUIRED_BEFORE(changed_mutex_);
    // Where each created file not yet numbered as a record stands now.
    std::map<Ino, std::string> created_ GUARDED_BY(created_mutex_);

    Mutex changed_mutex_ ACQUIRED_BEFORE(times_mutex_);
    std::vector<Change> changed_ GUARDED_BY(changed_mutex_);  // not yet told
    CondVar tell_;
    bool tell_wanted_ GUARDED_BY(changed_mutex_) = false;
    bool ending_ GUARDED_BY(changed_mutex_) = false;
    std::thread teller_;  // the mount's own thread starts and joins it

    mutable Mutex times_mutex_;
    struct SetTimes {
        int64_t accessed_ns = no_time;
        int64_t modified_ns = no_time;
    };
    std::unordered_map<Ino, SetTimes> times_ GUARDED_BY(times_mutex_);
    std::atomic<bool> any_times_{false};  // a listing asks no lock while none is set
};

}  // namespace tavmerk
