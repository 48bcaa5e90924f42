#include "tests/Tandalo/core/CoreFakes.h"

#include "Tandalo/core/MountManager.h"
#include "platform/foundation/FoundationError.h"

#include <algorithm>

namespace tandalo::app::testing {

void FakeProcessRunner::start(const ProcessCommand& command, Completion done) {
    std::optional<ProcessResult> answer;
    {
        std::lock_guard guard(m_mutex);
        if (m_launchError) {
            throw platform::FoundationError::fromErrno("launch", *m_launchError, command.executable.string());
        }
        m_calls.push_back(command);
        answer = m_script ? m_script(command) : ProcessResult{};
        if (!answer) {
            m_pending.push_back(std::move(done));
            return;
        }
    }
    done(std::move(*answer));
}

void FakeProcessRunner::setScript(Script script) {
    std::lock_guard guard(m_mutex);
    m_script = std::move(script);
}

void FakeProcessRunner::failLaunches(int errorNumber) {
    std::lock_guard guard(m_mutex);
    m_launchError = errorNumber;
}

std::vector<ProcessCommand> FakeProcessRunner::calls() const {
    std::lock_guard guard(m_mutex);
    return m_calls;
}

void FakeProcessRunner::finishPending(ProcessResult result) {
    Completion done;
    {
        std::lock_guard guard(m_mutex);
        done = std::move(m_pending.front());
        m_pending.erase(m_pending.begin());
    }
    done(std::move(result));
}

std::size_t FakeProcessRunner::pendingCount() const {
    std::lock_guard guard(m_mutex);
    return m_pending.size();
}

std::vector<platform::MountInfo> FakeMountTable::mounts() const {
    std::lock_guard guard(m_mutex);
    return m_mounts;
}

void FakeMountTable::add(std::string source, std::filesystem::path mountPoint, std::string type) {
    platform::MountInfo mount;
    mount.source = std::move(source);
    mount.mountPoint = std::move(mountPoint);
    mount.fileSystemType = std::move(type);
    mount.superOptions = "rw,user_id=" + std::to_string(MountServices::currentUserID()) + ",group_id=0";
    std::lock_guard guard(m_mutex);
    m_mounts.push_back(std::move(mount));
}

void FakeMountTable::add(platform::MountInfo mount) {
    std::lock_guard guard(m_mutex);
    m_mounts.push_back(std::move(mount));
}

void FakeMountTable::remove(const std::filesystem::path& mountPoint) {
    std::lock_guard guard(m_mutex);
    std::erase_if(m_mounts, [&](const platform::MountInfo& mount) { return mount.mountPoint == mountPoint; });
}

void FakeFileOperations::check(const std::filesystem::path& path) const {
    for (const auto& [failing, errorNumber] : m_failures) {
        const auto relative = path.lexically_relative(failing);
        if (!relative.empty() && *relative.begin() != "..") {
            throw platform::FoundationError::fromErrno("fake", errorNumber, path.string());
        }
    }
}

void FakeFileOperations::createDirectories(const std::filesystem::path& folder) {
    std::lock_guard guard(m_mutex);
    check(folder);
    if (m_files.contains(folder)) {
        throw platform::FoundationError::fromErrno("create folder", EEXIST, folder.string());
    }
    for (auto path = folder; !path.empty() && path != path.root_path(); path = path.parent_path()) {
        m_folders.insert(path);
    }
}

void FakeFileOperations::createEmptyFile(const std::filesystem::path& file) {
    std::lock_guard guard(m_mutex);
    check(file);
    if (!m_folders.contains(file.parent_path())) {
        throw platform::FoundationError::fromErrno("create file", ENOENT, file.string());
    }
    if (!m_folders.contains(file)) {
        m_files.insert(file);
    }
}

bool FakeFileOperations::exists(const std::filesystem::path& path) const {
    std::lock_guard guard(m_mutex);
    return m_folders.contains(path) || m_files.contains(path);
}

std::optional<std::vector<std::string>>
FakeFileOperations::entries(const std::filesystem::path& folder) const {
    std::lock_guard guard(m_mutex);
    if (!m_folders.contains(folder) || m_unlistable.contains(folder) || m_failures.contains(folder)) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const auto* set : {&m_folders, &m_files}) {
        for (const auto& path : *set) {
            if (path.parent_path() == folder && path != folder) {
                names.push_back(path.filename().string());
            }
        }
    }
    return names;
}

void FakeFileOperations::removeFile(const std::filesystem::path& file) {
    std::lock_guard guard(m_mutex);
    check(file);
    m_files.erase(file);
}

void FakeFileOperations::removeEmptyFolder(const std::filesystem::path& folder) {
    std::lock_guard guard(m_mutex);
    check(folder);
    if (!m_folders.contains(folder)) {
        throw platform::FoundationError::fromErrno("rmdir", ENOENT, folder.string());
    }
    const auto inside = [&](const std::filesystem::path& path) {
        return path.parent_path() == folder && path != folder;
    };
    if (std::any_of(m_folders.begin(), m_folders.end(), inside) ||
        std::any_of(m_files.begin(), m_files.end(), inside)) {
        throw platform::FoundationError::fromErrno("rmdir", ENOTEMPTY, folder.string());
    }
    m_folders.erase(folder);
}

void FakeFileOperations::failAt(const std::filesystem::path& path, int errorNumber) {
    std::lock_guard guard(m_mutex);
    m_failures[path] = errorNumber;
}

void FakeFileOperations::makeUnlistable(const std::filesystem::path& folder) {
    std::lock_guard guard(m_mutex);
    m_unlistable.insert(folder);
}

bool FakeFileOperations::isFolder(const std::filesystem::path& path) const {
    std::lock_guard guard(m_mutex);
    return m_folders.contains(path);
}

bool FakeFileOperations::isFile(const std::filesystem::path& path) const {
    std::lock_guard guard(m_mutex);
    return m_files.contains(path);
}

void FakeVolumeUnmounter::unmount(const std::filesystem::path& folder, Completion done) {
    answer("unmount " + folder.string(), folder, m_polite, std::move(done));
}

void FakeVolumeUnmounter::forceUnmount(const std::filesystem::path& folder, Completion done) {
    answer("force " + folder.string(), folder, m_forced, std::move(done));
}

void FakeVolumeUnmounter::answer(const std::string& call, const std::filesystem::path& folder,
                                 const Answers& answers, Completion done) {
    Answer given;
    {
        std::lock_guard guard(m_mutex);
        m_calls.push_back(call);
        const auto own = answers.find(folder);
        const auto general = answers.find(std::nullopt);
        given = own != answers.end() ? own->second : general != answers.end() ? general->second : Answer{};
        if (given.hangs) {
            m_hanging.emplace_back(folder, std::move(done));
            return;
        }
    }
    if (!given.refusal && onUnmounted) {
        onUnmounted(folder);
    }
    done(given.refusal);
}

void FakeVolumeUnmounter::setPoliteAnswer(Answer answer, std::optional<std::filesystem::path> folder) {
    std::lock_guard guard(m_mutex);
    m_polite[std::move(folder)] = std::move(answer);
}

void FakeVolumeUnmounter::setForcedAnswer(Answer answer, std::optional<std::filesystem::path> folder) {
    std::lock_guard guard(m_mutex);
    m_forced[std::move(folder)] = std::move(answer);
}

void FakeVolumeUnmounter::answerHanging(std::optional<std::string> refusal) {
    std::vector<std::pair<std::filesystem::path, Completion>> hanging;
    {
        std::lock_guard guard(m_mutex);
        hanging.swap(m_hanging);
    }
    for (auto& [folder, done] : hanging) {
        if (!refusal && onUnmounted) {
            onUnmounted(folder);
        }
        done(refusal);
    }
}

std::vector<std::string> FakeVolumeUnmounter::calls() const {
    std::lock_guard guard(m_mutex);
    return m_calls;
}

std::optional<PreferenceStore::Value> MemoryPreferences::value(std::string_view key) const {
    std::lock_guard guard(m_mutex);
    const auto found = m_values.find(key);
    return found == m_values.end() ? std::nullopt : std::optional(found->second);
}

void MemoryPreferences::set(std::string_view key, const Value& value) {
    std::lock_guard guard(m_mutex);
    if (m_failWrites) {
        throw platform::FoundationError("preferences cannot be written");
    }
    m_values.insert_or_assign(std::string(key), value);
}

void MemoryPreferences::remove(std::string_view key) {
    std::lock_guard guard(m_mutex);
    if (m_failWrites) {
        throw platform::FoundationError("preferences cannot be written");
    }
    if (const auto found = m_values.find(key); found != m_values.end()) {
        m_values.erase(found);
    }
}

std::shared_ptr<PreferenceStore> MemoryPreferenceSuites::suite(std::string_view name) {
    if (m_unavailable) {
        return nullptr;
    }
    auto& suite = m_suites[std::string(name)];
    if (!suite) {
        suite = std::make_shared<MemoryPreferences>();
    }
    return suite;
}

std::optional<BundleInformation::Value> FakeBundleInformation::value(std::string_view key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::nullopt : std::optional(found->second);
}

namespace {

class FakeWatch final : public VolumeServers::Watch {
public:
    explicit FakeWatch(std::shared_ptr<bool> kept) : m_kept(std::move(kept)) {}
    ~FakeWatch() override { *m_kept = false; }

private:
    std::shared_ptr<bool> m_kept;
};

} // namespace

void FakeVolumeServers::askDisconnected(const std::filesystem::path& folder, Answer done) {
    bool disconnected = false;
    {
        std::lock_guard guard(m_mutex);
        disconnected = m_disconnected.contains(folder);
    }
    done(disconnected);
}

std::unique_ptr<VolumeServers::Watch> FakeVolumeServers::watchProcess(std::int32_t pid, Ended ended) {
    auto kept = std::make_shared<bool>(true);
    std::lock_guard guard(m_mutex);
    m_watches.push_back(Watched{pid, std::move(ended), kept});
    return std::make_unique<FakeWatch>(kept);
}

std::optional<std::int32_t> FakeVolumeServers::serverOf(const std::filesystem::path& folder,
                                                        const std::filesystem::path&) const {
    const auto found = serving.find(folder);
    return found == serving.end() ? std::nullopt : std::optional(found->second);
}

void FakeVolumeServers::disconnect(const std::filesystem::path& folder) {
    std::lock_guard guard(m_mutex);
    m_disconnected.insert(folder);
}

void FakeVolumeServers::end(std::int32_t pid) {
    std::vector<Watched> ending;
    {
        std::lock_guard guard(m_mutex);
        const auto ended = std::stable_partition(m_watches.begin(), m_watches.end(),
                                                 [&](const Watched& watch) { return watch.pid != pid; });
        ending.assign(std::make_move_iterator(ended), std::make_move_iterator(m_watches.end()));
        m_watches.erase(ended, m_watches.end());
    }
    for (const auto& watch : ending) {
        if (*watch.kept) {
            watch.ended();
        }
    }
}

std::vector<std::int32_t> FakeVolumeServers::watched() const {
    std::lock_guard guard(m_mutex);
    std::vector<std::int32_t> pids;
    for (const auto& watch : m_watches) {
        if (*watch.kept) {
            pids.push_back(watch.pid);
        }
    }
    return pids;
}

} // namespace tandalo::app::testing
