#include "simulation/peer/FunctionFSMount.h"

#include "simulation/peer/FunctionFSEndpoints.h"
#include "simulation/peer/RealPeerError.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace simulation {

namespace {

constexpr fuse_ino_t rootInode = FUSE_ROOT_ID;
constexpr fuse_ino_t firstFileInode = FUSE_ROOT_ID + 1; // ep0; epN is firstFileInode + N
// How long the loop's poll sleeps before it looks at the stop flag again, should the eventfd be missed.
constexpr int pollSliceMilliseconds = 200;

// One held request of the function's, answered exactly once. A request dropped without an answer (which
// the endpoints never do) is failed rather than left to hang its caller.
class FuseIO final : public EndpointIO {
public:
    explicit FuseIO(fuse_req_t request) : m_request(request) {}
    ~FuseIO() override {
        if (m_request != nullptr) {
            fuse_reply_err(m_request, EIO);
        }
    }
    FuseIO(const FuseIO&) = delete;
    FuseIO& operator=(const FuseIO&) = delete;

    std::uint64_t key() const override { return reinterpret_cast<std::uintptr_t>(m_request); }
    void replyData(std::span<const std::byte> data) override {
        fuse_reply_buf(std::exchange(m_request, nullptr), reinterpret_cast<const char*>(data.data()),
                       data.size());
    }
    void replyWritten(std::size_t count) override {
        fuse_reply_write(std::exchange(m_request, nullptr), count);
    }
    void replyError(int error) override { fuse_reply_err(std::exchange(m_request, nullptr), error); }

private:
    fuse_req_t m_request;
};

std::string fileName(std::size_t number) {
    return "ep" + std::to_string(number);
}

} // namespace

// The libfuse low-level operations. They run on the mount's loop thread and never block.
struct FunctionFSMount::Callbacks {
    static FunctionFSMount& self(fuse_req_t request) {
        return *static_cast<FunctionFSMount*>(fuse_req_userdata(request));
    }

    static std::optional<std::size_t> fileOf(const FunctionFSMount& mount, fuse_ino_t inode) {
        if (inode < firstFileInode || inode - firstFileInode >= mount.m_fileCount) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(inode - firstFileInode);
    }

    static struct stat attributes(fuse_ino_t inode) {
        struct stat attributes {};
        attributes.st_ino = inode;
        attributes.st_uid = ::getuid();
        attributes.st_gid = ::getgid();
        if (inode == rootInode) {
            attributes.st_mode = S_IFDIR | 0755;
            attributes.st_nlink = 2;
        } else {
            attributes.st_mode = S_IFREG | 0600;
            attributes.st_nlink = 1;
        }
        return attributes;
    }

    static void init(void* userdata, fuse_conn_info* connection) {
        (void)userdata;
        // Each read() and write() must reach the endpoints whole and in order, as one request at a time.
        connection->want &= ~(FUSE_CAP_ASYNC_DIO | FUSE_CAP_ASYNC_READ | FUSE_CAP_SPLICE_READ |
                              FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE | FUSE_CAP_WRITEBACK_CACHE);
    }

    static void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
        const FunctionFSMount& mount = self(request);
        if (parent == rootInode) {
            for (std::size_t number = 0; number < mount.m_fileCount; ++number) {
                if (fileName(number) == name) {
                    fuse_entry_param entry{};
                    entry.ino = firstFileInode + number;
                    entry.attr = attributes(entry.ino);
                    fuse_reply_entry(request, &entry);
                    return;
                }
            }
        }
        fuse_reply_err(request, ENOENT);
    }

    static void getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
        (void)info;
        if (inode != rootInode && !fileOf(self(request), inode)) {
            fuse_reply_err(request, ENOENT);
            return;
        }
        const struct stat reply = attributes(inode);
        fuse_reply_attr(request, &reply, 0.0);
    }

    static void readdir(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset,
                        fuse_file_info* info) {
        (void)info;
        const FunctionFSMount& mount = self(request);
        if (inode != rootInode) {
            fuse_reply_err(request, ENOTDIR);
            return;
        }
        std::vector<std::pair<std::string, fuse_ino_t>> entries{{".", rootInode}, {"..", rootInode}};
        for (std::size_t number = 0; number < mount.m_fileCount; ++number) {
            entries.emplace_back(fileName(number), firstFileInode + number);
        }
        std::vector<char> buffer(size);
        std::size_t used = 0;
        for (std::size_t index = static_cast<std::size_t>(offset); index < entries.size(); ++index) {
            const struct stat entry = attributes(entries[index].second);
            const std::size_t needed =
                fuse_add_direntry(request, buffer.data() + used, size - used, entries[index].first.c_str(),
                                  &entry, static_cast<off_t>(index + 1));
            if (needed > size - used) {
                break;
            }
            used += needed;
        }
        fuse_reply_buf(request, buffer.data(), used);
    }

    static void open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
        const FunctionFSMount& mount = self(request);
        const auto file = fileOf(mount, inode);
        if (!file) {
            fuse_reply_err(request, inode == rootInode ? EISDIR : ENOENT);
            return;
        }
        if (const int error = mount.m_endpoints->open(*file); error != 0) {
            fuse_reply_err(request, error);
            return;
        }
        info->direct_io = 1;
        info->nonseekable = 1;
        info->keep_cache = 0;
        fuse_reply_open(request, info);
    }

    static void onInterrupt(fuse_req_t request, void* data) {
        auto& mount = *static_cast<FunctionFSMount*>(data);
        if (request == mount.m_registering) {
            mount.m_registeringInterrupted = true; // answered by the handler that is registering it
            return;
        }
        mount.m_endpoints->interrupt(reinterpret_cast<std::uintptr_t>(request));
    }

    // Registers the request for interrupts before anyone else can see it, so that no other thread can
    // answer (and free) it in between. False when it was already interrupted (and is now answered).
    static bool registerForInterrupts(FunctionFSMount& mount, fuse_req_t request) {
        mount.m_registering = request;
        mount.m_registeringInterrupted = false;
        fuse_req_interrupt_func(request, onInterrupt, &mount);
        mount.m_registering = nullptr;
        if (mount.m_registeringInterrupted) {
            fuse_reply_err(request, EINTR);
            return false;
        }
        return true;
    }

    static void read(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset,
                     fuse_file_info* info) {
        (void)offset;
        (void)info;
        FunctionFSMount& mount = self(request);
        const auto file = fileOf(mount, inode);
        if (!file) {
            fuse_reply_err(request, EBADF);
            return;
        }
        if (!registerForInterrupts(mount, request)) {
            return;
        }
        mount.m_endpoints->read(*file, size, std::make_unique<FuseIO>(request));
    }

    static void write(fuse_req_t request, fuse_ino_t inode, const char* data, std::size_t size, off_t offset,
                      fuse_file_info* info) {
        (void)offset;
        (void)info;
        FunctionFSMount& mount = self(request);
        const auto file = fileOf(mount, inode);
        if (!file) {
            fuse_reply_err(request, EBADF);
            return;
        }
        // The buffer is libfuse's and lives only for this call.
        const auto bytes = reinterpret_cast<const std::byte*>(data);
        std::vector<std::byte> copy(bytes, bytes + size);
        if (!registerForInterrupts(mount, request)) {
            return;
        }
        mount.m_endpoints->write(*file, std::move(copy), std::make_unique<FuseIO>(request));
    }

    static void flush(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
        (void)inode;
        (void)info;
        fuse_reply_err(request, 0);
    }

    static void release(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
        (void)inode;
        (void)info;
        fuse_reply_err(request, 0);
    }

    static fuse_lowlevel_ops operations() {
        fuse_lowlevel_ops operations{};
        operations.init = init;
        operations.lookup = lookup;
        operations.getattr = getattr;
        operations.readdir = readdir;
        operations.open = open;
        operations.read = read;
        operations.write = write;
        operations.flush = flush;
        operations.release = release;
        return operations;
    }
};

FunctionFSMount::FunctionFSMount(std::filesystem::path folder, std::shared_ptr<FunctionFSEndpoints> endpoints,
                                 std::size_t endpointFiles)
    : m_folder(std::move(folder)), m_endpoints(std::move(endpoints)), m_fileCount(endpointFiles + 1) {}

std::unique_ptr<FunctionFSMount> FunctionFSMount::mount(const std::filesystem::path& folder,
                                                        std::shared_ptr<FunctionFSEndpoints> endpoints,
                                                        std::size_t endpointFiles) {
    std::unique_ptr<FunctionFSMount> mount(new FunctionFSMount(folder, std::move(endpoints), endpointFiles));
    mount->m_stopEvent = platform::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!mount->m_stopEvent) {
        throw RealPeerError::fromErrno("eventfd", errno);
    }

    // libfuse parses its options from an argument vector; these name the mount in the mount table.
    std::string program = "tandalo-functionfs";
    std::string dashO = "-o";
    std::string options = "fsname=tandalo-functionfs,subtype=functionfs";
    char* argv[] = {program.data(), dashO.data(), options.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    const fuse_lowlevel_ops operations = Callbacks::operations();
    mount->m_session = fuse_session_new(&args, &operations, sizeof operations, mount.get());
    fuse_opt_free_args(&args);
    if (mount->m_session == nullptr) {
        throw RealPeerError("libfuse could not create a session for " + folder.string());
    }
    if (fuse_session_mount(mount->m_session, folder.c_str()) != 0) {
        throw RealPeerError("libfuse could not mount " + folder.string() +
                            " (is /dev/fuse there, and may this process mount?)");
    }
    mount->m_mounted = true;
    mount->m_thread = std::thread([raw = mount.get()] { raw->serve(); });
    return mount;
}

FunctionFSMount::~FunctionFSMount() {
    unmount();
}

std::filesystem::path FunctionFSMount::file(std::size_t number) const {
    return m_folder / fileName(number);
}

void FunctionFSMount::serve() {
    fuse_buf buffer{};
    const int device = fuse_session_fd(m_session);
    while (!m_stopping.load()) {
        pollfd watched[2] = {{device, POLLIN, 0}, {m_stopEvent.get(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, pollSliceMilliseconds);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "functionfs mount %s: poll failed: %s\n", m_folder.c_str(),
                         std::strerror(errno));
            break;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            break;
        }
        if ((watched[0].revents & POLLIN) == 0) {
            if ((watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                break; // the connection is gone: unmounted or aborted from outside
            }
            continue;
        }
        const int received = fuse_session_receive_buf(m_session, &buffer);
        if (received == -EINTR || received == -EAGAIN) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        fuse_session_process_buf(m_session, &buffer);
    }
    std::free(buffer.mem);
}

void FunctionFSMount::unmount() noexcept {
    if (m_session == nullptr) {
        return;
    }
    // Everything held is answered while the session can still carry the answers; whatever the
    // function asks from now on fails at once.
    m_endpoints->shutdown();
    m_stopping.store(true);
    if (m_stopEvent) {
        const std::uint64_t one = 1;
        if (::write(m_stopEvent.get(), &one, sizeof one) < 0) {
            // The poll slice ends the loop all the same.
        }
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_mounted) {
        // libfuse closes the device first, which ends the connection and fails whatever the kernel still
        // queues, then detaches the folder.
        fuse_session_unmount(m_session);
        m_mounted = false;
    }
    fuse_session_destroy(m_session);
    m_session = nullptr;
    std::error_code ignored;
    m_unmounted = !std::filesystem::exists(m_folder / fileName(0), ignored);
}

} // namespace simulation
