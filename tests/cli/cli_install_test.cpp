// The installed programs, run by a user who may not write into their folder:
// the field maps, the store and new workbooks go to that user's XDG folders,
// and nothing is written beside the programs.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "cli/cli_run.h"

namespace fs = std::filesystem;
using namespace pos::clitest;

namespace {

std::set<std::string> filesUnder(const fs::path& root) {
    std::set<std::string> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
        files.insert(e.path().string());
    }
    return files;
}

}  // namespace

TEST(InstalledLayout, AUserWhoCannotWriteBesideTheProgramGetsItsOwnFolders) {
    const char* runuser = ::access("/usr/sbin/runuser", X_OK) == 0 ? "/usr/sbin/runuser"
                          : ::access("/sbin/runuser", X_OK) == 0   ? "/sbin/runuser"
                                                                   : nullptr;
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || runuser == nullptr || nobody == nullptr) {
        GTEST_SKIP() << "needs root, runuser and the user nobody";
    }
    const pos::testing::TempDir folder("pos-install");
    const fs::path root = folder.path();
    // The prefix belongs to root and is readable by everyone; the home
    // folder belongs to nobody.
    const fs::path prefix = root / "prefix";
    const fs::path home = root / "home";
    fs::create_directories(prefix);
    fs::create_directories(home);
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(prefix.c_str(), 0755), 0);
    ASSERT_EQ(::chown(home.c_str(), nobody->pw_uid, nobody->pw_gid), 0);

    const std::string buildDir = fs::path(POS_BIN_DIR).parent_path().string();
    ASSERT_EQ(runShell(shellQuote(POS_CMAKE_COMMAND) + " --install " + shellQuote(buildDir) +
                       " --prefix " + shellQuote(prefix.string()) + " >" +
                       shellQuote((root / "install.log").string()) + " 2>&1"),
              0)
        << slurp((root / "install.log").string());
    const std::string program = (prefix / "bin" / "pos-transfer-cli").string();
    ASSERT_TRUE(fs::exists(program));
    const std::set<std::string> installed = filesUnder(prefix);

    // As nobody, in its home, with the XDG variables at their defaults and
    // without the leak suppressions of the window's libraries: their file
    // may lie in a checkout nobody cannot read, and the CLI needs none.
    auto asNobody = [&](std::vector<std::string> args, const std::string& locale = "LC_ALL=C") {
        std::vector<std::string> all{"-u",
                                     "nobody",
                                     "--",
                                     "env",
                                     "-u",
                                     "XDG_CONFIG_HOME",
                                     "-u",
                                     "XDG_DATA_HOME",
                                     "-u",
                                     "LSAN_OPTIONS",
                                     "HOME=" + home.string(),
                                     locale,
                                     program};
        all.insert(all.end(), args.begin(), args.end());
        return runCli(all, home.string(), {}, runuser);
    };
    CliRun demo = asNobody({"demo", "pos_demo"});
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    EXPECT_TRUE(fs::is_regular_file(home / ".local/share/pos-transfer/data/pos_demo.db"));

    CliRun exported = asNobody({"export", "--database", "pos_demo", "--dataset", "Menu"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    // No documents folder is configured, so the workbook goes to the home folder.
    const fs::path workbook = home / "菜品信息.xls";
    EXPECT_TRUE(fs::is_regular_file(workbook)) << exported.out;
    EXPECT_TRUE(fs::is_regular_file(home / ".config/pos-transfer/Menu.ini"));

    CliRun imported = asNobody({"import", "--database", "pos_demo", "--dataset", "Menu", "--input",
                                workbook.string(), "--station", "1"});
    EXPECT_EQ(imported.exitCode, 0) << imported.err;

    CliRun help = asNobody({"--help"});
    EXPECT_NE(help.out.find("field maps     " + home.string() + "/.config/pos-transfer/"),
              std::string::npos)
        << help.out;

    // The installed program finds the translation of its help in share/locale.
    CliRun chinese = asNobody({"--help"}, "LC_ALL=zh_CN.UTF-8");
    EXPECT_NE(chinese.out.find("  字段对应文件   " + home.string() + "/.config/pos-transfer/"),
              std::string::npos)
        << chinese.out;

    EXPECT_EQ(filesUnder(prefix), installed);
}
