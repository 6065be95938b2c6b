// The window's message boxes and the general error report.
#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace pos::app {

namespace {

int runBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, caption, text, buttons, owner);
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec();
}

}  // namespace

void QtMessageBoxes::message(const QString& caption, const QString& text) {
    runBox(m_owner, QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
}

bool QtMessageBoxes::yesNo(const QString& text) {
    return runBox(m_owner, QMessageBox::NoIcon, kMessageCaption, text,
                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void QtMessageBoxes::errorReport(const QString& errorText) {
    showErrorReport(m_owner, errorText);
}

QString errorReportText(const QString& errorText) {
    if (!errorText.isEmpty() && errorText.back() > QLatin1Char('.')) {
        return errorText + QLatin1Char('.');
    }
    return errorText;
}

void showErrorReport(QWidget* owner, const QString& errorText) {
    runBox(owner, QMessageBox::Critical, QApplication::applicationDisplayName(),
           errorReportText(errorText), QMessageBox::Ok);
}

}  // namespace pos::app
