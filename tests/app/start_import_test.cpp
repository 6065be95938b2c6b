// The start button in import mode on the real window: the pre-checks with
// their messages (in the window's order), a whole import of new dishes on the
// demo store with the controls held while it runs and given back after, the
// window closed mid-import, the import choices of the right-click menu, and
// the rows not imported saved from the result box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>

#include "QtTransferView.h"
#include "TransferForm.h"
#include "app/app_helpers.h"
#include "db/SqliteBackend.h"
#include "support/Process.h"
#include "support/StoreFixture.h"
#include "support/Workbooks.h"

using namespace pos::app;
using namespace pos::app::testing;
namespace fs = std::filesystem;

namespace {

const char* const kMenuHeadings =
    "菜品编码|菜品名称|首字母|菜品类别|统计类别|单位1|价格1|成本1|会员价1";

// Writes rows ('|' between cells) from worksheet row 2 with xlwt.
void writeWorkbook(const std::string& path, const std::vector<std::string>& rows) {
    static const char* const kScript = R"PY(
import sys, xlwt
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("Sheet1")
for r, line in enumerate(sys.argv[2:]):
    for c, value in enumerate(line.split("|")):
        if value:
            sheet.write(1 + r, c, value)
book.save(sys.argv[1])
)PY";
    std::vector<std::string> args{path};
    args.insert(args.end(), rows.begin(), rows.end());
    ASSERT_EQ(pos::testing::runPython(kScript, args).exitCode, 0);
}

class StartImport : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        const std::string root = POS_SOURCE_DIR;
        auto script = [&](const char* name) { return readAll(fs::path(root) / "sql" / name); };
        pos::db::createStoreDatabase(m_store.dir(), "pos_demo",
                                     {script("schema_sqlite.sql"), script("demo_data.sql")});
        pos::db::createStoreDatabase(m_store.dir(), "bare", {"CREATE TABLE x (a);"});
        form = std::make_unique<TTransferForm>(storeOptions(m_store.dir(), m_exe.dir()), &boxes);
        form->setCloseAction([] {});
        boxes.form = form.get();
        form->show();
        form->exIMDataBase()->setCurrentText(QStringLiteral("pos_demo"));
        form->imData()->click();
        ASSERT_FALSE(form->exportMode());
        good = m_exe.dir() + "good.xls";
        writeWorkbook(good, {kMenuHeadings, "9001|新菜|XC|热菜|菜品|份|18|6|16",
                             "9002|新菜二|XCE|新类别|菜品|份|28|9|0"});
    }
    void TearDown() override {
        if (form != nullptr) {
            waitUntil([&] { return form->exImButton()->isEnabled(); });
            form.reset();
        }
    }

    // Presses the start button with `path` and `station`; a file dialog that
    // opens is cancelled.
    void press(const std::string& path, const QString& station, bool* dialogOpened = nullptr) {
        form->pathEdit()->setText(QString::fromStdString(path));
        form->stationEdit()->setText(station);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (dialog != nullptr && dialog->isVisible()) {
                if (dialogOpened != nullptr) {
                    *dialogOpened = true;
                }
                dialog->reject();
            }
        });
        poll.start(10);
        form->exImButtonClick();
    }

    // The first value `sql` gives on the store's database, or on the
    // database file `file`.
    std::string scalar(const std::string& sql, const std::string& file = {}) {
        return pos::testing::scalarOf(file.empty() ? m_store.dir() + "pos_demo.db" : file, sql);
    }

    TempDir m_store;
    TempDir m_exe;
    WatchingBoxes boxes;
    std::unique_ptr<TTransferForm> form;
    std::string good;
};

}  // namespace

TEST_F(StartImport, NewDishesArriveWithTheStationNumber) {
    press(good, QStringLiteral("0007"));
    ASSERT_TRUE(
        waitUntil([&] { return !boxes.messages.isEmpty() && form->exImButton()->isEnabled(); }));
    ASSERT_EQ(boxes.messages.size(), 1);
    EXPECT_EQ(boxes.messages[0], QStringLiteral("数据导入成功！\n已导入2行。"));
    EXPECT_EQ(boxes.captions, QStringList{QStringLiteral("提示")});
    EXPECT_EQ(boxes.startEnabledAtMessage, std::vector<bool>{false});
    EXPECT_TRUE(form->exIMTable()->isEnabled());
    EXPECT_TRUE(form->imData()->isEnabled());
    EXPECT_EQ(form->gauge1()->value(), 0);
    EXPECT_TRUE(form->pathEdit()->text().isEmpty());
    // The window still holds the database open, as it does until the process
    // ends at once: a copy of the database file alone holds the new rows.
    const std::string copy = m_exe.dir() + "copy.db";
    fs::copy_file(m_store.dir() + "pos_demo.db", copy);
    EXPECT_EQ(scalar("select count(*) from menu where ID in (9001, 9002)", copy), "2");
    form.reset();  // joins the worker
    EXPECT_EQ(scalar("select group_concat(StationID) from menu where ID in (9001, 9002)"), "7,7");
    EXPECT_EQ(scalar("select count(*) from Category where Name = '新类别'"), "1");
    EXPECT_EQ(scalar("select count(*) from sqlite_master where name like 'TEMP%'"), "0");
}

struct PrecheckCase {
    const char* name;
    const char* file;  // in the executable's folder; "good.xls" is a valid workbook
    const char* station;
    const char* database;
    const char* message;  // the box's text starts with it
    bool dialog;          // the open dialog follows the message
};

class StartImportPrecheck : public StartImport,
                            public ::testing::WithParamInterface<PrecheckCase> {};

TEST_P(StartImportPrecheck, RefusesWithTheWindowsMessage) {
    const PrecheckCase& c = GetParam();
    writeWorkbook(m_exe.dir() + "heading.xls", {kMenuHeadings});
    std::ofstream(m_exe.dir() + "broken.xls") << "not a workbook";
    form->exIMDataBase()->setCurrentText(QString::fromUtf8(c.database));
    bool dialogOpened = false;
    press(m_exe.dir() + c.file, QString::fromUtf8(c.station), &dialogOpened);
    QApplication::processEvents();
    ASSERT_EQ(boxes.messages.size(), 1) << c.name;
    EXPECT_TRUE(boxes.messages[0].contains(QString::fromUtf8(c.message)))
        << boxes.messages[0].toStdString();
    EXPECT_EQ(dialogOpened, c.dialog);
    EXPECT_TRUE(form->exImButton()->isEnabled());
    EXPECT_EQ(form->pathEdit()->text().toStdString(), m_exe.dir() + c.file);
    EXPECT_EQ(scalar("select count(*) from menu where ID >= 9000"), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartImportPrecheck,
    ::testing::Values(
        PrecheckCase{"FileMissing", "none.xls", "1", "pos_demo",
                     "指定路径的文件不存在，请重新选择！", true},
        PrecheckCase{"WorkbookUnreadable", "broken.xls", "1", "pos_demo", "不是工作簿（.xls、.xlsx",
                     false},
        // The workbook is opened before the station number is looked at.
        PrecheckCase{"UnreadableBeforeBlankStation", "broken.xls", "", "pos_demo",
                     "不是工作簿（.xls、.xlsx", false},
        PrecheckCase{"StationBlank", "good.xls", "  ", "pos_demo", "必须输入站点号！", false},
        PrecheckCase{"HeadingRowOnly", "heading.xls", "1", "pos_demo",
                     "您选择的文件内数据记录不全，无法导入数据！", false},
        PrecheckCase{"TablesMissing", "good.xls", "1", "bare",
                     "您选择的'bare'数据库的'菜品信息'相关表不全，请检查数据库！", false}),
    [](const auto& p) { return std::string(p.param.name); });

namespace {

// A moment of an import at which the user closes the window, and how.
struct CloseCase {
    const char* name;
    int position;     // the first gauge position at or past which the close comes
    const char* how;  // "btn3" (退出), "n2" (退出 in the menu) or "window" (its close button)
    bool twice;       // a second close follows at once
    // What stays of the import: the category the merge's first step creates.
    const char* categoryKept;
};

void PrintTo(const CloseCase& c, std::ostream* os) {
    *os << c.name;
}

class CloseDuringImport : public StartImport, public ::testing::WithParamInterface<CloseCase> {};

}  // namespace

// Closing the window mid-import stops the worker at its next row, as Ctrl-C
// does in the CLI: the pass in progress is undone, the staging tables go, no
// box waits for the user, and the window closes once the clean-up has run. A
// second close ends it at once; the worker still stops.
TEST_P(CloseDuringImport, StopsTheWorkerUndoesThePassThenCloses) {
    const CloseCase& c = GetParam();
    int closed = 0;
    form->setCloseAction([&] { ++closed; });
    std::vector<std::vector<std::string>> rows{
        pos::testing::defaultHeadings(pos::datasets::kMenuDataset, 9)};
    for (int id = 50000; id < 55000; ++id) {
        rows.push_back({std::to_string(id), "停菜" + std::to_string(id), "TC", "停止类别", "菜品",
                        "份", "18", "6", "16"});
    }
    const std::string path = m_exe.dir() + "many.xls";
    pos::testing::writeWorkbook(path, rows);

    // The gauge: the staging pass 0 to 200, the merge's four
    // steps 25 each from 200, the dishes last. The close comes on the worker's
    // thread as it reaches the moment, and the worker goes on once the window
    // has handled it.
    bool reached = false;
    QString caption;
    int closedAtRequest = -1;
    QElapsedTimer sinceRequest;
    auto& view = dynamic_cast<QtTransferView&>(form->transferView());
    view.setProgressHook([&](int position) {
        if (reached || position < c.position) {
            return;
        }
        reached = true;
        QMetaObject::invokeMethod(
            form.get(),
            [&] {
                const std::string how = c.how;
                for (int i = 0; i < (c.twice ? 2 : 1); ++i) {
                    if (how == "btn3") {
                        form->btn3()->click();
                    } else if (how == "n2") {
                        form->n2()->trigger();
                    } else {
                        form->close();
                    }
                    if (i == 0) {
                        caption = form->label4()->text();
                        closedAtRequest = closed;
                    }
                }
                sinceRequest.start();
            },
            Qt::BlockingQueuedConnection);
    });
    press(path, QStringLiteral("1"));
    ASSERT_TRUE(waitUntil([&] { return form->exImButton()->isEnabled() && closed > 0; }));
    const qint64 stopping = sinceRequest.elapsed();
    EXPECT_TRUE(reached);
    EXPECT_EQ(closedAtRequest, 0);
    EXPECT_EQ(caption.toStdString(), "正在停止…");
    EXPECT_EQ(closed, 1);
    // The worker's message went to stderr, not to a box.
    EXPECT_TRUE(boxes.messages.isEmpty()) << boxes.messages.join('\n').toStdString();
    if (!c.twice) {
        EXPECT_LT(stopping, 2000);
    }
    form.reset();  // joins the worker
    EXPECT_EQ(scalar("select count(*) from menu where ID >= 50000"), "0");
    EXPECT_EQ(scalar("select count(*) from Category where Name = '停止类别'"), c.categoryKept);
    EXPECT_EQ(scalar("select count(*) from sqlite_master where name like 'TEMP%'"), "0");
}

INSTANTIATE_TEST_SUITE_P(Moments, CloseDuringImport,
                         ::testing::Values(CloseCase{"StagingPass", 150, "btn3", false, "0"},
                                           CloseCase{"MergeDishesStep", 285, "n2", false, "1"},
                                           CloseCase{"MergeClosedTwice", 285, "window", true, "1"}),
                         [](const auto& p) { return std::string(p.param.name); });

namespace {

// The checkable entries of the right-click menu, and what an import of a
// changed price does with them.
struct ChoiceCase {
    const char* name;
    bool dryRun;          // 试运行（不改变数据库）
    bool updateExisting;  // 更新已有的行
    const char* price;    // 价格1 of dish 9001 afterwards (18 before)
    const char* box;      // the result box holds it
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.name;
}

class ImportChoicesFromMenu : public StartImport, public ::testing::WithParamInterface<ChoiceCase> {
protected:
    // The menu's entry captioned `text`.
    QAction* entry(const char* text) {
        for (QAction* a : form->popupMenu1()->actions()) {
            if (a->text() == QString::fromUtf8(text)) {
                return a;
            }
        }
        return nullptr;
    }
    // Imports `path` with station 1 and waits for its result box.
    void importAndWait(const std::string& path) {
        const qsizetype before = boxes.messages.size();
        press(path, QStringLiteral("1"));
        ASSERT_TRUE(waitUntil(
            [&] { return boxes.messages.size() > before && form->exImButton()->isEnabled(); }));
    }
};

}  // namespace

TEST_P(ImportChoicesFromMenu, RunTheImportAsChosenAndSaySo) {
    const ChoiceCase& c = GetParam();
    importAndWait(good);
    ASSERT_EQ(scalar("select Price1 from menu where ID = 9001"), "18");
    QAction* dryRun = entry("试运行（不改变数据库）");
    QAction* update = entry("更新已有的行");
    ASSERT_TRUE(dryRun != nullptr && update != nullptr);
    ASSERT_TRUE(dryRun->isCheckable() && update->isCheckable());
    if (c.dryRun) {
        dryRun->trigger();
    }
    if (c.updateExisting) {
        update->trigger();
    }
    const std::string changed = m_exe.dir() + "changed.xls";
    writeWorkbook(changed, {kMenuHeadings, "9001|新菜|XC|热菜|菜品|份|20|6|16"});
    importAndWait(changed);
    const QString box = boxes.messages.back();
    EXPECT_TRUE(box.contains(QString::fromUtf8(c.box))) << box.toStdString();
    EXPECT_EQ(box.contains(QStringLiteral("本次导入所选")), c.dryRun || c.updateExisting)
        << box.toStdString();
    form.reset();  // joins the worker
    EXPECT_EQ(scalar("select Price1 from menu where ID = 9001"), c.price);
    EXPECT_EQ(scalar("select count(*) from sqlite_master where name like 'TEMP%'"), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImportChoicesFromMenu,
    ::testing::Values(ChoiceCase{"Neither", false, false, "18", "1行已存在"},
                      ChoiceCase{"DryRun", true, false, "18", "试运行：数据库中的数据没有改变"},
                      ChoiceCase{"UpdateExisting", false, true, "20", "已更新1行"},
                      ChoiceCase{"DryRunOfAnUpdate", true, true, "18", "将更新1行"}),
    [](const auto& p) { return std::string(p.param.name); });

namespace {

// Where the rows not imported are saved from the result box.
struct RejectsCase {
    const char* name;
    bool fileThere;          // the chosen file exists already
    std::deque<bool> yesNo;  // the answers to "是否覆盖"
    bool written;            // the rows are in the file afterwards
    const char* lastBox;     // the last box holds it
};

void PrintTo(const RejectsCase& c, std::ostream* os) {
    *os << c.name;
}

class SaveRejectedRows : public StartImport, public ::testing::WithParamInterface<RejectsCase> {};

}  // namespace

TEST_P(SaveRejectedRows, FromTheResultBox) {
    const RejectsCase& c = GetParam();
    const std::string input = m_exe.dir() + "bad.xls";
    writeWorkbook(input, {kMenuHeadings, "9001|新菜|XC|热菜|菜品|份|18|6|16",
                          "9003|贵菜|GC|热菜|菜品|份|12元|6|16"});
    const std::string out = m_exe.dir() + "rows.xls";
    if (c.fileThere) {
        std::ofstream(out) << "kept";
    }
    boxes.answers = c.yesNo;
    boxes.offerAnswers = {true};  // the offer of the first box is taken
    // The first save dialog takes `out`; any later one is cancelled.
    int dialogs = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible() ||
            dialog->objectName() != QStringLiteral("RejectsFilePath")) {
            return;
        }
        if (dialogs++ == 0) {
            // What typing the name does.
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                ->setText(QString::fromStdString(out));
            static_cast<QDialog*>(dialog)->accept();
        } else {
            dialog->reject();
        }
    });
    poll.start(10);
    form->pathEdit()->setText(QString::fromStdString(input));
    form->stationEdit()->setText(QStringLiteral("1"));
    form->exImButtonClick();
    ASSERT_TRUE(
        waitUntil([&] { return form->exImButton()->isEnabled() && !boxes.offers.isEmpty(); }));
    EXPECT_EQ(boxes.offers.first(), QStringLiteral("保存未导入的行…"));
    EXPECT_EQ(boxes.questions.size(), c.fileThere ? 1 : 0);
    EXPECT_TRUE(boxes.messages.back().contains(QString::fromUtf8(c.lastBox)))
        << boxes.messages.back().toStdString();
    if (!c.written) {
        EXPECT_EQ(readAll(out), "kept");
        return;
    }
    // Read back by an independent reader: the headings, then both rows (the
    // check refused one, so neither was imported) with their reasons.
    static const char* const kRead = R"PY(
import sys, xlrd
sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)
for r in range(1, sheet.nrows):
    print(sheet.cell_value(r, 0), sheet.cell_value(r, 6), sheet.cell_value(r, 9)[:6], sep="|")
)PY";
    const auto read = pos::testing::runPython(kRead, {out});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_EQ(read.out, "菜品编码|价格1|未导入原因\n9001|18|本文件中有其\n9003|12元|“价格1”列\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaveRejectedRows,
    ::testing::Values(RejectsCase{"NewFile", false, {}, true, "行已写入"},
                      RejectsCase{"ReplaceWhenAsked", true, {true}, true, "行已写入"},
                      // No: the dialog opens again and is cancelled; the box
                      // comes back with its offer and is closed with OK.
                      RejectsCase{"KeepWhenNotAsked", true, {false}, false, "行数据无法插入"}),
    [](const auto& p) { return std::string(p.param.name); });
