// The fixture of the export tests of this folder: a store folder holding the
// demo database and an empty one, and the program run on it as a user runs it.
#pragma once

#include <gtest/gtest.h>

#include "cli/cli_run.h"
#include "db/SqliteBackend.h"
#include "transfer/export_fixture.h"

namespace pos::clitest {

using exporttest::demoScript;
using exporttest::schemaScript;
using testing::TempDir;

class CliExport : public ::testing::Test {
protected:
    void SetUp() override {
        pos::db::createStoreDatabase(m_tmp.dir() + "store", "pos_demo",
                                     {schemaScript(), demoScript()});
        pos::db::createStoreDatabase(m_tmp.dir() + "store", "empty", {"CREATE TABLE x (a);"});
    }
    CliRun run(std::vector<std::string> args) {
        std::vector<std::string> all{"--store", m_tmp.dir() + "store", "--field-maps",
                                     m_tmp.dir() + "maps"};
        all.insert(all.end(), args.begin(), args.end());
        return pos::clitest::runCli(all, m_tmp.dir());
    }
    TempDir m_tmp;
};

}  // namespace pos::clitest
