// The window's message boxes and the general error report.
#include "MessageBoxes.h"

#include <QMessageBox>
#include <QPushButton>

#include "TransferApplication.h"

namespace pos::app {

namespace {

// A box shows this many lines of a long text (an import that lists every
// refused row); the whole text is under the box's details, where it scrolls.
// The hint names the details button as Qt's Chinese translation labels it.
constexpr int kShownLines = 30;

// Shows the box; `action`, when not empty, labels one more button, and the
// result is -1 when that one was chosen.
int runBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons, const QString& action = {}) {
    QMessageBox box(icon, caption, text, buttons, owner);
    QPushButton* actionButton =
        action.isEmpty() ? nullptr : box.addButton(action, QMessageBox::ActionRole);
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > kShownLines) {
        box.setText(lines.mid(0, kShownLines).join(QLatin1Char('\n')) +
                    QStringLiteral("\n……（共%1行，全文请点“显示详情...”查看）").arg(lines.size()));
        box.setDetailedText(text);
    }
    box.setWindowModality(Qt::ApplicationModal);
    const int result = box.exec();
    return actionButton != nullptr && box.clickedButton() == actionButton ? -1 : result;
}

}  // namespace

void QtMessageBoxes::message(const QString& caption, const QString& text) {
    runBox(m_owner, QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
}

bool QtMessageBoxes::yesNo(const QString& text) {
    return runBox(m_owner, QMessageBox::NoIcon, kMessageCaption, text,
                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

bool QtMessageBoxes::messageOffering(const QString& text, const QString& action) {
    return runBox(m_owner, QMessageBox::NoIcon, kMessageCaption, text, QMessageBox::Ok, action) ==
           -1;
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
    runBox(owner, QMessageBox::Critical, kApplicationTitle, errorReportText(errorText),
           QMessageBox::Ok);
}

}  // namespace pos::app
