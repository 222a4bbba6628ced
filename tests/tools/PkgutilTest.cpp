// pkgutil as a program on a database of the test's own (--volume).
#include "tests/support/Subprocess.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using kexttest::contains;

std::string receipt(const std::string& id, const std::vector<std::string>& files)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>PackageIdentifier</key><string>" + id + "</string><key>Files</key><array>";
    for (const std::string& f : files)
        text += "<string>" + f + "</string>";
    return text + "</array></dict></plist>\n";
}

class Pkgutil : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/tarsel-pkgutil-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_volume = folder;
        const fs::path db = m_volume / "var/db/receipts";
        fs::create_directories(db);
        std::ofstream(db / "com.example.b.plist") << receipt("com.example.b", {"Library/B", "Library/B/file"});
        std::ofstream(db / "com.example.b.bom") << "bill\n";
        std::ofstream(db / "com.example.a.plist") << receipt("com.example.a", {"Applications/A.app"});
        std::ofstream(db / "com.example.bad.plist") << receipt("com.example.bad", {"/etc/passwd"});
        std::ofstream(db / "notes.txt") << "not a receipt\n";
    }
    void TearDown() override { fs::remove_all(m_volume); }

    kexttest::ProgramRun run(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"--volume", m_volume.string()});
        return kexttest::runProgram(TARSEL_PKGUTIL, args);
    }

    fs::path m_volume;
};

TEST_F(Pkgutil, ListsReadsAndForgetsAsTheMacToolDoes)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        const char* err; // part of standard error
    };
    const std::string v = m_volume.string();
    const std::vector<Case> cases = {
        {{"--pkgs"}, 0, "com.example.a\ncom.example.b\ncom.example.bad\n", ""},
        {{"--files", "com.example.b"}, 0, "Library/B\nLibrary/B/file\n", ""},
        {{"--files", "com.example.none"}, 1, "", "No receipt for 'com.example.none' found at '"},
        // A receipt that names a path outside the volume is not read.
        {{"--files", "com.example.bad"}, 1, "", "the receipt of 'com.example.bad' cannot be read"},
        {{"--forget", "../../../etc/passwd"}, 1, "", "No receipt for '../../../etc/passwd'"},
        {{"-f", "--forget", "com.example.b"}, 0, "Forgot package 'com.example.b' on '" + v + "'.\n", ""},
        {{"-f", "--forget", "com.example.b"}, 1, "", "No receipt for 'com.example.b'"},
        {{"--pkgs"}, 0, "com.example.a\ncom.example.bad\n", ""},
        {{}, 1, "", "pkgutil: no command"},
        // A volume without a database has no packages (the last --volume counts).
        {{"--volume", v + "/nowhere", "--pkgs"}, 0, "", ""},
    };
    for (const Case& c : cases) {
        const kexttest::ProgramRun r = run(c.args);
        const std::string what = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_TRUE(contains(r.err, c.err)) << what << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(m_volume / "var/db/receipts/com.example.b.bom"));
    EXPECT_TRUE(fs::exists(m_volume / "var/db/receipts/notes.txt"));
}

} // namespace
