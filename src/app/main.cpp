// Entry of the desktop program: the application with its title, the options,
// the one window, the message loop.
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TransferApplication.h"
#include "TransferForm.h"
#include "WindowOptions.h"
#include "common/AppFolders.h"
#include "common/Files.h"
#include "common/Translations.h"
#include "transfer/StartTransfer.h"

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

// A picture for the documentation, taken once the window has painted (and
// the scene's dialog or question is open), then the program ends. Set up
// before showing, so that an error report at start-up cannot hold it.
void takeScreenshot(pos::app::TTransferForm& form, const pos::app::WindowOptions& options) {
    using pos::app::ScreenshotScene;
    const ScreenshotScene scene = options.screenshotScene;
    // The dialog lists its folder from a thread of its own; give it time.
    int delay = 500;
    switch (scene) {
        case ScreenshotScene::Export:
            break;
        case ScreenshotScene::Import:
            QTimer::singleShot(200, &form, [&form] { form.imData()->click(); });
            break;
        case ScreenshotScene::Overwrite:
            // As if the user had accepted the default path, which exists.
            QTimer::singleShot(200, &form, [&form] {
                const std::string path =
                    pos::transfer::defaultWorkbookPath(form.executableDir(), form.datasetText());
                if (!pos::fileExists(path)) {
                    std::fprintf(stderr, "pos-transfer：截图需要已有的文件%s。\n", path.c_str());
                    ::_exit(1);
                }
                form.setPathText(path);
                form.exImButton()->click();
            });
            break;
        case ScreenshotScene::OpenDialog:
            QTimer::singleShot(200, &form, [&form] {
                form.imData()->click();
                form.btn1()->click();
            });
            delay = 1500;
            break;
    }
    const std::string path = options.screenshotPath;
    QTimer::singleShot(delay, &form, [&form, path] {
        QWidget* shown = QApplication::activeModalWidget();
        const bool saved =
            (shown != nullptr ? shown : &form)->grab().save(QString::fromStdString(path));
        std::fflush(stdout);
        ::_exit(saved ? 0 : 1);
    });
}

}  // namespace

int main(int argc, char** argv) {
    // The options are read before the application exists, so that --help and
    // a bad option answer on a machine without a display too; the help speaks
    // the user's language.
    pos::loadTranslations(pos::executableDir());
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
        takeScreenshot(form, options);
    }
    form.show();
    return QApplication::exec();
}
