// pos-transfer-cli export, run as a user runs it: messages, exit codes, the
// files it writes and the files it refuses to touch.
#include <gtest/gtest.h>

#include "cli/cli_export_fixture.h"
#include "cli/cli_run.h"
#include "db/SqliteBackend.h"
#include "transfer/StartTransfer.h"
#include "transfer/export_fixture.h"
#include "workbook/WorkbookFormats.h"

namespace fs = std::filesystem;
using namespace pos::exporttest;
using pos::clitest::CliExport;
using pos::clitest::CliRun;
using pos::clitest::kCliProgram;

// A file that is not a field map (no [Field] section, so one entry without
// a column) is refused before anything is written, saying what to mend.
TEST_F(CliExport, AFieldMapEntryWithoutAColumnIsRefused) {
    const std::string map = m_tmp.dir() + "maps/Menu.ini";
    fs::create_directories(m_tmp.path() / "maps");
    writeText(map, "[Other]\r\nx=1\r\n");
    const std::string out = m_tmp.dir() + "a.xls";
    CliRun r = run({"export", "--database", "pos_demo", "--dataset", "Menu", "--output", out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("数据导出失败：字段对应文件“" + map +
                              "”的[Field]节中没有第1项（1=列名）。可以导出的列有：ID、Name、",
                          0),
              0u)
        << r.err;
    EXPECT_FALSE(fs::exists(out));
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;  // after "export"; OUT stands for the output path
    int exitCode;
    std::string errPrefix;
};

class CliExportRefusal : public CliExport, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(CliExportRefusal, SaysWhyOnStderrAndWritesNoWorkbook) {
    const RefusalCase& c = GetParam();
    const std::string out = m_tmp.dir() + "sub/out.xls";
    std::vector<std::string> args{"export"};
    for (const std::string& a : c.args) {
        args.push_back(a == "OUT" ? out : a);
    }
    CliRun r = run(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.rfind(c.errPrefix, 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, CliExportRefusal,
    ::testing::Values(
        RefusalCase{"TablesMissing",
                    {"--database", "empty", "--dataset", "MenuAnnotate", "--output", "OUT"},
                    1,
                    pos::transfer::exportTablesMissingMessage("empty", "菜品注释") + "\n"},
        RefusalCase{"DatabaseMissing",
                    {"--database", "nowhere", "--dataset", "Menu", "--output", "OUT"},
                    1,
                    ""},
        RefusalCase{"FolderMissing",
                    {"--database", "pos_demo", "--dataset", "Menu", "--output", "OUT"},
                    1,
                    "数据导出失败："},
        RefusalCase{"UnknownDataset",
                    {"--database", "pos_demo", "--dataset", "Dishes", "--output", "OUT"},
                    2,
                    "没有名为“Dishes”的数据集"},
        RefusalCase{"DatabaseNotGiven", {"--dataset", "Menu", "--output", "OUT"}, 2, ""}),
    [](const auto& p) { return std::string(p.param.name); });
