// Shared pieces of the window tests: the application object, a temporary
// folder (the shared one), message boxes that record and answer, and event helpers.
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>

#include "MessageBoxes.h"
#include "TransferForm.h"
#include "WindowOptions.h"
#include "support/TempDir.h"

class QWidget;

namespace pos::app::testing {

// The one application object of the test binary (created on first use).
void ensureApplication();

using ::pos::testing::TempDir;

// Records every box; Yes/No answers come from `answers` (Yes when empty).
class RecordingBoxes : public MessageBoxes {
public:
    void message(const QString& caption, const QString& text) override {
        captions << caption;
        messages << text;
    }
    bool yesNo(const QString& text) override {
        questions << text;
        if (answers.empty()) {
            return true;
        }
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    // Recorded as a message too; the extra button is chosen while
    // `offerAnswers` says so (OK when empty).
    bool messageOffering(const QString& text, const QString& action) override {
        message(kMessageCaption, text);
        offers << action;
        if (offerAnswers.empty()) {
            return false;
        }
        bool a = offerAnswers.front();
        offerAnswers.pop_front();
        return a;
    }
    void errorReport(const QString& errorText) override { errors << errorText; }

    QStringList captions;
    QStringList messages;
    QStringList questions;
    QStringList errors;
    std::deque<bool> answers;
    QStringList offers;  // the extra button of each box that had one
    std::deque<bool> offerAnswers;
};

// Records the boxes and, for each OK message, whether the start button was
// enabled at that moment (the worker shows its outcome before giving the
// window back).
class WatchingBoxes : public RecordingBoxes {
public:
    void message(const QString& caption, const QString& text) override {
        RecordingBoxes::message(caption, text);
        if (form != nullptr) {
            startEnabledAtMessage.push_back(form->exImButton()->isEnabled());
            datasetEnabledAtMessage.push_back(form->exIMTable()->isEnabled());
        }
    }
    TTransferForm* form = nullptr;
    std::vector<bool> startEnabledAtMessage;
    std::vector<bool> datasetEnabledAtMessage;
};

// Options for a window on a store folder, with the field maps and the
// dialogs in `exeDir`.
WindowOptions storeOptions(const std::string& storeDir, const std::string& exeDir);

// Creates a store database with one small table.
void createDatabase(const std::string& storeDir, const std::string& name);

// Sends a key press (and release) with its text, as typing does.
void typeKey(QWidget* w, int key, const QString& text = {});

// The whole file at `p` as bytes; empty when it cannot be read.
std::string readAll(const std::filesystem::path& p);

// Handles events until `done` holds (true) or `milliseconds` pass (false).
bool waitUntil(const std::function<bool()>& done, int milliseconds = 60000);

}  // namespace pos::app::testing
