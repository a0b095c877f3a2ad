#include "base/Process.h"

#include "base/Files.h"
#include "base/Text.h"

#include "TestSupport.h"

#include <csignal>
#include <filesystem>
#include <fstream>

namespace
{

namespace fs = std::filesystem;

struct SplitCase {
    const char* text;
    std::vector<std::string> args;
};

TEST(Programs, SplitCommandLineFollowsWindowsQuoting)
{
    const SplitCase cases[] = {
        {"a b  c", {"a", "b", "c"}},
        {"\"a b\" c", {"a b", "c"}},
        {"-o \"my book.html\"", {"-o", "my book.html"}},
        {"a\\\\b", {"a\\\\b"}},
        {"\"a\\\"b\"", {"a\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"\"\"", {""}},
        {"", {}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(SplitCommandLine(c.text), c.args) << c.text;
}

struct ExitCase {
    const char* label;
    std::string program;
    std::vector<std::string> arguments;
    bool started;
    int status;
    int signal;
};

// Makes a folder with a program "sh" in it the working folder while it lives.
class InFolderWithSh
{
  public:
    explicit InFolderWithSh(const ScratchDir& folder) : m_Before(fs::current_path())
    {
        std::ofstream(folder / "sh") << "#!/bin/sh\nexit 0\n";
        fs::permissions(folder / "sh", fs::perms::owner_all);
        fs::current_path(folder.Path());
    }
    ~InFolderWithSh() { fs::current_path(m_Before); }

  private:
    fs::path m_Before;
};

TEST(Programs, RunProgramReportsHowTheProgramEnded)
{
    ScratchDir scratch;
    const std::string plain = scratch / "not-executable";
    std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
    InFolderWithSh inScratch(scratch);
    const ExitCase cases[] = {
        {"exit 0", "/bin/sh", {"-c", "exit 0"}, true, 0, 0},
        {"exit 3", "/bin/sh", {"-c", "exit 3"}, true, 3, 0},
        {"ended by a signal", "/bin/sh", {"-c", "kill -TERM $$"}, true, -1, SIGTERM},
        {"missing program", scratch / "no-such-program", {}, false, -1, 0},
        {"file that is not executable", plain, {}, false, -1, 0},
        // Neither looks on PATH nor takes the "sh" in the working folder.
        {"bare name", "sh", {}, false, -1, 0},
        {"relative path", "./sh", {}, false, -1, 0},
        {"empty name", "", {}, false, -1, 0},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.label);
        const ProgramExit exit = RunProgram(c.program, c.arguments);
        EXPECT_EQ(exit.started, c.started);
        EXPECT_EQ(exit.status, c.status);
        EXPECT_EQ(exit.signal, c.signal);
        EXPECT_EQ(exit.Succeeded(), c.started && c.status == 0);
    }
}

TEST(Programs, RunProgramPassesEveryArgumentVerbatim)
{
    ScratchDir scratch;
    const std::string record = scratch / "args";
    const std::vector<std::string> arguments = {
        "with blank",    "\"double\" quotes", "'single'", "$(touch " + scratch / "ran" + ")",
        "`touch x`",     "-leading-dash",     "--",       "",
        "back\\slash\\", "tab\there",         "*",        "a;b|c>d",
        "new\nline"};
    std::vector<std::string> all = {"-c", "for a; do printf '%s\\0' \"$a\"; done > \"$0\"", record};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ASSERT_TRUE(RunProgram("/bin/sh", all).Succeeded());

    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(record, bytes));
    std::vector<std::string> arrived;
    for (size_t from = 0, zero; (zero = bytes.find('\0', from)) != std::string::npos; from = zero + 1)
        arrived.push_back(bytes.substr(from, zero - from));
    EXPECT_EQ(arrived, arguments);
    EXPECT_FALSE(fs::exists(scratch / "ran")) << "an argument went through a shell";
}

struct HelperCase {
    const char* label;
    std::vector<std::string> files; // made below the scratch folder; a trailing "/" makes a folder
    const char* executableDirectory;
    std::string expected; // below the scratch folder
};

TEST(Programs, HelpersComeOnlyFromTheProgramsOwnFolder)
{
    const std::string installed = std::string("bin/") + TARVO_HELPERS_FROM_BIN;
    const HelperCase cases[] = {
        {"build tree: beside the executable", {"build/cov"}, "build/", "build/cov"},
        {"build tree without the helper: still only beside it", {"build/"}, "build/", "build/cov"},
        {"installed: the helper folder", {"bin/cov", installed + "cov"}, "bin/", installed + "cov"},
        {"installed: a program of the same name beside it is not ours",
         {"bin/cov", installed},
         "bin/",
         installed + "cov"},
        {"folder given without its separator", {"build/cov"}, "build", "build/cov"},
    };
    for (const HelperCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        for (const std::string& file : c.files) {
            fs::create_directories(fs::path(scratch / file).parent_path());
            if (!EndsWith(file, "/")) std::ofstream(scratch / file) << "#!/bin/sh\n";
        }
        EXPECT_EQ(fs::path(HelperPathIn(scratch / c.executableDirectory, "cov")).lexically_normal(),
                  fs::path(scratch / c.expected).lexically_normal());
    }
    // A folder that is not absolute would be looked up from the working folder.
    EXPECT_EQ(HelperPathIn("", "cov"), "");
    EXPECT_EQ(HelperPathIn("build/", "cov"), "");
}

} // namespace
