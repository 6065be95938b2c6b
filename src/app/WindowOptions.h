// What the window is started with: the optional server choice of the command
// line and the environment, the store folder and the field-map folder.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>

#include "db/Connection.h"
#include "transfer/Catalogue.h"

namespace pos::app {

// What a picture for the documentation shows: the window in export or import
// mode, the question the start button asks before overwriting a workbook, the
// open dialog of import mode, or the right-click menu open over the window in
// import mode.
enum class ScreenshotScene { Export, Import, Overwrite, OpenDialog, Menu };

struct WindowOptions {
    // Each given option replaces its piece of the start-up arguments.
    std::optional<std::string> dataSource;  // --data-source
    std::optional<std::string> user;        // --user (a SQL login)
    std::optional<std::string> catalog;     // --catalog
    std::optional<std::string> password;    // POS_TRANSFER_PASSWORD, never the command line
    // storeDir from --store or POS_TRANSFER_STORE; the ODBC driver and
    // encryption from --odbc-driver, --encrypt, --trust-server-certificate
    db::ConnectionSettings connection;
    std::string executableDir;   // with its trailing '/'
    std::string fieldMapDir;     // --field-maps, else beside the program; its trailing '/'
    std::string screenshotPath;  // --screenshot: save a picture after start-up, quit
    ScreenshotScene screenshotScene = ScreenshotScene::Export;  // --screenshot-mode
};

// The start-up arguments (integrated security on ".", catalogue "master") with
// the given options put in. A user or a password means a SQL login, so
// integrated security is then left out.
transfer::ConnectionArguments connectionArguments(const WindowOptions& options);

// Options of the executable's folder with nothing given.
WindowOptions defaultWindowOptions();

enum class ParseResult { Ok, Help, BadUsage };

// Parses the command line (the program name first) and the environment. Help
// and BadUsage leave the text to print in `message`.
ParseResult parseWindowOptions(const QStringList& arguments, WindowOptions& options,
                               QString& message);

}  // namespace pos::app
