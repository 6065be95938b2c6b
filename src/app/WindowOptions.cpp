// The window's command-line options and the start-up connection arguments.
#include "WindowOptions.h"

#include <QCommandLineParser>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/AppFolders.h"
#include "common/Text.h"
#include "common/Translations.h"
#include "common/Unicode.h"
#include "datasets/Datasets.h"
#include "db/ConnectionOptions.h"

#ifndef POS_TRANSFER_VERSION
#error "POS_TRANSFER_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace pos::app {

namespace {

QString translatedText(const char* text) {
    return QString::fromStdString(translated(text));
}

// The help: the usage line, the description, the folders in use and the
// options, each description wrapped beside its option's names. Written here
// rather than by QCommandLineParser, whose headings stay English while no
// application object holds Qt's translations and whose wrapping counts a
// Chinese character as one column.
QString helpText(const QString& description, const std::string& folders,
                 const QList<QCommandLineOption>& options) {
    const std::size_t kLineWidth = 79;
    std::vector<std::pair<std::string, std::string>> rows;
    std::size_t namesWidth = 0;
    for (const QCommandLineOption& option : options) {
        if (option.flags().testFlag(QCommandLineOption::HiddenFromHelp)) {
            continue;
        }
        QStringList names;
        for (const QString& name : option.names()) {
            names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        }
        QString text = names.join(QStringLiteral(", "));
        if (!option.valueName().isEmpty()) {
            text += QStringLiteral(" <") + option.valueName() + QStringLiteral(">");
        }
        rows.emplace_back(text.toStdString(), option.description().toStdString());
        namesWidth = std::max(namesWidth, rows.back().first.size());
    }
    std::string out = translated("Usage: pos-transfer [options]") + "\n";
    for (const std::string& line : wrappedLines(description.toStdString(), kLineWidth)) {
        out += line + "\n";
    }
    out += "\n" + folders + "\n\n" + translated("Options:") + "\n";
    const std::size_t indent = 2 + namesWidth + 2;
    for (const auto& [names, text] : rows) {
        std::string lead = "  " + names + std::string(indent - 2 - names.size(), ' ');
        for (const std::string& line : wrappedLines(text, kLineWidth - indent)) {
            out += lead + line + "\n";
            lead.assign(indent, ' ');
        }
    }
    return QString::fromStdString(out);
}

// The folders in use, worked out only when the help is asked for; `store`
// is the value of --store.
std::string foldersInUse(const WindowOptions& options, const QString& store) {
    const std::string exeDir = options.executableDir;
    std::string storeText = defaultStoreFolder(exeDir);
    if (!store.isEmpty()) {
        storeText = store.toStdString();
    } else if (const char* env = std::getenv("POS_TRANSFER_STORE"); env && *env) {
        storeText = std::string(env) + " (POS_TRANSFER_STORE)";
    }
    return translated(
        "Folders in use:\n"
        "  field maps     %1\n"
        "  store          %2\n"
        "  new workbooks  %3",
        {options.fieldMapDir, storeText, defaultExportFolder(exeDir)});
}

// The scene that --screenshot-mode names; false, with the message, for an
// unknown one.
bool screenshotSceneNamed(const QString& mode, ScreenshotScene& scene, QString& message) {
    const std::pair<const char*, ScreenshotScene> scenes[] = {
        {"export", ScreenshotScene::Export},       {"import", ScreenshotScene::Import},
        {"overwrite", ScreenshotScene::Overwrite}, {"open-dialog", ScreenshotScene::OpenDialog},
        {"menu", ScreenshotScene::Menu},
    };
    const auto* named = std::find_if(std::begin(scenes), std::end(scenes),
                                     [&mode](auto& s) { return mode == QLatin1String(s.first); });
    if (named == std::end(scenes)) {
        message = QStringLiteral("截图方式“") + mode +
                  QStringLiteral(
                      "”无效：--screenshot-mode只接受export、import、overwrite、"
                      "open-dialog或menu。");
        return false;
    }
    scene = named->second;
    return true;
}

}  // namespace

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

ParseResult parseWindowOptions(const QStringList& arguments, WindowOptions& options,
                               QString& message) {
    QCommandLineParser parser;
    const QString description = translatedText(
        "Moves dishes, halls with tables and dish annotations between a database and Excel "
        "workbooks. The password of a SQL login comes from POS_TRANSFER_PASSWORD.");
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  translatedText("Print this help message and exit"));
    const QCommandLineOption dataSource(
        QStringLiteral("data-source"),
        translatedText("SQL Server to connect to (host, host,port, host\\instance, or "
                       "DSN=NAME for a data source of odbc.ini); \".\" (the default) is the "
                       "embedded store."),
        QStringLiteral("SERVER"));
    const QCommandLineOption user(QStringLiteral("user"),
                                  translatedText("SQL login; without it integrated security."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption catalog(QStringLiteral("catalog"),
                                     translatedText("Starting database (default master)."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption store(
        QStringLiteral("store"),
        translatedText("Folder of the embedded store (default: POS_TRANSFER_STORE, else data/ "
                       "beside the program, or in ~/.local/share/pos-transfer when installed)."),
        QStringLiteral("DIR"));
    const QCommandLineOption odbcDriver(
        QStringLiteral("odbc-driver"),
        translatedText("ODBC driver for a SQL Server, as registered with unixODBC (default "
                       "FreeTDS); a name containing FreeTDS gets FreeTDS's keywords, any other "
                       "those of the vendor's driver."),
        QStringLiteral("NAME"));
    const QCommandLineOption encrypt(
        QStringLiteral("encrypt"),
        translatedText("Encryption of the SQL Server connection: yes, no or strict (default: "
                       "the driver's own; FreeTDS has no strict)."),
        QStringLiteral("yes|no|strict"));
    const QCommandLineOption trustServerCertificate(
        QStringLiteral("trust-server-certificate"),
        translatedText("Accept the server's certificate without checking it (FreeTDS checks "
                       "one only when freetds.conf names a CA file)."));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        translatedText("Save a picture of the window after start-up to FILE and quit."),
        QStringLiteral("FILE"));
    const QCommandLineOption screenshotMode(
        QStringLiteral("screenshot-mode"),
        translatedText("What the picture shows: export (the default) or import for the "
                       "window in that mode, overwrite for the question before overwriting "
                       "the default workbook (which must exist), open-dialog for the open "
                       "dialog of import mode, menu for the right-click menu over the window "
                       "in import mode."),
        QStringLiteral("MODE"));
    // As the command line's: the field-map folder, and the version.
    const QCommandLineOption fieldMaps(
        QStringLiteral("field-maps"),
        QString::fromStdString(
            translated("Folder of the field-map files %1 (default: the field-map folder below); "
                       "created when missing",
                       {datasets::datasetKeys(translated(", "), translated(", "), ".ini")})),
        QStringLiteral("DIR"));
    const QCommandLineOption version(QStringLiteral("version"),
                                     translatedText("Print the program's name and version"));
    const QList<QCommandLineOption> all = {
        help,      dataSource, user,       catalog,
        store,     odbcDriver, encrypt,    trustServerCertificate,
        fieldMaps, version,    screenshot, screenshotMode};
    parser.addOptions(all);
    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return ParseResult::BadUsage;
    }
    if (parser.isSet(version)) {
        message = QStringLiteral("pos-transfer " POS_TRANSFER_VERSION "\n");
        return ParseResult::Help;
    }
    // Before the help, which lists the folder in use.
    if (parser.isSet(fieldMaps) && !isBlank(parser.value(fieldMaps).toStdString())) {
        std::string dir = parser.value(fieldMaps).toStdString();
        options.fieldMapDir = dir.back() == '/' ? dir : dir + "/";
    }
    if (parser.isSet(help)) {
        message = helpText(description, foldersInUse(options, parser.value(store)), all);
        return ParseResult::Help;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("多余的参数“") + parser.positionalArguments().first() +
                  QStringLiteral("”：这个程序不接受文件名等参数，选项都以--开头。");
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
    try {
        options.connection = db::connectionSettingsFrom(
            {.store = text(store),
             .odbcDriver = text(odbcDriver),
             .encrypt = text(encrypt),
             .trustServerCertificate = parser.isSet(trustServerCertificate)});
    } catch (const db::ConnectionOptionsError& e) {
        message = QString::fromStdString(e.what());
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
