// The start button in export mode on the real window: the path question, the
// overwrite question, the table check, and a whole export on the demo store
// with the controls held while it runs and given back after.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <fstream>
#include <functional>
#include <sstream>

#include "TransferForm.h"
#include "app/app_helpers.h"
#include "db/SqliteBackend.h"

using namespace pos::app;
using namespace pos::app::testing;
namespace fs = std::filesystem;

namespace {

class StartExport : public ::testing::Test {
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
        ASSERT_TRUE(form->exportMode());
    }
    void TearDown() override {
        // A transfer still running must finish before the window goes.
        if (form != nullptr) {
            waitUntil([&] { return form->exImButton()->isEnabled(); });
            form.reset();
        }
    }

    // Presses the start button; a file dialog that opens is cancelled.
    void press(bool* dialogOpened = nullptr) {
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

    bool waitForOutcome() {
        return waitUntil(
            [&] { return !boxes.messages.isEmpty() && form->exImButton()->isEnabled(); });
    }

    std::string defaultPath() const { return m_exe.dir() + "菜品信息.xls"; }

    TempDir m_store;
    TempDir m_exe;
    WatchingBoxes boxes;
    std::unique_ptr<TTransferForm> form;
};

}  // namespace

TEST_F(StartExport, BlankPathAnsweredNoOpensTheDialogAndStartsNothing) {
    boxes.answers = {false};
    bool dialogOpened = false;
    press(&dialogOpened);
    EXPECT_EQ(boxes.questions, QStringList{QStringLiteral("是否采用默认路径？")});
    EXPECT_TRUE(dialogOpened);
    QApplication::processEvents();
    EXPECT_TRUE(boxes.messages.isEmpty());
    EXPECT_TRUE(form->exImButton()->isEnabled());
    EXPECT_FALSE(fs::exists(defaultPath()));
}

TEST_F(StartExport, BlankPathAnsweredYesExportsToTheDefaultPath) {
    boxes.answers = {true};
    press();
    EXPECT_EQ(boxes.questions, QStringList{QStringLiteral("是否采用默认路径？")});
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(boxes.messages, QStringList{QStringLiteral("数据导出成功！")});
    EXPECT_EQ(boxes.captions, QStringList{QStringLiteral("提示")});
    // Held while the worker ran, given back after.
    EXPECT_EQ(boxes.startEnabledAtMessage, std::vector<bool>{false});
    EXPECT_EQ(boxes.datasetEnabledAtMessage, std::vector<bool>{false});
    EXPECT_TRUE(form->exIMTable()->isEnabled());
    EXPECT_TRUE(form->exData()->isEnabled());
    EXPECT_EQ(form->gauge1()->value(), 0);
    EXPECT_TRUE(form->pathEdit()->text().isEmpty());
    EXPECT_TRUE(fs::exists(defaultPath()));
    EXPECT_TRUE(fs::exists(m_exe.path() / "Menu.ini"));

    // The views are gone from the database.
    form.reset();  // joins the worker
    pos::db::Connection c(pos::db::ConnectionSettings{m_store.dir()});
    c.setConnectionText("Data Source=.;Initial Catalog=pos_demo");
    c.connect();
    pos::db::Query q(c);
    q.addLine("select count(*) as n from sqlite_master where type = 'view'");
    q.open();
    EXPECT_EQ(q.fieldAsInteger("n"), 0);
}

struct OverwriteCase {
    const char* name;
    bool blankPath;  // the path is settled by the first question
    std::deque<bool> answers;
    QStringList questions;
    bool exported;
};

class StartExportOverwrite : public StartExport,
                             public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(StartExportOverwrite, AsksBeforeReplacingAnExistingFile) {
    const OverwriteCase& c = GetParam();
    std::ofstream(defaultPath()) << "kept";
    if (!c.blankPath) {
        form->pathEdit()->setText(QString::fromStdString(defaultPath()));
    }
    boxes.answers = c.answers;
    bool dialogOpened = false;
    press(&dialogOpened);
    EXPECT_EQ(boxes.questions, c.questions);
    if (c.exported) {
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(boxes.messages, QStringList{QStringLiteral("数据导出成功！")});
        EXPECT_NE(readAll(defaultPath()), "kept");
        EXPECT_FALSE(dialogOpened);
    } else {
        EXPECT_TRUE(dialogOpened);
        QApplication::processEvents();
        EXPECT_TRUE(boxes.messages.isEmpty());
        EXPECT_EQ(readAll(defaultPath()), "kept");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StartExportOverwrite,
    ::testing::Values(
        OverwriteCase{
            "ExistingNo", false, {false}, {QStringLiteral("文件已经存在，是否覆盖？")}, false},
        OverwriteCase{
            "ExistingYes", false, {true}, {QStringLiteral("文件已经存在，是否覆盖？")}, true},
        OverwriteCase{
            "DefaultPathThenExisting",
            true,
            {true, true},
            {QStringLiteral("是否采用默认路径？"), QStringLiteral("文件已经存在，是否覆盖？")},
            true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartExport, MissingTablesAskInAYesNoBoxAndStartNothing) {
    form->exIMDataBase()->setCurrentText(QStringLiteral("bare"));
    form->pathEdit()->setText(QString::fromStdString(m_exe.dir() + "out.xls"));
    boxes.answers = {true};  // either answer just closes it
    press();
    EXPECT_EQ(boxes.questions,
              QStringList{QStringLiteral(
                  "您选择的'bare'数据库的'菜品信息'相关表不全，请重新选择数据库或设置项！")});
    QApplication::processEvents();
    EXPECT_TRUE(boxes.messages.isEmpty());
    EXPECT_TRUE(form->exImButton()->isEnabled());
    EXPECT_FALSE(fs::exists(m_exe.path() / "out.xls"));
}

TEST_F(StartExport, ADoubleClickStartsOneExport) {
    form->pathEdit()->setText(QString::fromStdString(m_exe.dir() + "once.xls"));
    // Both presses reach the button before the worker can say a word.
    form->exImButton()->click();
    EXPECT_FALSE(form->exImButton()->isEnabled());
    form->exImButton()->click();
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(boxes.messages, QStringList{QStringLiteral("数据导出成功！")});
    EXPECT_TRUE(boxes.questions.isEmpty());
}

TEST_F(StartExport, ASecondExportReplacesTheFinishedWorker) {
    for (int run = 0; run < 2; ++run) {
        form->pathEdit()->setText(
            QString::fromStdString(m_exe.dir() + "run" + std::to_string(run) + ".xls"));
        press();
        ASSERT_TRUE(waitForOutcome());
        boxes.messages.clear();
    }
    EXPECT_TRUE(fs::exists(m_exe.path() / "run0.xls"));
    EXPECT_TRUE(fs::exists(m_exe.path() / "run1.xls"));
}
