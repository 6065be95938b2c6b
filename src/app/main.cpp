// Entry of the desktop program: the application with its title, the options,
// the one window, the message loop.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
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

// The window with its right-click menu open over it, as the user sees them:
// the menu is a window of its own, painted onto the window's picture where it
// opened. No picture when the menu did not open.
QPixmap windowWithMenu(QWidget& form, QWidget& menu) {
    if (!menu.isVisible()) {
        std::fputs("pos-transfer：截图时右键菜单没有打开。\n", stderr);
        return {};
    }
    const QRect window(form.mapToGlobal(QPoint(0, 0)), form.size());
    const QRect whole = window.united(menu.geometry());
    QPixmap picture(whole.size());
    picture.fill(form.palette().color(QPalette::Window));
    QPainter painter(&picture);
    painter.drawPixmap(window.topLeft() - whole.topLeft(), form.grab());
    painter.drawPixmap(menu.geometry().topLeft() - whole.topLeft(), menu.grab());
    painter.end();
    return picture;
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
        case ScreenshotScene::Menu:
            // In import mode, which the menu's checkable entries are for, one
            // of them checked, then a right-click left of the fields.
            QTimer::singleShot(200, &form, [&form] {
                form.imData()->click();
                form.n3()->trigger();
                const QPoint at(form.width() / 10, form.height() / 3);
                QContextMenuEvent click(QContextMenuEvent::Mouse, at, form.mapToGlobal(at));
                QApplication::sendEvent(&form, &click);
            });
            break;
    }
    const std::string path = options.screenshotPath;
    QTimer::singleShot(delay, &form, [&form, path, scene] {
        QWidget* shown = QApplication::activeModalWidget();
        const QPixmap picture = scene == ScreenshotScene::Menu
                                    ? windowWithMenu(form, *form.popupMenu1())
                                    : (shown != nullptr ? shown : &form)->grab();
        const bool saved = picture.save(QString::fromStdString(path));
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
            std::fprintf(stderr, "%s\n请用--help查看可用的选项。\n", qPrintable(message));
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
