// The connection and its query objects, over whichever back end the
// connection text chooses.
#include "db/Connection.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "common/Text.h"
#include "db/ConnectionText.h"
#include "db/OdbcBackend.h"
#include "db/SqliteBackend.h"

namespace pos::db {

Connection::Connection(ConnectionSettings settings) : m_settings(std::move(settings)) {}

Connection::~Connection() = default;

void Connection::setConnectionText(std::string text) {
    m_text = std::move(text);
}

void Connection::connect() {
    disconnect();
    ConnectionText parsed = ConnectionText::parse(m_text);
    if (m_settings.odbcConnectionString.empty() && parsed.isEmbeddedStore()) {
        m_backend = connectSqliteStore(parsed, m_settings);
    } else {
        m_backend = connectOdbc(parsed, m_settings);
    }
    if (m_settings.wrapBackend) {
        m_backend = m_settings.wrapBackend(std::move(m_backend));
    }
}

void Connection::disconnect() {
    m_backend.reset();
    m_outer = false;
    m_nested = 0;
}

Backend& Connection::backend() {
    if (!m_backend) {
        throw DbError("数据库尚未连接，请先连接数据库。");
    }
    return *m_backend;
}

const Dialect& Connection::dialect() const {
    if (!m_backend) {
        throw DbError("数据库尚未连接，请先连接数据库。");
    }
    return m_backend->dialect();
}

void Connection::beginTransaction() {
    if (!m_outer) {
        backend().beginTransaction();
        return;
    }
    requireOuterTransaction();
    backend().run(dialect().nestedBeginLine(), {}, false);
    ++m_nested;
}

void Connection::commit() {
    if (!m_outer) {
        backend().commit();
        return;
    }
    if (m_nested == 0) {
        throw DbError("没有可以提交的事务。");
    }
    requireOuterTransaction();
    const std::string line = dialect().nestedCommitLine();
    if (!line.empty()) {
        backend().run(line, {}, false);
    }
    --m_nested;
}

void Connection::rollback() {
    if (!m_outer) {
        backend().rollback();
        return;
    }
    if (m_nested == 0) {
        return;
    }
    // Over whatever happens; when the database has ended the outer
    // transaction, the nested one's work is gone already.
    --m_nested;
    if (backend().inTransaction()) {
        backend().run(dialect().nestedRollbackLine(), {}, false);
    }
}

bool Connection::inTransaction() {
    if (!m_backend || !m_backend->inTransaction()) {
        return false;
    }
    return !m_outer || m_nested > 0;
}

void Connection::settleFile() {
    if (m_backend && !m_outer) {
        m_backend->settleFile();
    }
}

bool Connection::defineFunction(const std::string& name, int arity, ScalarFunction function) {
    return m_backend && m_backend->defineFunction(name, arity, std::move(function));
}

void Connection::beginOuterTransaction() {
    backend().beginTransaction();
    m_outer = true;
    m_nested = 0;
}

void Connection::rollbackOuterTransaction() {
    if (!m_outer) {
        return;
    }
    m_outer = false;
    m_nested = 0;
    if (backend().inTransaction()) {
        backend().rollback();
    }
}

void Connection::requireOuterTransaction() {
    if (m_outer && m_backend && !m_backend->inTransaction()) {
        // The database undid the whole transaction (a full disk, say): what
        // follows would be committed statement by statement.
        throw DbError("试运行无法继续：" + faultReason(DbFault::TransactionLost, {}) +
                          "；数据库中的数据没有改变。",
                      DbFault::TransactionLost);
    }
}

std::unique_ptr<ImportLock> Connection::lockForImport(const std::string& database,
                                                      int waitSeconds) {
    return backend().lockForImport(database, waitSeconds);
}

Query::Query(Connection& connection) : m_connection(connection) {}

Query::~Query() = default;

void Query::close() {
    m_cursor.reset();
    m_columns.clear();
    m_rows.clear();
    m_fetchedAll = false;
    m_position = 0;
}

void Query::clearLines() {
    m_lines.clear();
    m_params.clear();
}

void Query::addLine(const std::string& line) {
    m_lines.push_back(line);
}

std::string Query::text() const {
    std::string out;
    for (const std::string& line : m_lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void Query::setParameter(const std::string& name, Value value) {
    std::string bare = !name.empty() && name[0] == ':' ? name.substr(1) : name;
    for (auto& [key, v] : m_params) {
        if (key.size() == bare.size() && equalsIgnoreCase(key, bare)) {
            v = std::move(value);
            return;
        }
    }
    m_params.emplace_back(std::move(bare), std::move(value));
}

void Query::setParameters(const Parameters& params) {
    // An open-addressed table of the names set, each slot one above an index
    // of m_params (0: empty): one allocation, however many names.
    const std::size_t total = m_params.size() + params.size();
    std::size_t size = 16;
    while (size < 2 * total) {
        size <<= 1;
    }
    std::vector<std::size_t> slots(size, 0);
    const auto slotOf = [&](std::string_view name) -> std::size_t& {
        std::size_t i = caselessHash(name) & (size - 1);
        while (slots[i] != 0 && !equalsIgnoreCase(m_params[slots[i] - 1].first, name)) {
            i = (i + 1) & (size - 1);
        }
        return slots[i];
    };
    m_params.reserve(total);
    for (std::size_t i = 0; i < m_params.size(); ++i) {
        if (m_params[i].first.empty()) {
            continue;  // found by its place, never by a name
        }
        std::size_t& slot = slotOf(m_params[i].first);
        if (slot == 0) {
            slot = i + 1;
        }
    }
    for (const auto& [name, value] : params) {
        if (name.empty()) {
            m_params.emplace_back(std::string(), value);
            continue;
        }
        const std::string_view bare =
            !name.empty() && name[0] == ':' ? std::string_view(name).substr(1) : name;
        std::size_t& slot = slotOf(bare);
        if (slot != 0) {
            m_params[slot - 1].second = value;
            continue;
        }
        m_params.emplace_back(std::string(bare), value);
        slot = m_params.size();
    }
}

void Query::setParameters(Parameters&& params) {
    if (m_params.empty() &&
        std::all_of(params.begin(), params.end(), [](const auto& p) { return p.first.empty(); })) {
        m_params = std::move(params);
        return;
    }
    setParameters(static_cast<const Parameters&>(params));
}

void Query::open() {
    close();
    m_connection.requireOuterTransaction();
    std::unique_ptr<Cursor> cursor = m_connection.backend().run(text(), m_params, true);
    if (!cursor) {
        m_fetchedAll = true;
        return;
    }
    m_columns = cursor->columnNames();
    if (m_decimalsAsStored) {
        cursor->readDecimalsAsStored();
    }
    m_cursor = std::move(cursor);
    fetchOne();
}

void Query::execute() {
    close();
    m_connection.requireOuterTransaction();
    m_connection.backend().run(text(), m_params, false);
}

bool Query::fetchOne() {
    if (!m_cursor) {
        return false;
    }
    // Walking forward only, the row passed gives its storage to the next.
    const bool reuse = m_forwardOnly && m_rows.size() == 1;
    std::vector<Value> fresh;
    std::vector<Value>& row = reuse ? m_rows.front() : fresh;
    bool got = false;
    try {
        got = m_cursor->fetch(row);
    } catch (...) {
        if (reuse) {
            m_rows.clear();
        }
        m_cursor.reset();
        m_fetchedAll = true;
        throw;
    }
    if (!got) {
        if (reuse) {
            m_rows.clear();
        }
        // The result stays readable from memory; the back end's statement goes.
        m_cursor.reset();
        m_fetchedAll = true;
        return false;
    }
    if (!reuse) {
        m_rows.push_back(std::move(fresh));
    }
    return true;
}

void Query::first() {
    m_position = 0;
    if (m_rows.empty()) {
        fetchOne();
    }
}

void Query::next() {
    if (m_forwardOnly && m_position < m_rows.size()) {
        // The row passed goes; the next one takes its place.
        m_rows.resize(std::min<std::size_t>(m_rows.size(), 1));
        m_position = 0;
        if (!fetchOne()) {
            m_rows.clear();
        }
        return;
    }
    if (m_position < m_rows.size()) {
        ++m_position;
    }
    if (m_position >= m_rows.size()) {
        fetchOne();
    }
}

bool Query::eof() const {
    return m_position >= m_rows.size();
}

int Query::recordCount() {
    while (fetchOne()) {
    }
    return static_cast<int>(m_rows.size());
}

int Query::fieldCount() const {
    return static_cast<int>(m_columns.size());
}

std::string Query::fieldName(int index) const {
    if (index < 0 || index >= fieldCount()) {
        throw DbError("结果中没有第" + std::to_string(index + 1) + "个字段，结果只有" +
                      std::to_string(fieldCount()) + "个字段。");
    }
    return m_columns[static_cast<std::size_t>(index)];
}

int Query::fieldIndex(std::string_view name) const {
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (m_columns[i].size() == name.size() && equalsIgnoreCase(m_columns[i], name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Query::columnIndex(const std::string& name) const {
    const int index = fieldIndex(name);
    if (index < 0) {
        throw DbError("结果中没有名为" + name + "的字段。");
    }
    return index;
}

const Value& Query::fieldValue(int index) const {
    if (index < 0 || index >= fieldCount()) {
        throw DbError("结果中没有第" + std::to_string(index + 1) + "个字段，结果只有" +
                      std::to_string(fieldCount()) + "个字段。");
    }
    if (eof()) {
        throw DbError("无法读取字段" + m_columns[static_cast<std::size_t>(index)] +
                      "：没有当前行，结果已读完或为空。");
    }
    return m_rows[m_position][static_cast<std::size_t>(index)];
}

const Value& Query::fieldValue(const std::string& name) const {
    return fieldValue(columnIndex(name));
}

std::string Query::fieldAsText(const std::string& name) const {
    return fieldValue(name).toText();
}

std::int64_t Query::fieldAsInteger(const std::string& name) const {
    Value v = fieldValue(name);
    try {
        return v.toInteger();
    } catch (const std::exception&) {
        throw DbError("字段" + name + "的值“" + v.toText() + "”不是整数。");
    }
}

}  // namespace pos::db
