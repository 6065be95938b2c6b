// Shared pieces of the window tests.
#include "app/app_helpers.h"

#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QWidget>

#include "TransferApplication.h"
#include "db/SqliteBackend.h"

namespace pos::app::testing {

void ensureApplication() {
    if (QApplication::instance() == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "tests_app";
        static char* argv[] = {name, nullptr};
        // Lives until the process ends, like the program's own.
        new TransferApplication(argc, argv);
    }
}

WindowOptions storeOptions(const std::string& storeDir, const std::string& exeDir) {
    WindowOptions o;
    o.connection.storeDir = storeDir;
    o.executableDir = exeDir;
    o.fieldMapDir = exeDir;
    return o;
}

void createDatabase(const std::string& storeDir, const std::string& name) {
    db::createStoreDatabase(storeDir, name, {"CREATE TABLE menu (ID integer);"});
}

void typeKey(QWidget* w, int key, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &release);
}

std::string readAll(const std::filesystem::path& p) {
    return pos::testing::readFile(p);
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace pos::app::testing
