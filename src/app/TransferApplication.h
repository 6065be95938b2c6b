// The application object: Qt's own Chinese texts for the standard buttons
// and dialogs, and an error that escapes a handler on the window's thread
// goes to the general error report while the window stays open.
#pragma once

#include <QApplication>
#include <QTranslator>
#include <functional>

namespace pos::app {

// The title of the window and of the general error report. It is not the
// application's display name: Qt would append that to the title bar of every
// other window ("提示 — …"), and the boxes carry their captions alone.
inline const QString kApplicationTitle = QStringLiteral("SQL数据库与Excel数据互导");

// Qt's Chinese translation file of its base module, in Qt's translation
// folder (Debian package qt6-translations-l10n).
QString qtChineseTranslationFile();

class TransferApplication : public QApplication {
public:
    TransferApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the report of an error that escaped a handler; by default the
    // general error report owned by the active window.
    void setErrorReporter(std::function<void(const QString&)> reporter) {
        m_reporter = std::move(reporter);
    }

    // Whether Qt's Chinese texts were found and installed; without them the
    // standard buttons and the file dialogs read in English.
    bool qtTranslationsLoaded() const { return m_qtTranslationsLoaded; }

private:
    std::function<void(const QString&)> m_reporter;
    QTranslator m_qtTranslator;
    bool m_qtTranslationsLoaded = false;
};

}  // namespace pos::app
