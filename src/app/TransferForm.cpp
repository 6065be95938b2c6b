// The main window: its controls as designed, start-up, the mode switch, the
// station field, the About box and closing. Its workbook dialogs and the
// import's result box live in WorkbookDialogs.cpp.
#include "TransferForm.h"

#include <unistd.h>

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShowEvent>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "QtTransferView.h"
#include "TransferApplication.h"
#include "WindowStartHost.h"
#include "WorkbookDialogs.h"
#include "common/AppFolders.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "db/ConnectionText.h"
#include "db/SqliteBackend.h"
#include "transfer/Catalogue.h"

namespace pos::app {

namespace {

const QString kFontFamily = QStringLiteral("MS Sans Serif");

// `word` as one word of a shell command line: as it is when it holds only
// characters that the shell takes literally, else in single quotes.
QString shellWord(const QString& word) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./,:@%+=-]+$"));
    if (plain.match(word).hasMatch()) {
        return word;
    }
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QFont designFont(int pixelSize, bool bold = false) {
    QFont font(kFontFamily);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

template <typename W>
W* place(QWidget* parent, const char* name, int left, int top, int width, int height) {
    W* w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(left, top, width, height);
    return w;
}

QLabel* label(QWidget* parent, const char* name, int left, int top, int width, int height,
              const QString& text) {
    QLabel* l = place<QLabel>(parent, name, left, top, width, height);
    l->setText(text);
    return l;
}

void makeRed(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, Qt::red);
    w->setPalette(p);
}

// The store's folder as the user reads it: absolute, without a trailing
// separator.
QString storeFolderText(const db::ConnectionSettings& settings) {
    std::error_code ec;
    std::filesystem::path dir =
        std::filesystem::absolute(db::storeDirectory(settings), ec).lexically_normal();
    if (!dir.has_filename()) {
        dir = dir.parent_path();  // no trailing separator
    }
    return QString::fromStdString(dir.string());
}

}  // namespace

TTransferForm::TTransferForm(WindowOptions options, MessageBoxes* boxes, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_options(std::move(options)),
      m_ownBoxes(boxes ? nullptr : std::make_unique<QtMessageBoxes>(this)),
      m_boxes(boxes ? boxes : m_ownBoxes.get()),
      m_closeAction([] { ::_exit(0); }),
      m_sqlConn(m_options.connection),
      m_connQuery(m_sqlConn),
      m_view(std::make_unique<QtTransferView>(*this, m_stopToken)),
      m_startHost(std::make_unique<WindowStartHost>(*this)) {
    buildControls();
    formCreate();
}

TTransferForm::~TTransferForm() = default;

void TTransferForm::buildControls() {
    setObjectName(QStringLiteral("TransferForm"));
    setWindowTitle(kApplicationTitle);
    setFixedSize(422, 309);
    setFont(designFont(19));

    m_exData = place<QRadioButton>(this, "ExData", 47, 16, 145, 33);
    m_exData->setText(QStringLiteral("导出数据"));
    m_exData->setFont(designFont(24, true));
    m_imData = place<QRadioButton>(this, "IMData", 244, 16, 133, 33);
    m_imData->setText(QStringLiteral("导入数据"));
    m_imData->setFont(designFont(24, true));

    m_label1 = label(this, "Label1", 24, 56, 165, 24, QStringLiteral("请选择数据库："));
    m_exIMDataBase = place<QComboBox>(this, "ExIMDataBase", 184, 50, 225, 32);
    m_exIMDataBase->setEditable(false);

    m_label2 = label(this, "Label2", 24, 100, 153, 24, QStringLiteral("导出的设置项："));
    m_exIMTable = place<QComboBox>(this, "ExIMTable", 184, 94, 225, 32);
    m_exIMTable->setEditable(false);
    for (const datasets::Dataset& d : datasets::kDatasets) {
        m_exIMTable->addItem(QString::fromUtf8(d.displayText));
    }
    m_exIMTable->setCurrentIndex(0);

    m_label3 = label(this, "Label3", 24, 137, 155, 24, QStringLiteral("数据导出路径："));
    m_pathEdit = place<QLineEdit>(this, "PathEdit", 184, 135, 193, 32);
    m_pathEdit->setReadOnly(true);
    m_btn1 = place<QPushButton>(this, "btn1", 376, 134, 33, 35);
    m_btn1->setText(QStringLiteral("..."));
    m_btn1->setFont(designFont(27));

    m_label4 = label(this, "Label4", 24, 179, 155, 24, QStringLiteral("数据导出进度："));
    m_gauge1 = place<QProgressBar>(this, "Gauge1", 184, 176, 225, 33);
    m_gauge1->setOrientation(Qt::Horizontal);
    m_gauge1->setRange(0, 300);
    m_gauge1->setValue(0);
    m_gauge1->setFormat(QStringLiteral("%p%"));
    m_gauge1->setTextVisible(true);
    m_gauge1->setAlignment(Qt::AlignCenter);
    m_gauge1->setStyleSheet(
        QStringLiteral("QProgressBar { border: none; font-weight: bold; text-align: center; }"
                       "QProgressBar::chunk { background-color: #008000; }"));

    m_label7 = label(this, "Label7", 26, 221, 89, 24, QStringLiteral("站点号："));
    m_stationEdit = place<QLineEdit>(this, "StationEdit", 112, 219, 65, 32);
    // StationEditKeyPress: only the digits 0 to 9 pass (typed or pasted),
    // backspace works as always, at most 4 characters.
    m_stationEdit->setMaxLength(4);
    m_stationEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]*")), m_stationEdit));

    m_exImButton = place<QPushButton>(this, "ExImButton", 184, 215, 81, 41);
    m_exImButton->setText(QStringLiteral("导出"));
    m_exImButton->setFont(designFont(27));
    m_btn3 = place<QPushButton>(this, "btn3", 312, 215, 81, 41);
    m_btn3->setText(QStringLiteral("退出"));
    m_btn3->setFont(designFont(27));

    m_label5 = label(this, "Label5", 24, 267, 385, 38,
                     QStringLiteral("注意：该工具用于将数据从SQL数据库导出到Excel表格中，或者从"
                                    "Excel表格将数据导入到SQL数据库中。"));
    m_label5->setWordWrap(true);
    m_label5->setFont(designFont(15));
    makeRed(m_label5);
    m_label6 = label(this, "Label6", 368, 291, 63, 16, QStringLiteral("版本1.2"));
    m_label6->setFont(designFont(13, true));
    makeRed(m_label6);
    m_rzLabel2 = label(this, "RzLabel2", 24, 288, 6, 16, QStringLiteral("  "));
    m_rzLabel2->setWordWrap(true);
    m_rzLabel2->setFont(designFont(15));
    makeRed(m_rzLabel2);

    for (QWidget* w : {static_cast<QWidget*>(m_exIMDataBase), static_cast<QWidget*>(m_exIMTable),
                       static_cast<QWidget*>(m_pathEdit), static_cast<QWidget*>(m_exImButton),
                       static_cast<QWidget*>(m_btn3), static_cast<QWidget*>(m_btn1),
                       static_cast<QWidget*>(m_exData), static_cast<QWidget*>(m_imData),
                       static_cast<QWidget*>(m_stationEdit)}) {
        w->setFocusPolicy(Qt::StrongFocus);
    }
    setTabOrder(m_exIMDataBase, m_exIMTable);
    setTabOrder(m_exIMTable, m_pathEdit);
    setTabOrder(m_pathEdit, m_exImButton);
    setTabOrder(m_exImButton, m_btn3);
    setTabOrder(m_btn3, m_btn1);
    setTabOrder(m_btn1, m_exData);
    setTabOrder(m_exData, m_imData);
    setTabOrder(m_imData, m_stationEdit);

    m_popupMenu1 = new QMenu(this);
    m_popupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    // The command line's --dry-run and --update-existing, for the imports
    // started while they are checked.
    m_n3 = m_popupMenu1->addAction(QStringLiteral("试运行（不改变数据库）"));
    m_n3->setObjectName(QStringLiteral("N3"));
    m_n3->setCheckable(true);
    m_n4 = m_popupMenu1->addAction(QStringLiteral("更新已有的行"));
    m_n4->setObjectName(QStringLiteral("N4"));
    m_n4->setCheckable(true);
    m_popupMenu1->addSeparator();
    m_n1 = m_popupMenu1->addAction(QStringLiteral("关于"));
    m_n1->setObjectName(QStringLiteral("N1"));
    m_n2 = m_popupMenu1->addAction(QStringLiteral("退出"));
    m_n2->setObjectName(QStringLiteral("N2"));
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { m_popupMenu1->popup(mapToGlobal(pos)); });

    m_saveFilePath = workbookDialog(this, "SaveFilePath", QFileDialog::AcceptSave);
    m_openFilePath = workbookDialog(this, "OpenFilePath", QFileDialog::AcceptOpen);
    m_rejectsFilePath = workbookDialog(this, "RejectsFilePath", QFileDialog::AcceptSave);

    connect(m_exData, &QRadioButton::toggled, this, &TTransferForm::imDataClick);
    connect(m_imData, &QRadioButton::toggled, this, &TTransferForm::imDataClick);
    connect(m_exIMTable, &QComboBox::activated, this, &TTransferForm::exImTableClick);
    connect(m_btn1, &QPushButton::clicked, this, &TTransferForm::chooseWorkbookPath);
    connect(m_exImButton, &QPushButton::clicked, this, &TTransferForm::exImButtonClick);
    connect(m_btn3, &QPushButton::clicked, this, &TTransferForm::btn4Click);
    connect(m_n1, &QAction::triggered, this, &TTransferForm::n1Click);
    connect(m_n2, &QAction::triggered, this, &TTransferForm::n2Click);
}

void TTransferForm::formCreate() {
    // Centred on the desktop.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect desk = screen->availableGeometry();
        move(desk.center() - QPoint(width() / 2, height() / 2));
    }
    try {
        // A folder given with --field-maps is created, as the command line
        // creates it.
        std::error_code error;
        std::filesystem::create_directories(m_options.fieldMapDir, error);
        if (error) {
            throw std::runtime_error("无法创建字段对应文件的文件夹“" + m_options.fieldMapDir +
                                     "”（" + error.message() +
                                     "），请用--field-maps选择另一个文件夹。");
        }
        datasets::writeDefaultFieldMaps(m_options.fieldMapDir);
    } catch (const std::exception& e) {
        m_boxes->errorReport(QString::fromStdString(e.what()));
    }
}

void TTransferForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        formShow();
    }
}

void TTransferForm::formShow() {
    std::vector<std::string> databases;
    try {
        databases = transfer::connectAndListDatabases(m_sqlConn, m_connQuery,
                                                      connectionArguments(m_options));
    } catch (const std::exception& e) {
        // The rest of start-up does not run; the window shows as it is.
        m_boxes->errorReport(QString::fromStdString(e.what()));
        return;
    }
    m_exIMDataBase->clear();
    for (const std::string& name : databases) {
        m_exIMDataBase->addItem(QString::fromStdString(name));
    }
    m_exIMDataBase->setCurrentIndex(m_exIMDataBase->count() > 0 ? 0 : -1);
    m_exIMTable->setCurrentIndex(0);
    m_currentDataset = datasets::datasetFromCombo(datasetText());
    // Checking ExData runs the mode switch when it was not checked yet.
    m_exData->setChecked(true);
    const QString dir = QString::fromStdString(defaultExportFolder(m_options.executableDir));
    m_saveFilePath->setDirectory(dir);
    m_openFilePath->setDirectory(dir);
    m_gauge1->setValue(0);
    if (databases.empty()) {
        // Said once, so that an empty list is not taken for a fault of the
        // window; the start button then asks for a database.
        m_boxes->ok(noDatabaseMessage());
    }
}

QString TTransferForm::noDatabaseMessage() const {
    const db::ConnectionText text = db::ConnectionText::parse(m_sqlConn.connectionText());
    if (!text.isEmbeddedStore()) {
        return QStringLiteral(
                   "数据库服务器“%1”上没有用户数据库。\n\n"
                   "请先在服务器上建立数据库，然后重新启动本程序。")
            .arg(QString::fromStdString(connectionArguments(m_options).dataSource));
    }
    const QString folder = storeFolderText(m_options.connection);
    return QStringLiteral(
               "数据库文件夹“%1”中没有数据库。\n\n"
               "要建立演示数据库pos_demo，请在终端中运行：\n"
               "pos-transfer-cli --store %2 demo pos_demo\n"
               "然后重新启动本程序。")
        .arg(folder, shellWord(folder));
}

void TTransferForm::imDataClick(bool checked) {
    // Only the button that became checked switches the mode; clicking the
    // mode in force changes nothing.
    if (checked) {
        applyTransferMode();
    }
}

bool TTransferForm::exportMode() const {
    return m_exData->isChecked();
}

void TTransferForm::applyTransferMode() {
    const bool exporting = exportMode();
    m_label2->setText(exporting ? QStringLiteral("导出的设置项：")
                                : QStringLiteral("导入的设置项："));
    m_label3->setText(exporting ? QStringLiteral("数据导出路径：")
                                : QStringLiteral("数据导入路径："));
    m_label4->setText(exporting ? QStringLiteral("数据导出进度：")
                                : QStringLiteral("数据导入进度："));
    m_exImButton->setText(exporting ? QStringLiteral("导出") : QStringLiteral("导入"));
    const bool importing = m_imData->isChecked();
    m_label7->setVisible(importing);
    m_stationEdit->setVisible(importing);
    m_currentDataset = datasets::datasetFromCombo(datasetText());
    m_pathEdit->clear();
}

void TTransferForm::exImTableClick() {
    m_currentDataset = datasets::datasetFromCombo(datasetText());
}

void TTransferForm::exImButtonClick() {
    // Settle the path, ask and check, then start the worker of the chosen
    // direction; the flow itself lives in the core.
    transfer::exImButtonClick(*m_startHost);
}

void TTransferForm::n1Click() {
    m_boxes->message(
        QStringLiteral("关于程序"),
        QStringLiteral(
            "此版本为版本1.1，此版本导入菜品信息导入原来的菜品编号，并修正导入失败问题。\n\n"
            "字段对应文件夹：%1\n数据库文件夹：%2\n默认导出文件夹：%3")
            .arg(QString::fromStdString(m_options.fieldMapDir),
                 storeFolderText(m_options.connection),
                 QString::fromStdString(defaultExportFolder(m_options.executableDir))));
}

void TTransferForm::btn4Click() {
    close();
}

void TTransferForm::n2Click() {
    m_btn3->click();
}

void TTransferForm::closeEvent(QCloseEvent* event) {
    // A transfer cut off at once would leave its pass half done (an import's
    // categories without their dishes) and its staging tables behind: it is
    // asked to stop as Ctrl-C asks in the CLI, and the window closes when its
    // clean-up has run. Asked twice, the window closes at once.
    if (m_transferRunning && !m_closeWaits) {
        event->ignore();
        m_closeWaits = true;
        m_stopToken.request(transfer::StopToken::kWindowClosed);
        m_label4->setText(QStringLiteral("正在停止…"));
        m_label5->setText(QStringLiteral(
            "正在停止：撤销这一步写入的数据并清理后自动退出。再次退出将立即结束程序。"));
        return;
    }
    m_closeWaits = false;
    event->accept();
    m_closeAction();
}

void TTransferForm::setTransferRunning(bool running) {
    m_transferRunning = running;
    if (!running && m_closeWaits) {
        close();
    }
}

std::string TTransferForm::databaseText() const {
    return m_exIMDataBase->currentText().toStdString();
}

std::string TTransferForm::datasetText() const {
    return m_exIMTable->currentText().toStdString();
}

std::string TTransferForm::pathText() const {
    return m_pathEdit->text().toStdString();
}

void TTransferForm::setPathText(const std::string& text) {
    m_pathEdit->setText(QString::fromStdString(text));
}

std::string TTransferForm::stationText() const {
    return m_stationEdit->text().toStdString();
}

transfer::ImportChoices TTransferForm::importChoices() const {
    transfer::ImportChoices choices;
    choices.dryRun = m_n3->isChecked();
    choices.updateExisting = m_n4->isChecked();
    choices.offerRejects = true;
    return choices;
}

transfer::TransferView& TTransferForm::transferView() {
    return *m_view;
}

}  // namespace pos::app
