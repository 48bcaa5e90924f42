#include "platform/foundation/Preferences.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/LogStore.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using platform::FoundationError;
using platform::MemoryEnvironment;
using platform::Preferences;
using platform::testing::TemporaryFolder;

namespace {

Preferences suiteIn(const TemporaryFolder& folder,
                    std::string_view name = "K7QW3ZR2LD.group.com.brenwick.Tandalo") {
    return Preferences::suite(name, folder.path()).value();
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

Preferences::Date dateAt(std::chrono::sys_days day, std::chrono::nanoseconds offset) {
    return std::chrono::time_point_cast<Preferences::Date::duration>(day + offset);
}

} // namespace

TEST(PreferencesTests, StoresEachTypeAndReadsItBackOnlyAsThatType) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);
    const auto date = dateAt(std::chrono::sys_days(std::chrono::year(2026) / 3 / 14), 1234567891ns);
    preferences.setBool("CorvaneTrace", true);
    preferences.setInteger("deviceStatus.R58N.battery", 87);
    preferences.setDouble("ratio", 0.1);
    preferences.setString("name", "Pixel 8");
    preferences.setDate("deviceStatus.R58N.lastWrite", date);

    EXPECT_EQ(preferences.boolValue("CorvaneTrace"), true);
    EXPECT_EQ(preferences.integerValue("deviceStatus.R58N.battery"), 87);
    EXPECT_EQ(preferences.doubleValue("ratio"), 0.1);
    EXPECT_EQ(preferences.stringValue("name"), "Pixel 8");
    EXPECT_EQ(preferences.dateValue("deviceStatus.R58N.lastWrite"), date);
    EXPECT_EQ(preferences.value("deviceStatus.R58N.battery"), Preferences::Value(std::int64_t{87}));

    // A value of another type is absent for a typed read, as a battery level stored as text must be.
    EXPECT_FALSE(preferences.boolValue("deviceStatus.R58N.battery"));
    EXPECT_FALSE(preferences.integerValue("name"));
    EXPECT_FALSE(preferences.integerValue("ratio"));
    EXPECT_FALSE(preferences.doubleValue("deviceStatus.R58N.battery"));
    EXPECT_FALSE(preferences.dateValue("name"));
    EXPECT_FALSE(preferences.stringValue("missing"));

    preferences.setString("deviceStatus.R58N.battery", "87");
    EXPECT_FALSE(preferences.integerValue("deviceStatus.R58N.battery"));
}

TEST(PreferencesTests, RoundTripsOddKeysTextsAndNumbers) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);
    const std::vector<std::string> texts{
        "",
        "a=b=c",
        "line\nbreak\r\nand\ttab",
        "back\\slash\\",
        "#not a comment",
        std::string("nul\0inside", 10),
        "\x01\x1F\x7F"
        " control",
        "G\xC3\xA4rt\xC3\xA9 \xF0\x9F\x93\xB1",
        "\xFF\xFE not UTF-8",
        "trailing blank ",
    };
    for (std::size_t index = 0; index < texts.size(); ++index) {
        preferences.setString(texts[index], texts[index]);
    }
    for (const auto& text : texts) {
        EXPECT_EQ(preferences.stringValue(text), text) << text;
    }

    const double numbers[]{0.1,
                           -0.0,
                           1e308,
                           5e-324,
                           -123456.789,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
    for (const double number : numbers) {
        preferences.setDouble("number", number);
        const auto back = preferences.doubleValue("number");
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, number);
        EXPECT_EQ(std::signbit(*back), std::signbit(number));
    }
    preferences.setDouble("number", std::nan(""));
    EXPECT_TRUE(std::isnan(preferences.doubleValue("number").value()));

    for (const auto integer : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}, std::int64_t{0},
                               std::numeric_limits<std::int64_t>::max()}) {
        preferences.setInteger("integer", integer);
        EXPECT_EQ(preferences.integerValue("integer"), integer);
    }
}

TEST(PreferencesTests, RoundTripsDatesToTheNanosecond) {
    using namespace std::chrono;
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);
    const Preferences::Date dates[]{
        Preferences::Date{},
        dateAt(sys_days(year(2026) / 1 / 1), 0ns),
        dateAt(sys_days(year(2024) / 2 / 29), 23h + 59min + 59s + 999999999ns),
        dateAt(sys_days(year(1969) / 12 / 31), 23h + 59min + 59s + 1ns),
        dateAt(sys_days(year(1700) / 6 / 15), 12h),
        dateAt(sys_days(year(2261) / 12 / 31), 1s),
    };
    for (const auto date : dates) {
        preferences.setDate("when", date);
        EXPECT_EQ(preferences.dateValue("when"), date) << date.time_since_epoch().count();
    }
}

TEST(PreferencesTests, DamagedEntriesReadAsAbsentAndTheRestStayReadable) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);
    static constexpr char damaged[] = "good=integer:7\n"
                                      "no separator at all\n"
                                      "bad1=integer:abc\n"
                                      "bad2=integer:99999999999999999999\n"
                                      "bad3=bool:maybe\n"
                                      "bad4=date:2026-13-01T00:00:00Z\n"
                                      "bad5=string:ends in a backslash\\\n"
                                      "bad6=string:unknown escape \\q\n"
                                      "bad7=unknown:1\n"
                                      "bad8=integer\n"
                                      "bad9=date:2026-02-30T00:00:00Z\n"
                                      "bad10=date:2026-01-01T00:00:00.1234567890Z\n"
                                      "bad11=date:1600-01-01T00:00:00Z\n"
                                      "bad12=double:1e400\n"
                                      "bad13=integer: 5\n"
                                      "bad14=string:cut hex \\x4\n"
                                      "\xFF\xFE\x00\x01 binary\n"
                                      "dup=integer:1\n"
                                      "dup=integer:2\n"
                                      "crlf=bool:true\r\n"
                                      "last=string:no final line feed";
    writeFile(preferences.filePath(), std::string_view(damaged, sizeof damaged - 1));
    EXPECT_EQ(preferences.integerValue("good"), 7);
    EXPECT_EQ(preferences.integerValue("dup"), 2);
    EXPECT_EQ(preferences.boolValue("crlf"), true);
    EXPECT_EQ(preferences.stringValue("last"), "no final line feed");
    for (int index = 1; index <= 14; ++index) {
        EXPECT_FALSE(preferences.value("bad" + std::to_string(index))) << index;
    }

    // A write keeps the readable entries and leaves a file that reads cleanly.
    preferences.setInteger("after", 1);
    EXPECT_EQ(preferences.integerValue("good"), 7);
    EXPECT_EQ(preferences.integerValue("after"), 1);
    EXPECT_EQ(preferences.stringValue("last"), "no final line feed");
}

TEST(PreferencesTests, AFileOfGarbageReadsAsDefaultsAndCanBeWrittenAgain) {
    const std::vector<std::string> contents{
        "",
        std::string("\0\0\0\0", 4),
        "=====",
        "\\\\\\",
        "\xFF\xD8\xFF\xE0 not text at all \x80\x81",
        std::string(1 << 20, 'x'),
        "{\"key\": \"a JSON file\"}",
    };
    for (const auto& text : contents) {
        SCOPED_TRACE(text.substr(0, 16));
        TemporaryFolder folder;
        auto preferences = suiteIn(folder);
        writeFile(preferences.filePath(), text);
        EXPECT_FALSE(preferences.value("key"));
        EXPECT_FALSE(preferences.boolValue("CorvaneTrace"));
        preferences.setBool("CorvaneTrace", true);
        EXPECT_EQ(preferences.boolValue("CorvaneTrace"), true);
    }
}

TEST(PreferencesTests, AFileThatCannotBeReadWholeIsNeverOverwritten) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);

    // Too large to read: reads give defaults, and a write refuses rather than drop what it could not read.
    std::string large = "kept=integer:1\n";
    large += std::string(Preferences::maximumFileSize, '#');
    writeFile(preferences.filePath(), large);
    EXPECT_FALSE(preferences.integerValue("kept"));
    EXPECT_THROW(preferences.setInteger("new", 2), FoundationError);
    EXPECT_EQ(std::filesystem::file_size(preferences.filePath()), large.size());

    // Not a file at all.
    std::filesystem::remove(preferences.filePath());
    std::filesystem::create_directory(preferences.filePath());
    EXPECT_FALSE(preferences.value("kept"));
    EXPECT_THROW(preferences.setInteger("new", 2), FoundationError);
    EXPECT_THROW(preferences.remove("new"), FoundationError);
}

TEST(PreferencesTests, AnythingButARegularFileReadsAsDefaultsWithoutBlockingAndIsNeverWritten) {
    const std::vector<std::pair<std::string, std::function<void(const std::filesystem::path&)>>> cases{
        {"a FIFO", [](const std::filesystem::path& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
        {"a link to a file",
         [](const std::filesystem::path& file) {
             writeFile(file.string() + ".elsewhere", "kept=integer:1\n");
             std::filesystem::create_symlink(file.filename().string() + ".elsewhere", file);
         }},
    };
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        TemporaryFolder folder;
        auto preferences = suiteIn(folder);
        plant(preferences.filePath());
        const auto before = oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", 1h).size();
        EXPECT_FALSE(preferences.integerValue("kept"));
        EXPECT_THROW(preferences.setInteger("new", 2), FoundationError);
        EXPECT_THROW(preferences.remove("kept"), FoundationError);
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(preferences.filePath())));
        EXPECT_GT(oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", 1h).size(), before);
        // A lock file that is not a file makes a write fail, not wait.
        std::filesystem::remove(preferences.filePath());
        const std::filesystem::path lock = preferences.filePath().string() + ".lock";
        std::filesystem::remove(lock);
        plant(lock);
        EXPECT_THROW(preferences.setInteger("new", 2), FoundationError);
    }
}

TEST(PreferencesTests, AWriteGivesUpOnALockThatAnotherProcessKeeps) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);
    preferences.setInteger("kept", 1);
    // flock() locks of two opens exclude each other even within one process.
    const int holder = ::open((preferences.filePath().string() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    platform::VirtualClock clock(platform::VirtualClock::AutoAdvance::sleeps);
    preferences.setClock(clock);
    const auto start = clock.now();
    EXPECT_THROW(preferences.setInteger("new", 2), FoundationError);
    EXPECT_GE(clock.now() - start, Preferences::lockLimit);
    EXPECT_EQ(preferences.integerValue("kept"), 1);
    ::close(holder);
    preferences.setInteger("new", 2);
    EXPECT_EQ(preferences.integerValue("new"), 2);
}

TEST(PreferencesTests, RemoveDeletesOnlyThatKeyAndCreatesNoFileWhenNothingIsStored) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);
    preferences.remove("deviceStatus.R58N.battery");
    EXPECT_FALSE(std::filesystem::exists(preferences.filePath()));

    preferences.setInteger("deviceStatus.R58N.battery", 87);
    preferences.setDate("deviceStatus.R58N.lastWrite", Preferences::Date{});
    preferences.setInteger("deviceStatus.OTHER.battery", 50);
    preferences.remove("deviceStatus.R58N.battery");
    preferences.remove("deviceStatus.R58N.lastWrite");
    preferences.remove("deviceStatus.R58N.lastWrite");
    EXPECT_FALSE(preferences.value("deviceStatus.R58N.battery"));
    EXPECT_FALSE(preferences.value("deviceStatus.R58N.lastWrite"));
    EXPECT_EQ(preferences.integerValue("deviceStatus.OTHER.battery"), 50);
}

TEST(PreferencesTests, EveryReadSeesWhatAnotherHandleWrote) {
    TemporaryFolder folder;
    const auto reader = suiteIn(folder);
    auto writer = suiteIn(folder);
    EXPECT_FALSE(reader.integerValue("deviceStatus.R58N.battery"));
    writer.setInteger("deviceStatus.R58N.battery", 87);
    EXPECT_EQ(reader.integerValue("deviceStatus.R58N.battery"), 87);
    writer.setInteger("deviceStatus.R58N.battery", 86);
    EXPECT_EQ(reader.integerValue("deviceStatus.R58N.battery"), 86);
    writer.remove("deviceStatus.R58N.battery");
    EXPECT_FALSE(reader.integerValue("deviceStatus.R58N.battery"));
}

TEST(PreferencesTests, WritesLeaveNoTemporaryFilesBehind) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder, "suite");
    for (int index = 0; index < 20; ++index) {
        preferences.setInteger("key" + std::to_string(index), index);
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"suite.prefs", "suite.prefs.lock"}));
}

TEST(PreferencesTests, FindsItsFolderThroughTheEnvironment) {
    const MemoryEnvironment explicitFolder{{"TANDALO_PREFERENCES_DIR", "/srv/prefs"}, {"HOME", "/home/me"}};
    EXPECT_EQ(Preferences::suite("group", explicitFolder)->filePath(), "/srv/prefs/group.prefs");

    // An empty variable is no folder: the default under the home folder applies.
    const MemoryEnvironment emptyFolder{{"TANDALO_PREFERENCES_DIR", ""}, {"HOME", "/home/me"}};
    EXPECT_EQ(Preferences::suite("group", emptyFolder)->filePath(), "/home/me/.config/tandalo/group.prefs");

    // The desktop's configuration folder, when it is absolute, is where preferences live.
    const MemoryEnvironment configHome{{"HOME", "/home/me"}, {"XDG_CONFIG_HOME", "/home/me/cfg"}};
    EXPECT_EQ(Preferences::suite("group", configHome)->filePath(), "/home/me/cfg/tandalo/group.prefs");
    const MemoryEnvironment relativeConfig{{"HOME", "/home/me"}, {"XDG_CONFIG_HOME", "cfg"}};
    EXPECT_EQ(Preferences::suite("group", relativeConfig)->filePath(),
              "/home/me/.config/tandalo/group.prefs");

    const MemoryEnvironment homeOnly{{"HOME", "/home/me"}};
    const auto standard = Preferences::standard(homeOnly);
    EXPECT_EQ(standard.filePath().parent_path(), "/home/me/.config/tandalo");
    EXPECT_EQ(standard.filePath().filename(), standard.suiteName() + ".prefs");
    EXPECT_FALSE(standard.suiteName().empty());
}

TEST(PreferencesTests, RefusesSuiteNamesThatAreNoFileNames) {
    TemporaryFolder folder;
    for (const std::string& name : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                    std::string("/abs"), std::string("nul\0", 4)}) {
        EXPECT_FALSE(Preferences::suite(name, folder.path())) << name;
    }
    EXPECT_TRUE(Preferences::suite("K7QW3ZR2LD.group.com.brenwick.Tandalo", folder.path()));
}

TEST(PreferencesTests, StandardPreferencesWorkInAnInjectedFolder) {
    TemporaryFolder folder;
    const MemoryEnvironment environment{{"TANDALO_PREFERENCES_DIR", folder.path().string()}};
    EXPECT_FALSE(Preferences::standard(environment).boolValue("CorvaneTrace"));
    Preferences::standard(environment).setBool("CorvaneTrace", true);
    EXPECT_EQ(Preferences::standard(environment).boolValue("CorvaneTrace"), true);
    EXPECT_TRUE(std::filesystem::exists(Preferences::standard(environment).filePath()));
}

TEST(PreferencesTests, ThreadsWritingOneSuiteLoseNoKeys) {
    TemporaryFolder folder;
    constexpr int threads = 4;
    constexpr int keysPerThread = 40;
    {
        std::vector<std::jthread> writers;
        for (int thread = 0; thread < threads; ++thread) {
            writers.emplace_back([&, thread] {
                auto preferences = suiteIn(folder);
                for (int key = 0; key < keysPerThread; ++key) {
                    preferences.setInteger(testsupport::concat("t", thread, ".", key), key);
                }
            });
        }
    }
    const auto preferences = suiteIn(folder);
    for (int thread = 0; thread < threads; ++thread) {
        for (int key = 0; key < keysPerThread; ++key) {
            EXPECT_EQ(preferences.integerValue(testsupport::concat("t", thread, ".", key)), key);
        }
    }
}

// The application and the extension share the app-group suite; neither may lose the other's entries, and
// a reader must never see a half-written file.
TEST(PreferencesTests, TwoProcessesWritingOneSuiteLoseNoKeys) {
    TemporaryFolder folder;
    auto preferences = suiteIn(folder);
    preferences.setString("anchor", "present");
    constexpr int keysPerProcess = 100;

    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(start[1]);
            char byte = 0;
            // Both children start writing when the parent closes the pipe.
            [[maybe_unused]] const auto ignored = ::read(start[0], &byte, 1);
            int status = 0;
            try {
                for (int key = 0; key < keysPerProcess; ++key) {
                    preferences.setInteger("p" + std::to_string(child) + "." + std::to_string(key), key);
                    preferences.setInteger("last", child);
                }
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    ::close(start[0]);
    ::close(start[1]);

    int partialReads = 0;
    for (const pid_t child : children) {
        int status = 0;
        while (::waitpid(child, &status, WNOHANG) == 0) {
            if (preferences.stringValue("anchor") != "present") {
                ++partialReads;
            }
        }
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(partialReads, 0);
    for (int child = 0; child < 2; ++child) {
        for (int key = 0; key < keysPerProcess; ++key) {
            EXPECT_EQ(preferences.integerValue("p" + std::to_string(child) + "." + std::to_string(key)), key);
        }
    }
    EXPECT_TRUE(preferences.integerValue("last"));
}
