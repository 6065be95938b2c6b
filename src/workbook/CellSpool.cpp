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
#include <limits>
#include <memory>
#include <vector>

#include "common/Value.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"

namespace pos::workbook {

namespace {

// Each entry is a tag byte, the cell's row and column (two u32) unless it
// is the cell after the entry before it in the same row (the usual case),
// then its payload. The tag holds the form (bits 0-1), that "next" mark (bit
// 2) and a small field (bits 3-7). A text or a number's decimal text: the
// small field is its length, or kLong and a u32 length follows; then its
// bytes. A whole number: a varint of its zigzag form. A double: when it is
// m / 10^k for a whole m below 2^53 and k up to 4 (a price), the small field
// is k and a varint of m's zigzag form follows, else the small field is
// kLong and its 8 bytes follow. A sheet of prices so spills a third of what
// fixed fields would.
constexpr std::uint8_t kNextMark = 0x04;
constexpr int kSmallShift = 3;
constexpr std::uint32_t kLong = 31;
constexpr std::size_t kLargestHeader = 1 + 8 + 4;
constexpr std::size_t kLargestNumber = 10;  // a varint of 64 bits
constexpr std::size_t kSpillAt = 4u << 20;
constexpr double kScales[] = {1, 10, 100, 1000, 10000};

using Form = SpooledCell::Form;

// The spool is this process's own: its numbers are kept in the machine's order.
std::uint64_t zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

std::int64_t unzigzag(std::uint64_t z) {
    return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1);
}

char* putVarint(char* out, std::uint64_t v) {
    while (v >= 0x80) {
        *out++ = static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    *out++ = static_cast<char>(v);
    return out;
}

// The decimals k (0 to 4) for which `v` is m / 10^k, m whole and below
// 2^53 (so that the division gives `v` back), with m; -1 for any other
// double, -0 among them.
int scaledForm(double v, std::int64_t& m) {
    if (!(std::fabs(v) < 9e15) || (v == 0 && std::signbit(v))) {
        return -1;
    }
    for (int k = 0; k < 5; ++k) {
        const double whole = std::nearbyint(v * kScales[k]);
        if (std::fabs(whole) < 9e15 && whole / kScales[k] == v) {
            m = static_cast<std::int64_t>(whole);
            return k;
        }
    }
    return -1;
}

// One entry decoded; `value` holds a number's 8 bytes, which `payload`
// then shows.
struct Entry {
    int row = 0;
    int column = 0;
    Form form = Form::Text;
    std::string_view payload;
    std::size_t size = 0;  // of the whole entry
    char value[8] = {};
};

// Decodes the entry at `p`, of which `available` bytes are at hand, after an
// entry at (row, column); false when they do not hold it whole, `needed`
// then saying how many would hold more of it.
[[gnu::always_inline]] inline bool decodeEntry(const char* p, std::size_t available, int row,
                                               int column, Entry& e, std::size_t& needed) {
    needed = 1;
    if (available < needed) {
        return false;
    }
    const auto tag = static_cast<std::uint8_t>(p[0]);
    const std::uint32_t small = tag >> kSmallShift;
    e.form = static_cast<Form>(tag & 0x03);
    std::size_t at = 1;
    if ((tag & kNextMark) != 0) {
        e.row = row;
        e.column = column + 1;
    } else {
        needed = at + 8;
        if (available < needed) {
            return false;
        }
        std::uint32_t r = 0;
        std::uint32_t c = 0;
        std::memcpy(&r, p + at, sizeof r);
        std::memcpy(&c, p + at + 4, sizeof c);
        e.row = static_cast<int>(r);
        e.column = static_cast<int>(c);
        at += 8;
    }
    if (e.form == Form::Text || e.form == Form::NumberText ||
        (e.form == Form::Float && small == kLong)) {
        std::uint32_t length = e.form == Form::Float ? 8 : small;
        if (e.form != Form::Float && small == kLong) {
            needed = at + 4;
            if (available < needed) {
                return false;
            }
            std::memcpy(&length, p + at, sizeof length);
            at += 4;
        }
        needed = at + length;
        if (available < needed) {
            return false;
        }
        e.payload = std::string_view(p + at, length);
        e.size = at + length;
        return true;
    }
    // A varint: a whole number, or a double's m.
    std::uint64_t z = 0;
    for (int shift = 0;; shift += 7) {
        needed = at + 1;
        if (available < needed) {
            return false;
        }
        const auto b = static_cast<std::uint8_t>(p[at++]);
        z |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (b < 0x80 || shift >= 63) {
            break;
        }
    }
    if (e.form == Form::Integer) {
        const std::int64_t v = unzigzag(z);
        std::memcpy(e.value, &v, sizeof v);
    } else {
        const double v = static_cast<double>(unzigzag(z)) / kScales[small];
        std::memcpy(e.value, &v, sizeof v);
    }
    e.payload = std::string_view(e.value, sizeof e.value);
    e.size = at;
    return true;
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
    int previousRow = -1;  // of the entry written last
    int previousColumn = -1;
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
        Entry e;
        int row = -1;
        int column = -1;
        while (consumed < fileSize) {
            std::size_t needed = 0;
            while (!decodeEntry(chunk.data() + begin, end - begin, row, column, e, needed)) {
                if (!ensure(needed)) {
                    return;  // cut short: the file holds no more
                }
            }
            visit(e.row, e.column, e.payload, e.form, consumed);
            row = e.row;
            column = e.column;
            begin += e.size;
            consumed += e.size;
        }
        std::size_t pos = 0;
        while (pos < used) {
            std::size_t needed = 0;
            if (!decodeEntry(buffer.get() + pos, used - pos, row, column, e, needed)) {
                return;
            }
            visit(e.row, e.column, e.payload, e.form, fileSize + pos);
            row = e.row;
            column = e.column;
            pos += e.size;
        }
    }

    // The payload of the entry at `position`, read into `scratch` from the
    // file, or held by `e` (a number's value).
    std::string_view payloadAt(std::uint64_t position, std::string& scratch, Entry& e) const {
        std::size_t needed = 0;
        if (position >= fileSize) {
            const auto at = static_cast<std::size_t>(position - fileSize);
            decodeEntry(buffer.get() + at, used - at, 0, 0, e, needed);
            return e.payload;
        }
        scratch.resize(static_cast<std::size_t>(
            std::min<std::uint64_t>(kLargestHeader + kLargestNumber, fileSize - position)));
        readAt(position, scratch.data(), scratch.size());
        while (!decodeEntry(scratch.data(), scratch.size(), 0, 0, e, needed)) {
            if (needed > fileSize - position) {
                throwSpoolError("读取");
            }
            scratch.resize(needed);
            readAt(position, scratch.data(), scratch.size());
        }
        return e.payload;
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
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw WorkbookError("第" + std::to_string(row + 1) + "行第" + std::to_string(column + 1) +
                                "列的文本太长，无法写入工作表。请缩短文本。",
                            WorkbookFault::TooLarge);
    }
    const auto length = static_cast<std::uint32_t>(text.size());
    char* at = append(row, column, kind == CellKind::Number ? Form::NumberText : Form::Text,
                      length < kLong ? length : kLong, length < kLong ? 0 : 4, text.size());
    if (length >= kLong) {
        std::memcpy(at, &length, sizeof length);
        at += sizeof length;
    }
    if (!text.empty()) {
        std::memcpy(at, text.data(), text.size());
    }
}

void CellSpool::addFloat(int row, int column, double value) {
    std::int64_t m = 0;
    const int k = scaledForm(value, m);
    if (k < 0) {
        char* at = append(row, column, Form::Float, kLong, 0, sizeof value);
        std::memcpy(at, &value, sizeof value);
        return;
    }
    char digits[kLargestNumber];
    const char* end = putVarint(digits, zigzag(m));
    char* at = append(row, column, Form::Float, static_cast<std::uint32_t>(k), 0,
                      static_cast<std::size_t>(end - digits));
    std::memcpy(at, digits, static_cast<std::size_t>(end - digits));
}

void CellSpool::addInteger(int row, int column, std::int64_t value) {
    char digits[kLargestNumber];
    const char* end = putVarint(digits, zigzag(value));
    char* at = append(row, column, Form::Integer, 0, 0, static_cast<std::size_t>(end - digits));
    std::memcpy(at, digits, static_cast<std::size_t>(end - digits));
}

char* CellSpool::append(int row, int column, SpooledCell::Form form, std::uint32_t small,
                        std::size_t extra, std::size_t payload) {
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
    // The entry's room is taken at once; the caller writes its payload.
    const bool next = row == s.previousRow && column == s.previousColumn + 1;
    char* at = s.room(1 + (next ? 0 : 8) + extra + payload);
    *at++ = static_cast<char>(static_cast<std::uint32_t>(form) | (next ? kNextMark : 0u) |
                              (small << kSmallShift));
    if (!next) {
        const auto r = static_cast<std::uint32_t>(row);
        const auto c = static_cast<std::uint32_t>(column);
        std::memcpy(at, &r, sizeof r);
        std::memcpy(at + 4, &c, sizeof c);
        at += 8;
    }
    s.previousRow = row;
    s.previousColumn = column;
    if (s.firstRow < 0 || row < s.firstRow) {
        s.firstRow = row;
    }
    s.lastRow = std::max(s.lastRow, row);
    if (s.firstColumn < 0 || column < s.firstColumn) {
        s.firstColumn = column;
    }
    s.lastColumn = std::max(s.lastColumn, column);
    return at;
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
    Entry entry;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i + 1 < keys.size() && keys[i + 1].cell == keys[i].cell) {
            continue;
        }
        visit(SpooledCell(static_cast<int>(keys[i].cell >> 20),
                          static_cast<int>(keys[i].cell & 0xFFFFF), keys[i].form,
                          s.payloadAt(keys[i].position, payload, entry), scratch));
    }
}

}  // namespace pos::workbook
