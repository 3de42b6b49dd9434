// The stored texts as files: what is read, what is refused, what is moved aside and written,
// each in a directory of its own under a private temporary one.
#include "Core_SocketARP/linux/StateStore_linux.h"
#include "fakes/CodeThrownBy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Core_SocketARP::StateFile;
using Core_SocketARP::StateStore;
using Core_SocketARP::StoreRefused;
using tw_test::CodeThrownBy;

constexpr uid_t nobody = 65534;

void Write(const fs::path& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary) << text;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::string Contents(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// `count` lines of `length` bytes and their "\n".
std::string Lines(std::size_t count, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text.append(length, 'y');
        text += '\n';
    }
    return text;
}

class StateFileTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tw-state-file.XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        root_ = name;
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
};

struct Read {
    bool found = true;
    bool truncated = false;
    std::vector<std::string> lines{};
};

struct Case {
    const char* name;
    // Lays out `place`, whose "store" is the store's directory.
    std::function<void(const fs::path& place)> make{};
    StateFile::Access access = StateFile::Access::read_write;
    std::optional<std::string> refused{}; // the reason, or else what is read:
    Read read{};
    bool needsRoot = false;
    // What follows the read, against the store and its directory.
    std::function<void(StateStore& store, const fs::path& directory)> then{};
};

TEST_F(StateFileTest, ReadsOnlyRegularFilesOfItsOwnLineByLineAndRefusesTheRest) {
    const auto file = [](const std::string& text, mode_t mode = 0600) {
        return [=](const fs::path& place) {
            fs::create_directory(place / "store");
            Write(place / "store" / "gateways", text, mode);
        };
    };
    const std::string limit(StateStore::line_limit + 1, 'x');
    const Case cases[] = {
        {"missing directory", [](const fs::path&) {}, {}, {}, {.found = false}},
        {"missing file", [](const fs::path& place) { fs::create_directory(place / "store"); },
         {}, {}, {.found = false}},
        {"CR LF lines keep their CR", file("a\r\nb\r\n\r\nlast"), {}, {},
         {.lines = {"a\r", "b\r", "\r", "last"}}},
        {"a line over the limit is cut", file(std::string(5000, 'x') + "\nshort\n" + limit + "\n"),
         {}, {}, {.lines = {limit, "short", limit}}},
        {"the text up to the limit is whole", file(Lines(4096, 1023)), {}, {},
         {.lines = std::vector<std::string>(4096, std::string(1023, 'y'))}},
        // 4194 lines of 1000 bytes and 304 bytes of the next within the limit.
        {"beyond the limit nothing is read", file(Lines(4300, 999)), {}, {},
         {.truncated = true, .lines = std::vector<std::string>(4194, std::string(999, 'y'))}},
        {"a FIFO", [](const fs::path& place) {
             fs::create_directory(place / "store");
             ASSERT_EQ(::mkfifo((place / "store" / "gateways").c_str(), 0600), 0);
         },
         {}, "is not a regular file"},
        // A well-formed file of root's behind it: only the link itself is refused.
        {"a link in the file's place", [](const fs::path& place) {
             fs::create_directory(place / "store");
             Write(place / "store" / "real", "line\n");
             fs::create_symlink("real", place / "store" / "gateways");
         },
         {}, "is a symbolic link"},
        {"a file of another user", [&](const fs::path& place) {
             file("line\n")(place);
             ASSERT_EQ(::chown((place / "store" / "gateways").c_str(), nobody, nobody), 0);
         },
         {}, "is owned by user 65534, not by root", {}, true},
        {"a file others may write", file("line\n", 0666), {}, "is writable by its group or by others"},
        {"a directory that is a link", [](const fs::path& place) {
             fs::create_directory(place / "real");
             Write(place / "real" / "gateways", "line\n");
             fs::create_directory_symlink("real", place / "store");
         },
         {}, "is in a directory that is a symbolic link"},
        {"a directory of another user", [&](const fs::path& place) {
             file("line\n")(place);
             ASSERT_EQ(::chown((place / "store").c_str(), nobody, nobody), 0);
         },
         {}, "is in a directory that is owned by user 65534, not by root", {}, true},
        {"a directory others may write", [&](const fs::path& place) {
             file("line\n")(place);
             fs::permissions(place / "store", fs::perms::group_write, fs::perm_options::add);
         },
         {}, "is in a directory that is writable by its group or by others"},
        {"set aside, then written anew", file("old\n"), {}, {}, {.lines = {"old"}}, false,
         [](StateStore& store, const fs::path& directory) {
             EXPECT_EQ(store.KeepAside(), (directory / "gateways.bad").string());
             EXPECT_FALSE(store.ReadLines([](std::string_view) {}).found);
             store.Save("new\n");
             EXPECT_EQ(Contents(directory / "gateways"), "new\n");
             EXPECT_EQ(Contents(directory / "gateways.bad"), "old\n");
             // A later one replaces it, and a link there is moved, not followed.
             fs::remove(directory / "gateways");
             fs::create_symlink("gateways.bad", directory / "gateways");
             store.KeepAside();
             EXPECT_TRUE(fs::is_symlink(directory / "gateways.bad"));
             EXPECT_FALSE(fs::exists(fs::symlink_status(directory / "gateways")));
         }},
        {"the trusted file is read only", file("trusted\n"), StateFile::Access::read_only, {},
         {.lines = {"trusted"}}, false, [](StateStore& store, const fs::path& directory) {
             EXPECT_EQ(CodeThrownBy([&] { store.Save("x\n"); }), 0u);
             EXPECT_EQ(CodeThrownBy([&] { store.KeepAside(); }), 0u);
             EXPECT_EQ(Contents(directory / "gateways"), "trusted\n");
         }},
    };
    int number = 0;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        if (test.needsRoot && ::geteuid() != 0) {
            std::printf("skipped without root: %s\n", test.name);
            continue;
        }
        const fs::path place = root_ / std::to_string(++number);
        fs::create_directory(place);
        test.make(place);
        StateFile store((place / "store").string(), "gateways", test.access);
        std::vector<std::string> lines;
        try {
            const auto result =
                store.ReadLines([&](std::string_view line) { lines.emplace_back(line); });
            EXPECT_FALSE(test.refused) << "read instead of refused";
            EXPECT_EQ(result.found, test.read.found);
            EXPECT_EQ(result.truncated, test.read.truncated);
            EXPECT_EQ(lines.size(), test.read.lines.size());
            EXPECT_TRUE(lines == test.read.lines);
        } catch (const StoreRefused& refused) {
            EXPECT_EQ(refused.reason, test.refused.value_or("(read)"));
        }
        if (test.then) {
            test.then(store, place / "store");
        }
    }
}

// The directories as systemd gives them to the service (the first of a list), else the
// program's own under /var/lib and /etc.
TEST(StoreDirectories, AreSystemdsFirstOrTheProgramsOwn) {
    ASSERT_EQ(::setenv("STATE_DIRECTORY", "/state/a:/state/b", 1), 0);
    ASSERT_EQ(::setenv("CONFIGURATION_DIRECTORY", "/configuration/a:/configuration/b", 1), 0);
    EXPECT_EQ(Core_SocketARP::SystemStateStore(L"")->Where(), "/state/a/gateways");
    auto trusted = Core_SocketARP::SystemTrustedStores(L"");
    ASSERT_EQ(trusted.size(), 1u);
    EXPECT_EQ(trusted[0]->Where(), "/configuration/a/trusted-gateways");
    ::unsetenv("STATE_DIRECTORY");
    ::unsetenv("CONFIGURATION_DIRECTORY");
    EXPECT_EQ(Core_SocketARP::SystemStateStore(L"")->Where(), "/var/lib/tarnwick-antiarp/gateways");
    EXPECT_EQ(Core_SocketARP::SystemTrustedStores(L"")[0]->Where(),
              "/etc/tarnwick-antiarp/trusted-gateways");
}

} // namespace
