// Replacing a file keeps who may read it: a field map or workbook that the
// user made private stays private after the program saves over it, and a
// new file gets the mode the user's umask gives.
#include "common/AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TempDir.h"

namespace pos {
namespace {

unsigned modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(AtomicFile, ReplacedFileKeepsItsModeAndANewOneFollowsTheUmask) {
    testing::TempDir dir;
    for (const unsigned mode : {0600u, 0640u, 0444u}) {
        const std::string path = dir.dir() + "/kept-" + std::to_string(mode);
        testing::writeFile(path, "old");
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        writeFileAtomically(path, "new contents");
        EXPECT_EQ(modeOf(path), mode);
        EXPECT_EQ(testing::readFile(path), "new contents");
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    const std::string fresh = dir.dir() + "/fresh";
    writeFileAtomically(fresh, "x");
    EXPECT_EQ(modeOf(fresh), 0666u & ~static_cast<unsigned>(mask));
}

}  // namespace
}  // namespace pos
