// Saves whose file writes fail part-way (the disk fills, a size limit, the
// disk reporting that a sync failed): an existing workbook that an export
// overwrites and an existing field-map file survive whole, nothing is left
// beside them, and the failure is reported.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "datasets/IniFile.h"
#include "db/Connection.h"
#include "support/FaultyBackend.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/TransferOptions.h"
#include "transfer/ExThread.h"
#include "workbook/WorkbookFormats.h"

namespace pos {
namespace {

namespace fs = std::filesystem;
using testing::limitFileSize;
using testing::readFile;
using testing::runInChild;
using testing::TempDir;

const char* const kExported = "数据导出成功！";

std::set<std::string> filesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Once the export has read its first row, the file fault begins: the
// database work before it is done, the workbook is still to be written.
class FaultingView : public testing::RecordingView {
public:
    explicit FaultingView(std::function<void()> fault) : m_fault(std::move(fault)) {}
    void setProgress(int position) override {
        if (position > 0 && m_fault) {
            std::exchange(m_fault, nullptr)();
        }
        RecordingView::setProgress(position);
    }

private:
    std::function<void()> m_fault;
};

// Exports the demo dishes to `path` in this process; 0 when the export
// reported success, 1 otherwise.
int exportDishes(const testing::StoreFixture& store, const std::string& path,
                 testing::RecordingView& view) {
    db::ConnectionSettings settings;
    settings.storeDir = store.storeDir();
    db::Connection connection(settings);
    connection.setConnectionText("Provider=SQLOLEDB.1;Initial Catalog=" + store.database() +
                                 ";Data Source=.");
    connection.connect();
    const transfer::TransferOptions options = testing::transferOptions(
        "Menu", store.database(), path, fs::path(path).parent_path().string());
    transfer::MyExThread worker(transfer::TransferSession(connection), options, view);
    worker.runExport();
    worker.finishExport();
    return worker.result().succeeded() ? 0 : 1;
}

TEST(SaveUnderFault, AnExportOverAnExistingWorkbookLeavesItWholeWhenWritesFail) {
    const testing::StoreFixture store(true, "pos_demo");
    for (const pos::workbook::WorkbookFormat& format : pos::workbook::workbookFormats()) {
        const std::string name = std::string("dishes") + format.extension;
        TempDir dir("pos-fault");
        const std::string path = dir.file(name);
        testing::RecordingView first;
        ASSERT_EQ(exportDishes(store, path, first), 0) << first.messages().at(0);
        const std::string existing = readFile(path);
        const auto files = filesIn(dir.path());
        ASSERT_GT(existing.size(), 4096u);

        std::vector<std::pair<std::string, std::function<void()>>> faults;
        for (long limit : {0L, 512L, 4096L, static_cast<long>(existing.size() / 2),
                           static_cast<long>(existing.size()) - 1}) {
            faults.emplace_back("limited to " + std::to_string(limit) + " bytes",
                                [limit] { limitFileSize(limit); });
        }
        faults.emplace_back("every fsync failing", testing::failFileSyncs);
        for (const auto& [what, fault] : faults) {
            const int code = runInChild([&] {
                FaultingView view(fault);
                const int outcome = exportDishes(store, path, view);
                // The outcome comes first; a note of views left may follow.
                return outcome == 0 || view.messages().empty() || view.messages()[0] == kExported
                           ? 0
                           : 1;
            });
            EXPECT_EQ(code, 1) << name << ", " << what;
            EXPECT_EQ(readFile(path), existing) << name << ", " << what;
            EXPECT_EQ(filesIn(dir.path()), files) << name << ", " << what;
        }
    }
}

TEST(SaveUnderFault, AFieldMapSaveLeavesTheExistingFileWholeWhenWritesFail) {
    TempDir dir("pos-fault");
    const std::string path = dir.file("Menu.ini");
    datasets::IniFile existing(path);
    existing.writeString("Field", "FieldCount", "1");
    existing.writeString("Field", "1", "ID");
    existing.save();
    const std::string before = readFile(path);
    const auto files = filesIn(dir.path());

    for (long limit : {0L, 1L, static_cast<long>(before.size())}) {
        const int code = runInChild([&] {
            datasets::IniFile profile = datasets::IniFile::load(path);
            for (int i = 1; i <= 40; ++i) {
                profile.writeString("字段" + std::to_string(i), "ShowName", "菜品名称");
            }
            limitFileSize(limit);
            try {
                profile.save();
            } catch (const datasets::IniError&) {
                return 1;
            }
            return 0;
        });
        EXPECT_EQ(code, 1) << "limited to " << limit << " bytes";
        EXPECT_EQ(readFile(path), before) << "limited to " << limit << " bytes";
        EXPECT_EQ(filesIn(dir.path()), files) << "limited to " << limit << " bytes";
    }
}

}  // namespace
}  // namespace pos
