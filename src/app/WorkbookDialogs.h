// The window's workbook dialogs: a save or open dialog with a filter for each
// workbook format (WorkbookFormats.h). The window's handlers that use them
// (choosing the workbook path, saving the rows not imported) are members of
// TTransferForm, defined in WorkbookDialogs.cpp.
#pragma once

#include <QFileDialog>

class QWidget;

namespace pos::app {

// A dialog named `name` of Qt's own kind, application-modal, whose filter
// list offers each format (the open dialog every format together first); a
// name typed without an extension gets the chosen filter's. It never asks
// about overwriting: the start button does.
QFileDialog* workbookDialog(QWidget* parent, const char* name, QFileDialog::AcceptMode mode);

}  // namespace pos::app
