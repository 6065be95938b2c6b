// The cells a session writes, in a compact memory buffer that spills to an
// unlinked temporary file once it grows, so that a large sheet costs disk,
// not memory, until the writer replays it.
#include "workbook/CellSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/Value.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"

namespace pos::workbook {

namespace {

// Each entry: row, column and payload length (three u32), then
// the payload: a text, a number's decimal text, or a number's value (the
// process's own 8 bytes of a double or an int64). The length's top two bits
// hold the form (no cell text comes near 1 GB).
constexpr std::size_t kHeader = 12;
constexpr int kFormShift = 30;
constexpr std::uint32_t kLengthMask = 0x3FFFFFFFu;
constexpr std::size_t kSpillAt = 4u << 20;

using Form = SpooledCell::Form;

Form formOf(std::uint32_t lengthField) {
    return static_cast<Form>(lengthField >> kFormShift);
}

// The spool is this process's own: its numbers are kept in the machine's order.
void storeU32(char* at, std::uint32_t v) {
    std::memcpy(at, &v, sizeof v);
}

std::uint32_t getU32(const char* p) {
    std::uint32_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[noreturn]] void throwSpoolError(const char* what) {
    throw WorkbookError(std::string("无法") + what + "存放待写入单元格的临时文件（" +
                            std::strerror(errno) + "）。请检查临时文件夹的剩余空间和写入权限。",
                        WorkbookFault::CannotWrite);
}

}  // namespace

struct CellSpool::Impl {
    // The entries not yet spilled: `used` bytes of `capacity`.
    std::unique_ptr<char[]> buffer;
    std::size_t used = 0;
    std::size_t capacity = 0;
    int fd = -1;
    std::uint64_t fileSize = 0;
    int firstRow = -1, lastRow = -1, firstColumn = -1, lastColumn = -1;
    std::int64_t lastKey = -1;
    std::size_t writes = 0;
    bool ordered = true;  // every write came after the previous one in row-major order

    ~Impl() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    void spill() {
        if (fd < 0) {
            const char* dir = std::getenv("TMPDIR");
            std::string path = std::string(dir && *dir ? dir : "/tmp") + "/pos-cells-XXXXXX";
            fd = ::mkstemp(path.data());
            if (fd < 0) {
                throwSpoolError("创建");
            }
            ::unlink(path.c_str());
        }
        const char* p = buffer.get();
        std::size_t left = used;
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throwSpoolError("写入");
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        fileSize += used;
        used = 0;
    }

    // Room for an entry of `size` bytes at the end of the buffer, which
    // spills first when the entry would take it beyond kSpillAt.
    char* room(std::size_t size) {
        if (capacity - used < size) {
            makeRoom(size);
        }
        char* at = buffer.get() + used;
        used += size;
        return at;
    }

    void makeRoom(std::size_t size) {
        if (used > 0 && used + size > kSpillAt) {
            spill();
        }
        if (capacity - used >= size) {
            return;
        }
        // Small sheets keep a small buffer; a large one grows to kSpillAt.
        const std::size_t grown = std::max(
            used + size, std::min(std::max<std::size_t>(capacity * 2, 64u << 10), kSpillAt));
        auto larger = std::make_unique<char[]>(grown);
        if (used > 0) {
            std::memcpy(larger.get(), buffer.get(), used);
        }
        buffer = std::move(larger);
        capacity = grown;
    }

    void readAt(std::uint64_t offset, char* out, std::size_t size) const {
        while (size > 0) {
            const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throwSpoolError("读取");
            }
            out += n;
            size -= static_cast<std::size_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
    }

    // Walks the entries in the order written; `visit` gets the entry's
    // position (file offsets first, then the memory buffer's after them).
    template <typename Visit>
    void scan(Visit&& visit) const {
        std::vector<char> chunk;
        std::size_t begin = 0, end = 0;
        std::uint64_t consumed = 0;  // file bytes before chunk[begin]
        std::uint64_t fileLeft = fileSize;
        auto ensure = [&](std::size_t n) {
            if (end - begin >= n) {
                return true;
            }
            if (end > begin) {
                std::memmove(chunk.data(), chunk.data() + begin, end - begin);
            }
            end -= begin;
            begin = 0;
            const std::size_t want = std::max<std::size_t>(n, 1u << 20);
            if (chunk.size() < want) {
                chunk.resize(want);
            }
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(fileLeft, chunk.size() - end));
            readAt(fileSize - fileLeft, chunk.data() + end, take);
            fileLeft -= take;
            end += take;
            return end - begin >= n;
        };
        while (consumed < fileSize) {
            if (!ensure(kHeader)) {
                break;
            }
            const char* h = chunk.data() + begin;
            const std::uint32_t field = getU32(h + 8);
            const std::uint32_t length = field & kLengthMask;
            if (!ensure(kHeader + length)) {
                break;
            }
            h = chunk.data() + begin;
            visit(static_cast<int>(getU32(h)), static_cast<int>(getU32(h + 4)),
                  std::string_view(h + kHeader, length), formOf(field), consumed);
            begin += kHeader + length;
            consumed += kHeader + length;
        }
        std::size_t pos = 0;
        while (pos + kHeader <= used) {
            const char* h = buffer.get() + pos;
            const std::uint32_t field = getU32(h + 8);
            const std::uint32_t length = field & kLengthMask;
            visit(static_cast<int>(getU32(h)), static_cast<int>(getU32(h + 4)),
                  std::string_view(h + kHeader, length), formOf(field), fileSize + pos);
            pos += kHeader + length;
        }
    }

    // The payload of the entry at `position`, read into `scratch` from the file.
    std::string_view payloadAt(std::uint64_t position, std::string& scratch) const {
        if (position >= fileSize) {
            const char* h = buffer.get() + (position - fileSize);
            return std::string_view(h + kHeader, getU32(h + 8) & kLengthMask);
        }
        char header[kHeader];
        readAt(position, header, kHeader);
        scratch.resize(getU32(header + 8) & kLengthMask);
        readAt(position + kHeader, scratch.data(), scratch.size());
        return scratch;
    }
};

std::string_view SpooledCell::text() const {
    switch (m_form) {
        case Form::Text:
        case Form::NumberText:
            return m_payload;
        case Form::Float: {
            double value = 0;
            std::memcpy(&value, m_payload.data(), sizeof value);
            m_scratch = formatFloat(value);
            return m_scratch;
        }
        case Form::Integer: {
            std::int64_t value = 0;
            std::memcpy(&value, m_payload.data(), sizeof value);
            char digits[24];
            m_scratch.assign(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
            return m_scratch;
        }
    }
    return m_payload;
}

double SpooledCell::number() const {
    switch (m_form) {
        case Form::Text:
            return NAN;
        case Form::NumberText:
            return cellNumber(m_payload);
        case Form::Float: {
            double value = 0;
            std::memcpy(&value, m_payload.data(), sizeof value);
            return value;
        }
        case Form::Integer: {
            std::int64_t value = 0;
            std::memcpy(&value, m_payload.data(), sizeof value);
            // Rounded to the nearest as the digits would be read.
            return static_cast<double>(value);
        }
    }
    return NAN;
}

double cellNumber(std::string_view text) {
    double value = NAN;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end ? value : NAN;
}

long long countCharacters(std::string_view text) {
    long long units = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        int length = c < 0x80           ? 1
                     : (c >> 5) == 0x6  ? 2
                     : (c >> 4) == 0xE  ? 3
                     : (c >> 3) == 0x1E ? 4
                                        : 0;
        if (c == 0 || length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
            return -1;
        }
        unsigned cp = length == 1 ? c : c & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) {
                return -1;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr unsigned kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return -1;
        }
        units += cp >= 0x10000 ? 2 : 1;
        i += static_cast<std::size_t>(length);
    }
    return units;
}

CellSpool::CellSpool() : m_impl(std::make_unique<Impl>()) {}
CellSpool::~CellSpool() = default;

void CellSpool::add(int row, int column, std::string_view text, CellKind kind) {
    if (text.size() > kLengthMask) {
        throw WorkbookError("第" + std::to_string(row + 1) + "行第" + std::to_string(column + 1) +
                                "列的文本太长，无法写入工作表。请缩短文本。",
                            WorkbookFault::TooLarge);
    }
    append(row, column, kind == CellKind::Number ? Form::NumberText : Form::Text, text);
}

void CellSpool::addFloat(int row, int column, double value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    append(row, column, Form::Float, std::string_view(bytes, sizeof bytes));
}

void CellSpool::addInteger(int row, int column, std::int64_t value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    append(row, column, Form::Integer, std::string_view(bytes, sizeof bytes));
}

void CellSpool::append(int row, int column, SpooledCell::Form form, std::string_view payload) {
    Impl& s = *m_impl;
    if (row < 0 || column < 0 || row >= kXlsxMaxRows || column >= kXlsxMaxColumns) {
        throw WorkbookError("第" + std::to_string(row + 1) + "行第" + std::to_string(column + 1) +
                                "列的单元格超出了工作表的范围。",
                            WorkbookFault::TooLarge);
    }
    const std::int64_t key = (static_cast<std::int64_t>(row) << 20) | column;
    if (key <= s.lastKey) {
        s.ordered = false;
    }
    s.lastKey = std::max(s.lastKey, key);
    ++s.writes;
    // One copy per cell, into room taken at once.
    char* at = s.room(kHeader + payload.size());
    storeU32(at, static_cast<std::uint32_t>(row));
    storeU32(at + 4, static_cast<std::uint32_t>(column));
    storeU32(at + 8, static_cast<std::uint32_t>(payload.size()) |
                         (static_cast<std::uint32_t>(form) << kFormShift));
    if (!payload.empty()) {
        std::memcpy(at + kHeader, payload.data(), payload.size());
    }
    if (s.firstRow < 0 || row < s.firstRow) {
        s.firstRow = row;
    }
    s.lastRow = std::max(s.lastRow, row);
    if (s.firstColumn < 0 || column < s.firstColumn) {
        s.firstColumn = column;
    }
    s.lastColumn = std::max(s.lastColumn, column);
}

bool CellSpool::isEmpty() const {
    return m_impl->lastRow < 0;
}
std::size_t CellSpool::writeCount() const {
    return m_impl->writes;
}
int CellSpool::firstRow() const {
    return m_impl->firstRow;
}
int CellSpool::lastRow() const {
    return m_impl->lastRow;
}
int CellSpool::firstColumn() const {
    return m_impl->firstColumn;
}
int CellSpool::lastColumn() const {
    return m_impl->lastColumn;
}

void CellSpool::forEach(const std::function<void(int row, int column, std::string_view text,
                                                 CellKind kind)>& visit) const {
    forEachCell([&](const SpooledCell& cell) {
        visit(cell.row(), cell.column(), cell.text(), cell.kind());
    });
}

void CellSpool::forEachCell(const std::function<void(const SpooledCell& cell)>& visit) const {
    const Impl& s = *m_impl;
    std::string scratch;
    if (s.ordered) {
        s.scan([&](int row, int column, std::string_view payload, Form form, std::uint64_t) {
            visit(SpooledCell(row, column, form, payload, scratch));
        });
        return;
    }
    // Written out of order: sort the positions (stable, so that among writes
    // of one cell the later stays last) and keep the last write of each cell.
    struct Key {
        std::int64_t cell;
        std::uint64_t position;
        Form form;
    };
    std::vector<Key> keys;
    s.scan([&](int row, int column, std::string_view, Form form, std::uint64_t position) {
        keys.push_back({(static_cast<std::int64_t>(row) << 20) | column, position, form});
    });
    std::stable_sort(keys.begin(), keys.end(),
                     [](const Key& a, const Key& b) { return a.cell < b.cell; });
    std::string payload;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i + 1 < keys.size() && keys[i + 1].cell == keys[i].cell) {
            continue;
        }
        visit(SpooledCell(static_cast<int>(keys[i].cell >> 20),
                          static_cast<int>(keys[i].cell & 0xFFFFF), keys[i].form,
                          s.payloadAt(keys[i].position, payload), scratch));
    }
}

}  // namespace pos::workbook
