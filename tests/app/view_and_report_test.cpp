// The worker's view of the window from another thread, the general error
// report and the window's options.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "TransferApplication.h"
#include "TransferForm.h"
#include "app/app_helpers.h"
#include "support/Process.h"

using namespace pos::app;
using namespace pos::app::testing;

namespace {

// Records on which thread each box was shown.
class ThreadCheckingBoxes : public RecordingBoxes {
public:
    void message(const QString& caption, const QString& text) override {
        onWindowThread = QThread::currentThread() == qApp->thread();
        RecordingBoxes::message(caption, text);
    }
    bool onWindowThread = false;
};

}  // namespace

TEST(QtTransferView, AWorkersCallsRunOnTheWindowThreadInOrder) {
    ensureApplication();
    TempDir store;
    TempDir exe;
    createDatabase(store.dir(), "pos_a");
    ThreadCheckingBoxes boxes;
    TTransferForm form(storeOptions(store.dir(), exe.dir()), &boxes);
    form.setCloseAction([] {});
    form.show();
    form.setPathText("/x/a.xls");

    std::atomic<bool> messageReturned{false};
    std::atomic<bool> done{false};
    bool disabledSeenByWorker = true;
    std::thread worker([&] {
        pos::transfer::TransferView& view = form.transferView();
        view.setChoiceControlsEnabled(false);
        // The call has been carried out when it returns.
        disabledSeenByWorker = !form.exImButton()->isEnabled();
        view.setProgress(150);
        view.showMessage("数据导出成功！");
        messageReturned = true;
        view.clearPath();
        view.setProgress(400);  // held within the range
        done = true;
    });
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done) {
            loop.quit();
        }
    });
    poll.start(5);
    loop.exec();
    worker.join();
    // Progress is posted without waiting; let the last position arrive.
    QCoreApplication::processEvents();

    EXPECT_TRUE(disabledSeenByWorker);
    EXPECT_TRUE(messageReturned);
    ASSERT_EQ(boxes.messages, QStringList{QStringLiteral("数据导出成功！")});
    EXPECT_EQ(boxes.captions[0], QStringLiteral("提示"));
    EXPECT_TRUE(boxes.onWindowThread);
    EXPECT_EQ(form.pathText(), "");
    EXPECT_EQ(form.gauge1()->value(), 300);
    EXPECT_EQ(form.gauge1()->text(), QStringLiteral("100%"));
    for (QWidget* w :
         {static_cast<QWidget*>(form.exData()), static_cast<QWidget*>(form.imData()),
          static_cast<QWidget*>(form.exIMDataBase()), static_cast<QWidget*>(form.exIMTable()),
          static_cast<QWidget*>(form.btn1()), static_cast<QWidget*>(form.exImButton())}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    // The exit button, the station field and the menu stay usable.
    EXPECT_TRUE(form.btn3()->isEnabled());
    EXPECT_TRUE(form.stationEdit()->isEnabled());

    form.transferView().setChoiceControlsEnabled(true);  // on the window thread: at once
    form.transferView().setProgress(-5);
    EXPECT_TRUE(form.exImButton()->isEnabled());
    EXPECT_EQ(form.gauge1()->value(), 0);
    EXPECT_EQ(form.gauge1()->text(), QStringLiteral("0%"));
}

TEST(ErrorReport, AppendsAFullStopWhenTheLastCharacterSortsAfterIt) {
    struct Case {
        QString in;
        QString out;
    };
    const Case cases[] = {
        {"Connection failed", "Connection failed."},
        {"Done.", "Done."},
        {"Oops!", "Oops!"},
        {"(closed)", "(closed)"},
        {"port 1", "port 1."},
        {QStringLiteral("连接失败"), QStringLiteral("连接失败.")},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errorReportText(c.in), c.out) << c.in.toStdString();
    }
}

TEST(ErrorReport, AnErrorEscapingAHandlerIsReportedAndTheLoopGoesOn) {
    ensureApplication();
    auto* app = static_cast<TransferApplication*>(QApplication::instance());
    QStringList reported;
    app->setErrorReporter([&reported](const QString& text) { reported << text; });
    bool after = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("store is locked"); });
    QTimer::singleShot(0, [&after] { after = true; });
    QEventLoop loop;
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
    app->setErrorReporter([](const QString& text) { showErrorReport(nullptr, text); });
    EXPECT_EQ(reported, QStringList{QStringLiteral("store is locked")});
    EXPECT_TRUE(after);
}

TEST(WindowOptions, CommandLineOptionsReplaceOnlyTheirPieces) {
    struct Case {
        const char* name;
        QStringList args;
        const char* password;
        pos::transfer::ConnectionArguments expected;
    };
    const Case cases[] = {
        {"none", {"pos-transfer"}, nullptr, {"", "SSPI", "false", "", "master", "."}},
        {"server only: integrated security",
         {"pos-transfer", "--data-source", "db1,1433"},
         nullptr,
         {"", "SSPI", "false", "", "master", "db1,1433"}},
        {"SQL login",
         {"pos-transfer", "--data-source", "db1", "--user", "sa", "--catalog", "pos"},
         "secret",
         {"secret", "", "false", "sa", "pos", "db1"}},
        // A user name means a SQL login, as on the command line: a password
        // alone keeps integrated security.
        {"password without a user: integrated security",
         {"pos-transfer", "--data-source", "db1"},
         "secret",
         {"", "SSPI", "false", "", "master", "db1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.password) {
            ::setenv("POS_TRANSFER_PASSWORD", c.password, 1);
        } else {
            ::unsetenv("POS_TRANSFER_PASSWORD");
        }
        WindowOptions o;
        QString message;
        ASSERT_EQ(parseWindowOptions(c.args, o, message), ParseResult::Ok) << message.toStdString();
        pos::transfer::ConnectionArguments a = connectionArguments(o);
        EXPECT_EQ(a.password, c.expected.password);
        EXPECT_EQ(a.integratedSecurity, c.expected.integratedSecurity);
        EXPECT_EQ(a.persistSecurityInfo, c.expected.persistSecurityInfo);
        EXPECT_EQ(a.user, c.expected.user);
        EXPECT_EQ(a.initialCatalog, c.expected.initialCatalog);
        EXPECT_EQ(a.dataSource, c.expected.dataSource);
    }
    ::unsetenv("POS_TRANSFER_PASSWORD");

    WindowOptions o;
    QString message;
    EXPECT_EQ(parseWindowOptions({"pos-transfer", "--password", "x"}, o, message),
              ParseResult::BadUsage);
    EXPECT_FALSE(message.isEmpty());
    EXPECT_EQ(parseWindowOptions({"pos-transfer", "--store", "/tmp/s"}, o, message),
              ParseResult::Ok);
    EXPECT_EQ(o.connection.storeDir, "/tmp/s");

    // --field-maps and --version as the command line's: the window writes its
    // field maps into the folder given, created when missing, and names its
    // version as the command line does.
    TempDir exe;
    const std::string maps = exe.dir() + "站点/maps";
    WindowOptions withMaps = storeOptions(exe.dir(), exe.dir());
    ASSERT_EQ(parseWindowOptions({"pos-transfer", "--field-maps", QString::fromStdString(maps)},
                                 withMaps, message),
              ParseResult::Ok)
        << message.toStdString();
    EXPECT_EQ(withMaps.fieldMapDir, maps + "/");
    ensureApplication();
    {
        RecordingBoxes boxes;
        TTransferForm form(withMaps, &boxes);
        EXPECT_TRUE(boxes.errors.isEmpty()) << boxes.errors.join("\n").toStdString();
    }
    for (const char* file : {"Menu.ini", "HallTable.ini", "MenuAnnotate.ini"}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(maps + "/" + file)) << file;
        EXPECT_FALSE(std::filesystem::exists(exe.dir() + file)) << file;
    }
    pos::testing::RunOptions noDisplay;
    noDisplay.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    const auto window =
        pos::testing::runProgram({POS_BIN_DIR "/pos-transfer", "--version"}, noDisplay);
    const auto cli = pos::testing::runProgram({POS_BIN_DIR "/pos-transfer-cli", "--version"});
    EXPECT_EQ(window.exitCode, 0) << window.err;
    ASSERT_EQ(cli.out.rfind("pos-transfer-cli ", 0), 0u) << cli.out;
    EXPECT_EQ(window.out, "pos-transfer " + cli.out.substr(17));

    // The ODBC driver and encryption go into the connection settings.
    WindowOptions odbc;
    ASSERT_EQ(parseWindowOptions({"pos-transfer", "--odbc-driver", "ODBC Driver 18 for SQL Server",
                                  "--encrypt", "strict", "--trust-server-certificate"},
                                 odbc, message),
              ParseResult::Ok)
        << message.toStdString();
    EXPECT_EQ(odbc.connection.odbcDriver, "ODBC Driver 18 for SQL Server");
    EXPECT_EQ(odbc.connection.encryption, pos::db::OdbcEncryption::Strict);
    EXPECT_TRUE(odbc.connection.trustServerCertificate);
    WindowOptions bad;
    EXPECT_EQ(parseWindowOptions({"pos-transfer", "--encrypt", "maybe"}, bad, message),
              ParseResult::BadUsage);
    EXPECT_EQ(parseWindowOptions({"pos-transfer", "--encrypt", "strict"}, bad, message),
              ParseResult::BadUsage);
    EXPECT_TRUE(message.contains(QStringLiteral("FreeTDS")));
}
