// The one window of the program: it arranges the controls, owns the database
// connection (each transfer's worker has a session of its own on it) and the
// query of its own checks, and calls the core for everything else (no SQL
// here).
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "MessageBoxes.h"
#include "WindowOptions.h"
#include "db/Connection.h"
#include "transfer/TransferContext.h"
#include "transfer/TransferView.h"

class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QAction;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace pos::app {

class QtTransferView;
class WindowStartHost;

// The main window, named as designed.
class TTransferForm : public QWidget {
    Q_OBJECT

public:
    // FormCreate runs here. `boxes` answers the message boxes (the window's
    // own real boxes when null); it must outlive the window.
    explicit TTransferForm(WindowOptions options, MessageBoxes* boxes = nullptr,
                           QWidget* parent = nullptr);
    ~TTransferForm() override;

    // Handlers, public so that the start flow and the tests reach them.
    void formShow();
    void applyTransferMode();
    void exImTableClick();
    void chooseWorkbookPath();
    void exImButtonClick();
    void n1Click();  // 关于 in the right-click menu
    // The closing message of an import, with the choices of the menu named;
    // when `writeRejects` is set, the box offers to save the rows not
    // imported until they are saved or the box is closed with OK.
    void showImportResult(const QString& text,
                          const transfer::TransferView::RejectsWriter& writeRejects);

    // What closing the window does; by default the process ends at once with
    // exit code 0. A running transfer is first asked to stop at its next row,
    // and the action runs once it has undone its pass and cleaned up; a
    // second close runs it at once. Tests replace it.
    void setCloseAction(std::function<void()> action) { m_closeAction = std::move(action); }
    // Whether a worker holds the choice controls (its view says so when it
    // takes and gives them back); the end of a transfer ends a waiting close.
    bool transferRunning() const { return m_transferRunning; }
    void setTransferRunning(bool running);

    // The state that the start flow and the workers read and write.
    bool exportMode() const;  // ExData checked
    // The dataset the drop-down names, found when the choice changes.
    const datasets::Dataset* currentDataset() const { return m_currentDataset; }
    std::string currentDatasetKey() const {
        return m_currentDataset != nullptr ? m_currentDataset->key : "";
    }
    std::int32_t stationNumber() const { return m_stationNumber; }
    void setStationNumber(std::int32_t n) { m_stationNumber = n; }
    std::string databaseText() const;  // ExIMDataBase
    std::string datasetText() const;   // ExIMTable
    std::string pathText() const;      // PathEdit
    void setPathText(const std::string& text);
    std::string stationText() const;  // StationEdit
    const std::string& executableDir() const { return m_options.executableDir; }
    const std::string& fieldMapDir() const { return m_options.fieldMapDir; }
    const WindowOptions& options() const { return m_options; }

    // What the checkable entries of the right-click menu ask of an import.
    transfer::ImportChoices importChoices() const;

    // SQLConn, kept across transfers, and ConnQuery: the database list and
    // the table checks.
    db::Connection& sqlConn() { return m_sqlConn; }
    db::Query& connQuery() { return m_connQuery; }

    // The view through which a worker reaches this window from its thread.
    transfer::TransferView& transferView();
    MessageBoxes& messageBoxes() { return *m_boxes; }

    // The controls, named as designed (ARCHITECTURE.md maps each name to
    // what it is).
    QRadioButton* exData() const { return m_exData; }
    QRadioButton* imData() const { return m_imData; }
    QComboBox* exIMDataBase() const { return m_exIMDataBase; }
    QComboBox* exIMTable() const { return m_exIMTable; }
    QLineEdit* pathEdit() const { return m_pathEdit; }
    QPushButton* btn1() const { return m_btn1; }       // "..." beside the path
    QProgressBar* gauge1() const { return m_gauge1; }  // the progress bar
    QLineEdit* stationEdit() const { return m_stationEdit; }
    QPushButton* exImButton() const { return m_exImButton; }
    QPushButton* btn3() const { return m_btn3; }        // 退出
    QLabel* label2() const { return m_label2; }         // 导出的设置项 / 导入的设置项
    QLabel* label3() const { return m_label3; }         // the path caption
    QLabel* label4() const { return m_label4; }         // the progress caption
    QLabel* label7() const { return m_label7; }         // 站点号, shown for imports
    QLabel* label5() const { return m_label5; }         // the red notice at the foot
    QMenu* popupMenu1() const { return m_popupMenu1; }  // the right-click menu
    QAction* n1() const { return m_n1; }                // 关于
    QAction* n2() const { return m_n2; }                // 退出
    QAction* n3() const { return m_n3; }  // 试运行（不改变数据库）, checkable
    QAction* n4() const { return m_n4; }  // 更新已有的行, checkable
    QFileDialog* saveFilePath() const { return m_saveFilePath; }
    QFileDialog* openFilePath() const { return m_openFilePath; }
    // Where the rows not imported go, from the result box.
    QFileDialog* rejectsFilePath() const { return m_rejectsFilePath; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void formCreate();
    void imDataClick(bool checked);
    void btn4Click();  // 退出 (btn3)
    void n2Click();    // 退出 in the right-click menu
    // What start-up says when the list of databases is empty: where the store
    // is and how to create the demo there, or that the server has none.
    QString noDatabaseMessage() const;
    // Asks where to save the rows not imported, then writes them and says
    // where, or why not; false when the user cancelled the dialog.
    bool saveRejectedRows(const transfer::TransferView::RejectsWriter& writeRejects);

    WindowOptions m_options;
    std::unique_ptr<MessageBoxes> m_ownBoxes;
    MessageBoxes* m_boxes;
    std::function<void()> m_closeAction;
    bool m_shown = false;
    bool m_transferRunning = false;
    bool m_closeWaits = false;  // closed during a transfer; ends when it does
    // Closing the window sets it: the running worker stops at its next row.
    transfer::StopToken m_stopToken;

    db::Connection m_sqlConn;
    db::Query m_connQuery;
    std::unique_ptr<QtTransferView> m_view;
    // After the connection and the view, so that it goes first and its latest
    // workers are joined, and their sessions closed, while what they use
    // still exists.
    std::unique_ptr<WindowStartHost> m_startHost;

    const datasets::Dataset* m_currentDataset = nullptr;
    std::int32_t m_stationNumber = 0;
    // The file name each dialog holds from its last confirmed use.
    QString m_saveFileName;
    QString m_openFileName;

    QRadioButton* m_exData = nullptr;
    QRadioButton* m_imData = nullptr;
    QLabel* m_label1 = nullptr;  // 请选择数据库
    QComboBox* m_exIMDataBase = nullptr;
    QLabel* m_label2 = nullptr;
    QComboBox* m_exIMTable = nullptr;
    QLabel* m_label3 = nullptr;
    QLineEdit* m_pathEdit = nullptr;
    QPushButton* m_btn1 = nullptr;
    QLabel* m_label4 = nullptr;
    QProgressBar* m_gauge1 = nullptr;
    QLabel* m_label7 = nullptr;
    QLineEdit* m_stationEdit = nullptr;
    QPushButton* m_exImButton = nullptr;
    QPushButton* m_btn3 = nullptr;
    QLabel* m_label5 = nullptr;    // the red notice at the foot
    QLabel* m_label6 = nullptr;    // 版本1.2
    QLabel* m_rzLabel2 = nullptr;  // a blank red spacer before the notice
    QMenu* m_popupMenu1 = nullptr;
    QAction* m_n1 = nullptr;
    QAction* m_n2 = nullptr;
    QAction* m_n3 = nullptr;
    QAction* m_n4 = nullptr;
    QFileDialog* m_saveFilePath = nullptr;
    QFileDialog* m_openFilePath = nullptr;
    QFileDialog* m_rejectsFilePath = nullptr;
};

}  // namespace pos::app
