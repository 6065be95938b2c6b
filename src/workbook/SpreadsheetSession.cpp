// The in-process workbook session: a new workbook whose first sheet collects
// written cells in a spool, or an opened workbook whose first sheet was read
// into a grid. Saving is atomic: a temporary file beside the target, renamed
// over it only when complete.
#include "workbook/SpreadsheetSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "common/AtomicFile.h"
#include "common/Cleanup.h"
#include "common/Files.h"
#include "common/Text.h"
#include "common/Unicode.h"
#include "workbook/CellSpool.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "workbook/WorkbookFormats.h"

namespace pos::workbook {

namespace {

enum class Phase { Empty, Started, Quit, Released };

// Why a sheet name is not acceptable, or empty when it is.
std::string sheetNameProblem(const std::string& name) {
    if (name.empty()) {
        return "工作表名称不能为空";
    }
    if (utf16Length(name) > static_cast<std::size_t>(kMaxSheetNameCharacters)) {
        return "工作表名称最多31个字符";
    }
    if (name.find_first_of(":\\/?*[]") != std::string::npos) {
        return "工作表名称不能包含 : \\ / ? * [ ] 这些字符";
    }
    if (name.front() == '\'' || name.back() == '\'') {
        return "工作表名称不能以单引号开头或结尾";
    }
    return {};
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names once its symbolic links are followed (the path
// itself when it is no link); a link to a file not yet there gives that file.
std::string followLinks(const std::string& path) {
    std::string target = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return target;
        }
        std::string link(4096, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            break;
        }
        link.resize(static_cast<std::size_t>(n));
        target = !link.empty() && link.front() == '/' ? link : folderOf(target) + "/" + link;
    }
    throw WorkbookError(
        "无法将工作簿保存为" + inQuotes(path) +
            "：它是一个无法解析的符号链接（链接层数过多或链接无法读取）。请检查保存路径。",
        WorkbookFault::CannotWrite);
}

}  // namespace

struct SpreadsheetSession::State {
    Phase phase = Phase::Empty;
    bool hasWorkbook = false;
    bool created = false;  // added by this session (written), not opened (read)
    std::vector<std::string> sheetNames;
    std::unique_ptr<CellSpool> spool;  // the first sheet of a new workbook
    SheetData grid;                    // the first sheet of an opened workbook
    std::optional<std::size_t> attached;
    bool wrap = false;

    void requireStarted(const char* operation) const {
        if (phase != Phase::Started) {
            throw WorkbookError(std::string("无法") + operation +
                                "：工作簿引擎没有启动。请先启动工作簿引擎。");
        }
    }
    void requireWorkbook(const char* operation) const {
        requireStarted(operation);
        if (!hasWorkbook) {
            throw WorkbookError(std::string("无法") + operation +
                                "：没有打开的工作簿。请先新建或打开一个工作簿。");
        }
    }
    void requireSheet(const char* operation) const {
        requireWorkbook(operation);
        if (!attached) {
            throw WorkbookError(std::string("无法") + operation +
                                "：还没有选择工作表。请先选择一个工作表。");
        }
    }
    // The index of the sheet named `key`, compared without regard to case.
    std::size_t sheetIndex(const std::string& key) const {
        for (std::size_t i = 0; i < sheetNames.size(); ++i) {
            if (equalsIgnoreCase(sheetNames[i], key)) {
                return i;
            }
        }
        throw WorkbookError("工作簿中没有名为" + inQuotes(key) + "的工作表。请检查工作表名称。");
    }
    // Only the first worksheet's cells are loaded; it is the one every caller uses.
    void requireFirst(std::size_t index, const std::string& key) const {
        if (index != 0) {
            throw WorkbookError("工作表" + inQuotes(key) +
                                "不是工作簿的第一个工作表，而只有第一个工作表会被读取。请把数据放在"
                                "第一个工作表中。");
        }
    }
    void requireWritable(int row, int column) const;
    void dropWorkbook() {
        hasWorkbook = false;
        created = false;
        sheetNames.clear();
        spool.reset();
        grid = SheetData();
        attached.reset();
        wrap = false;
    }
    // Quit or not, the workbook goes and the session cannot start again.
    void release() {
        dropWorkbook();
        phase = Phase::Released;
    }
};

SpreadsheetSession::SpreadsheetSession() : m_state(std::make_unique<State>()) {}
SpreadsheetSession::~SpreadsheetSession() {
    runCleanup("释放工作簿引擎", [this] { m_state->release(); });
}

void SpreadsheetSession::startExcel() {
    if (m_state->phase == Phase::Started) {
        throw WorkbookError("本会话的工作簿引擎已经在运行，不能再次启动。");
    }
    if (m_state->phase != Phase::Empty) {
        throw WorkbookError("本工作簿会话已经结束，请新建一个会话。");
    }
    m_state->phase = Phase::Started;
}

void SpreadsheetSession::addWorkbook() {
    State& s = *m_state;
    s.requireStarted("新建工作簿");
    s.dropWorkbook();
    s.hasWorkbook = true;
    s.created = true;
    s.sheetNames = {"Sheet1"};
    s.spool = std::make_unique<CellSpool>();
}

void SpreadsheetSession::openWorkbook(const std::string& path, int rowLimit) {
    State& s = *m_state;
    s.requireStarted("打开工作簿");
    WorkbookData data = readWorkbookFile(path, rowLimit);
    if (data.sheetNames.empty()) {
        throw WorkbookError("无法读取工作簿" + inQuotes(path) +
                            "：其中没有工作表。请添加一个含有数据的工作表后重试。");
    }
    s.dropWorkbook();
    s.hasWorkbook = true;
    s.sheetNames = std::move(data.sheetNames);
    s.grid = std::move(data.firstSheet);
}

void SpreadsheetSession::nameFirstSheet(const std::string& key) {
    State& s = *m_state;
    s.requireWorkbook("重命名第一个工作表");
    const std::string problem = sheetNameProblem(key);
    if (!problem.empty()) {
        throw WorkbookError("无法将第一个工作表命名为" + inQuotes(key) + "：" + problem +
                            "。请换一个名称。");
    }
    for (std::size_t i = 1; i < s.sheetNames.size(); ++i) {
        if (equalsIgnoreCase(s.sheetNames[i], key)) {
            throw WorkbookError("无法将第一个工作表命名为" + inQuotes(key) +
                                "：工作簿中的另一个工作表" + inQuotes(s.sheetNames[i]) +
                                "已使用这个名称（不区分大小写）。请换一个名称。");
        }
    }
    s.sheetNames[0] = key;
}

void SpreadsheetSession::sheetByName(const std::string& key) {
    State& s = *m_state;
    s.requireWorkbook("选择工作表");
    const std::size_t index = s.sheetIndex(key);
    s.requireFirst(index, key);
    s.attached = index;
}

void SpreadsheetSession::wrapAllCells() {
    m_state->requireSheet("设置单元格自动换行");
    m_state->wrap = true;
}

int SpreadsheetSession::usedRowCount(const std::string& key) const {
    const State& s = *m_state;
    s.requireWorkbook("统计已用的行数");
    const std::size_t index = s.sheetIndex(key);
    s.requireFirst(index, key);
    // An empty sheet's used range is its first cell, as spreadsheet programs
    // report it.
    if (s.created) {
        return s.spool->isEmpty() ? 1 : s.spool->lastRow() - s.spool->firstRow() + 1;
    }
    return s.grid.isEmpty() ? 1 : s.grid.lastRow() - s.grid.firstRow() + 1;
}

int SpreadsheetSession::usedColumnCount(const std::string& key) const {
    const State& s = *m_state;
    s.requireWorkbook("统计已用的列数");
    const std::size_t index = s.sheetIndex(key);
    s.requireFirst(index, key);
    if (s.created) {
        return s.spool->isEmpty() ? 1 : s.spool->lastColumn() - s.spool->firstColumn() + 1;
    }
    return s.grid.isEmpty() ? 1 : s.grid.lastColumn() - s.grid.firstColumn() + 1;
}

namespace {

// Spreadsheet programs show and keep at most 15 significant digits.
constexpr int kShownDigits = 15;

// The digits from the first non-zero one to the last non-zero one of a plain
// or exponent-form decimal ("0012.5000" has 3, "1e-07" has 1).
int significantDigits(std::string_view number) {
    const std::string_view mantissa = number.substr(0, number.find_first_of("eE"));
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == std::string_view::npos) {
        return 0;
    }
    const std::size_t last = mantissa.find_last_of("123456789");
    int digits = 0;
    for (std::size_t i = first; i <= last; ++i) {
        digits += mantissa[i] >= '0' && mantissa[i] <= '9' ? 1 : 0;
    }
    return digits;
}

// The decimal text of a number value that a number cell holds as the value
// reads; empty when the value is no number, or one that a cell would round.
// A floating-point value is taken as its text form shows it, as an export
// always wrote it.
std::string numberCellText(const Value& value) {
    std::string text;
    switch (value.type()) {
        case ValueType::Integer:
            text = std::to_string(value.asInteger());
            break;
        case ValueType::Float:
            text = formatFloat(value.asFloat());
            break;
        case ValueType::Decimal:
            text = value.asDecimalDigits();
            break;
        default:
            return {};
    }
    if (significantDigits(text) > kShownDigits || !std::isfinite(cellNumber(text))) {
        return {};
    }
    return text;
}

// The significant digits of a whole number, as of its plain decimal text.
int significantDigits(std::int64_t value) {
    // The magnitude as unsigned, so that the most negative value has one.
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    if (magnitude == 0) {
        return 0;
    }
    while (magnitude % 10 == 0) {
        magnitude /= 10;
    }
    int digits = 0;
    for (; magnitude != 0; magnitude /= 10) {
        ++digits;
    }
    return digits;
}

// Whether the number that formatFloat's text of `v` reads back as is `v`
// itself (for a zero: +0, as its text is "0"), known without writing the
// text: `v` is the double nearest to m / 10^k for a whole m below 10^15 and
// k at most 4 (a price, an amount, a count), checked by that division, which
// IEEE arithmetic rounds to the nearest. Such a v has a decimal form of at
// most 15 significant digits that reads back as v, and at least 1e-4 in
// magnitude, so formatFloat writes its shortest digits, which read back as
// v too. Any other value takes the way of its text.
bool readsBackAsItself(double v) {
    static constexpr double kScales[] = {1, 10, 100, 1000, 10000};
    if (!(std::fabs(v) < 1e15)) {
        return false;  // NaN and the infinities too
    }
    for (const double scale : kScales) {
        const double m = std::nearbyint(v * scale);
        if (std::fabs(m) < 1e15 && m / scale == v) {
            return true;
        }
    }
    return false;
}

void checkPosition(int row, int column) {
    if (row < 1 || column < 1 || row > kXlsxMaxRows || column > kXlsxMaxColumns) {
        throw WorkbookError("没有位于第" + std::to_string(row) + "行第" + std::to_string(column) +
                            "列的单元格：行号应在1至1,048,576之间，列号应在1至16,384之间。");
    }
}

}  // namespace

void SpreadsheetSession::State::requireWritable(int row, int column) const {
    requireSheet("写入单元格");
    if (!created) {
        throw WorkbookError(
            "无法写入单元格：这个工作簿是为读取而打开的，只有新建的工作簿才能写入。");
    }
    checkPosition(row, column);
}

void SpreadsheetSession::writeCell(int row, int column, const std::string& text) {
    writeText(row, column, text);
}

void SpreadsheetSession::writeText(int row, int column, std::string_view text) {
    State& s = *m_state;
    s.requireWritable(row, column);
    if (text.size() > static_cast<std::size_t>(kMaxCellCharacters) &&
        utf16Length(text) > static_cast<std::size_t>(kMaxCellCharacters)) {
        throw WorkbookError("第" + std::to_string(row) + "行第" + std::to_string(column) +
                                "列的文本有" + std::to_string(utf16Length(text)) +
                                "个字符，超过了一个单元格最多可容纳的32,767个字符。请缩短文本。",
                            WorkbookFault::TooLarge);
    }
    s.spool->add(row - 1, column - 1, text);
}

void SpreadsheetSession::writeValue(int row, int column, const Value& value) {
    // The usual values go to the spool as they are; the cells are those the
    // text forms below would give.
    switch (value.type()) {
        case ValueType::Text:
            writeText(row, column, value.asText());
            return;
        case ValueType::Integer:
            if (significantDigits(value.asInteger()) <= kShownDigits) {
                m_state->requireWritable(row, column);
                m_state->spool->addInteger(row - 1, column - 1, value.asInteger());
                return;
            }
            break;
        case ValueType::Float:
            if (readsBackAsItself(value.asFloat())) {
                m_state->requireWritable(row, column);
                m_state->spool->addFloat(row - 1, column - 1,
                                         value.asFloat() == 0 ? 0.0 : value.asFloat());
                return;
            }
            break;
        default:
            break;
    }
    const std::string number = numberCellText(value);
    if (number.empty()) {
        writeCell(row, column, value.toText());
        return;
    }
    State& s = *m_state;
    s.requireWritable(row, column);
    s.spool->add(row - 1, column - 1, number, CellKind::Number);
}

Value SpreadsheetSession::readCell(int row, int column) const {
    const State& s = *m_state;
    s.requireSheet("读取单元格");
    checkPosition(row, column);
    if (s.created) {
        // A new workbook's cells live in the spool, which is made for
        // writing; reading one back walks it (slow, and no caller needs it
        // in a loop).
        Value found;
        s.spool->forEachCell([&](const SpooledCell& cell) {
            if (cell.row() == row - 1 && cell.column() == column - 1 && !cell.text().empty()) {
                found = cell.kind() == CellKind::Number ? Value::floating(cell.number())
                                                        : Value::text(std::string(cell.text()));
            }
        });
        return found;
    }
    std::optional<Value> v = s.grid.cell(row - 1, column - 1);
    return v ? std::move(*v) : Value();
}

void SpreadsheetSession::readRow(int row, int column, std::span<Value> out) const {
    const State& s = *m_state;
    s.requireSheet("读取单元格");
    checkPosition(row, column);
    if (!out.empty()) {
        checkPosition(row, column + static_cast<int>(out.size()) - 1);
    }
    if (s.created) {
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = readCell(row, column + static_cast<int>(i));
        }
        return;
    }
    s.grid.readRow(row - 1, column - 1, out);
}

std::vector<std::pair<int, int>> SpreadsheetSession::cellsWithoutResult() const {
    const State& s = *m_state;
    s.requireSheet("列出没有计算结果的公式");
    std::vector<std::pair<int, int>> cells;
    if (s.created) {
        return cells;  // a new workbook holds no formula
    }
    for (const auto& [row, column] : s.grid.cellsWithoutResult()) {
        cells.emplace_back(row + 1, column + 1);
    }
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
    return cells;
}

void SpreadsheetSession::saveSheetAs(const std::string& path) {
    State& s = *m_state;
    s.requireWorkbook("保存工作簿");
    if (!s.created) {
        throw WorkbookError("无法将工作簿保存为" + inQuotes(path) +
                            "：它是为读取而打开的，只有新建的工作簿才能保存。");
    }
    const WorkbookFormat* format = formatForPath(path);
    if (format == nullptr) {
        throw WorkbookError("无法将工作簿保存为" + inQuotes(path) + "：文件名必须以" +
                                extensionList() + "结尾。请修改文件名。",
                            WorkbookFault::CannotWrite);
    }
    const auto writer = format->write;
    // A symbolic link stays a link: the workbook goes to the file it points
    // to, and the temporary file beside that one.
    const std::string target = followLinks(path);
    const std::string folder = folderOf(target);
    if (!folderExists(folder)) {
        throw WorkbookError("无法将工作簿保存为" + inQuotes(path) + "：文件夹" + inQuotes(folder) +
                                "不存在。请检查保存路径。",
                            WorkbookFault::CannotWrite);
    }
    if (folderExists(target)) {
        throw WorkbookError(
            "无法将工作簿保存为" + inQuotes(path) + "：这是一个文件夹。请换一个文件名。",
            WorkbookFault::CannotWrite);
    }
    struct stat targetInfo {};
    if (::stat(target.c_str(), &targetInfo) == 0) {
        // The rename would replace a read-only file as readily as any other
        // (it needs only the folder's permission), and a check of access
        // rights says yes to the superuser: the mode is what the owner set.
        if ((targetInfo.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            throw WorkbookError(
                "无法将工作簿保存为" + inQuotes(path) + "：文件" + inQuotes(target) +
                    "是只读的，不能覆盖。请换一个文件名，或先取消该文件的只读属性。",
                WorkbookFault::CannotWrite);
        }
    }

    const SheetToWrite sheet{s.sheetNames[0], s.wrap, *s.spool};
    const auto writeTo = [&](const std::string& file, const std::string& shownAs) {
        try {
            writer(file, sheet);
        } catch (const WorkbookError& e) {
            // The writer names the file it writes; the user knows the target.
            std::string message = e.what();
            for (std::size_t at = message.find(shownAs); at != std::string::npos;
                 at = message.find(shownAs, at + path.size())) {
                message.replace(at, shownAs.size(), path);
            }
            throw WorkbookError(message, e.fault());
        }
    };

    // Written to a file without a name in the target's folder, which
    // vanishes with the process however it ends, and moved over the target
    // only once it is whole.
    try {
        writeFileAtomically(target, [&](const std::string& file) { writeTo(file, file); });
    } catch (const AtomicFileError& e) {
        switch (e.step()) {
            case AtomicFileError::Step::Create:
                throw WorkbookError("无法将工作簿保存为" + inQuotes(path) +
                                        "：无法在文件夹中创建文件（" + e.what() +
                                        "）。请检查该文件夹是否可以写入。",
                                    WorkbookFault::CannotWrite);
            case AtomicFileError::Step::Write:
                throw WorkbookError("无法将工作簿保存为" + inQuotes(path) + "：无法写完文件（" +
                                        e.what() + "）。请检查磁盘是否还有空间。",
                                    WorkbookFault::CannotWrite);
            case AtomicFileError::Step::Place:
                break;
        }
        throw WorkbookError("无法将工作簿保存为" + inQuotes(path) + "：无法替换原有文件（" +
                                e.what() + "）。请检查该文件是否只读，或是否正被其他程序使用。",
                            WorkbookFault::CannotWrite);
    }
}

void SpreadsheetSession::closeWorkbooks() {
    m_state->requireStarted("关闭工作簿");
    m_state->dropWorkbook();
}

void SpreadsheetSession::quitExcel() noexcept {
    if (m_state->phase == Phase::Started) {
        m_state->dropWorkbook();
        m_state->phase = Phase::Quit;
    }
}

void SpreadsheetSession::releaseExcel() noexcept {
    m_state->release();
}

bool SpreadsheetSession::started() const {
    return m_state->phase == Phase::Started;
}

}  // namespace pos::workbook
