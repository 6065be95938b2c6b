// Entry of the desktop program: the application with its title, the options,
// the one window, the message loop.
#include <unistd.h>

#include <QRadioButton>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "TransferApplication.h"
#include "TransferForm.h"
#include "WindowOptions.h"

namespace {

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // The options are read before the application exists, so that --help and
    // a bad option answer on a machine without a display too.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    pos::app::WindowOptions options = pos::app::defaultWindowOptions();
    QString message;
    const pos::app::ParseResult parsed = pos::app::parseWindowOptions(arguments, options, message);
    switch (parsed) {
        case pos::app::ParseResult::Ok:
            break;
        case pos::app::ParseResult::Help:
            // Without an application object the parser cannot name the program.
            message.replace(QStringLiteral("<executable_name>"), QStringLiteral("pos-transfer"));
            std::fputs(qPrintable(message), stdout);
            return 0;
        case pos::app::ParseResult::BadUsage:
            std::fprintf(stderr, "%s\nTry --help.\n", qPrintable(message));
            return 2;
    }

    if (!haveDisplay()) {
        std::fputs(
            "pos-transfer：没有可显示窗口的图形界面（未设置DISPLAY）。\n"
            "请在桌面会话中运行本程序，或在终端中用pos-transfer-cli完成同样的导出和导入。\n",
            stderr);
        return 1;
    }
    pos::app::TransferApplication app(argc, argv);

    pos::app::TTransferForm form(options);

    if (!options.screenshotPath.empty()) {
        // A picture for the documentation: taken once the window has painted,
        // in import mode when asked (as if the user had clicked it). Set up
        // before showing, so that an error report at start-up cannot hold it.
        if (options.screenshotImport) {
            QTimer::singleShot(200, &form, [&form] { form.imData()->click(); });
        }
        QTimer::singleShot(500, &form, [&form, &options] {
            const bool saved = form.grab().save(QString::fromStdString(options.screenshotPath));
            std::fflush(stdout);
            ::_exit(saved ? 0 : 1);
        });
    }
    form.show();
    return QApplication::exec();
}
