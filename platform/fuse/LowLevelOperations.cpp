#include "platform/fuse/LowLevelOperations.h"

#include "platform/fuse/VolumeBridge.h"

namespace fusehost {

namespace {

VolumeBridge& bridgeOf(fuse_req_t request) {
    return *static_cast<VolumeBridge*>(fuse_req_userdata(request));
}

void init(void* userData, fuse_conn_info* connection) {
    static_cast<VolumeBridge*>(userData)->init(connection);
}

void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    bridgeOf(request).lookup(request, parent, name);
}

void forget(fuse_req_t request, fuse_ino_t node, std::uint64_t count) {
    bridgeOf(request).forget(node, count);
    fuse_reply_none(request);
}

void forgetMulti(fuse_req_t request, std::size_t count, fuse_forget_data* forgets) {
    auto& bridge = bridgeOf(request);
    for (std::size_t index = 0; index < count; ++index) {
        bridge.forget(forgets[index].ino, forgets[index].nlookup);
    }
    fuse_reply_none(request);
}

void getattr(fuse_req_t request, fuse_ino_t node, fuse_file_info*) {
    bridgeOf(request).getattr(request, node);
}

void setattr(fuse_req_t request, fuse_ino_t node, struct stat* attributes, int toSet, fuse_file_info*) {
    bridgeOf(request).setattr(request, node, *attributes, toSet);
}

void readlink(fuse_req_t request, fuse_ino_t node) {
    bridgeOf(request).readlink(request, node);
}

void mknod(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
    bridgeOf(request).mknod(request, parent, name, mode);
}

void mkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode) {
    bridgeOf(request).mkdir(request, parent, name, mode);
}

void remove(fuse_req_t request, fuse_ino_t parent, const char* name) {
    bridgeOf(request).remove(request, parent, name);
}

void symlink(fuse_req_t request, const char* contents, fuse_ino_t parent, const char* name) {
    bridgeOf(request).symlink(request, contents, parent, name);
}

void rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
            const char* newName, unsigned int flags) {
    bridgeOf(request).rename(request, parent, name, newParent, newName, flags);
}

void link(fuse_req_t request, fuse_ino_t node, fuse_ino_t newParent, const char* newName) {
    bridgeOf(request).link(request, node, newParent, newName);
}

void open(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
    bridgeOf(request).open(request, node, file);
}

void read(fuse_req_t request, fuse_ino_t node, std::size_t size, off_t offset, fuse_file_info* file) {
    bridgeOf(request).read(request, node, size, offset, file);
}

void write(fuse_req_t request, fuse_ino_t node, const char* bytes, std::size_t size, off_t offset,
           fuse_file_info* file) {
    bridgeOf(request).write(request, node, bytes, size, offset, file);
}

void flush(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
    bridgeOf(request).flush(request, node, file);
}

void release(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
    bridgeOf(request).release(request, node, file);
}

void fsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info*) {
    bridgeOf(request).fsync(request);
}

void opendir(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
    bridgeOf(request).opendir(request, node, file);
}

void readdir(fuse_req_t request, fuse_ino_t node, std::size_t size, off_t offset, fuse_file_info* file) {
    bridgeOf(request).readdir(request, node, size, offset, file);
}

void readdirplus(fuse_req_t request, fuse_ino_t node, std::size_t size, off_t offset, fuse_file_info* file) {
    bridgeOf(request).readdirplus(request, node, size, offset, file);
}

void releasedir(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
    bridgeOf(request).releasedir(request, node, file);
}

void fsyncdir(fuse_req_t request, fuse_ino_t, int, fuse_file_info*) {
    bridgeOf(request).fsync(request);
}

void statfs(fuse_req_t request, fuse_ino_t) {
    bridgeOf(request).statfs(request);
}

void create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* file) {
    bridgeOf(request).create(request, parent, name, mode, file);
}

void fallocate(fuse_req_t request, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
    bridgeOf(request).unsupported(request);
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops operations{};
    operations.init = init;
    operations.lookup = lookup;
    operations.forget = forget;
    operations.forget_multi = forgetMulti;
    operations.getattr = getattr;
    operations.setattr = setattr;
    operations.readlink = readlink;
    operations.mknod = mknod;
    operations.mkdir = mkdir;
    operations.unlink = remove;
    operations.rmdir = remove;
    operations.symlink = symlink;
    operations.rename = rename;
    operations.link = link;
    operations.open = open;
    operations.read = read;
    operations.write = write;
    operations.flush = flush;
    operations.release = release;
    operations.fsync = fsync;
    operations.opendir = opendir;
    operations.readdir = readdir;
    operations.readdirplus = readdirplus;
    operations.releasedir = releasedir;
    operations.fsyncdir = fsyncdir;
    operations.statfs = statfs;
    operations.create = create;
    // No extended attributes: libfuse answers their requests with ENOSYS, which the kernel remembers and
    // answers EOPNOTSUPP itself from then on. Refused by us, they would still be asked, and before every
    // write the kernel asks whether the file carries security.capability: a round trip per write.
    operations.fallocate = fallocate;
    return operations;
}

} // namespace

const fuse_lowlevel_ops& lowLevelOperations() {
    static const fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

} // namespace fusehost
