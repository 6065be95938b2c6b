// The application object: an error that escapes a handler on the window's
// thread goes to the general error report and the window stays open.
#pragma once

#include <QApplication>
#include <functional>

namespace pos::app {

inline const QString kApplicationTitle = QStringLiteral("SQL数据库与Excel数据互导");

class TransferApplication : public QApplication {
public:
    TransferApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the report of an error that escaped a handler; by default the
    // general error report owned by the active window.
    void setErrorReporter(std::function<void(const QString&)> reporter) {
        m_reporter = std::move(reporter);
    }

private:
    std::function<void(const QString&)> m_reporter;
};

}  // namespace pos::app
