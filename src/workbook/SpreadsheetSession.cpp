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
#include <cstring>
#include <optional>
#include <vector>

#include "common/Text.h"
#include "workbook/CellSpool.h"
#include "workbook/SheetData.h"
#include "workbook/Unicode.h"
#include "workbook/WorkbookError.h"

namespace pos::workbook {

namespace {

enum class Phase { Empty, Started, Quit, Released };

// Why a sheet name is not acceptable, or empty when it is.
std::string sheetNameProblem(const std::string& name) {
    if (name.empty()) {
        return "a sheet name cannot be empty";
    }
    if (utf16Length(name) > static_cast<std::size_t>(kMaxSheetNameCharacters)) {
        return "a sheet name has at most 31 characters";
    }
    if (name.find_first_of(":\\/?*[]") != std::string::npos) {
        return "a sheet name cannot contain : \\ / ? * [ or ]";
    }
    if (name.front() == '\'' || name.back() == '\'') {
        return "a sheet name cannot begin or end with an apostrophe";
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

bool endsWithIgnoreCase(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           equalsIgnoreCase(std::string_view(s).substr(s.size() - suffix.size()), suffix);
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
    bool visible = true;

    void requireStarted(const char* operation) const {
        if (phase != Phase::Started) {
            throw WorkbookError(std::string("Cannot ") + operation +
                                ": the workbook engine is not running.");
        }
    }
    void requireWorkbook(const char* operation) const {
        requireStarted(operation);
        if (!hasWorkbook) {
            throw WorkbookError(std::string("Cannot ") + operation + ": no workbook is open.");
        }
    }
    void requireSheet(const char* operation) const {
        requireWorkbook(operation);
        if (!attached) {
            throw WorkbookError(std::string("Cannot ") + operation +
                                ": no worksheet has been chosen.");
        }
    }
    // The index of the sheet named `key`, compared without regard to case.
    std::size_t sheetIndex(const std::string& key) const {
        for (std::size_t i = 0; i < sheetNames.size(); ++i) {
            if (equalsIgnoreCase(sheetNames[i], key)) {
                return i;
            }
        }
        throw WorkbookError("The workbook has no worksheet named \"" + key + "\".");
    }
    // Only the first worksheet's cells are loaded; it is the one every caller uses.
    void requireFirst(std::size_t index, const std::string& key) const {
        if (index != 0) {
            throw WorkbookError("The worksheet \"" + key +
                                "\" is not the first worksheet of the workbook; only the first "
                                "worksheet is read.");
        }
    }
    void dropWorkbook() {
        hasWorkbook = false;
        created = false;
        sheetNames.clear();
        spool.reset();
        grid = SheetData();
        attached.reset();
        wrap = false;
    }
};

SpreadsheetSession::SpreadsheetSession() : m_state(std::make_unique<State>()) {}
SpreadsheetSession::~SpreadsheetSession() = default;

void SpreadsheetSession::startExcel() {
    if (m_state->phase == Phase::Started) {
        throw WorkbookError("The workbook engine of this session is already running.");
    }
    if (m_state->phase != Phase::Empty) {
        throw WorkbookError("This workbook session has ended; start a new one.");
    }
    m_state->phase = Phase::Started;
}

void SpreadsheetSession::addWorkbook() {
    State& s = *m_state;
    s.requireStarted("add a workbook");
    s.dropWorkbook();
    s.hasWorkbook = true;
    s.created = true;
    s.sheetNames = {"Sheet1"};
    s.spool = std::make_unique<CellSpool>();
}

void SpreadsheetSession::openWorkbook(const std::string& path) {
    State& s = *m_state;
    s.requireStarted("open a workbook");
    WorkbookData data = readWorkbookFile(path);
    if (data.sheetNames.empty()) {
        throw WorkbookError("The workbook " + path + " holds no worksheet.");
    }
    s.dropWorkbook();
    s.hasWorkbook = true;
    s.sheetNames = std::move(data.sheetNames);
    s.grid = std::move(data.firstSheet);
}

void SpreadsheetSession::nameFirstSheet(const std::string& key) {
    State& s = *m_state;
    s.requireWorkbook("rename the first worksheet");
    const std::string problem = sheetNameProblem(key);
    if (!problem.empty()) {
        throw WorkbookError("Cannot name the first worksheet \"" + key + "\": " + problem + ".");
    }
    for (std::size_t i = 1; i < s.sheetNames.size(); ++i) {
        if (equalsIgnoreCase(s.sheetNames[i], key)) {
            throw WorkbookError("Cannot name the first worksheet \"" + key +
                                "\": another worksheet of the workbook, \"" + s.sheetNames[i] +
                                "\", already bears that name.");
        }
    }
    s.sheetNames[0] = key;
}

void SpreadsheetSession::sheetByName(const std::string& key) {
    State& s = *m_state;
    s.requireWorkbook("choose a worksheet");
    const std::size_t index = s.sheetIndex(key);
    s.requireFirst(index, key);
    s.attached = index;
}

void SpreadsheetSession::wrapAllCells() {
    m_state->requireSheet("wrap the text of the cells");
    m_state->wrap = true;
}

void SpreadsheetSession::hideExcel() {
    // The engine has no window; the flag only records the request.
    m_state->requireStarted("hide the workbook engine");
    m_state->visible = false;
}

int SpreadsheetSession::usedRowCount(const std::string& key) const {
    const State& s = *m_state;
    s.requireWorkbook("count the used rows");
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
    s.requireWorkbook("count the used columns");
    const std::size_t index = s.sheetIndex(key);
    s.requireFirst(index, key);
    if (s.created) {
        return s.spool->isEmpty() ? 1 : s.spool->lastColumn() - s.spool->firstColumn() + 1;
    }
    return s.grid.isEmpty() ? 1 : s.grid.lastColumn() - s.grid.firstColumn() + 1;
}

namespace {

void checkPosition(int row, int column) {
    if (row < 1 || column < 1 || row > kXlsxMaxRows || column > kXlsxMaxColumns) {
        throw WorkbookError("There is no cell at row " + std::to_string(row) + ", column " +
                            std::to_string(column) +
                            ": rows run from 1 to 1,048,576 and "
                            "columns from 1 to 16,384.");
    }
}

}  // namespace

void SpreadsheetSession::writeCell(int row, int column, const std::string& text) {
    State& s = *m_state;
    s.requireSheet("write a cell");
    if (!s.created) {
        throw WorkbookError(
            "Cannot write a cell: the workbook was opened for reading; only a "
            "new workbook is written.");
    }
    checkPosition(row, column);
    if (text.size() > static_cast<std::size_t>(kMaxCellCharacters) &&
        utf16Length(text) > static_cast<std::size_t>(kMaxCellCharacters)) {
        throw WorkbookError("The text for row " + std::to_string(row) + ", column " +
                            std::to_string(column) + " has " + std::to_string(utf16Length(text)) +
                            " characters; a cell holds at most 32,767. Shorten the text.");
    }
    s.spool->add(row - 1, column - 1, text);
}

Value SpreadsheetSession::readCell(int row, int column) const {
    const State& s = *m_state;
    s.requireSheet("read a cell");
    checkPosition(row, column);
    if (s.created) {
        // A new workbook's cells live in the spool, which is made for
        // writing; reading one back walks it (slow, and no caller needs it
        // in a loop).
        Value found;
        s.spool->forEach([&](int r, int c, std::string_view text) {
            if (r == row - 1 && c == column - 1 && !text.empty()) {
                found = Value::text(std::string(text));
            }
        });
        return found;
    }
    const Value* v = s.grid.cell(row - 1, column - 1);
    return v != nullptr ? *v : Value();
}

std::vector<std::pair<int, int>> SpreadsheetSession::cellsWithoutResult() const {
    const State& s = *m_state;
    s.requireSheet("list the formulas without a result");
    std::vector<std::pair<int, int>> cells;
    if (s.created) {
        return cells;  // a new workbook holds text only
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
    s.requireWorkbook("save the workbook");
    if (!s.created) {
        throw WorkbookError("Cannot save the workbook as " + path +
                            ": it was opened for reading; only a new workbook is written.");
    }
    void (*writer)(const std::string&, const SheetToWrite&) = nullptr;
    if (endsWithIgnoreCase(path, ".xls")) {
        writer = &writeXls;
    } else if (endsWithIgnoreCase(path, ".xlsx")) {
        writer = &writeXlsx;
    } else {
        throw WorkbookError("Cannot save the workbook as " + path +
                            ": the file name must end in .xls or .xlsx.");
    }
    const std::string folder = folderOf(path);
    struct stat folderInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode)) {
        throw WorkbookError("Cannot save the workbook as " + path + ": the folder " + folder +
                            " does not exist.");
    }
    struct stat targetInfo {};
    if (::stat(path.c_str(), &targetInfo) == 0 && S_ISDIR(targetInfo.st_mode)) {
        throw WorkbookError("Cannot save the workbook as " + path + ": that is a folder.");
    }

    // The temporary file reserves a unique name beside the target, so that the
    // final rename stays within one file system and is atomic.
    std::string temp = folder + "/.pos-transfer-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        throw WorkbookError("Cannot save the workbook as " + path + ": " + std::strerror(errno) +
                            ". Check that the folder can be written.");
    }
    ::close(fd);
    try {
        const SheetToWrite sheet{s.sheetNames[0], s.wrap, *s.spool};
        writer(temp, sheet);
        // mkstemp made the file private; give it the mode a new file gets.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::chmod(temp.c_str(), 0666 & ~mask);
        const int sync = ::open(temp.c_str(), O_RDONLY);
        if (sync >= 0) {
            ::fsync(sync);
            ::close(sync);
        }
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            throw WorkbookError("Cannot save the workbook as " + path + ": " +
                                std::strerror(errno) + ". Check that the file is not read-only.");
        }
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

void SpreadsheetSession::closeWorkbooks() {
    m_state->requireStarted("close the workbooks");
    m_state->dropWorkbook();
}

void SpreadsheetSession::quitExcel() noexcept {
    if (m_state->phase == Phase::Started) {
        m_state->dropWorkbook();
        m_state->phase = Phase::Quit;
    }
}

void SpreadsheetSession::releaseExcel() noexcept {
    m_state->dropWorkbook();
    m_state->phase = Phase::Released;
}

bool SpreadsheetSession::started() const {
    return m_state->phase == Phase::Started;
}

}  // namespace pos::workbook
