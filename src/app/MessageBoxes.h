// The message boxes of the window behind one small interface, so that the
// tests can answer them: the system's own boxes (caption "提示", no icon) and
// the general error report (application title, stop icon).
#pragma once

#include <QString>

class QWidget;

namespace pos::app {

inline const QString kMessageCaption = QStringLiteral("提示");

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // A modal box with an OK button and no icon.
    virtual void message(const QString& caption, const QString& text) = 0;
    // A modal box with Yes and No and no icon; true for Yes.
    virtual bool yesNo(const QString& text) = 0;
    // A modal box captioned "提示" with OK and one more button labelled
    // `action`, no icon; true when that button was chosen.
    virtual bool messageOffering(const QString& text, const QString& action) = 0;
    // The general error report: the error's text as errorReportText() gives
    // it, titled with the application title, stop icon, OK.
    virtual void errorReport(const QString& errorText) = 0;

    void ok(const QString& text) { message(kMessageCaption, text); }
};

// Real modal boxes owned by `owner`.
class QtMessageBoxes : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* owner) : m_owner(owner) {}
    void message(const QString& caption, const QString& text) override;
    bool yesNo(const QString& text) override;
    bool messageOffering(const QString& text, const QString& action) override;
    void errorReport(const QString& errorText) override;

private:
    QWidget* m_owner;
};

// The report's text: the error's text with a full stop appended when its
// last character sorts after the full stop.
QString errorReportText(const QString& errorText);

// Shows the general error report owned by `owner` (may be null).
void showErrorReport(QWidget* owner, const QString& errorText);

}  // namespace pos::app
