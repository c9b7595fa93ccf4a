// tavmerk-util: the companion command. Options are parsed here and turned
// into a command's request; everything else lives in the commands
// (util/commands.h).
#include <CLI/CLI.hpp>
#include <zlib.h>

#include <iostream>
#include <string>
#include <vector>

#ifdef TAVMERK_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "engine/ordered_work.h"
#include "engine/paths.h"
#include "platform/platform.h"
#include "util/commands.h"
#ifdef TAVMERK_HAVE_EXPLORER
#include "explorer/serve.h"
#endif

#ifndef TAVMERK_VERSION
#define TAVMERK_VERSION "1.0.0"
#endif

namespace {

const char* const exit_statuses =
    "Exit status:\n"
    "  0  all well (also update --dry-run whatever it would change, update with\n"
    "     nothing to change, and sources missing in update); diff: no differences\n"
    "  1  finished, but found problems or left something out; diff: differences\n"
    "  2  could not do its job: usage, an archive that cannot be opened or\n"
    "     walked, a failed write, an archive refused by update or compact;\n"
    "     for add, remove, rename, mkdir and create: nothing changed (a refused\n"
    "     name, a missing source, a path or pattern that matches nothing, the\n"
    "     4 GiB limit); update --sync that would remove every record of a\n"
    "     top-level folder (without --force) or more than --max-remove; patch\n"
    "     apply with conflicts (without --force) or a patch refused";

std::string version_text()
{
    std::string text = "tavmerk-util " TAVMERK_VERSION "\nzlib: ";
    text += zlibVersion();
#ifdef TAVMERK_HAVE_LIBDEFLATE
    text += "\nlibdeflate: " LIBDEFLATE_VERSION_STRING;
#else
    text += "\nlibdeflate: not used";
#endif
    return text;
}

CLI::App* command(CLI::App& app, const char* name, const char* description)
{
    CLI::App* sub = app.add_subcommand(name, description);
    sub->footer(exit_statuses);
    return sub;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace tavmerk;
    platform::init_process();
    std::ios::sync_with_stdio(false);

    CLI::App app("Lists, tests, updates, changes, makes, compacts and extracts pack archives.", "tavmerk-util");
    app.set_version_flag("--version", version_text());
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(exit_statuses);
    bool quiet = false;
    app.add_flag("-q,--quiet", quiet, "Print nothing but errors and results");

    std::string archive, tree, output, directory;
    bool json = false, dry_run = false, to_stdout = false, skip_existing = false, overwrite = false;
    std::vector<std::string> patterns;
    uint32_t keep_versions = 0;

    CLI::App* list = command(app, "list", "One line per record in directory order: kind (stored, zlib, deleted), "
                                          "expanded size, stored size, data offset, path");
    list->add_option("ARCHIVE", archive, "The archive")->required();
    std::string at;
    const char* const at_help = "The archive as it was at VERSION (an id from log, or ~K: K commits before the "
                                "current one)";
    list->add_option("--at", at, at_help)->type_name("VERSION");
    list->add_flag("--json", json,
                   "JSON Lines: path, kind, expanded_size, stored_size, data_offset, checksum; a path that is not "
                   "valid UTF-8 has its invalid bytes replaced by U+FFFD and its raw bytes in path_hex (lowercase "
                   "hex)");

    CLI::App* info = command(app, "info", "Records, folders, sizes, and the bytes compact would reclaim");
    info->add_option("ARCHIVE", archive, "The archive")->required();
    info->add_option("--at", at, at_help)->type_name("VERSION");

    CLI::App* test = command(app, "test", "Checks the directory and every live record's data, checksum and stream; "
                                          "one line per problem");
    test->add_option("ARCHIVE", archive, "The archive")->required();
    test->add_option("TREE", tree, "Also compare each record with the file at its path under this folder");
    test->add_option("--at", at, at_help)->type_name("VERSION");

    CLI::App* log = command(app, "log", "The archive's versions, newest first: id, time (UTC), live files, "
                                        "+added ~changed -removed against the version before, and what made it");
    log->add_option("ARCHIVE", archive, "The archive")->required();
    log->add_flag("--json", json, "JSON Lines: version, time, files, added, changed, removed, summary, data_kept");

    std::string undo_to;
    CLI::App* undo = command(app, "undo", "Makes the tree of the version before the current one (or of --to "
                                          "VERSION) current again, in one commit that is itself a version");
    undo->add_option("ARCHIVE", archive, "The archive")->required();
    undo->add_option("--to", undo_to, "The version to go back to (default: ~1)")->type_name("VERSION");
    undo->add_flag("--dry-run", dry_run, "List what would change; write nothing");

    CLI::App* update = command(app, "update", "Repacks the records whose file under TREE changed; one line per "
                                              "changed record");
    update->add_option("ARCHIVE", archive, "The archive")->required();
    update->add_option("TREE", tree, "The folder the archive was expanded into")->required();
    update->add_flag("--dry-run", dry_run, "List what would change; write nothing");
    bool sync = false;
    CLI::Option* sync_option =
        update->add_flag("--sync", sync, "Also add the tree's new files and remove the records whose file is gone, in "
                                         "one commit");
    SyncLimits limits;
    update->add_flag("--force", limits.force, "With --sync: remove every record of a top-level folder the tree lacks "
                                              "(refused without it)")
        ->needs(sync_option);
    update->add_option("--max-remove", limits.max_remove, "With --sync: refuse to remove more than N records")
        ->type_name("N")
        ->needs(sync_option);

    std::vector<std::string> sources, folders, store_patterns;
    std::string to_folder, from, to, like;
    bool store = false, compress = false, drop = false;
    CLI::App* add = command(app, "add", "Adds files and folders (recursively) from disk, each under its base name in "
                                        "FOLDER of the archive, in one commit");
    add->add_option("ARCHIVE", archive, "The archive")->required();
    add->add_option("PATH", sources, "Files and folders on disk")->required();
    add->add_option("--to", to_folder, "The archive's folder to add to (needed where it has several top-level "
                                       "folders)");
    CLI::Option* store_option = add->add_flag("--store", store, "Store every file raw");
    add->add_flag("--compress", compress, "Compress every file (zlib level 9)")->excludes(store_option);
    add->add_flag("--dry-run", dry_run, "List what would change; write nothing");

    CLI::App* remove = command(app, "remove", "Removes the files matching any PATTERN (a folder: everything below "
                                              "it), in one commit; their entries stay, marked deleted");
    remove->add_option("ARCHIVE", archive, "The archive")->required();
    remove->add_option("PATTERN", patterns, "Glob over the path, as for extract")->required();
    remove->add_flag("--drop", drop, "Take the entries out of the directory instead");
    remove->add_flag("--dry-run", dry_run, "List what would change; write nothing");

    CLI::App* rename = command(app, "rename", "Renames or moves a file or folder inside the archive");
    rename->add_option("ARCHIVE", archive, "The archive")->required();
    rename->add_option("FROM", from, "The path in the archive")->required();
    rename->add_option("TO", to, "The new path")->required();
    rename->add_flag("--dry-run", dry_run, "List what would change; write nothing");

    CLI::App* mkdir = command(app, "mkdir", "Makes folders (and the folders above them) in the archive");
    mkdir->add_option("ARCHIVE", archive, "The archive")->required();
    mkdir->add_option("PATH", folders, "Folder paths in the archive")->required();
    mkdir->add_flag("--dry-run", dry_run, "List what would change; write nothing");

    CLI::App* create = command(app, "create", "Makes a new archive from a folder: each folder in TREE becomes a "
                                              "top-level folder");
    create->add_option("NEW", archive, "The new archive (must not exist)")->required();
    create->add_option("TREE", tree, "The folder")->required();
    create->add_option("--like", like, "Copy the header's uninterpreted bytes from this archive");
    create->add_option("--store", store_patterns, "Store the files whose archive path matches this glob raw");
    create->add_flag("--dry-run", dry_run, "List what would be added; write nothing");

    CLI::App* compact = command(app, "compact", "Drops the data no kept version uses; prints \"kept N versions\" and "
                                                "\"reclaimed N bytes\"");
    compact->add_option("ARCHIVE", archive, "The archive")->required();
    compact->add_option("-o,--output", output, "Write the compacted archive to this new file instead");
    compact->add_option("--keep", keep_versions,
                        "Keep the data of this many versions, the current one counted (default: all); 1 drops the history")
        ->check(CLI::PositiveNumber);

    CLI::App* extract = command(app, "extract", "Writes out the records whose path matches any PATTERN (all without "
                                                "one), without prompts");
    extract->add_option("ARCHIVE", archive, "The archive")->required();
    extract->add_option("PATTERN", patterns,
                        "Glob over the path as list shows it: * any bytes within a level, ? one byte, [...] a byte "
                        "class (!/^ negates), **/ any number of levels");
    CLI::Option* dir_option = extract->add_option("-d,--directory", directory, "Folder to extract into (default: "
                                                                               "the current folder)");
    extract->add_flag("--stdout", to_stdout, "Write the files' contents to standard output instead")
        ->excludes(dir_option);
    CLI::Option* skip_option = extract->add_flag("--skip-existing", skip_existing, "Leave existing files silently");
    extract->add_flag("--overwrite", overwrite, "Replace existing files")->excludes(skip_option);
    extract->add_option("--at", at, at_help)->type_name("VERSION");

    std::string old_archive, new_archive, patch_file, from_version, to_version;
    bool force = false;
    const char* const from_help = "The version compared from: of OLD, or of ARCHIVE alone (default ~1)";
    const char* const to_help = "The version compared to: of NEW, or of ARCHIVE alone (default ~0, the current one)";
    CLI::App* diff = command(app, "diff", "One line per path that differs between two archives' trees, or two "
                                          "versions of one (ARCHIVE alone): added, removed or changed, in path order");
    diff->add_option("OLD", old_archive, "The archive compared from (alone: the archive whose versions are compared)")
        ->required();
    diff->add_option("NEW", new_archive, "The archive compared to");
    diff->add_option("--from", from_version, from_help)->type_name("VERSION");
    diff->add_option("--to", to_version, to_help)->type_name("VERSION");
    diff->add_flag("--json", json, "JSON Lines: each the record's list --json object (a folder: path and kind) "
                                   "and \"change\"");

    CLI::App* patch = command(app, "patch", "Patches: an archive holding what turns one archive's tree into "
                                            "another's");
    patch->require_subcommand(1);
    CLI::App* patch_make = command(*patch, "make", "Writes the patch from OLD to NEW: the added and changed files' "
                                                   "records, the removals, and a manifest of the base");
    std::vector<std::string> make_args;
    patch_make->add_option("ARGS", make_args, "OLD NEW PATCH: the base archive, the archive the patch makes of it, "
                                              "the patch to write (must not exist); or ARCHIVE PATCH with --from "
                                              "and --to, two versions of one archive")
        ->required()
        ->expected(2, 3);
    patch_make->add_option("--from", from_version, from_help)->type_name("VERSION");
    patch_make->add_option("--to", to_version, to_help)->type_name("VERSION");
    patch_make->add_flag("--force", force, "Replace PATCH where it exists");
    CLI::App* patch_apply = command(*patch, "apply", "Applies PATCH to ARCHIVE in one commit, where every path it "
                                                     "changes is as the patch's base had it");
    patch_apply->add_option("ARCHIVE", archive, "The archive")->required();
    patch_apply->add_option("PATCH", patch_file, "The patch")->required();
    patch_apply->add_flag("--dry-run", dry_run, "List what would change; write nothing");
    patch_apply->add_flag("--force", force, "Apply over conflicts: the patch's files and removals win");

#ifdef TAVMERK_HAVE_EXPLORER
    explorer::ServeOptions serve_options;
    CLI::App* serve = command(app, "serve", "Serves the archive to a web browser on this machine, at the address "
                                            "it prints, until Ctrl-C");
    serve->add_option("ARCHIVE", archive, "The archive")->required();
    serve->add_option("--port", serve_options.port, "The port on 127.0.0.1 (default 0: any free one)")
        ->check(CLI::Range(0, 65535));
    serve->add_flag("--write", serve_options.write, "Accept changes: uploads, removals, renames, new folders");
    serve->add_flag("--open", serve_options.open, "Open the address in the desktop's browser");
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? util_ok : util_failed;
    }

    const std::string archive_path = platform::absolute_path(archive);
#ifdef TAVMERK_HAVE_EXPLORER
    if (*serve) {
        serve_options.archive_path = archive_path;
        serve_options.archive_name = archive;
        return explorer::serve(serve_options, std::cout, std::cerr);
    }
#endif
    UtilConsole console(std::cout, std::cerr, quiet, platform::stderr_is_terminal());
    const unsigned workers = default_workers();
    int status = util_failed;
    if (*list) {
        status = list_command(archive_path, json, console, at);
    } else if (*info) {
        status = info_command(archive_path, console, at);
    } else if (*test) {
        status = test_command(archive_path, tree.empty() ? "" : make_extract_root(tree), workers, console, at);
    } else if (*log) {
        status = log_command(archive_path, json, console);
    } else if (*undo) {
        status = undo_command(archive_path, undo_to.empty() ? "~1" : undo_to, StructureOptions{dry_run, workers},
                              console);
    } else if (*update) {
        StructureOptions options{dry_run, workers};
        status = sync ? sync_command(archive_path, make_extract_root(tree), options, console, limits)
                      : update_command(archive_path, make_extract_root(tree), dry_run, workers, console);
    } else if (*add) {
        status = add_command(archive_path, sources, to_folder, store ? Storage::store : compress ? Storage::compress : Storage::chosen,
                             StructureOptions{dry_run, workers}, console);
    } else if (*remove) {
        status = remove_command(archive_path, patterns, drop, StructureOptions{dry_run, workers}, console);
    } else if (*rename) {
        status = rename_command(archive_path, from, to, StructureOptions{dry_run, workers}, console);
    } else if (*mkdir) {
        status = mkdir_command(archive_path, folders, StructureOptions{dry_run, workers}, console);
    } else if (*create) {
        status = create_command(archive_path, platform::absolute_path(tree), like.empty() ? "" : platform::absolute_path(like),
                                store_patterns, StructureOptions{dry_run, workers}, console);
    } else if (*compact) {
        status = compact_command(archive_path, output.empty() ? "" : platform::absolute_path(output), keep_versions,
                                 console);
    } else if (*diff || *patch_make) {
        // One archive: two of its versions, by default the one before the
        // last commit and the current one.
        if (*patch_make) {
            old_archive = make_args[0];
            new_archive = make_args.size() == 3 ? make_args[1] : std::string();
            patch_file = make_args.back();
        }
        Compared compared{platform::absolute_path(old_archive), from_version, platform::absolute_path(new_archive),
                          to_version};
        if (new_archive.empty()) {
            compared.new_path = compared.old_path;
            if (compared.old_at.empty())
                compared.old_at = "~1";
        }
        status = *diff ? diff_command(compared, json, console)
                       : patch_make_command(compared, platform::absolute_path(patch_file), force, console);
    } else if (*patch_apply) {
        status = patch_apply_command(archive_path, platform::absolute_path(patch_file), StructureOptions{dry_run, workers},
                                     force, console);
    } else if (*extract) {
        ExtractRequest request;
        request.archive_path = archive_path;
        request.extract_root = make_extract_root(directory);
        request.patterns = patterns;
        request.existing = skip_existing ? ExistingFile::skip : overwrite ? ExistingFile::replace : ExistingFile::report;
        request.to_stdout = to_stdout;
        request.workers = workers;
        request.at = at;
        status = extract_command(request, console);
    }
    console.end_progress();
    std::cout.flush();
    if (!std::cout)
        status = util_failed;
    return status;
}
