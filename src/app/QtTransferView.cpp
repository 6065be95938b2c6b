// Marshals a worker's calls to the window's thread.
#include "QtTransferView.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <algorithm>
#include <iostream>

#include "TransferForm.h"

namespace pos::app {

template <typename F>
void QtTransferView::runOnWindowThread(F&& f) {
    if (QThread::currentThread() == m_form.thread()) {
        f();
        return;
    }
    // Blocking: the worker goes on only after the window has done it, and the
    // calls keep their order.
    QMetaObject::invokeMethod(&m_form, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

void QtTransferView::setChoiceControlsEnabled(bool enabled) {
    runOnWindowThread([this, enabled] {
        m_form.exData()->setEnabled(enabled);
        m_form.imData()->setEnabled(enabled);
        m_form.exIMDataBase()->setEnabled(enabled);
        m_form.exIMTable()->setEnabled(enabled);
        m_form.btn1()->setEnabled(enabled);
        m_form.exImButton()->setEnabled(enabled);
        // A worker holds the controls from its start to the end of its
        // clean-up: that is the transfer a close waits for.
        m_form.setTransferRunning(!enabled);
    });
}

void QtTransferView::setProgress(int position) {
    if (m_progressHook) {
        m_progressHook(position);
    }
    const int clamped = std::clamp(position, 0, 300);
    if (m_lastProgress.exchange(clamped) == clamped) {
        return;
    }
    if (QThread::currentThread() == m_form.thread()) {
        m_form.gauge1()->setValue(clamped);
        return;
    }
    // Queued events keep their order with the blocking calls that follow, so
    // the gauge never shows an older position after a newer one.
    QMetaObject::invokeMethod(
        &m_form, [this, clamped] { m_form.gauge1()->setValue(clamped); }, Qt::QueuedConnection);
}

void QtTransferView::clearPath() {
    runOnWindowThread([this] { m_form.pathEdit()->clear(); });
}

void QtTransferView::showMessage(const std::string& text) {
    if (stopRequested()) {
        // Only closing the window stops a transfer here, and a box would
        // hold the exit the user asked for.
        std::cerr << text << std::endl;
        return;
    }
    const QString message = QString::fromStdString(text);
    runOnWindowThread([this, message] { m_form.messageBoxes().ok(message); });
}

void QtTransferView::showImportResult(const std::string& text, const RejectsWriter& writeRejects) {
    if (stopRequested()) {
        std::cerr << text << std::endl;
        return;
    }
    const QString message = QString::fromStdString(text);
    // The worker waits for the box, so the writer it lent stays valid while
    // the window calls it.
    runOnWindowThread(
        [this, message, &writeRejects] { m_form.showImportResult(message, writeRejects); });
}

}  // namespace pos::app
