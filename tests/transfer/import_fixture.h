// What the import tests of this folder share: a dish row, one import run as
// the window runs it, the tables it must leave as they were, and the cases
// of workbooks whose rows either arrive or are named.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TransferOptions.h"
#include "support/Workbooks.h"
#include "transfer/ImThread.h"

namespace pos::transfer::importtest {

namespace fs = std::filesystem;
using testing::RecordingView;
using testing::StoreFixture;
using testing::TempDir;
using Grid = std::vector<std::vector<std::string>>;

inline const char* const kSuccess = "数据导入成功！";

inline const std::vector<std::string> kMenuHeadings =
    pos::testing::defaultHeadings(datasets::kMenuDataset);

// A dish row in the default column order.
inline std::vector<std::string> dish(const std::string& id, const std::string& name,
                                     const std::string& category = "热菜",
                                     const std::string& price1 = "18") {
    return {id, name, "CS", category, "菜品", "份", price1, "6", "16",
            "", "",   "",   "",       "",     "",   "",     ""};
}

struct Import {
    ImportResult result;
    ImportState state;
};

// One import on its own thread, as the window starts it, waited for.
inline Import importWith(StoreFixture& store, const std::string& key, const std::string& path,
                         const std::string& fieldMapDir, RecordingView& view,
                         std::int32_t station = 1, const ImportChoices& choices = {},
                         int rowsPerStatement = 0) {
    TransferOptions options = testing::transferOptions(key, store.database(), path, fieldMapDir);
    options.importChoices = choices;
    options.stagingRowsPerStatement = rowsPerStatement;
    options.stationNumber = station;
    MyImThread worker(store.queries(), options, view);
    worker.start();
    worker.join();
    EXPECT_TRUE(worker.finished());
    return {worker.result(), worker.state()};
}

inline std::vector<std::vector<std::string>> stagingTables(StoreFixture& store) {
    return store.rows("select name from sqlite_master where name like 'TEMP%'");
}

inline bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

struct FaultCase {
    const char* name;
    const char* key;
    const char* file;     // the workbook's name, its extension its format
    Grid rows;            // the heading row, then the records
    const char* prepare;  // SQL run on the store first, or nullptr
    bool complete;        // every workbook row ends up in the database
    std::vector<std::string> inMessage;
    std::vector<std::pair<std::string, Grid>> afterwards;  // query, rows it gives
    std::vector<int> rejected = {};                        // the rows a rejects workbook holds
};

inline const std::vector<std::string> kHallHeadings{"厅名", "桌号", "桌名"};
inline const std::vector<std::string> kAnnotateHeadings{"注释类别", "注释名称"};

inline std::vector<std::string> dishWith(std::vector<std::string> row, std::size_t column,
                                         const std::string& value) {
    row[column] = value;
    return row;
}

// Imports `c`'s workbook, written by `write`, into a demo store: the rows
// that do not arrive are named, and the message and the database are as `c`
// says.
inline void expectRowsArriveOrAreNamed(
    const FaultCase& c, const std::function<void(const std::string&, const Grid&)>& write) {
    TempDir dir;
    StoreFixture store(true);
    datasets::writeDefaultFieldMaps(dir.dir());
    if (c.prepare != nullptr) {
        store.exec(c.prepare);
    }
    const std::string path = dir.dir() + c.file;
    write(path, c.rows);
    const auto before = store.pointOfSaleTables();

    RecordingView view;
    const std::string rejects = dir.dir() + "rejects.xlsx";
    const Import run =
        importWith(store, c.key, path, dir.dir(), view, 1, ImportChoices{.rejectsPath = rejects});

    ASSERT_EQ(view.messages().size(), 1u);
    const std::string text = view.messages()[0];
    EXPECT_EQ(run.result.everyRowInDatabase(), c.complete) << text;
    std::vector<int> rejected;
    for (const RejectedRow& r : run.result.rejectedRows) {
        rejected.push_back(r.row);
    }
    EXPECT_EQ(rejected, c.rejected) << text;
    EXPECT_EQ(fs::exists(rejects), !c.rejected.empty()) << text;
    EXPECT_EQ(startsWith(text, kSuccess), c.complete) << text;
    for (const std::string& part : c.inMessage) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
    }
    if (c.afterwards.empty()) {
        EXPECT_EQ(store.pointOfSaleTables(), before);
    }
    for (const auto& [query, rows] : c.afterwards) {
        EXPECT_EQ(store.rows(query), rows) << query;
    }
    EXPECT_TRUE(stagingTables(store).empty());
}

}  // namespace pos::transfer::importtest
