// The main window as real widgets: the control table, start-up on a store and
// on an unreachable server, the mode switch and the path, the workbook
// dialogs, the station field, the About box and closing.
#include "TransferForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTimer>
#include <fstream>
#include <iostream>
#include <sstream>

#include "TransferApplication.h"
#include "app/app_helpers.h"
#include "transfer/StartTransfer.h"

using namespace pos::app;
using namespace pos::app::testing;

namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApplication(); }

    // A window on a store with `databases`, shown (so start-up has run).
    std::unique_ptr<TTransferForm> shownWindow(std::initializer_list<const char*> databases) {
        for (const char* name : databases) {
            createDatabase(m_store.dir(), name);
        }
        auto form =
            std::make_unique<TTransferForm>(storeOptions(m_store.dir(), m_exe.dir()), &m_boxes);
        form->setCloseAction([this] { ++m_closed; });
        form->show();
        return form;
    }

    TempDir m_store;
    TempDir m_exe;
    RecordingBoxes m_boxes;
    int m_closed = 0;
};

std::string readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST_F(WindowTest, ControlsStandWhereTheDesignPutsThem) {
    struct Control {
        const char* name;
        const char* className;
        QRect geometry;
        QString text;
        int pixelSize;
        bool bold;
    };
    const Control controls[] = {
        {"ExData", "QRadioButton", {47, 16, 145, 33}, "导出数据", 24, true},
        {"IMData", "QRadioButton", {244, 16, 133, 33}, "导入数据", 24, true},
        {"Label1", "QLabel", {24, 56, 165, 24}, "请选择数据库：", 19, false},
        {"ExIMDataBase", "QComboBox", {184, 50, 225, 32}, "", 19, false},
        {"Label2", "QLabel", {24, 100, 153, 24}, "导出的设置项：", 19, false},
        {"ExIMTable", "QComboBox", {184, 94, 225, 32}, "菜品信息", 19, false},
        {"Label3", "QLabel", {24, 137, 155, 24}, "数据导出路径：", 19, false},
        {"PathEdit", "QLineEdit", {184, 135, 193, 32}, "", 19, false},
        {"btn1", "QPushButton", {376, 134, 33, 35}, "...", 27, false},
        {"Label4", "QLabel", {24, 179, 155, 24}, "数据导出进度：", 19, false},
        {"Gauge1", "QProgressBar", {184, 176, 225, 33}, "0%", 19, false},
        {"Label7", "QLabel", {26, 221, 89, 24}, "站点号：", 19, false},
        {"StationEdit", "QLineEdit", {112, 219, 65, 32}, "", 19, false},
        {"ExImButton", "QPushButton", {184, 215, 81, 41}, "导出", 27, false},
        {"btn3", "QPushButton", {312, 215, 81, 41}, "退出", 27, false},
        {"Label5",
         "QLabel",
         {24, 267, 385, 38},
         "注意：该工具用于将数据从SQL数据库导出到Excel表格中，或者从Excel表格将数据导入到SQL数据库"
         "中。",
         15,
         false},
        {"Label6", "QLabel", {368, 291, 63, 16}, "版本1.2", 13, true},
        {"RzLabel2", "QLabel", {24, 288, 6, 16}, "  ", 15, false},
    };
    TTransferForm form(storeOptions(m_store.dir(), m_exe.dir()), &m_boxes);
    EXPECT_EQ(form.size(), QSize(422, 309));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("SQL数据库与Excel数据互导"));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);

    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        QWidget* w = form.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.className);
        EXPECT_EQ(w->geometry(), c.geometry);
        EXPECT_EQ(w->font().family(), QStringLiteral("MS Sans Serif"));
        EXPECT_EQ(w->font().pixelSize(), c.pixelSize);
        EXPECT_EQ(w->font().bold(), c.bold);
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            text = b->text();
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            text = l->text();
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            text = e->text();
        } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
            text = cb->currentText();
            EXPECT_FALSE(cb->isEditable());
        } else if (auto* g = qobject_cast<QProgressBar*>(w)) {
            text = g->text();
        }
        EXPECT_EQ(text, c.text);
    }
    for (const char* red : {"Label5", "Label6", "RzLabel2"}) {
        EXPECT_EQ(form.findChild<QLabel*>(red)->palette().color(QPalette::WindowText),
                  QColor(Qt::red))
            << red;
    }
    EXPECT_TRUE(form.findChild<QLabel*>("Label5")->wordWrap());

    // The dataset list, the gauge and the edits.
    QComboBox* table = form.exIMTable();
    ASSERT_EQ(table->count(), 3);
    EXPECT_EQ(table->itemText(1), QStringLiteral("厅桌信息"));
    EXPECT_EQ(table->itemText(2), QStringLiteral("菜品注释"));
    EXPECT_EQ(form.gauge1()->minimum(), 0);
    EXPECT_EQ(form.gauge1()->maximum(), 300);
    EXPECT_TRUE(form.pathEdit()->isReadOnly());
    EXPECT_EQ(form.stationEdit()->maxLength(), 4);

    // Before start-up neither mode is checked and the station field shows.
    EXPECT_FALSE(form.exData()->isChecked());
    EXPECT_FALSE(form.imData()->isChecked());
    EXPECT_FALSE(form.stationEdit()->isHidden());

    // Tab order 0..8.
    const char* tabOrder[] = {"ExIMDataBase", "ExIMTable", "PathEdit", "ExImButton", "btn3",
                              "btn1",         "ExData",    "IMData",   "StationEdit"};
    QWidget* w = form.findChild<QWidget*>("ExIMDataBase");
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        QWidget* next = w->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus || next->objectName().isEmpty()) {
            next = next->nextInFocusChain();
        }
        EXPECT_EQ(next->objectName(), QString::fromLatin1(tabOrder[i]))
            << "after " << tabOrder[i - 1];
        w = next;
    }

    // The pop-up menu: the two import choices, unchecked, then 关于 and 退出.
    QStringList entries;
    for (const QAction* a : form.popupMenu1()->actions()) {
        entries << (a->isSeparator() ? QStringLiteral("-")
                                     : a->text() + (a->isCheckable() ? QStringLiteral("[ ]") : ""));
        EXPECT_FALSE(a->isChecked()) << a->text().toStdString();
    }
    EXPECT_EQ(entries, (QStringList{QStringLiteral("试运行（不改变数据库）[ ]"),
                                    QStringLiteral("更新已有的行[ ]"), QStringLiteral("-"),
                                    QStringLiteral("关于"), QStringLiteral("退出")}));
    EXPECT_EQ(form.contextMenuPolicy(), Qt::CustomContextMenu);
}

TEST_F(WindowTest, CreationWritesTheMissingFieldMapsBesideTheProgram) {
    std::ofstream(m_exe.path() / "Menu.ini", std::ios::binary) << "[Field]\r\nFieldCount=0\r\n";
    TTransferForm form(storeOptions(m_store.dir(), m_exe.dir()), &m_boxes);
    EXPECT_EQ(readBytes(m_exe.path() / "Menu.ini"), "[Field]\r\nFieldCount=0\r\n");
    EXPECT_EQ(readBytes(m_exe.path() / "HallTable.ini"),
              readBytes(std::filesystem::path(POS_TEST_DATA_DIR) / "default_HallTable.ini"));
    EXPECT_TRUE(m_boxes.errors.isEmpty());
}

TEST_F(WindowTest, AFieldMapWriteErrorGoesToTheErrorReportAndTheWindowStillComes) {
    std::filesystem::create_directory(m_exe.path() / "Menu.ini");
    auto form = shownWindow({"pos_demo"});
    ASSERT_EQ(m_boxes.errors.size(), 1);
    EXPECT_TRUE(m_boxes.errors[0].contains(QStringLiteral("Menu.ini")))
        << m_boxes.errors[0].toStdString();
    EXPECT_FALSE(std::filesystem::exists(m_exe.path() / "HallTable.ini"));
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->exData()->isChecked());
}

TEST_F(WindowTest, StartUpWithTwoDatabasesSelectsTheFirstAndSwitchesToExport) {
    auto form = shownWindow({"pos_b", "pos_a"});
    EXPECT_TRUE(m_boxes.errors.isEmpty()) << m_boxes.errors.join('\n').toStdString();
    ASSERT_EQ(form->exIMDataBase()->count(), 2);
    EXPECT_EQ(form->exIMDataBase()->itemText(0), QStringLiteral("pos_a"));
    EXPECT_EQ(form->exIMDataBase()->currentIndex(), 0);
    EXPECT_EQ(form->databaseText(), "pos_a");
    EXPECT_EQ(form->exIMTable()->currentIndex(), 0);
    EXPECT_EQ(form->currentDatasetKey(), "Menu");
    EXPECT_TRUE(form->exData()->isChecked());
    EXPECT_FALSE(form->imData()->isChecked());
    EXPECT_TRUE(form->stationEdit()->isHidden());
    EXPECT_TRUE(form->label7()->isHidden());
    EXPECT_EQ(form->gauge1()->value(), 0);
    EXPECT_EQ(form->saveFilePath()->directory().absolutePath() + '/',
              QString::fromStdString(m_exe.dir()));
    EXPECT_EQ(form->openFilePath()->directory().absolutePath() + '/',
              QString::fromStdString(m_exe.dir()));
    for (QWidget* w :
         {static_cast<QWidget*>(form->exData()), static_cast<QWidget*>(form->imData()),
          static_cast<QWidget*>(form->exIMDataBase()), static_cast<QWidget*>(form->exIMTable()),
          static_cast<QWidget*>(form->btn1()), static_cast<QWidget*>(form->exImButton()),
          static_cast<QWidget*>(form->btn3())}) {
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    }
}

TEST_F(WindowTest, StartUpWithNoDatabaseLeavesTheListEmpty) {
    auto form = shownWindow({});
    EXPECT_TRUE(m_boxes.errors.isEmpty()) << m_boxes.errors.join('\n').toStdString();
    EXPECT_EQ(form->exIMDataBase()->count(), 0);
    EXPECT_EQ(form->exIMDataBase()->currentText(), QString());
    EXPECT_TRUE(form->exData()->isChecked());
    EXPECT_EQ(form->currentDatasetKey(), "Menu");
}

TEST_F(WindowTest, StartUpAgainstAnUnreachableServerReportsAndStopsThere) {
    WindowOptions options = storeOptions(m_store.dir(), m_exe.dir());
    options.dataSource = "127.0.0.1,1";  // nothing listens on port 1
    options.user = "sa";
    options.password = "unused";
    options.connection.loginTimeoutSeconds = 3;
    TTransferForm form(options, &m_boxes);
    form.setCloseAction([] {});
    form.show();
    ASSERT_EQ(m_boxes.errors.size(), 1);
    EXPECT_FALSE(m_boxes.errors[0].isEmpty());
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.exIMDataBase()->count(), 0);
    EXPECT_FALSE(form.exData()->isChecked());
    EXPECT_FALSE(form.imData()->isChecked());
    EXPECT_FALSE(form.stationEdit()->isHidden());
    EXPECT_EQ(form.currentDatasetKey(), "");
    EXPECT_NE(form.saveFilePath()->directory().absolutePath() + '/',
              QString::fromStdString(m_exe.dir()));
}

TEST_F(WindowTest, ModeSwitchesEmptyThePathAndDatasetChoiceKeepsIt) {
    auto form = shownWindow({"pos_a"});
    struct Step {
        const char* what;
        std::function<void()> act;
        const char* pathAfter;
        bool importing;
        const char* key;
    };
    const Step steps[] = {
        {"path set", [&] { form->setPathText("/x/菜品信息.xls"); }, "/x/菜品信息.xls", false,
         "Menu"},
        {"export clicked again", [&] { form->exData()->click(); }, "/x/菜品信息.xls", false,
         "Menu"},
        {"other dataset", [&] { typeKey(form->exIMTable(), Qt::Key_Down); }, "/x/菜品信息.xls",
         false, "HallTable"},
        {"to import", [&] { form->imData()->click(); }, "", true, "HallTable"},
        {"path set", [&] { form->setPathText("/x/a.xls"); }, "/x/a.xls", true, "HallTable"},
        {"import clicked again", [&] { form->imData()->click(); }, "/x/a.xls", true, "HallTable"},
        {"last dataset", [&] { typeKey(form->exIMTable(), Qt::Key_Down); }, "/x/a.xls", true,
         "MenuAnnotate"},
        {"back to export", [&] { form->exData()->click(); }, "", false, "MenuAnnotate"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.act();
        EXPECT_EQ(form->pathText(), s.pathAfter);
        EXPECT_EQ(form->imData()->isChecked(), s.importing);
        EXPECT_EQ(form->exData()->isChecked(), !s.importing);
        EXPECT_EQ(form->stationEdit()->isHidden(), !s.importing);
        EXPECT_EQ(form->label7()->isHidden(), !s.importing);
        EXPECT_EQ(form->currentDatasetKey(), s.key);
        EXPECT_EQ(form->label2()->text(), s.importing ? QStringLiteral("导入的设置项：")
                                                      : QStringLiteral("导出的设置项："));
        EXPECT_EQ(form->label3()->text(), s.importing ? QStringLiteral("数据导入路径：")
                                                      : QStringLiteral("数据导出路径："));
        EXPECT_EQ(form->label4()->text(), s.importing ? QStringLiteral("数据导入进度：")
                                                      : QStringLiteral("数据导出进度："));
        EXPECT_EQ(form->exImButton()->text(),
                  s.importing ? QStringLiteral("导入") : QStringLiteral("导出"));
    }
}

namespace {

// Runs the workbook dialog with `act` done to the dialog once it is open.
void chooseWith(TTransferForm& form, std::function<void(QFileDialog*)> act,
                QFileDialog** seen = nullptr) {
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible()) {
            return;
        }
        poll.stop();
        if (seen != nullptr) {
            *seen = dialog;
        }
        act(dialog);
    });
    poll.start(10);
    form.chooseWorkbookPath();
    EXPECT_FALSE(poll.isActive()) << "the dialog never opened";
}

}  // namespace

TEST_F(WindowTest, WorkbookDialogsFollowTheModeAndCancellingRestoresTheLastName) {
    auto form = shownWindow({"pos_a"});
    const QString dir = QString::fromStdString(m_exe.dir());

    QFileDialog* seen = nullptr;
    chooseWith(
        *form, [](QFileDialog* d) { d->reject(); }, &seen);
    EXPECT_EQ(seen, form->saveFilePath());
    EXPECT_EQ(form->pathText(), "");  // nothing chosen yet: the path stays
    EXPECT_EQ(seen->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(seen->defaultSuffix(), QStringLiteral("xls"));
    EXPECT_TRUE(seen->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_TRUE(seen->testOption(QFileDialog::HideNameFilterDetails));
    EXPECT_EQ(seen->nameFilters(),
              (QStringList{QStringLiteral("Excel文件（*.xls） (*.xls)"),
                           QStringLiteral("Excel文件（*.xlsx） (*.xlsx)"),
                           QStringLiteral("OpenDocument电子表格（*.ods） (*.ods)"),
                           QStringLiteral("CSV文件（*.csv） (*.csv)")}));
    // The entry shown is the description alone, the .xls one first.
    EXPECT_EQ(seen->selectedNameFilter(), QStringLiteral("Excel文件（*.xls）"));
    auto* types = seen->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(types, nullptr);
    EXPECT_EQ(types->itemText(0), QStringLiteral("Excel文件（*.xls）"));
    EXPECT_EQ(types->itemText(1), QStringLiteral("Excel文件（*.xlsx）"));
    EXPECT_EQ(types->itemText(2), QStringLiteral("OpenDocument电子表格（*.ods）"));
    EXPECT_EQ(types->itemText(3), QStringLiteral("CSV文件（*.csv）"));

    // Saved in a folder of the user's, not the default one.
    const QString monthly = dir + QStringLiteral("月报");
    ASSERT_TRUE(std::filesystem::create_directory(monthly.toStdString()));
    chooseWith(*form, [&](QFileDialog* d) {
        // What typing a name does.
        d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(monthly + QStringLiteral("/出口"));
        static_cast<QDialog*>(d)->accept();
    });
    EXPECT_EQ(form->pathText(), (monthly + QStringLiteral("/出口.xls")).toStdString());

    // A mode switch empties the path; the import dialog holds no name yet and
    // starts in the folder the save dialog last used.
    form->imData()->click();
    chooseWith(
        *form, [](QFileDialog* d) { d->reject(); }, &seen);
    EXPECT_EQ(seen, form->openFilePath());
    EXPECT_EQ(seen->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(seen->directory().absolutePath(), monthly);
    EXPECT_EQ(form->pathText(), "");

    // Back in export mode, cancelling puts back the name chosen before.
    form->exData()->click();
    EXPECT_EQ(form->pathText(), "");
    chooseWith(*form, [](QFileDialog* d) { d->reject(); });
    EXPECT_EQ(form->pathText(), (monthly + QStringLiteral("/出口.xls")).toStdString());
}

TEST_F(WindowTest, TypedNameTakesTheExtensionOfTheChosenFilter) {
    auto form = shownWindow({"pos_a"});
    const QString dir = QString::fromStdString(m_exe.dir());
    struct Case {
        const char* name;
        bool importing;
        int filterKey;  // a key pressed in the file type list first, or 0
        QString typed;
        QString expected;     // the path afterwards
        QString shownFilter;  // the filter entry the dialog opened with
    };
    const QString xls = QStringLiteral("Excel文件（*.xls）");
    const QString xlsx = QStringLiteral("Excel文件（*.xlsx）");
    const QString ods = QStringLiteral("OpenDocument电子表格（*.ods）");
    const QString csv = QStringLiteral("CSV文件（*.csv）");
    const QString every = QStringLiteral("电子表格文件（*.xls *.xlsx *.ods *.csv）");
    const Case cases[] = {
        {"xls filter", false, 0, "a", "a.xls", xls},
        {"xlsx filter chosen", false, Qt::Key_Down, "b", "b.xlsx", xls},
        {"an .xlsx name opens the xlsx filter", false, 0, "c", "c.xlsx", xlsx},
        {"back to the xls filter", false, Qt::Key_Up, "d", "d.xls", xlsx},
        {"own extension kept", false, Qt::Key_Down, "e.XLS", "e.XLS", xls},
        {"csv filter chosen", false, Qt::Key_End, "h", "h.csv", xls},
        {"a .csv name opens the csv filter", false, 0, "i", "i.csv", csv},
        {"up from the csv filter to the ods one", false, Qt::Key_Up, "j", "j.ods", csv},
        {"an .ods name opens the ods filter", false, 0, "k", "k.ods", ods},
        {"import shows every format: a bare name takes .xls", true, 0, "g", "g.xls", every},
        {"import with the csv filter", true, Qt::Key_End, "f", "f.csv", every},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        (c.importing ? form->imData() : form->exData())->click();
        QString shown;
        chooseWith(*form, [&](QFileDialog* d) {
            shown = d->selectedNameFilter();
            if (c.filterKey != 0) {
                // What choosing an entry of the file type list does.
                typeKey(d->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")), c.filterKey);
            }
            d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(dir + c.typed);
            static_cast<QDialog*>(d)->accept();
        });
        EXPECT_EQ(shown, c.shownFilter);
        EXPECT_EQ(form->pathText(), (dir + c.expected).toStdString());
    }
}

TEST_F(WindowTest, StationFieldTakesAtMostFourDigits) {
    auto form = shownWindow({"pos_a"});
    form->imData()->click();
    QLineEdit* station = form->stationEdit();
    struct Case {
        const char* name;
        QString typed;   // characters typed one by one ('\b' is backspace)
        QString pasted;  // then pasted at the end
        QString expected;
    };
    const Case cases[] = {
        {"digits", "0123", "", "0123"},
        {"fifth digit refused", "12345", "", "1234"},
        {"letters and signs refused", "1a-2 .b", "", "12"},
        {"backspace", "123\b\b4", "", "14"},
        {"zero", "0", "", "0"},
        {"full-width digit refused", QStringLiteral("1２"), "", "1"},
        {"digits pasted", "", "0042", "0042"},
        {"paste with a letter refused", "7", "8x", "7"},
        {"paste cut to four", "", "123456", "1234"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        station->clear();
        station->setFocus();
        for (QChar ch : c.typed) {
            if (ch == QLatin1Char('\b')) {
                typeKey(station, Qt::Key_Backspace);
            } else {
                typeKey(station, Qt::Key_unknown, QString(ch));
            }
        }
        if (!c.pasted.isEmpty()) {
            QApplication::clipboard()->setText(c.pasted);
            station->end(false);
            station->paste();
        }
        EXPECT_EQ(station->text(), c.expected);
    }
}

TEST_F(WindowTest, AboutBoxAndBothWaysOut) {
    auto form = shownWindow({"pos_a"});
    form->n1()->trigger();
    ASSERT_EQ(m_boxes.messages.size(), 1);
    EXPECT_EQ(m_boxes.captions[0], QStringLiteral("关于程序"));
    // The version, then the folders in use: the field maps and new workbooks
    // beside a writable program, the store given.
    EXPECT_EQ(m_boxes.messages[0],
              QStringLiteral(
                  "此版本为版本1.1，此版本导入菜品信息导入原来的菜品编号，并修正导入失败问题。\n\n"
                  "字段对应文件夹：%1\n数据库文件夹：%2\n默认导出文件夹：%1")
                  .arg(QString::fromStdString(m_exe.dir()),
                       QString::fromStdString(m_store.path().string())));
    EXPECT_EQ(m_closed, 0);
    form->n2()->trigger();
    EXPECT_EQ(m_closed, 1);
    form->show();
    form->btn3()->click();
    EXPECT_EQ(m_closed, 2);
}

TEST(WindowClose, ClosingEndsTheProcessAtOnceWithExitCodeZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ensureApplication();
            TempDir store;
            TempDir exe;
            RecordingBoxes boxes;
            TTransferForm form(storeOptions(store.dir(), exe.dir()), &boxes);
            form.show();
            form.close();
            std::exit(3);  // not reached when closing ends the process
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {

// What the user saw of a real box or file dialog: its caption, its text (a
// dialog's first filter entry) and its buttons as they read without the
// mnemonic ("是(&Y)" reads 是).
struct SeenBox {
    QString caption;
    QString text;
    QStringList buttons;
};

QString buttonText(const QAbstractButton* b) {
    static const QRegularExpression mnemonic(QStringLiteral("\\(&.\\)|&"));
    return b == nullptr ? QString() : b->text().remove(mnemonic);
}

// Runs `act` and records each box and file dialog that opens meanwhile. A
// box is answered No when it asks, else OK; a dialog is cancelled.
std::vector<SeenBox> seenDuring(const std::function<void()>& act) {
    std::vector<SeenBox> seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) {
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            SeenBox s{box->windowTitle(), box->text(), {}};
            for (auto b : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok}) {
                if (box->button(b) != nullptr) {
                    s.buttons << buttonText(box->button(b));
                }
            }
            seen.push_back(s);
            (box->button(QMessageBox::No) ? box->button(QMessageBox::No)
                                          : box->button(QMessageBox::Ok))
                ->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
            seen.push_back(
                {dialog->windowTitle(),
                 dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->itemText(0),
                 {buttonText(buttons->button(QDialogButtonBox::Open)),
                  buttonText(buttons->button(QDialogButtonBox::Cancel))}});
            dialog->reject();
        }
    });
    poll.start(10);
    act();
    return seen;
}

}  // namespace

TEST(WindowBoxes, CaptionsAndButtonsReadInChineseAndAnEmptyStoreIsExplained) {
    ensureApplication();
    // With a display name set, Qt appends it to every other window's title
    // bar on a desktop ("提示 — …"); the boxes carry their captions alone.
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    const bool chinese = QFile::exists(qtChineseTranslationFile());
    EXPECT_EQ(static_cast<TransferApplication*>(QApplication::instance())->qtTranslationsLoaded(),
              chinese);
    if (!chinese) {
        std::cerr << "Qt's Chinese translations are not installed: button texts not checked\n";
    }

    TempDir emptyStore;
    TempDir store;
    TempDir exe;
    createDatabase(store.dir(), "pos_a");
    const QString folder = QString::fromStdString(emptyStore.path().string());
    const QString startUpMessage =
        QStringLiteral(
            "数据库文件夹“%1”中没有数据库。\n\n要建立演示数据库pos_demo，请在终端中运行："
            "\npos-transfer-cli --store %1 demo pos_demo\n然后重新启动本程序。")
            .arg(folder);
    const QString aboutText =
        QStringLiteral(
            "此版本为版本1.1，此版本导入菜品信息导入原来的菜品编号，并修正导入失败问题。\n\n"
            "字段对应文件夹：%1\n数据库文件夹：%2\n默认导出文件夹：%1")
            .arg(QString::fromStdString(exe.dir()), QString::fromStdString(store.path().string()));
    const QStringList ok{QStringLiteral("确定")};
    const QStringList yesNo{QStringLiteral("是"), QStringLiteral("否")};
    struct Case {
        const char* name;
        const TempDir* store;
        std::function<void(TTransferForm&)> act;  // after the window is shown
        std::vector<SeenBox> expected;            // the start-up boxes included
    };
    const Case cases[] = {
        {"empty store: start-up says so once, the start button asks for a database",
         &emptyStore,
         [](TTransferForm& f) { f.exImButton()->click(); },
         {{"提示", startUpMessage, ok},
          {"提示", QString::fromUtf8(pos::transfer::kNoDatabaseChosenMessage), ok}}},
        {"no database even after the mode switch",
         &emptyStore,
         [](TTransferForm& f) {
             f.imData()->click();
             f.exImButton()->click();
         },
         {{"提示", startUpMessage, ok},
          {"提示", QString::fromUtf8(pos::transfer::kNoDatabaseChosenMessage), ok}}},
        {"import, blank path: the question, then the open dialog with every format first",
         &store,
         [](TTransferForm& f) {
             f.imData()->click();
             f.exImButton()->click();
         },
         {{"提示", "是否采用默认路径？", yesNo},
          {"打开", "电子表格文件（*.xls *.xlsx *.ods *.csv）", {"打开", "取消"}}}},
        {"About box",
         &store,
         [](TTransferForm& f) { f.n1()->trigger(); },
         {{"关于程序", aboutText, ok}}},
        {"general error report",
         &store,
         [](TTransferForm& f) { f.messageBoxes().errorReport(QStringLiteral("数据库忙")); },
         {{"SQL数据库与Excel数据互导", "数据库忙.", ok}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTransferForm form(storeOptions(c.store->dir(), exe.dir()));  // its own real boxes
        form.setCloseAction([] {});
        const std::vector<SeenBox> seen = seenDuring([&] {
            form.show();
            c.act(form);
        });
        ASSERT_EQ(seen.size(), c.expected.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].caption, c.expected[i].caption) << i;
            EXPECT_EQ(seen[i].text, c.expected[i].text) << i;
            if (chinese) {
                EXPECT_EQ(seen[i].buttons, c.expected[i].buttons) << i;
            }
        }
    }
}
