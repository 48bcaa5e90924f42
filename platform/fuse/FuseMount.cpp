#include "platform/fuse/FuseMount.h"

#include "platform/foundation/Logger.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/fskit/InProcessHost.h"
#include "platform/fuse/FuseConversions.h"
#include "platform/fuse/FuseError.h"
#include "platform/fuse/KernelMount.h"
#include "platform/fuse/LowLevelOperations.h"
#include "platform/fuse/VolumeBridge.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <fuse_log.h>
#include <fuse_lowlevel.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace fusehost {

namespace {

oslog::Logger hostLog() {
    return oslog::Logger("com.brenwick.Tandalo.fsext", "fuse");
}

/// libfuse reports through one process-wide function; its messages go to our log instead of stderr.
void forwardLibfuseMessage(enum fuse_log_level level, const char* format, va_list arguments) {
    std::array<char, 1024> text{};
    std::vsnprintf(text.data(), text.size(), format, arguments);
    std::string message(text.data());
    while (!message.empty() && message.back() == '\n') {
        message.pop_back();
    }
    const auto log = hostLog();
    if (level <= FUSE_LOG_ERR) {
        log.error("libfuse: %{public}s", message);
    } else if (level <= FUSE_LOG_NOTICE) {
        log.notice("libfuse: %{public}s", message);
    } else {
        log.debug("libfuse: %{public}s", message);
    }
}

FuseError lifecycleError(const std::string& step, const fskit::Error& error) {
    return FuseError(errnoOf(error), step + ": " + error.description());
}

/// Runs one lifecycle step of the host and throws its replied error; errors the host throws itself (no
/// reply in time) come out as FuseError too.
template <typename Step> auto runStep(const std::string& name, Step step) {
    try {
        auto outcome = step();
        if (outcome.error) {
            throw lifecycleError(name, *outcome.error);
        }
        return outcome;
    } catch (const fskit::Error& error) {
        throw lifecycleError(name, error);
    }
}

bool isReadOnly(const fskit::FSTaskOptions& options) {
    const auto& given = options.taskOptions();
    return std::find(given.begin(), given.end(), fskit::FSTaskOptions::readOnly) != given.end();
}

std::filesystem::path checkedFolder(const std::filesystem::path& folder) {
    std::error_code error;
    auto canonical = std::filesystem::canonical(folder, error);
    if (error) {
        throw FuseError(error.value(), "mount folder " + folder.string() + ": " + error.message());
    }
    const bool isFolder = std::filesystem::is_directory(canonical, error);
    // A folder whose earlier mount lost its server answers ENOTCONN: the mount tool's caller reads the
    // real reason to know that the folder is a dead mount point, not something else in the way.
    if (error) {
        throw FuseError(error.value(), "mount folder " + folder.string() + ": " + error.message());
    }
    if (!isFolder) {
        throw FuseError(ENOTDIR, "mount folder " + folder.string() + " is not a folder");
    }
    return canonical;
}

} // namespace

FuseMount::FuseMount(MountOptions options, std::unique_ptr<fskit::InProcessHost> host)
    : m_options(std::move(options)), m_host(std::move(host)) {}

std::unique_ptr<FuseMount> FuseMount::mount(std::shared_ptr<fskit::FSUnaryFileSystem> fileSystem,
                                            std::shared_ptr<fskit::FSResource> resource,
                                            const std::filesystem::path& folder, MountOptions options) {
    static std::once_flag logRouted;
    std::call_once(logRouted, [] { fuse_set_log_func(forwardLibfuseMessage); });

    const auto canonical = checkedFolder(folder);
    fskit::InProcessHost::Options hostOptions;
    hostOptions.taskOptions = options.taskOptions;
    hostOptions.replyLimit = options.replyLimit;
    hostOptions.clock = options.clock;
    auto host =
        std::make_unique<fskit::InProcessHost>(std::move(fileSystem), std::move(resource), hostOptions);

    // The platform's order: probe, load, activate, mount; a failed step undoes the ones before it.
    const auto probed = runStep("probeResource", [&] { return host->probe(); });
    if (!probed.result || probed.result->result() != fskit::FSProbeResult::Result::usable) {
        throw FuseError(ENODEV, "probeResource: the file system does not recognise the resource");
    }
    runStep("loadResource", [&] { return host->load(); });
    std::shared_ptr<fskit::FSItem> root;
    try {
        root = runStep("activate", [&] { return host->activate(); }).item;
        try {
            runStep("mount", [&] { return host->mount(); });
        } catch (...) {
            static_cast<void>(host->deactivate());
            throw;
        }
    } catch (...) {
        static_cast<void>(host->unload());
        throw;
    }

    std::unique_ptr<FuseMount> result(new FuseMount(std::move(options), std::move(host)));
    try {
        result->m_folder = canonical;
        auto volume = result->m_host->volume();
        const auto statistics = result->m_host->operations()->volumeStatistics();
        VolumeBridge::Configuration configuration;
        configuration.entryTimeout = result->m_options.entryTimeout.count();
        configuration.attributeTimeout = result->m_options.attributeTimeout.count();
        configuration.maxRequestSize = result->m_options.maxRequestSize;
        configuration.clock = result->m_options.clock;
        configuration.shutdownLimit = result->m_options.shutdownLimit;
        configuration.statDefaults.uid = ::getuid();
        configuration.statDefaults.gid = ::getgid();
        const auto preferred = statistics.ioSize != 0 ? statistics.ioSize : statistics.blockSize;
        configuration.statDefaults.ioBlockSize = static_cast<std::uint32_t>(
            std::clamp<std::uint64_t>(preferred, 512, result->m_options.maxRequestSize));
        result->m_bridge = std::make_shared<VolumeBridge>(volume, root, configuration, hostLog());

        KernelMountParameters parameters;
        parameters.folder = canonical;
        parameters.fileSystemName = result->m_options.sourceName.empty() ? result->m_options.fileSystemName
                                                                         : result->m_options.sourceName;
        parameters.subtype = result->m_options.fileSystemName;
        parameters.readOnly = isReadOnly(result->m_options.taskOptions);
        parameters.maxRead = result->m_options.maxRequestSize;

        // libfuse checks that its init callback asks for the max_read it was created with.
        std::string program = "tandalo";
        std::string optionFlag = "-o";
        std::string mountOptions = libfuseMountOptions(parameters);
        std::vector<char*> arguments{program.data(), optionFlag.data(), mountOptions.data(), nullptr};
        fuse_args args = FUSE_ARGS_INIT(3, arguments.data());
        result->m_session =
            fuse_session_new(&args, &lowLevelOperations(), sizeof(fuse_lowlevel_ops), result->m_bridge.get());
        fuse_opt_free_args(&args);
        if (result->m_session == nullptr) {
            throw FuseError(EINVAL, "fuse_session_new refused the options " + mountOptions);
        }
        result->m_kernelMount = std::make_unique<KernelMount>(
            KernelMount::attach(result->m_session, parameters, result->m_options.method));
        result->m_bridge->startNotifying(result->m_session);
        result->m_serving = std::thread([mount = result.get()] { mount->serve(); });
        result->widenReadahead();
        hostLog().info("mounted %{public}s at %{public}s", parameters.fileSystemName, canonical.string());
    } catch (...) {
        try {
            result->shutdown();
        } catch (const std::exception& error) {
            hostLog().error("teardown after a failed mount: %{public}s", error.what());
        }
        throw;
    }
    return result;
}

FuseMount::~FuseMount() {
    try {
        shutdown();
    } catch (const std::exception& error) {
        hostLog().error("shutdown of %{public}s: %{public}s", m_folder.string(), error.what());
    }
}

void FuseMount::serve() {
    int result = 0;
    fuse_loop_config* configuration = fuse_loop_cfg_create();
    if (configuration == nullptr) {
        result = -ENOMEM;
    } else {
        fuse_loop_cfg_set_max_threads(configuration, std::max(1U, m_options.maxThreads));
        fuse_loop_cfg_set_clone_fd(configuration, 0);
        result = fuse_session_loop_mt(m_session, configuration);
        fuse_loop_cfg_destroy(configuration);
    }
    if (result != 0) {
        hostLog().error("serving %{public}s ended with %d", m_folder.string(), result);
    }
    {
        std::lock_guard guard(m_state);
        m_ended = true;
        m_loopResult = result;
    }
    m_servingEnded.notify_all();
}

void FuseMount::widenReadahead() {
    // The statfs is answered only once the kernel's INIT has been, and INIT sets the readahead window to
    // at most the kernel's default (128 KiB): raised before that, the window would be lowered again.
    struct statfs information {};
    if (::statfs(m_folder.c_str(), &information) != 0) {
        hostLog().error("statfs of %{public}s after mounting failed", m_folder.string());
        return;
    }
    // Sequential reads arrive as requests no larger than the readahead window, and each request that
    // reaches the device costs a transaction: widen the window to the request size. Only root may.
    const auto device = m_kernelMount->device();
    const auto control = "/sys/class/bdi/" + std::to_string(major(device)) + ":" +
                         std::to_string(minor(device)) + "/read_ahead_kb";
    platform::UniqueFd window(::open(control.c_str(), O_WRONLY | O_CLOEXEC));
    const auto kibibytes = std::to_string(m_options.maxRequestSize / 1024);
    if (!window ||
        ::write(window.get(), kibibytes.data(), kibibytes.size()) != static_cast<ssize_t>(kibibytes.size())) {
        hostLog().info("readahead of %{public}s stays at the kernel's default", m_folder.string());
    }
}

const std::filesystem::path& FuseMount::folder() const noexcept {
    return m_folder;
}

std::shared_ptr<fskit::FSVolume> FuseMount::volume() const {
    return m_host->volume();
}

std::optional<ConnectionLimits> FuseMount::connectionLimits() const {
    return m_bridge ? m_bridge->connectionLimits() : std::nullopt;
}

std::size_t FuseMount::heldItemCount() const {
    return m_bridge ? m_bridge->inodes().size() : 0;
}

bool FuseMount::isServing() const {
    std::lock_guard guard(m_state);
    return m_serving.joinable() && !m_ended;
}

void FuseMount::unmount(UnmountMode mode) {
    std::lock_guard guard(m_shutdown);
    if (m_kernelMount && isServing()) {
        m_kernelMount->unmount(mode);
    }
}

bool FuseMount::waitUntilUnmounted(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_state);
    return m_options.clock->waitFor(lock, m_servingEnded, limit, {},
                                    [&] { return m_ended || !m_serving.joinable(); });
}

void FuseMount::stopServing() {
    const auto ended = [&](std::chrono::milliseconds limit) {
        std::unique_lock lock(m_state);
        return m_options.clock->waitFor(lock, m_servingEnded, limit, {}, [&] { return m_ended; });
    };
    if (m_serving.joinable()) {
        if (isServing() && m_kernelMount) {
            try {
                m_kernelMount->unmount(UnmountMode::normal);
            } catch (const FuseError& busy) {
                hostLog().notice("unmount of %{public}s: %{public}s; forcing it", m_folder.string(),
                                 busy.what());
                try {
                    m_kernelMount->unmount(UnmountMode::force);
                } catch (const FuseError& error) {
                    hostLog().error("forced unmount of %{public}s: %{public}s", m_folder.string(),
                                    error.what());
                }
            }
        }
        if (!ended(m_options.shutdownLimit) && m_kernelMount) {
            // A lazily detached mount serves on until its last user lets go: cut the connection.
            m_kernelMount->abortConnection();
        }
        if (!ended(m_options.shutdownLimit)) {
            // The session, its threads and the bridge they use must outlive them: leak them rather than
            // hang or free memory that a worker still reads.
            hostLog().fault("serving %{public}s did not end; leaving its threads behind", m_folder.string());
            m_serving.detach();
            m_bridge->stopNotifying(KernelNotifierEnd::abandon);
            new std::shared_ptr<VolumeBridge>(m_bridge); // deliberately never freed
            m_session = nullptr;
            return;
        }
        m_serving.join();
    }
    if (m_bridge) {
        m_bridge->stopNotifying();
    }
    if (m_bridge && !m_bridge->endServing()) {
        hostLog().fault("the volume did not answer every last call for %{public}s", m_folder.string());
    }
    if (m_session != nullptr) {
        fuse_session_unmount(m_session);
        fuse_session_destroy(m_session);
        m_session = nullptr;
    }
}

void FuseMount::shutdown() {
    std::lock_guard guard(m_shutdown);
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    stopServing();
    if (m_kernelMount) {
        hostLog().info("unmounted %{public}s", m_folder.string());
    }
    // The platform tears the volume down whatever happened before: every step runs, the first error wins.
    std::optional<FuseError> firstError;
    const auto step = [&](const std::string& name, auto run) {
        try {
            runStep(name, run);
        } catch (const FuseError& error) {
            if (!firstError) {
                firstError = error;
            }
        }
    };
    step("unmount", [&] { return m_host->unmount(); });
    step("deactivate", [&] { return m_host->deactivate(); });
    step("unloadResource", [&] { return m_host->unload(); });
    if (firstError) {
        throw *firstError;
    }
}

} // namespace fusehost
