// tavmerk-mount: an archive as a folder, through FUSE. This file is the
// FUSE side: the command line, and each request of the kernel handed to
// the archive (mount/mounted_archive.h) by node number, through libfuse's
// low-level interface, so that nodes, listings and attributes are the
// archive's own and the kernel may keep them.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    fuse_session* session = nullptr;
    uid_t uid = 0;
    gid_t gid = 0;
    bool read_only = false;
    bool no_opendir = false;  // the kernel opens folders without asking
    // Every request costs a round trip through the kernel: what the kernel
    // may keep, it keeps. Names are fixed by the archive (only this mount
    // adds or removes any, new files, and the kernel sees it do so; a
    // load of a tree of another shape drops the names it had), and so are
    // the attributes of folders, kept as long. The attributes of files are
    // kept a second: the sizes a commit of another run changed are dropped
    // by the open that loads it, the archive's time shows within the
    // second. Either may be set with -o attr_timeout=, -o entry_timeout=.
    double entry_timeout = 60;
    double attr_timeout = 1;
    double negative_timeout = 0;  // taken, not used
};

Mount state;

MountedArchive& archive()
{
    return *state.archive;
}

MountedArchive::Handle* handle_of(const fuse_file_info* fi)
{
    return fi ? reinterpret_cast<MountedArchive::Handle*>(uintptr_t(fi->fh)) : nullptr;
}

void fill_stat(const tavmerk::EntryAttr& attr, struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    const mode_t file_mode = state.read_only ? 0444 : 0644;
    st->st_ino = attr.ino;
    st->st_mode = attr.folder ? (S_IFDIR | 0755) : (S_IFREG | file_mode);
    st->st_nlink = attr.folder ? 2 : 1;
    st->st_size = off_t(attr.size);
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_blksize = 128 * 1024;
    st->st_uid = state.uid;
    st->st_gid = state.gid;
    st->st_mtim.tv_sec = time_t(attr.modified_ns / 1000000000);
    st->st_mtim.tv_nsec = long(attr.modified_ns % 1000000000);
    st->st_atim = st->st_mtim;
    st->st_ctim = st->st_mtim;
}

fuse_entry_param entry_of(const tavmerk::EntryAttr& attr)
{
    fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    entry.ino = attr.ino;
    fill_stat(attr, &entry.attr);
    entry.attr_timeout = attr.folder ? state.entry_timeout : state.attr_timeout;
    entry.entry_timeout = state.entry_timeout;
    return entry;
}

void reply_status(fuse_req_t req, int result)
{
    fuse_reply_err(req, -result);
}

void on_init(void*, fuse_conn_info* conn)
{
    state.no_opendir = (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0;
    // Listings with attributes where the kernel finds them worth it.
    if (conn->capable & FUSE_CAP_READDIRPLUS)
        conn->want |= FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO;
}

// From a request, with no lock of the mount held.
void on_attributes_changed(tavmerk::Ino ino)
{
    fuse_lowlevel_notify_inval_inode(state.session, ino, 0, 0);
}

void on_entry_changed(tavmerk::Ino parent, const std::string& name)
{
    fuse_lowlevel_notify_inval_entry(state.session, parent, name.data(), name.size());
}

void on_lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    tavmerk::EntryAttr attr;
    const int result = archive().lookup(parent, name, attr);
    if (result != 0)
        return reply_status(req, result);
    const fuse_entry_param entry = entry_of(attr);
    archive().remember(attr.ino);
    if (fuse_reply_entry(req, &entry) != 0)
        archive().forget(attr.ino, 1);
}

// What the kernel forgets lets earlier shapes of the tree go.
void on_forget(fuse_req_t req, fuse_ino_t ino, uint64_t count)
{
    archive().forget(ino, count);
    fuse_reply_none(req);
}

void on_forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets)
{
    for (size_t i = 0; i < count; ++i)
        archive().forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void on_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
{
    tavmerk::EntryAttr attr;
    const int result = archive().getattr(ino, attr);
    if (result != 0)
        return reply_status(req, result);
    struct stat st;
    fill_stat(attr, &st);
    fuse_reply_attr(req, &st, attr.folder ? state.entry_timeout : state.attr_timeout);
}

// A size is a truncation; the archive stores no times, owners or
// permissions: those are accepted without effect.
void on_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* wanted, int to_set, fuse_file_info* fi)
{
    if (state.read_only)
        return reply_status(req, -EROFS);
    if (to_set & FUSE_SET_ATTR_SIZE) {
        if (wanted->st_size < 0)
            return reply_status(req, -EINVAL);
        const int result = archive().truncate(ino, handle_of(fi), uint64_t(wanted->st_size));
        if (result != 0)
            return reply_status(req, result);
    }
    on_getattr(req, ino, fi);
}

// Listings are kept by the kernel: the names of a folder change only by
// this mount's own creations and renames, which the kernel sees, or by a
// load of another shape, which drops them. Where the kernel can do
// without opening folders, the first open tells it to: a walk then costs
// no round trip for folders it has listed before.
void on_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    if (state.no_opendir)
        return reply_status(req, -ENOSYS);
    const int result = archive().open_folder(ino);
    if (result != 0)
        return reply_status(req, result);
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

// Each name goes with its cookie, the offset the listing goes on from,
// so that it is handed over a buffer at a time; with `plus`, with its
// attributes, so that a walk need not ask for them name by name.
void list(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus)
{
    std::unique_ptr<char[]> buffer(new char[size]);
    size_t used = 0;
    const auto add = [&](const char* name, const tavmerk::EntryAttr& attr, uint64_t cookie) {
        fuse_entry_param entry = entry_of(attr);
        const size_t room = size - used;
        const size_t needs = plus ? fuse_add_direntry_plus(req, buffer.get() + used, room, name, &entry, off_t(cookie))
                                  : fuse_add_direntry(req, buffer.get() + used, room, name, &entry.attr, off_t(cookie));
        if (needs > room)
            return false;
        used += needs;
        if (plus && attr.ino != 0)
            archive().remember(attr.ino);  // the kernel counts a lookup for each
        return true;
    };
    // "." and ".." with no node: nothing for the kernel to count.
    tavmerk::EntryAttr dot;
    dot.folder = true;
    if (offset < 1 && !add(".", dot, 1))
        return (void)fuse_reply_buf(req, buffer.get(), used);
    if (offset < 2 && !add("..", dot, 2))
        return (void)fuse_reply_buf(req, buffer.get(), used);
    const int result = archive().list(ino, uint64_t(std::max<off_t>(offset, 2)),
                                      [&](const std::string& name, const tavmerk::EntryAttr& attr, uint64_t cookie) {
                                          return add(name.c_str(), attr, cookie);
                                      });
    if (result != 0 && used == 0)
        return reply_status(req, result);
    fuse_reply_buf(req, buffer.get(), used);
}

void on_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*)
{
    list(req, ino, size, offset, false);
}

void on_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*)
{
    list(req, ino, size, offset, true);
}

void on_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info*)
{
    fuse_reply_err(req, 0);
}

void on_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    const bool write = (fi->flags & O_ACCMODE) != O_RDONLY;
    MountedArchive::Handle* handle = nullptr;
    bool keep_cache = false;
    const int result = archive().open(ino, write, (fi->flags & O_TRUNC) != 0, handle, keep_cache);
    if (result != 0)
        return reply_status(req, result);
    fi->fh = uint64_t(reinterpret_cast<uintptr_t>(handle));
    fi->keep_cache = keep_cache;
    // A reader's close has nothing to save: no flush to wait for.
    fi->noflush = !write;
    if (fuse_reply_open(req, fi) != 0)
        archive().release(handle);
}

void on_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi)
{
    MountedArchive::Handle* handle = nullptr;
    tavmerk::EntryAttr attr;
    const int result = archive().create(parent, name, handle, attr);
    if (result != 0)
        return reply_status(req, result);
    fi->fh = uint64_t(reinterpret_cast<uintptr_t>(handle));
    const fuse_entry_param entry = entry_of(attr);
    archive().remember(attr.ino);
    if (fuse_reply_create(req, &entry, fi) != 0) {
        archive().forget(attr.ino, 1);
        archive().release(handle);
    }
}

// The bytes go out as the cache holds them, without a copy.
void on_read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi)
{
    MountedArchive::ReadOut out;
    const int result = archive().read(*handle_of(fi), size, uint64_t(offset), out);
    if (result != 0)
        return reply_status(req, result);
    std::vector<iovec> pieces;
    for (const auto& [data, length] : out.pieces)
        pieces.push_back(iovec{const_cast<uint8_t*>(data), length});
    fuse_reply_iov(req, pieces.data(), int(pieces.size()));
}

void on_write(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    const int result =
        archive().write(*handle_of(fi), reinterpret_cast<const uint8_t*>(buf), size, uint64_t(offset));
    if (result != 0)
        return reply_status(req, result);
    fuse_reply_write(req, size);
}

// close() waits for this, not for release: the save is done when it returns.
void on_flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    reply_status(req, archive().flush(*handle_of(fi)));
}

void on_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi)
{
    reply_status(req, archive().flush(*handle_of(fi)));
}

void on_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    archive().release(handle_of(fi));
    fuse_reply_err(req, 0);
}

void on_unlink(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive().unlink(parent, name));
}

void on_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
               unsigned int flags)
{
    reply_status(req, archive().rename(parent, name, new_parent, new_name, (flags & RENAME_NOREPLACE) != 0,
                                       (flags & RENAME_EXCHANGE) != 0));
}

void on_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t)
{
    reply_status(req, archive().refuse("make folder", parent, name, "the archive's folders are fixed"));
}

void on_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive().refuse("remove folder", parent, name, "the archive's folders are fixed"));
}

void on_symlink(fuse_req_t req, const char*, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive().refuse("make link", parent, name, "the archive holds no links"));
}

void on_link(fuse_req_t req, fuse_ino_t, fuse_ino_t parent, const char* name)
{
    reply_status(req, archive().refuse("make link", parent, name, "the archive holds no links"));
}

void on_mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, dev_t)
{
    reply_status(req, archive().refuse("make", parent, name, "only regular files can be created"));
}

fuse_lowlevel_ops operations()
{
    fuse_lowlevel_ops ops{};
    ops.init = on_init;
    ops.lookup = on_lookup;
    ops.forget = on_forget;
    ops.forget_multi = on_forget_multi;
    ops.getattr = on_getattr;
    ops.setattr = on_setattr;
    ops.opendir = on_opendir;
    ops.readdir = on_readdir;
    ops.readdirplus = on_readdirplus;
    ops.releasedir = on_releasedir;
    ops.open = on_open;
    ops.create = on_create;
    ops.read = on_read;
    ops.write = on_write;
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

// Takes -o entry_timeout=, attr_timeout= and negative_timeout= (this
// mount caches no missing names: accepted, without effect) out of the -o
// lists, leaving the rest in `rest`.
bool take_own_options(const std::vector<std::string>& lists, std::vector<std::string>& rest, std::string& error)
{
    for (const std::string& list : lists) {
        std::string kept;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = start;
            while (end < list.size() && list[end] != ',')
                end += list[end] == '\\' && end + 1 < list.size() ? 2 : 1;
            const std::string option = list.substr(start, end - start);
            start = end + 1;
            double* timeout = nullptr;
            size_t name = 0;
            for (const auto& [prefix, target] : {std::pair<const char*, double*>{"entry_timeout=", &state.entry_timeout},
                                                {"attr_timeout=", &state.attr_timeout},
                                                {"negative_timeout=", &state.negative_timeout}})
                if (option.rfind(prefix, 0) == 0) {
                    name = std::strlen(prefix);
                    timeout = target;
                }
            if (!timeout) {
                kept += (kept.empty() ? "" : ",") + option;
                continue;
            }
            char* parsed = nullptr;
            const double seconds = std::strtod(option.c_str() + name, &parsed);
            if (option.size() == name || *parsed || !(seconds >= 0)) {
                error = "-o " + option + ": takes a number of seconds";
                return false;
            }
            *timeout = seconds;
        }
        if (!kept.empty())
            rest.push_back(kept);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    tavmerk::platform::init_process();
    // The cache is the memory that stays: freed buffers go back at once.
    tavmerk::platform::return_freed_memory();
    // Every open file and every kept archive holds a descriptor.
    tavmerk::platform::raise_open_file_limit();
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
    options.entry_changed = on_entry_changed;
    MountedArchive archive(options);
    std::string reason;
    if (!archive.load(reason)) {
        std::fprintf(stderr, "tavmerk-mount: %s: %s\n", line.archive.c_str(), reason.c_str());
        return status_failed;
    }

    // Options of this mount's own come out of the -o lists; the rest go
    // to FUSE, which refuses what it does not know.
    std::vector<std::string> fuse_options;
    if (!take_own_options(line.fuse_options, fuse_options, error)) {
        std::fprintf(stderr, "tavmerk-mount: %s\n%s", error.c_str(), usage);
        return status_failed;
    }
    std::vector<std::string> args = {"tavmerk-mount"};
    // The archive's path names the mount in mount tables; a comma in it is
    // escaped, as FUSE options take it.
    std::string fsname = "fsname=";
    for (const char c : options.archive_path)
        fsname += c == ',' ? std::string("\\,") : std::string(1, c);
    args.insert(args.end(), {"-o", "subtype=tavmerk", "-o"});
    args.push_back(fsname);
    if (line.read_only)
        args.insert(args.end(), {"-o", "ro"});
    if (line.debug)
        args.push_back("-d");
    for (const std::string& o : fuse_options)
        args.insert(args.end(), {"-o", o});
    std::vector<char*> fuse_argv;
    for (std::string& a : args)
        fuse_argv.push_back(a.data());
    fuse_args fargs = FUSE_ARGS_INIT(int(fuse_argv.size()), fuse_argv.data());

    state.archive = &archive;
    state.uid = ::getuid();
    state.gid = ::getgid();
    state.read_only = line.read_only;
    const fuse_lowlevel_ops ops = operations();
    state.session = fuse_session_new(&fargs, &ops, sizeof ops, nullptr);
    if (!state.session) {
        fuse_opt_free_args(&fargs);
        return status_failed;
    }
    int result = -1;
    if (fuse_set_signal_handlers(state.session) == 0) {
        if (fuse_session_mount(state.session, line.mountpoint.c_str()) == 0) {
            if (fuse_daemonize(line.foreground || line.debug) == 0) {
                fuse_loop_config* loop = fuse_loop_cfg_create();
                fuse_loop_cfg_set_idle_threads(loop, 16);
                result = fuse_session_loop_mt(state.session, loop);
                fuse_loop_cfg_destroy(loop);
            }
            fuse_session_unmount(state.session);
        }
        fuse_remove_signal_handlers(state.session);
    }
    // Unmounted: what is still pending is saved, or rescued.
    const bool all_saved = archive.finish();
    fuse_session_destroy(state.session);
    fuse_opt_free_args(&fargs);
    // A signal (Ctrl-C, SIGTERM, SIGHUP) ends the loop with its number: an
    // unmount like any other. Only an error of the loop itself fails.
    if (result < 0)
        return status_failed;
    return all_saved ? status_ok : status_unsaved;
}
