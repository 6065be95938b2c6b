// The fixture of the import tests of this folder: a store made by "demo",
// workbooks written by the program's own spreadsheet session, the program
// run on them as a user runs it, and what the tests read back from the store.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "datasets/Datasets.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/Workbooks.h"

namespace pos::clitest {

using testing::TempStore;

class CliImport : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cli({"demo", "pos_demo"}).exitCode, 0); }

    CliRun cli(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--store", store.dir() + "/store", "--field-maps", work.dir() + "/maps"});
        return runCli(args, work.dir());
    }

    CliRun import(const std::string& dataset, const std::string& input,
                  const std::string& station = "1", const std::string& database = "pos_demo") {
        return cli({"import", "--database", database, "--dataset", dataset, "--station", station,
                    "--input", input});
    }

    // 5000 new dishes, codes 50000 to 54999, in many.xls.
    std::string manyDishes();

    // Writes `rows` with the program's own spreadsheet session from
    // worksheet row `firstRow` (1-based); every value is a text cell, an
    // empty one is left out.
    std::string workbook(const std::string& name, const std::vector<std::vector<std::string>>& rows,
                         int firstRow = 2) {
        const std::string path = work.dir() + "/" + name;
        testing::writeWorkbook(path, rows, firstRow);
        return path;
    }

    std::string scalar(const std::string& sql) {
        return testing::scalarOf(store.dir() + "/store/pos_demo.db", sql);
    }

    TempStore store;
    TempStore work;
};

inline const std::vector<std::string> kMenuHeadings =
    testing::defaultHeadings(datasets::kMenuDataset);

inline std::vector<std::string> dish(const std::string& id, const std::string& price1 = "18") {
    return {id, "新菜" + id, "XC", "热菜", "菜品", "份", price1, "6", "16"};
}

inline std::string CliImport::manyDishes() {
    std::vector<std::vector<std::string>> rows{kMenuHeadings};
    for (int i = 0; i < 5000; ++i) {
        rows.push_back(dish(std::to_string(50000 + i)));
    }
    return workbook("many.xls", rows);
}

// Every table's row count, so that a round trip shows nothing added: no row
// duplicated and no reference row (category, unit, statistics class, hall,
// annotation type) created.
inline const char* const kCounts =
    "select (select count(*) from menu) || '/' || (select count(*) from tables) || '/' || "
    "(select count(*) from Annotate) || '/' || (select count(*) from Category) || '/' || "
    "(select count(*) from Unit) || '/' || (select count(*) from STCA) || '/' || "
    "(select count(*) from Hall) || '/' || (select count(*) from AnnotateType)";

// A dish the database refuses, through a trigger as a locked record would.
inline void refuseDish(const std::string& database, const std::string& id,
                       const std::string& event = "insert") {
    sqlite3* db = nullptr;
    sqlite3_open(database.c_str(), &db);
    const std::string trigger = "create trigger dish_" + id + "_locked before " + event +
                                " on menu when new.ID = " + id +
                                " begin select raise(abort, 'dish " + id + " is locked'); end";
    sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

}  // namespace pos::clitest
