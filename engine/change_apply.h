// The apply step of a change set (engine/change_set.h): its changes made,
// in order, to the directory in force held as a tree, each reported, with
// the files whose data the commit is to write (its targets). Nothing is
// written here; a refused change stops the step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/change_prepare.h"
#include "engine/change_set.h"
#include "engine/directory_tree.h"

namespace tavmerk {

// A file whose data this commit writes: its node, and what it gets.
struct Target {
    uint32_t node = DirectoryTree::none;
    Prepared* prepared = nullptr;
    Storage storage = Storage::chosen;
    bool replaced = false;    // the record was there (it keeps its method)
    bool was_stored = false;  // its method before
    bool stored = false;      // decided at the commit
    // A rename onto a file of the other method: the index in
    // Applier::recode_sources of FROM's old data, decoded and made this
    // target's content at the commit (`prepared` is set then).
    size_t recode = no_place;
};

struct Applied {
    ChangeStatus status = ChangeStatus::committed;
    // The targets in the order the changes made them, those that stand.
    std::vector<Target> targets;
    // FROM's old data (as a node copy) for each rename onto a file of
    // another storage method (Target::recode).
    std::vector<DirectoryTree::Node> recode_sources;
};

// Applies `changes` to `tree`, read from the directory whose identity is
// `directory` (0 for a new archive); the puts take `prepared` in order.
// What became of each entry goes to `result.reports`; a refused change
// sets `result.failed_change`.
Applied apply_changes(DirectoryTree& tree, std::vector<Prepared>& prepared, uint64_t directory,
                      const std::vector<Change>& changes, ChangeResult& result);

// Decides each target's method: stored, or its prepared stream.
void decide_methods(std::vector<Target>& targets);
uint64_t target_size(const Target& t);
uint32_t target_checksum(const Target& t);

}  // namespace tavmerk
