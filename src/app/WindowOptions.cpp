// The window's command-line options and the start-up connection arguments.
#include "WindowOptions.h"

#include <QCommandLineParser>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "common/AppFolders.h"
#include "common/Text.h"
#include "db/OdbcBackend.h"

#ifndef POS_TRANSFER_VERSION
#error "POS_TRANSFER_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace pos::app {

transfer::ConnectionArguments connectionArguments(const WindowOptions& options) {
    return transfer::chosenConnectionArguments(
        options.dataSource.value_or(""), options.catalog.value_or(""), options.user.value_or(""),
        options.password.value_or(""));
}

WindowOptions defaultWindowOptions() {
    WindowOptions options;
    options.executableDir = pos::executableDir();
    options.fieldMapDir = fieldMapFolder(options.executableDir);
    return options;
}

namespace {

// The scene that --screenshot-mode names; false, with the message, for an
// unknown one.
bool screenshotSceneNamed(const QString& mode, ScreenshotScene& scene, QString& message) {
    const std::pair<const char*, ScreenshotScene> scenes[] = {
        {"export", ScreenshotScene::Export},
        {"import", ScreenshotScene::Import},
        {"overwrite", ScreenshotScene::Overwrite},
        {"open-dialog", ScreenshotScene::OpenDialog},
    };
    const auto* named = std::find_if(std::begin(scenes), std::end(scenes),
                                     [&mode](auto& s) { return mode == QLatin1String(s.first); });
    if (named == std::end(scenes)) {
        message = QStringLiteral(
                      "--screenshot-mode takes export, import, overwrite or open-dialog, not ") +
                  mode;
        return false;
    }
    scene = named->second;
    return true;
}

}  // namespace

ParseResult parseWindowOptions(const QStringList& arguments, WindowOptions& options,
                               QString& message) {
    QCommandLineParser parser;
    const QString description = QStringLiteral(
        "Moves dishes, halls with tables and dish annotations between a database and Excel "
        "workbooks. The password of a SQL login comes from POS_TRANSFER_PASSWORD.");
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    const QCommandLineOption dataSource(
        QStringLiteral("data-source"),
        QStringLiteral("SQL Server to connect to (host, host,port, host\\instance, or "
                       "DSN=NAME for a data source of odbc.ini); \".\" (the default) is the "
                       "embedded store."),
        QStringLiteral("SERVER"));
    const QCommandLineOption user(QStringLiteral("user"),
                                  QStringLiteral("SQL login; without it integrated security."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption catalog(QStringLiteral("catalog"),
                                     QStringLiteral("Starting database (default master)."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption store(
        QStringLiteral("store"),
        QStringLiteral("Folder of the embedded store (default: POS_TRANSFER_STORE, else data/ "
                       "beside the program, or in ~/.local/share/pos-transfer when installed)."),
        QStringLiteral("DIR"));
    const QCommandLineOption odbcDriver(
        QStringLiteral("odbc-driver"),
        QStringLiteral("ODBC driver for a SQL Server, as registered with unixODBC (default "
                       "FreeTDS); a name containing FreeTDS gets FreeTDS's keywords, any other "
                       "those of the vendor's driver."),
        QStringLiteral("NAME"));
    const QCommandLineOption encrypt(
        QStringLiteral("encrypt"),
        QStringLiteral("Encryption of the SQL Server connection: yes, no or strict (default: "
                       "the driver's own; FreeTDS has no strict)."),
        QStringLiteral("yes|no|strict"));
    const QCommandLineOption trustServerCertificate(
        QStringLiteral("trust-server-certificate"),
        QStringLiteral("Accept the server's certificate without checking it (FreeTDS checks "
                       "one only when freetds.conf names a CA file)."));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Save a picture of the window after start-up to FILE and quit."),
        QStringLiteral("FILE"));
    const QCommandLineOption screenshotMode(
        QStringLiteral("screenshot-mode"),
        QStringLiteral("What the picture shows: export (the default) or import for the "
                       "window in that mode, overwrite for the question before overwriting "
                       "the default workbook (which must exist), open-dialog for the open "
                       "dialog of import mode."),
        QStringLiteral("MODE"));
    // As the command line's: the field-map folder, and the version.
    const QCommandLineOption fieldMaps(
        QStringLiteral("field-maps"),
        QStringLiteral("Folder of the field-map files Menu.ini, HallTable.ini, MenuAnnotate.ini "
                       "(default: the field-map folder below); created when missing"),
        QStringLiteral("DIR"));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Print the program's name and version"));
    parser.addOptions({dataSource, user, catalog, store, odbcDriver, encrypt,
                       trustServerCertificate, fieldMaps, version, screenshot, screenshotMode});
    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return ParseResult::BadUsage;
    }
    if (parser.isSet(version)) {
        message = QStringLiteral("pos-transfer " POS_TRANSFER_VERSION "\n");
        return ParseResult::Help;
    }
    if (parser.isSet(fieldMaps) && !isBlank(parser.value(fieldMaps).toStdString())) {
        std::string dir = parser.value(fieldMaps).toStdString();
        options.fieldMapDir = dir.back() == '/' ? dir : dir + "/";
    }
    if (parser.isSet(QStringLiteral("help"))) {
        // The folders in use, worked out only when asked for.
        const std::string exeDir = options.executableDir;
        QString storeText = QString::fromStdString(defaultStoreFolder(exeDir));
        if (parser.isSet(store)) {
            storeText = parser.value(store);
        } else if (const char* env = std::getenv("POS_TRANSFER_STORE"); env && *env) {
            storeText = QString::fromLocal8Bit(env) + QStringLiteral(" (POS_TRANSFER_STORE)");
        }
        parser.setApplicationDescription(
            description + QStringLiteral("\n\nFolders in use:\n  field maps     ") +
            QString::fromStdString(options.fieldMapDir) + QStringLiteral("\n  store          ") +
            storeText + QStringLiteral("\n  new workbooks  ") +
            QString::fromStdString(defaultExportFolder(exeDir)));
        message = parser.helpText();
        return ParseResult::Help;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("Unexpected argument: ") + parser.positionalArguments().first();
        return ParseResult::BadUsage;
    }
    auto text = [&parser](const QCommandLineOption& o) { return parser.value(o).toStdString(); };
    if (parser.isSet(dataSource)) {
        options.dataSource = text(dataSource);
    }
    if (parser.isSet(user)) {
        options.user = text(user);
    }
    if (parser.isSet(catalog)) {
        options.catalog = text(catalog);
    }
    if (const char* password = std::getenv("POS_TRANSFER_PASSWORD"); password && *password) {
        options.password = password;
    }
    if (parser.isSet(store)) {
        options.connection.storeDir = text(store);
    } else if (const char* env = std::getenv("POS_TRANSFER_STORE"); env && *env) {
        options.connection.storeDir = env;
    }
    if (parser.isSet(odbcDriver)) {
        options.connection.odbcDriver = trimmed(text(odbcDriver));
    }
    if (parser.isSet(encrypt)) {
        const QString value = parser.value(encrypt);
        if (value == QLatin1String("yes")) {
            options.connection.encryption = db::OdbcEncryption::Yes;
        } else if (value == QLatin1String("no")) {
            options.connection.encryption = db::OdbcEncryption::No;
        } else if (value == QLatin1String("strict")) {
            options.connection.encryption = db::OdbcEncryption::Strict;
        } else {
            message = QStringLiteral("--encrypt takes yes, no or strict, not ") + value;
            return ParseResult::BadUsage;
        }
    }
    options.connection.trustServerCertificate = parser.isSet(trustServerCertificate);
    if (std::string problem = db::odbcSettingsProblem(options.connection); !problem.empty()) {
        message = QString::fromStdString(problem);
        return ParseResult::BadUsage;
    }
    if (parser.isSet(screenshot)) {
        options.screenshotPath = text(screenshot);
    }
    if (parser.isSet(screenshotMode) &&
        !screenshotSceneNamed(parser.value(screenshotMode), options.screenshotScene, message)) {
        return ParseResult::BadUsage;
    }
    return ParseResult::Ok;
}

}  // namespace pos::app
