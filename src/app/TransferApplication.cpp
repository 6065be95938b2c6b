// The application object, Qt's Chinese texts and the catch of errors that
// escape handlers.
#include "TransferApplication.h"

#include <QLibraryInfo>
#include <QLocale>
#include <exception>

#include "MessageBoxes.h"

namespace pos::app {

QString qtChineseTranslationFile() {
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_zh_CN.qm");
}

TransferApplication::TransferApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // Chinese whatever the user's locale, as every other text of the program
    // is: Qt's own texts, and the names and numbers that Qt formats by the
    // default locale (the file types and sizes in the file dialogs). Dates in
    // the dialogs follow the system's locale, which a program cannot change.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    m_qtTranslationsLoaded =
        m_qtTranslator.load(qtChineseTranslationFile()) && installTranslator(&m_qtTranslator);
    m_reporter = [](const QString& text) { showErrorReport(QApplication::activeWindow(), text); };
}

bool TransferApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        m_reporter(QString::fromStdString(e.what()));
    } catch (...) {
        m_reporter(QStringLiteral("发生了未知错误"));
    }
    return false;
}

}  // namespace pos::app
