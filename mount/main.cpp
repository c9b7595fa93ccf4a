// tavmerk-mount: an archive as a folder, through FUSE. This file is the
// FUSE side: the command line, and each callback handed to the archive
// (mount/mounted_archive.h) with the path stripped of its leading "/".
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mount/mounted_archive.h"
#include "platform/platform.h"
#include "tavmerk_version.h"

namespace {

using tavmerk::MountedArchive;

constexpr int status_ok = 0;
constexpr int status_unsaved = 1;
constexpr int status_failed = 2;

const char usage[] =
    "Usage: tavmerk-mount ARCHIVE MOUNTPOINT [-f] [--read-only] [--cache-size MIB] [-o FUSE_OPTIONS]\n"
    "Shows the archive's files in MOUNTPOINT; unmount with: fusermount3 -u MOUNTPOINT\n"
    "  -f               stay in the foreground (Ctrl-C unmounts)\n"
    "  -d               print every FUSE request (implies -f)\n"
    "  --read-only      refuse every change\n"
    "  --cache-size MIB memory for inflated data (default 64)\n"
    "  -o OPTIONS       FUSE mount options (see mount.fuse3(8))\n"
    "  -h, --help       this text\n"
    "  --version        the version\n";

struct Mount {
    MountedArchive* archive = nullptr;
    uid_t uid = 0;
    gid_t gid = 0;
    bool read_only = false;
    bool timeouts_given = false;  // -o entry_timeout=, attr_timeout= or negative_timeout=
    bool all_saved = true;
};

Mount& mount()
{
    return *static_cast<Mount*>(fuse_get_context()->private_data);
}

std::string relative(const char* path)
{
    return path[0] == '/' ? std::string(path + 1) : std::string(path);
}

MountedArchive::Handle* handle_of(const fuse_file_info* fi)
{
    return reinterpret_cast<MountedArchive::Handle*>(uintptr_t(fi->fh));
}

void fill_stat(const tavmerk::EntryAttr& attr, struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    const Mount& m = mount();
    const mode_t file_mode = m.read_only ? 0444 : 0644;
    st->st_mode = attr.folder ? (S_IFDIR | 0755) : (S_IFREG | file_mode);
    st->st_nlink = attr.folder ? 2 : 1;
    st->st_size = off_t(attr.size);
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_uid = m.uid;
    st->st_gid = m.gid;
    st->st_mtim.tv_sec = time_t(attr.modified_ns / 1000000000);
    st->st_mtim.tv_nsec = long(attr.modified_ns % 1000000000);
    st->st_atim = st->st_mtim;
    st->st_ctim = st->st_mtim;
}

void* on_init(fuse_conn_info*, fuse_config* cfg)
{
    // Every request costs a round trip through the kernel: what the kernel
    // may keep, it keeps. Names are fixed by the archive (only this mount
    // adds or removes any, new files, and the kernel sees it do so).
    // Attributes are kept a second: the sizes a commit of another run
    // changed are dropped by the open that loads it (on_attributes_changed),
    // the archive's time shows within the second. Either may be set with
    // -o attr_timeout=, -o entry_timeout= instead.
    if (!mount().timeouts_given) {
        cfg->entry_timeout = 60;
        cfg->attr_timeout = 1;
        cfg->negative_timeout = 0;
    }
    // A file removed while open goes at once, not under a hidden name.
    cfg->hard_remove = 1;
    return fuse_get_context()->private_data;
}

// From a request, with no lock of the mount held.
void on_attributes_changed(const std::string& path)
{
    fuse_invalidate_path(fuse_get_context()->fuse, ("/" + path).c_str());
}

void on_destroy(void*)
{
    mount().all_saved = mount().archive->finish();
}

int on_getattr(const char* path, struct stat* st, fuse_file_info*)
{
    tavmerk::EntryAttr attr;
    const int result = mount().archive->getattr(relative(path), attr);
    if (result == 0)
        fill_stat(attr, st);
    return result;
}

int on_opendir(const char* path, fuse_file_info*)
{
    return mount().archive->open_folder(relative(path));
}

// Each name goes with the offset of the next, so that the listing is
// handed over a buffer at a time, and with its attributes (the kind at
// least), so that a walk need not ask for them name by name.
int on_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset, fuse_file_info*,
               fuse_readdir_flags flags)
{
    const auto plus = (flags & FUSE_READDIR_PLUS) ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags(0);
    off_t next = offset;
    if (next == 0 && filler(buf, ".", nullptr, ++next, fuse_fill_dir_flags(0)) != 0)
        return 0;
    if (next == 1 && filler(buf, "..", nullptr, ++next, fuse_fill_dir_flags(0)) != 0)
        return 0;
    struct stat st;
    return mount().archive->list(relative(path), size_t(next - 2),
                                 [&](const std::string& name, const tavmerk::EntryAttr& attr) {
                                     fill_stat(attr, &st);
                                     return filler(buf, name.c_str(), &st, ++next, plus) == 0;
                                 });
}

int on_open(const char* path, fuse_file_info* fi)
{
    const bool write = (fi->flags & O_ACCMODE) != O_RDONLY;
    MountedArchive::Handle* handle = nullptr;
    bool keep_cache = false;
    const int result = mount().archive->open(relative(path), write, (fi->flags & O_TRUNC) != 0, handle, keep_cache);
    if (result == 0) {
        fi->fh = uint64_t(reinterpret_cast<uintptr_t>(handle));
        fi->keep_cache = keep_cache;
        // A reader's close has nothing to save: no flush to wait for.
        fi->noflush = !write;
    }
    return result;
}

int on_create(const char* path, mode_t, fuse_file_info* fi)
{
    MountedArchive::Handle* handle = nullptr;
    const int result = mount().archive->create(relative(path), handle);
    if (result == 0)
        fi->fh = uint64_t(reinterpret_cast<uintptr_t>(handle));
    return result;
}

int on_read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    size_t got = 0;
    const int result =
        mount().archive->read(*handle_of(fi), reinterpret_cast<uint8_t*>(buf), size, uint64_t(offset), got);
    return result != 0 ? result : int(got);
}

int on_write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    const int result =
        mount().archive->write(*handle_of(fi), reinterpret_cast<const uint8_t*>(buf), size, uint64_t(offset));
    return result != 0 ? result : int(size);
}

int on_truncate(const char* path, off_t size, fuse_file_info* fi)
{
    if (size < 0)
        return -EINVAL;
    return mount().archive->truncate(path ? relative(path) : std::string(), fi ? handle_of(fi) : nullptr,
                                     uint64_t(size));
}

// close() waits for this, not for release: the save is done when it returns.
int on_flush(const char*, fuse_file_info* fi)
{
    return mount().archive->flush(*handle_of(fi));
}

int on_fsync(const char*, int, fuse_file_info* fi)
{
    return mount().archive->flush(*handle_of(fi));
}

int on_release(const char*, fuse_file_info* fi)
{
    mount().archive->release(handle_of(fi));
    return 0;
}

int on_unlink(const char* path)
{
    return mount().archive->unlink(relative(path));
}

int on_rename(const char* from, const char* to, unsigned int flags)
{
    return mount().archive->rename(relative(from), relative(to), (flags & RENAME_NOREPLACE) != 0,
                                   (flags & RENAME_EXCHANGE) != 0);
}

int on_mkdir(const char* path, mode_t)
{
    return mount().archive->refuse("make folder", relative(path), "the archive's folders are fixed");
}

int on_rmdir(const char* path)
{
    return mount().archive->refuse("remove folder", relative(path), "the archive's folders are fixed");
}

int on_symlink(const char*, const char* path)
{
    return mount().archive->refuse("make link", relative(path), "the archive holds no links");
}

int on_link(const char*, const char* path)
{
    return mount().archive->refuse("make link", relative(path), "the archive holds no links");
}

int on_mknod(const char* path, mode_t, dev_t)
{
    return mount().archive->refuse("make", relative(path), "only regular files can be created");
}

// The archive stores no times, owners or permissions: accepted, no effect.
int on_chmod(const char*, mode_t, fuse_file_info*)
{
    return mount().read_only ? -EROFS : 0;
}

int on_chown(const char*, uid_t, gid_t, fuse_file_info*)
{
    return mount().read_only ? -EROFS : 0;
}

int on_utimens(const char*, const struct timespec*, fuse_file_info*)
{
    return mount().read_only ? -EROFS : 0;
}

fuse_operations operations()
{
    fuse_operations ops{};
    ops.init = on_init;
    ops.destroy = on_destroy;
    ops.getattr = on_getattr;
    ops.opendir = on_opendir;
    ops.readdir = on_readdir;
    ops.open = on_open;
    ops.create = on_create;
    ops.read = on_read;
    ops.write = on_write;
    ops.truncate = on_truncate;
    ops.flush = on_flush;
    ops.fsync = on_fsync;
    ops.release = on_release;
    ops.unlink = on_unlink;
    ops.rename = on_rename;
    ops.mkdir = on_mkdir;
    ops.rmdir = on_rmdir;
    ops.symlink = on_symlink;
    ops.link = on_link;
    ops.mknod = on_mknod;
    ops.chmod = on_chmod;
    ops.chown = on_chown;
    ops.utimens = on_utimens;
    return ops;
}

struct CommandLine {
    std::string archive;
    std::string mountpoint;
    bool foreground = false;
    bool read_only = false;
    bool debug = false;
    size_t cache_mib = 64;
    std::vector<std::string> fuse_options;
};

// False, with the problem in `error` (empty for --help and --version,
// which print and end well), when the mount is not to go ahead.
bool parse(int argc, char** argv, CommandLine& line, std::string& error, bool& done)
{
    done = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            done = true;
            return false;
        } else if (arg == "--version") {
            std::printf("tavmerk-mount %s\n", TAVMERK_VERSION);
            done = true;
            return false;
        } else if (arg == "-f") {
            line.foreground = true;
        } else if (arg == "-d") {
            line.debug = true;
        } else if (arg == "--read-only") {
            line.read_only = true;
        } else if (arg == "-o" && has_value) {
            line.fuse_options.push_back(argv[++i]);
        } else if (arg.rfind("-o", 0) == 0 && arg.size() > 2) {
            line.fuse_options.push_back(arg.substr(2));
        } else if (arg == "--cache-size" && has_value) {
            char* end = nullptr;
            const unsigned long long mib = std::strtoull(argv[++i], &end, 10);
            if (!end || *end || mib == 0 || mib > (SIZE_MAX >> 20)) {
                error = "--cache-size takes a number of MiB";
                return false;
            }
            line.cache_mib = size_t(mib);
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        error = "takes an archive and a mount point";
        return false;
    }
    line.archive = positional[0];
    line.mountpoint = positional[1];
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    tavmerk::platform::init_process();
    // The cache is the memory that stays: freed buffers go back at once.
    tavmerk::platform::return_freed_memory();
    CommandLine line;
    std::string error;
    bool done = false;
    if (!parse(argc, argv, line, error, done)) {
        if (done)
            return status_ok;
        std::fprintf(stderr, "tavmerk-mount: %s\n%s", error.c_str(), usage);
        return status_failed;
    }
    tavmerk::MountOptions options;
    options.archive_path = tavmerk::platform::absolute_path(line.archive);
    options.read_only = line.read_only;
    options.cache_bytes = line.cache_mib << 20;
    options.attributes_changed = on_attributes_changed;
    MountedArchive archive(options);
    std::string reason;
    if (!archive.load(reason)) {
        std::fprintf(stderr, "tavmerk-mount: %s: %s\n", line.archive.c_str(), reason.c_str());
        return status_failed;
    }

    std::vector<std::string> args = {"tavmerk-mount", line.mountpoint};
    // The archive's path names the mount in mount tables; a comma in it is
    // escaped, as FUSE options take it.
    std::string fsname = "fsname=";
    for (const char c : options.archive_path)
        fsname += c == ',' ? std::string("\\,") : std::string(1, c);
    args.insert(args.end(), {"-o", "subtype=tavmerk,max_idle_threads=16", "-o"});
    args.push_back(fsname);
    if (line.read_only)
        args.insert(args.end(), {"-o", "ro"});
    if (line.foreground)
        args.push_back("-f");
    if (line.debug)
        args.push_back("-d");
    for (const std::string& o : line.fuse_options)
        args.insert(args.end(), {"-o", o});
    std::vector<char*> fuse_argv;
    for (std::string& a : args)
        fuse_argv.push_back(a.data());

    Mount state;
    state.archive = &archive;
    state.uid = ::getuid();
    state.gid = ::getgid();
    state.read_only = line.read_only;
    for (const std::string& o : line.fuse_options)
        state.timeouts_given = state.timeouts_given || o.find("_timeout=") != std::string::npos;
    const fuse_operations ops = operations();
    const int result = fuse_main(int(fuse_argv.size()), fuse_argv.data(), &ops, &state);
    if (result != 0)
        return status_failed;
    return state.all_saved ? status_ok : status_unsaved;
}
