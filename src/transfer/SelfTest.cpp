#include "transfer/SelfTest.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <random>
#include <system_error>

#include "common/Cleanup.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "db/EmbeddedSql.h"
#include "db/SqliteBackend.h"
#include "transfer/ExThread.h"
#include "transfer/ImThread.h"
#include "transfer/ImportPrecheck.h"
#include "transfer/TransferContext.h"
#include "workbook/WorkbookFormats.h"

namespace pos::transfer {

namespace {

namespace fs = std::filesystem;

using Rows = std::vector<std::vector<std::string>>;

struct Snapshot {
    std::vector<std::string> columns;  // lower case
    Rows rows;
};

double number(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

// Whether a column of the dataset takes the member-price rule.
bool hasMemberPrice(const datasets::Dataset& dataset) {
    return std::any_of(dataset.columns.begin(), dataset.columns.end(),
                       [](const datasets::DatasetColumn& c) {
                           return c.rule == datasets::ValueRule::MemberPrice;
                       });
}

// The rows an import of `original` stores: with the member-price rule, a dish
// without any member price is sold to members at its first non-zero price
// (the merge's rule), so its VPrice1 comes back as that price.
Rows expectedAfterImport(const datasets::Dataset& dataset, const Snapshot& original) {
    Rows rows = original.rows;
    if (!hasMemberPrice(dataset)) {
        return rows;
    }
    auto column = [&](const char* name) {
        const auto it = std::find(original.columns.begin(), original.columns.end(), name);
        if (it == original.columns.end()) {
            throw std::runtime_error(std::string("菜品信息的视图中没有") + name + "列。");
        }
        return static_cast<std::size_t>(it - original.columns.begin());
    };
    const std::size_t vprice[] = {column("vprice1"), column("vprice2"), column("vprice3")};
    const std::size_t price[] = {column("price1"), column("price2"), column("price3")};
    for (std::vector<std::string>& row : rows) {
        if (number(row[vprice[0]]) != 0 || number(row[vprice[1]]) != 0 ||
            number(row[vprice[2]]) != 0) {
            continue;
        }
        for (std::size_t p : price) {
            if (number(row[p]) != 0) {
                row[vprice[0]] = row[p];
                break;
            }
        }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// A step that failed: its detail says what went wrong.
class StepFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user asked the self-test to stop.
class StopRequested : public std::exception {};

// A view of the workers' TransferView that keeps the closing message and
// passes the stop question on.
class SelfTestView : public TransferView {
public:
    explicit SelfTestView(const StopToken* stop) : TransferView(stop) {}
    void setChoiceControlsEnabled(bool) override {}
    void setProgress(int) override {}
    void clearPath() override {}
    void showMessage(const std::string& text) override {
        m_messages += (m_messages.empty() ? "" : "\n") + text;
    }
    const std::string& messages() const { return m_messages; }

private:
    std::string m_messages;
};

std::string rowText(const std::vector<std::string>& row) {
    std::string text;
    for (std::size_t i = 0; i < row.size(); ++i) {
        text += (i == 0 ? "" : " | ") + row[i];
    }
    return "「" + text + "」";
}

class SelfTestRun {
public:
    SelfTestRun(const SelfTestOptions& options, SelfTestResult& result)
        : m_options(options),
          m_result(result),
          m_connection(options.settings),
          m_connQuery(m_connection),
          m_sqlQuery(m_connection) {}

    void run() {
        try {
            steps();
        } catch (const StopRequested&) {
            m_result.stopped = true;
        }
        cleanUp();
    }

private:
    template <typename Body>
    void step(const std::string& title, Body body) {
        if (m_options.stop != nullptr && m_options.stop->requested()) {
            throw StopRequested();
        }
        SelfTestStep outcome;
        outcome.title = title;
        const auto start = std::chrono::steady_clock::now();
        bool failed = false;
        try {
            outcome.detail = body();
            outcome.passed = true;
        } catch (const std::exception& e) {
            outcome.detail = e.what();
            failed = true;
        }
        outcome.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        m_result.steps.push_back(outcome);
        if (m_options.stepFinished) {
            m_options.stepFinished(outcome);
        }
        if (m_options.stop != nullptr && m_options.stop->requested()) {
            throw StopRequested();
        }
        if (failed) {
            throw StepFailed(outcome.detail);
        }
    }

    void steps() {
        try {
            stepsThatMayFail();
        } catch (const StepFailed&) {
            // Reported with its step; the clean-up follows.
        }
    }

    void stepsThatMayFail() {
        step("连接数据库", [&] {
            const std::vector<std::string> names =
                connectAndListDatabases(m_connection, m_connQuery, m_options.arguments);
            m_store = m_connection.dialect().kind() == db::ServerKind::EmbeddedStore;
            return "共有" + std::to_string(names.size()) + "个用户数据库";
        });
        step("建立临时数据库" + m_result.database, [&] { return createDatabase(); });
        step("核对演示数据中的中文", [&] { return checkChineseNames(); });
        step("准备临时文件夹", [&] {
            prepareFolder();
            return m_folder;
        });
        for (const datasets::Dataset& dataset : datasets::kDatasets) {
            const std::string key = dataset.key;
            const std::string text = dataset.displayText;
            Rows expected;
            step("读取" + text + "的演示数据", [&] {
                const Snapshot original = snapshot(dataset);
                if (original.rows.empty()) {
                    throw std::runtime_error("演示数据中没有" + text + "的记录，无法比较。");
                }
                expected = expectedAfterImport(dataset, original);
                return std::to_string(original.rows.size()) + "条记录";
            });
            for (const workbook::WorkbookFormat& format : workbook::workbookFormats()) {
                const std::string extension = format.extension;
                const std::string path = m_folder + "/" + key + extension;
                step("把" + text + "导出到" + extension, [&] { return exportTo(dataset, path); });
                step("清空" + text + "的记录后导入" + extension, [&] {
                    emptyTables({dataset.exportedTable});
                    return importFrom(dataset, path);
                });
                step("核对" + text + "（" + extension + "）的每条记录",
                     [&] { return compare(expected, snapshot(dataset).rows); });
            }
            // The merge must create every reference row again, under the
            // names the workbook spells.
            const std::string path = m_folder + "/" + key + ".xlsx";
            step(std::string("清空") + text + "及" + dataset.referenceRows + "后导入.xlsx", [&] {
                emptyTables({dataset.exportedTable});
                std::vector<const char*> references;
                for (const datasets::ReferencePass& pass : dataset.referencePasses) {
                    references.push_back(pass.numberedTable);
                }
                emptyTables(references);
                return importFrom(dataset, path);
            });
            step(std::string("核对新建的") + dataset.referenceRows + "和" + text + "的每条记录",
                 [&] {
                     std::string detail = compare(expected, snapshot(dataset).rows);
                     checkStoredNames(dataset);
                     return detail;
                 });
        }
    }

    std::string createDatabase() {
        if (m_store) {
            const std::string dir = db::storeDirectory(m_options.settings);
            db::createStoreDemoDatabase(dir, m_result.database);
            m_created = true;
            return "在数据库文件夹" + dir + "中，载入了表结构和演示数据";
        }
        if (!isValidCollationName(m_options.collation)) {
            throw std::runtime_error("排序规则“" + m_options.collation +
                                     "”不是有效的名称，请只用字母、数字和下划线。");
        }
        executeStatement(m_connQuery, "CREATE DATABASE [" + m_result.database + "] COLLATE " +
                                          m_options.collation);
        m_created = true;
        executePreamble(m_connQuery, m_result.database);
        executeStatement(m_connQuery, std::string(db::embeddedSql("schema_sqlserver.sql")));
        executePreamble(m_connQuery, m_result.database);
        executeStatement(m_connQuery, std::string(db::embeddedSql("demo_data.sql")));
        return "排序规则" + m_options.collation + "，载入了表结构和演示数据";
    }

    // A database whose collation has no Chinese characters stores the demo
    // data's names as "??"; the round trip would then compare question marks.
    std::string checkChineseNames() {
        executePreamble(m_sqlQuery, m_result.database);
        openStatement(m_sqlQuery, " select Name from Category where ID = 1");
        const std::string name = m_sqlQuery.eof() ? std::string() : m_sqlQuery.fieldAsText("Name");
        m_sqlQuery.close();
        if (name != "凉菜") {
            throw std::runtime_error("演示数据中的菜品类别“凉菜”读回来是“" + name +
                                     "”：数据库的排序规则不能保存中文。请用中文的排序规则（如" +
                                     std::string(kSelfTestCollation) +
                                     "）建立数据库，"
                                     "或用--collation选择另一个排序规则。");
        }
        return "菜品类别“" + name + "”完好";
    }

    void prepareFolder() {
        std::string pattern = (fs::temp_directory_path() / "pos-selftest-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("无法建立临时文件夹，请检查TMPDIR所指的文件夹能否写入。");
        }
        m_folder = pattern;
        datasets::writeDefaultFieldMaps(m_folder + "/");
    }

    TransferOptions transferOptions(const datasets::Dataset& dataset, const std::string& path) {
        return {.dataset = dataset,
                .database = m_result.database,
                .path = path,
                .fieldMapDir = m_folder + "/"};
    }

    std::string exportTo(const datasets::Dataset& dataset, const std::string& path) {
        SelfTestView view(m_options.stop);
        MyExThread worker(TransferSession(m_connection), transferOptions(dataset, path), view);
        worker.runExport();
        worker.finishExport();
        if (!worker.result().succeeded() || !fs::is_regular_file(path)) {
            throw std::runtime_error(view.messages());
        }
        return path;
    }

    std::string importFrom(const datasets::Dataset& dataset, const std::string& path) {
        TransferOptions options = transferOptions(dataset, path);
        const ImportPrecheck check = precheckImport(m_connQuery, options, "1");
        if (check.status != ImportPrecheckStatus::Ready) {
            throw std::runtime_error(check.message);
        }
        options.stationNumber = check.stationNumber;
        options.checkedWorkbook = check.workbook;
        SelfTestView view(m_options.stop);
        MyImThread worker(TransferSession(m_connection), options, view);
        worker.run();
        const ImportResult& result = worker.result();
        if (!result.everyRowInDatabase() || !formatMergeWarnings(result.merge).empty()) {
            throw std::runtime_error(view.messages());
        }
        return "导入" + std::to_string(result.merge.inserted) + "条记录";
    }

    void emptyTables(const std::vector<const char*>& tables) {
        for (const char* table : tables) {
            executePreamble(m_sqlQuery, m_result.database);
            executeStatement(m_sqlQuery, std::string("delete from ") + table);
        }
    }

    void dropViews(const datasets::Dataset& dataset) {
        dropExportViews(m_sqlQuery, m_result.database, dataset);
    }

    // The dataset's rows as its export shows them, each field as text (an
    // empty cell and NULL alike), sorted.
    Snapshot snapshot(const datasets::Dataset& dataset) {
        dropViews(dataset);
        executePreamble(m_sqlQuery, m_result.database);
        for (const std::string& statement : createViewStatements(dataset)) {
            executeStatement(m_sqlQuery, statement);
        }
        Snapshot snapshot;
        try {
            openStatement(m_sqlQuery, std::string(" select * from \"VS") + dataset.key + "\"");
            for (int i = 0; i < m_sqlQuery.fieldCount(); ++i) {
                snapshot.columns.push_back(asciiLower(m_sqlQuery.fieldName(i)));
            }
            for (; !m_sqlQuery.eof(); m_sqlQuery.next()) {
                std::vector<std::string> row;
                for (int i = 0; i < m_sqlQuery.fieldCount(); ++i) {
                    row.push_back(m_sqlQuery.fieldValue(i).toText());
                }
                snapshot.rows.push_back(std::move(row));
            }
            m_sqlQuery.close();
        } catch (...) {
            dropViews(dataset);
            throw;
        }
        dropViews(dataset);
        std::sort(snapshot.rows.begin(), snapshot.rows.end());
        return snapshot;
    }

    static std::string compare(const Rows& before, const Rows& after) {
        if (before == after) {
            return std::to_string(after.size()) + "条记录与原来的相同";
        }
        throw std::runtime_error(differenceText(before, after));
    }

    static std::string differenceText(const Rows& before, const Rows& after) {
        std::string text = "导入后的记录与应有的不同：应有" + std::to_string(before.size()) +
                           "条，现有" + std::to_string(after.size()) + "条。";
        const auto [b, a] = std::mismatch(before.begin(), before.end(), after.begin(), after.end());
        if (b != before.end()) {
            text += "应有的" + rowText(*b) + "没有导入";
            if (a != after.end()) {
                text += "，同一位置现在是" + rowText(*a);
            }
            text += "。";
        } else if (a != after.end()) {
            text += "多出了" + rowText(*a) + "。";
        }
        return text;
    }

    // Every name that the exported table stores as text (a dish's units) has
    // its reference row again; the names stored as identifiers are checked by
    // the views, which join on them.
    void checkStoredNames(const datasets::Dataset& dataset) {
        std::vector<std::pair<const datasets::ReferencePass*, const char*>> checked;
        for (const datasets::ReferencePass& pass : dataset.referencePasses) {
            for (const char* staged : pass.stagedColumns) {
                const datasets::DatasetColumn* column = datasets::findColumn(dataset, staged);
                if (column != nullptr && column->kind == datasets::ColumnKind::Text) {
                    checked.emplace_back(&pass, column->sourceColumn);
                }
            }
        }
        if (checked.empty()) {
            return;
        }
        executePreamble(m_sqlQuery, m_result.database);
        for (const datasets::ReferencePass& pass : dataset.referencePasses) {
            std::string missing;
            for (const auto& [of, column] : checked) {
                if (of == &pass) {
                    missing += namesWithoutReference(dataset.exportedTable, column,
                                                     pass.numberedTable, pass.nameColumn);
                }
            }
            if (!missing.empty()) {
                throw std::runtime_error(std::string("导入没有为这些") + pass.subject +
                                         "建立记录：" + missing);
            }
        }
    }

    // The names in `column` of `table`, each in quotes, for which `reference`
    // has no row of that `name`.
    std::string namesWithoutReference(const std::string& table, const std::string& column,
                                      const std::string& reference, const std::string& name) {
        openStatement(m_sqlQuery, " select distinct " + column + " as name from " + table +
                                      " where " + column + " is not null and " + column +
                                      " <> '' and not exists (select * from " + reference +
                                      " where " + reference + "." + name + " = " + table + "." +
                                      column + ")");
        std::string missing;
        for (; !m_sqlQuery.eof(); m_sqlQuery.next()) {
            missing += "“" + m_sqlQuery.fieldAsText("name") + "”";
        }
        m_sqlQuery.close();
        return missing;
    }

    void cleanUp() {
        if (m_created) {
            // Run even after a stop: a second Ctrl-C is the way to end the
            // program at once.
            SelfTestStep outcome;
            outcome.title = "删除临时数据库" + m_result.database;
            const auto start = std::chrono::steady_clock::now();
            try {
                dropDatabase();
                outcome.passed = true;
                outcome.detail = "已删除";
            } catch (const std::exception& e) {
                outcome.detail =
                    std::string(e.what()) + "\n请手工删除数据库" + m_result.database + "。";
            }
            outcome.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            m_result.steps.push_back(outcome);
            if (m_options.stepFinished) {
                m_options.stepFinished(outcome);
            }
        }
        if (!m_folder.empty()) {
            std::error_code ignored;
            fs::remove_all(m_folder, ignored);
        }
    }

    void dropDatabase() {
        for (db::Query* query : {&m_connQuery, &m_sqlQuery}) {
            query->close();
        }
        if (m_store) {
            // No file of the store stays open.
            m_connection.disconnect();
            db::dropStoreDatabase(db::storeDirectory(m_options.settings), m_result.database);
            return;
        }
        if (!m_connection.connected()) {
            connectAndListDatabases(m_connection, m_connQuery, m_options.arguments);
        }
        if (m_connection.inTransaction()) {
            m_connection.rollback();
        }
        // Away from the database, and any other session of it closed, so
        // that the drop is not refused for a database in use.
        executeStatement(m_connQuery, " use master ");
        executeStatement(m_connQuery, "ALTER DATABASE [" + m_result.database +
                                          "] SET SINGLE_USER WITH ROLLBACK IMMEDIATE");
        executeStatement(m_connQuery, "DROP DATABASE [" + m_result.database + "]");
    }

    const SelfTestOptions& m_options;
    SelfTestResult& m_result;
    db::Connection m_connection;
    // The self-test's own statements (the scratch database, the checks and
    // snapshots); every transfer has a session of its own on the connection.
    db::Query m_connQuery;
    db::Query m_sqlQuery;
    bool m_store = false;
    bool m_created = false;
    std::string m_folder;
};

}  // namespace

bool SelfTestResult::passed() const {
    return !stopped && !steps.empty() &&
           std::all_of(steps.begin(), steps.end(), [](const SelfTestStep& s) { return s.passed; });
}

std::string selfTestDatabaseName() {
    std::random_device device;
    std::uniform_int_distribution<int> digit(0, 15);
    std::string name = kSelfTestDatabasePrefix;
    for (int i = 0; i < 12; ++i) {
        name += "0123456789abcdef"[digit(device)];
    }
    return name;
}

bool isValidCollationName(const std::string& name) {
    return !name.empty() && name.size() <= 128 &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_';
           });
}

SelfTestResult runSelfTest(const SelfTestOptions& options) {
    SelfTestResult result;
    result.database = selfTestDatabaseName();
    try {
        SelfTestRun(options, result).run();
    } catch (const std::exception& e) {
        result.steps.push_back({"自检", false, e.what(), 0});
    }
    return result;
}

}  // namespace pos::transfer
