#pragma once

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/FileOperations.h"
#include "Tandalo/core/FolderPanel.h"
#include "Tandalo/core/MountTable.h"
#include "Tandalo/core/PreferenceStore.h"
#include "Tandalo/core/ProcessRunner.h"
#include "Tandalo/core/VolumeServers.h"
#include "Tandalo/core/VolumeUnmounter.h"

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Fakes of the core's platform services, for the core's tests and for those of the model and the user
// interface. Each records what was asked of it and answers as the test scripted; each is safe to use from
// several threads, as the unmounts before sleep use them.
namespace tandalo::app::testing {

/// Answers each command with what the script returns for it (exit 0 without a script); a script that
/// returns nothing leaves the command running until the test finishes it.
class FakeProcessRunner final : public ProcessRunner {
public:
    using Script = std::function<std::optional<ProcessResult>(const ProcessCommand&)>;

    void start(const ProcessCommand& command, Completion done) override;

    void setScript(Script script);
    /// Makes every start fail as a launch would, with the errno.
    void failLaunches(int errorNumber);
    std::vector<ProcessCommand> calls() const;
    /// Ends the oldest command still running.
    void finishPending(ProcessResult result);
    std::size_t pendingCount() const;

private:
    mutable std::mutex m_mutex; // guards everything below; never held across a completion
    Script m_script;
    std::optional<int> m_launchError;
    std::vector<ProcessCommand> m_calls;
    std::vector<Completion> m_pending;
};

/// A mount table the test edits.
class FakeMountTable final : public MountTable {
public:
    std::vector<platform::MountInfo> mounts() const override;

    /// A mount by this user, as FUSE records it.
    void add(std::string source, std::filesystem::path mountPoint, std::string type = "fuse.tandalo");
    /// A mount as the table shows it, whoever made it.
    void add(platform::MountInfo mount);
    void remove(const std::filesystem::path& mountPoint);

private:
    mutable std::mutex m_mutex; // guards m_mounts
    std::vector<platform::MountInfo> m_mounts;
};

/// Folders and files in memory. Paths are absolute and compared as given.
class FakeFileOperations final : public FileOperations {
public:
    explicit FakeFileOperations(std::filesystem::path home = "/home/me") : m_home(std::move(home)) {}

    void createDirectories(const std::filesystem::path& folder) override;
    void createPrivateFolder(const std::filesystem::path& folder) override { createDirectories(folder); }
    void createEmptyFile(const std::filesystem::path& file) override;
    bool exists(const std::filesystem::path& path) const override;
    std::optional<std::vector<std::string>> entries(const std::filesystem::path& folder) const override;
    void removeEmptyFolder(const std::filesystem::path& folder) override;
    void removeFile(const std::filesystem::path& file) override;
    std::filesystem::path homeFolder() const override { return m_home; }

    /// Makes every operation on the path or below it fail with the errno.
    void failAt(const std::filesystem::path& path, int errorNumber = EACCES);
    /// Makes the folder unreadable, as a mount whose server is gone.
    void makeUnlistable(const std::filesystem::path& folder);
    bool isFolder(const std::filesystem::path& path) const;
    bool isFile(const std::filesystem::path& path) const;

private:
    void check(const std::filesystem::path& path) const; // throws the injected failure; m_mutex held

    mutable std::mutex m_mutex; // guards the sets below
    std::filesystem::path m_home;
    std::set<std::filesystem::path> m_folders{"/"};
    std::set<std::filesystem::path> m_files;
    std::set<std::filesystem::path> m_unlistable;
    std::map<std::filesystem::path, int> m_failures;
};

/// Answers the polite and the forced unmount as set (success by default), or leaves them hanging.
class FakeVolumeUnmounter final : public VolumeUnmounter {
public:
    /// What an answer is: success, a refusal text, or none ever (hangs).
    struct Answer {
        bool hangs = false;
        std::optional<std::string> refusal;
    };

    void unmount(const std::filesystem::path& folder, Completion done) override;
    void forceUnmount(const std::filesystem::path& folder, Completion done) override;

    /// The answer for one folder, or for every folder without one of its own.
    void setPoliteAnswer(Answer answer, std::optional<std::filesystem::path> folder = std::nullopt);
    void setForcedAnswer(Answer answer, std::optional<std::filesystem::path> folder = std::nullopt);
    /// "unmount <folder>" and "force <folder>", in the order asked.
    std::vector<std::string> calls() const;
    /// Answers the unmounts left hanging so far, in the order asked, with success or the refusal.
    void answerHanging(std::optional<std::string> refusal = std::nullopt);
    /// Called after each answer given, with the folder (e.g. to take it out of a fake mount table).
    std::function<void(const std::filesystem::path&)> onUnmounted;

private:
    using Answers = std::map<std::optional<std::filesystem::path>, Answer>;
    void answer(const std::string& call, const std::filesystem::path& folder, const Answers& answers,
                Completion done);

    mutable std::mutex m_mutex; // guards the answers, the calls and the hanging completions
    Answers m_polite;
    Answers m_forced;
    std::vector<std::string> m_calls;
    std::vector<std::pair<std::filesystem::path, Completion>> m_hanging;
};

/// Answers which folders lost their server as the test set, and ends the processes the test names.
class FakeVolumeServers final : public VolumeServers {
public:
    void askDisconnected(const std::filesystem::path& folder, Answer done) override;
    std::unique_ptr<Watch> watchProcess(std::int32_t pid, Ended ended) override;
    std::optional<std::int32_t> serverOf(const std::filesystem::path& folder,
                                         const std::filesystem::path& program) const override;

    /// The processes that serve folders, as the running programs show them.
    std::map<std::filesystem::path, std::int32_t> serving;
    /// The folder answers ENOTCONN from now on.
    void disconnect(const std::filesystem::path& folder);
    /// Ends the process: the watches of it still kept are told, on this thread.
    void end(std::int32_t pid);
    /// The processes with a watch kept now, in the order they were watched.
    std::vector<std::int32_t> watched() const;

private:
    struct Watched {
        std::int32_t pid;
        Ended ended;
        std::shared_ptr<bool> kept;
    };

    mutable std::mutex m_mutex; // guards the members below; never held across a callback
    std::set<std::filesystem::path> m_disconnected;
    std::vector<Watched> m_watches;
};

/// Preferences in memory.
class MemoryPreferences final : public PreferenceStore {
public:
    std::optional<Value> value(std::string_view key) const override;
    void set(std::string_view key, const Value& value) override;
    void remove(std::string_view key) override;
    /// Makes every write fail.
    void failWrites() { m_failWrites = true; }

private:
    mutable std::mutex m_mutex; // guards m_values
    std::map<std::string, Value, std::less<>> m_values;
    bool m_failWrites = false;
};

/// Suites in memory, each created on first use; suites can be made to fail opening.
class MemoryPreferenceSuites final : public PreferenceSuites {
public:
    std::shared_ptr<PreferenceStore> standard() override { return m_standard; }
    std::shared_ptr<PreferenceStore> suite(std::string_view name) override;
    void makeUnavailable() { m_unavailable = true; }

private:
    std::shared_ptr<MemoryPreferences> m_standard = std::make_shared<MemoryPreferences>();
    std::map<std::string, std::shared_ptr<MemoryPreferences>, std::less<>> m_suites;
    bool m_unavailable = false;
};

class FakeBundleInformation final : public BundleInformation {
public:
    std::optional<Value> value(std::string_view key) const override;
    std::map<std::string, Value, std::less<>> values{{"CFBundleDisplayName", std::string("Tandalo")}};
};

/// Answers the panel with the path set (nothing: the user cancels) and keeps the requests.
class FakeFolderPanel final : public FolderPanel {
public:
    std::optional<std::filesystem::path> chooseFolder(const FolderPanelRequest& request) override {
        requests.push_back(request);
        return answer;
    }
    std::optional<std::filesystem::path> answer;
    std::vector<FolderPanelRequest> requests;
};

} // namespace tandalo::app::testing
