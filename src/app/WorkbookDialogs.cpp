// The window's workbook dialogs: the save and open dialogs with a filter for
// each workbook format, the choice of the workbook path, and the import's
// result box with its offer to save the rows not imported.
#include "WorkbookDialogs.h"

#include <QAction>
#include <QFileInfo>
#include <QLineEdit>
#include <QStringList>

#include "TransferForm.h"
#include "common/Text.h"
#include "workbook/WorkbookFormats.h"

namespace pos::app {

namespace {

// The dialogs' filter entries, one for each workbook format: the
// description, then the pattern in ASCII parentheses, from which Qt reads
// it; HideNameFilterDetails hides the pattern, so the user sees the
// descriptions alone. The open dialog shows every format together first;
// the save dialog offers the formats in their order, .xls first.
QString formatFilter(const workbook::WorkbookFormat& format) {
    return QString::fromUtf8(format.filterText) + QStringLiteral(" (*") +
           QString::fromLatin1(format.extension) + QLatin1Char(')');
}

QString anyWorkbookFilter() {
    QStringList patterns;
    for (const workbook::WorkbookFormat& format : workbook::workbookFormats()) {
        patterns << QStringLiteral("*") + QString::fromLatin1(format.extension);
    }
    const QString joined = patterns.join(QLatin1Char(' '));
    return QStringLiteral("电子表格文件（%1） (%1)").arg(joined);
}

// The format a file name's extension names; the first one for any other name.
const workbook::WorkbookFormat& formatOfName(const QString& fileName) {
    const workbook::WorkbookFormat* format = workbook::formatForPath(fileName.toStdString());
    return format != nullptr ? *format : workbook::workbookFormats().front();
}

// The description of an entry, as set or as the dialog reports it with the
// pattern hidden.
QString filterDescription(const QString& filter) {
    return filter.left(filter.indexOf(QStringLiteral(" (")));
}

bool isFilter(const QString& filter, const QString& entry) {
    return filterDescription(filter) == filterDescription(entry);
}

// A name typed without an extension gets the one of the chosen filter; the
// first format's under the filter of every format.
void followFilter(QFileDialog* d) {
    const QString chosen = d->selectedNameFilter();
    const workbook::WorkbookFormat* suffix = &workbook::workbookFormats().front();
    for (const workbook::WorkbookFormat& format : workbook::workbookFormats()) {
        if (isFilter(chosen, formatFilter(format))) {
            suffix = &format;
        }
    }
    d->setDefaultSuffix(QString::fromLatin1(suffix->extension + 1));
}

}  // namespace

QFileDialog* workbookDialog(QWidget* parent, const char* name, QFileDialog::AcceptMode mode) {
    auto* d = new QFileDialog(parent);
    d->setObjectName(QString::fromLatin1(name));
    d->setAcceptMode(mode);
    // The open dialog takes any name; the start button says when it is missing.
    d->setFileMode(QFileDialog::AnyFile);
    QStringList filters;
    if (mode == QFileDialog::AcceptOpen) {
        filters << anyWorkbookFilter();
    }
    for (const workbook::WorkbookFormat& format : workbook::workbookFormats()) {
        filters << formatFilter(format);
    }
    d->setNameFilters(filters);
    d->setOption(QFileDialog::HideNameFilterDetails);
    d->selectNameFilter(filters.first());
    followFilter(d);
    QObject::connect(d, &QFileDialog::filterSelected, d, [d] { followFilter(d); });
    // The start button asks about overwriting, not the dialog.
    d->setOption(QFileDialog::DontConfirmOverwrite);
    // Qt's own dialog on every desktop, so the filter reads as designed.
    d->setOption(QFileDialog::DontUseNativeDialog);
    d->setWindowModality(Qt::ApplicationModal);
    return d;
}

void TTransferForm::chooseWorkbookPath() {
    const bool exporting = exportMode();
    QFileDialog* dialog = exporting ? m_saveFilePath : m_openFilePath;
    QString& fileName = exporting ? m_saveFileName : m_openFileName;
    if (!fileName.isEmpty()) {
        // A filter that shows the name, so that it stays in view: the save
        // dialog takes the name's own format; the open dialog keeps its
        // filter unless that hides the name, and then shows every format.
        const QString own = formatFilter(formatOfName(fileName));
        const QString shown = dialog->selectedNameFilter();
        if (exporting) {
            dialog->selectNameFilter(own);
        } else if (!isFilter(shown, anyWorkbookFilter()) && !isFilter(shown, own)) {
            dialog->selectNameFilter(anyWorkbookFilter());
        }
        followFilter(dialog);
        dialog->selectFile(fileName);
    }
    if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
        fileName = dialog->selectedFiles().first();
        if (exporting) {
            // The open dialog starts where the last workbook was saved, so
            // that it is at hand to import; the name it held would take it
            // back to its own folder.
            m_openFilePath->setDirectory(QFileInfo(fileName).absolutePath());
            m_openFileName.clear();
        }
    }
    // Confirmed or cancelled, the name the dialog holds goes into the path
    // when it is not blank.
    if (!isBlank(fileName.toStdString())) {
        m_pathEdit->setText(fileName);
    }
}

void TTransferForm::showImportResult(const QString& text,
                                     const transfer::TransferView::RejectsWriter& writeRejects) {
    QStringList chosen;
    if (m_n3->isChecked()) {
        chosen << m_n3->text();
    }
    if (m_n4->isChecked()) {
        chosen << m_n4->text();
    }
    const QString message =
        chosen.isEmpty()
            ? text
            : text +
                  QStringLiteral("\n\n本次导入所选：%1。").arg(chosen.join(QStringLiteral("、")));
    if (!writeRejects) {
        m_boxes->ok(message);
        return;
    }
    // A cancelled dialog shows the box again, so that the offer is not lost.
    while (m_boxes->messageOffering(message, QStringLiteral("保存未导入的行…"))) {
        if (saveRejectedRows(writeRejects)) {
            return;
        }
    }
}

bool TTransferForm::saveRejectedRows(const transfer::TransferView::RejectsWriter& writeRejects) {
    QFileDialog* dialog = m_rejectsFilePath;
    // Offered beside the workbook, named after it.
    const QFileInfo input(m_pathEdit->text());
    const workbook::WorkbookFormat& format = formatOfName(input.fileName());
    dialog->selectNameFilter(formatFilter(format));
    followFilter(dialog);
    dialog->setDirectory(input.absolutePath());
    dialog->selectFile(input.completeBaseName() + QStringLiteral("_未导入") +
                       QString::fromLatin1(format.extension));
    for (;;) {
        if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
            return false;
        }
        const QString path = dialog->selectedFiles().first();
        const QFileInfo target(path);
        if (target.exists() && input.exists() &&
            target.canonicalFilePath() == input.canonicalFilePath()) {
            m_boxes->ok(QStringLiteral("不能把未导入的行写入正在导入的工作簿“%1”，请换一个文件名。")
                            .arg(path));
            continue;
        }
        if (target.exists() &&
            !m_boxes->yesNo(QStringLiteral("文件“%1”已经存在，是否覆盖？").arg(path))) {
            continue;
        }
        m_boxes->ok(QString::fromStdString(writeRejects(path.toStdString())));
        return true;
    }
}

}  // namespace pos::app
