// The application object and its catch of errors that escape handlers.
#include "TransferApplication.h"

#include <exception>

#include "MessageBoxes.h"

namespace pos::app {

TransferApplication::TransferApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationDisplayName(kApplicationTitle);
    m_reporter = [](const QString& text) { showErrorReport(QApplication::activeWindow(), text); };
}

bool TransferApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        m_reporter(QString::fromStdString(e.what()));
    } catch (...) {
        m_reporter(QStringLiteral("An unexpected error occurred"));
    }
    return false;
}

}  // namespace pos::app
