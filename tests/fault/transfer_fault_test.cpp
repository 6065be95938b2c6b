// An export and the self-test whose database fails at one statement, for
// every statement of a clean run in turn: an export that does not succeed
// leaves no workbook, whole or partial, at its path, and its views are gone
// or its message says so; the self-test's scratch database is removed or
// its last step says to remove it by hand.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "datasets/FieldMap.h"
#include "support/FaultSweep.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/TransferOptions.h"
#include "transfer/Catalogue.h"
#include "transfer/ExThread.h"
#include "transfer/SelfTest.h"

namespace pos::transfer {
namespace {

namespace fs = std::filesystem;
using testing::FaultPlan;
using testing::StoreFixture;

std::set<std::string> filesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct ExportCase {
    const char* key;
    const char* file;  // its extension picks the writer
};

class ExportLeavesNoPartialWorkbook : public testing::FaultTarget {
public:
    explicit ExportLeavesNoPartialWorkbook(const ExportCase& c) : m_case(c) {}

    void prepare(decltype(db::ConnectionSettings::wrapBackend) failing) override {
        m_folder = std::make_unique<testing::TempDir>("pos-fault");
        datasets::writeDefaultFieldMaps(m_folder->dir());
        m_filesBefore = filesIn(m_folder->path());
        m_store = std::make_unique<StoreFixture>(true, "pos_demo", std::move(failing));
    }

    void run() override {
        const TransferOptions options = testing::transferOptions(
            m_case.key, m_store->database(), m_folder->file(m_case.file), m_folder->dir());
        testing::RecordingView view;
        MyExThread worker(m_store->queries(), options, view);
        worker.runExport();
        worker.finishExport();
        m_result = worker.result();
        m_messages = view.messages();
    }

    void check(const FaultPlan& plan) override {
        const std::string& message = m_result.message;
        if (plan.failAt == 0) {
            ASSERT_TRUE(m_result.succeeded()) << message;
        }
        // The view heard the outcome, then a note of the clean-up if any.
        std::string shown;
        for (const std::string& m : m_messages) {
            shown += (shown.empty() ? "" : "\n") + m;
        }
        EXPECT_EQ(shown, message);
        std::set<std::string> expected = m_filesBefore;
        if (m_result.succeeded()) {
            expected.insert(m_case.file);
        }
        EXPECT_EQ(filesIn(m_folder->path()), expected) << message;
        for (const auto& row :
             m_store->rows("select name from sqlite_master where type = 'view'")) {
            // Names in SQL are compared without letter case.
            const std::string view = lowered(row.at(0));
            EXPECT_NE(lowered(message).find(view), std::string::npos)
                << "the view " << view << " is left and the message does not say so: " << message;
        }
    }

private:
    const ExportCase& m_case;
    std::unique_ptr<testing::TempDir> m_folder;
    std::set<std::string> m_filesBefore;
    std::unique_ptr<StoreFixture> m_store;
    ExportResult m_result;
    std::vector<std::string> m_messages;
};

const ExportCase kExports[] = {
    {"Menu", "dishes.xlsx"},
    {"HallTable", "tables.xls"},
    {"MenuAnnotate", "notes.ods"},
};

void PrintTo(const ExportCase& c, std::ostream* os) {
    *os << c.key << " to " << c.file;
}

class ExportUnderFault : public ::testing::TestWithParam<ExportCase> {};

TEST_P(ExportUnderFault, EveryStatementFailingInTurnLeavesNoPartialWorkbook) {
    ExportLeavesNoPartialWorkbook target(GetParam());
    testing::sweepStatements(target, {.minStatements = 3});
}

INSTANTIATE_TEST_SUITE_P(Datasets, ExportUnderFault, ::testing::ValuesIn(kExports),
                         [](const auto& p) { return std::string(p.param.key); });

// The self-test on an empty store folder, its temporary folder in a folder
// of the test's own: whatever fails, both folders end as they began, or the
// self-test's last step failed and names the scratch database to remove.
class SelfTestCleansUp : public testing::FaultTarget {
public:
    void prepare(decltype(db::ConnectionSettings::wrapBackend) failing) override {
        m_store = std::make_unique<testing::TempDir>("pos-fault-store");
        m_tmp = std::make_unique<testing::TempDir>("pos-fault-tmp");
        m_options.settings = {};
        m_options.settings.storeDir = m_store->path().string();
        m_options.settings.wrapBackend = std::move(failing);
        m_options.arguments = chosenConnectionArguments("", "", "", "");
    }

    void run() override {
        // The self-test makes its temporary folder where TMPDIR says.
        const char* tmpdir = std::getenv("TMPDIR");
        const std::string saved = tmpdir != nullptr ? tmpdir : "";
        ::setenv("TMPDIR", m_tmp->path().c_str(), 1);
        m_result = runSelfTest(m_options);
        if (tmpdir != nullptr) {
            ::setenv("TMPDIR", saved.c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

    void check(const FaultPlan& plan) override {
        std::string steps;
        for (const SelfTestStep& step : m_result.steps) {
            steps += (step.passed ? "[ok] " : "[failed] ") + step.title + ": " + step.detail + "\n";
        }
        if (plan.failAt == 0) {
            ASSERT_TRUE(m_result.passed()) << steps;
        }
        EXPECT_TRUE(filesIn(m_tmp->path()).empty()) << steps;
        if (!filesIn(m_store->path()).empty()) {
            ASSERT_FALSE(m_result.steps.empty());
            const SelfTestStep& last = m_result.steps.back();
            EXPECT_FALSE(last.passed) << steps;
            EXPECT_NE(last.detail.find("请手工删除数据库" + m_result.database), std::string::npos)
                << steps;
        }
    }

private:
    std::unique_ptr<testing::TempDir> m_store;
    std::unique_ptr<testing::TempDir> m_tmp;
    SelfTestOptions m_options;
    SelfTestResult m_result;
};

TEST(SelfTestUnderFault, StatementsFailingInTurnLeaveNoScratchDatabase) {
    SelfTestCleansUp target;
    testing::sweepStatements(target, {.maxRuns = 6});
}

}  // namespace
}  // namespace pos::transfer
