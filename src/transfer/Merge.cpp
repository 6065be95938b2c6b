// The merge of staged rows into the point-of-sale tables, pass by pass: the
// reference passes make sure every name a staged row refers to exists, the
// last pass inserts one row per staged row. SQLQuery drives each pass,
// TempQuery looks names up, TempQuery2 computes maxima and inserts; all three
// share one connection, so the database chosen by the last preamble holds for
// every statement.
#include "transfer/Merge.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "common/Text.h"
#include "common/Value.h"
#include "db/DbError.h"
#include "transfer/PassTransaction.h"

namespace pos::transfer {
namespace {

// Statement texts. Names go into lookups as string literals of the dialect;
// every other value is a named parameter.
const std::string kCategoryLookup = " select * from Category where name = ";
const std::string kCategoryInsert =
    std::string(
        " insert into Category (ID, Name, IsModify, CanDiscount, IsPreOut, IsGiveLQ, "
        "ODPTypeID, isPrice, CanUseCard, NonCalOrderfee, NonCalIntegral, MaxCharge) ") +
    " values(:Mid,:Name,0,1,1,0,0,1,1,0,0,0) ";
const std::string kStcaLookup = " select * from STCA where SCNA = ";
const std::string kStcaInsert =
    std::string(" insert into STCA (SCID,SCSN, SCNA, TJLBType) ") + " values(:Mid,:SCSN,:SCNA,0) ";
const std::string kMenuPass = " select * from TEMPMenu   ";
const std::string kMenuCount = "select count(*) as n from TEMPMenu";
const std::string kUnitLookup = " select * from unit where name = ";
const std::string kUnitInsert =
    std::string(" insert into Unit (ID,Name) ") + " values(:Mid,:Name) ";
const std::string kDishCategoryLookup = " select ID from Category where name = ";
const std::string kDishStcaLookup = " select SCSN from STCA where SCNA = ";
const std::string kDishInsert =
    std::string(" insert into menu ") +
    "(ID,Name,FirstLetter,CategoryID,Unit1,Price1,Cost1,VPrice1,Unit2,Price2,Cost2,VPrice2,Unit3,"
    "Price3,Cost3,VPrice3,CanModifyAmount,Discount,IsDisCount,Status,StationID,SCSN,Quantity,"
    "isSpecial,EProfit1,EProfit2,EProfit3,NotDishTj,isFee,flag,isRate)" +
    " values(:ID,:Name,:FirstLetter,:CategoryID,:Unit1,:Price1,:Cost1,:VPrice1,:Unit2,:Price2,"
    ":Cost2,:VPrice2,:Unit3,:Price3,:Cost3,:VPrice3,0,1,1,1,:stationId,:SCSN,-1,0,0,0,0,0,1,0,1) ";
const std::string kHallLookup = " select * from Hall where name = ";
const std::string kHallInsert =
    " insert into Hall (ID, Name, PrintId) values(:Mid,:Name,:printId) ";
const std::string kTablePass = " select * from TEMPHallTable   ";
const std::string kTableCount = "select count(*) as n from TEMPHallTable";
const std::string kTableHallLookup = " select ID from Hall where name = ";
const std::string kTableInsert =
    std::string(" insert into tables ") +
    "(ID,Code,Name,HallId,Status,TATYP,IsUse,IsPrn,minType,minCharge,popNum,isServer,Oldcapacity,"
    "Unite,isUnite,isReserve,OKTime)" +
    " values(:ID,:Code,:Name,:hallID,'A',1,0,0,0,0,0,1,0,0,0,0,0) ";
const std::string kAnnotateTypeLookup = " select * from AnnotateType where name = ";
const std::string kAnnotateTypeInsert = " insert into AnnotateType (ID, Name) values(:Mid,:Name) ";
const std::string kAnnotatePass = " select * from TEMPMenuAnnotate   ";
const std::string kAnnotateCount = "select count(*) as n from TEMPMenuAnnotate";
const std::string kAnnotateTypeIdLookup = " select ID from AnnotateType where name = ";
const std::string kAnnotateNumbering = "Annotate where AnnotateTypeID=";
const std::string kAnnotateInsert = std::string(" insert into Annotate ") +
                                    "(ID,Name,AnnotateTypeID,atype,aValue,PrintID)" +
                                    " values(:ID,:Name,:AnnotateTypeID,0,0,0) ";

// The key checks that keep a stored row from being offered again. Bound
// parameters, so that the statement text repeats and the key keeps its type.
const std::string kDishExists = " select ID from menu where ID = :ID ";
const std::string kTableExists = " select ID from tables where ID = :ID ";
const std::string kAnnotateExists =
    " select ID from Annotate where AnnotateTypeID = :AnnotateTypeID and Name = :Name ";

// A stored row as an export shows it, for the updates of stored rows: every
// column the workbook may hold under the staging column's name, and the
// identifiers behind the reference names. Left joins, so that a row whose
// category, statistics category or hall is missing shows it empty.
const std::string kStoredDish =
    std::string(" select menu.Name as Name, menu.FirstLetter as FirstLetter, ") +
    "menu.CategoryID as CategoryID, Category.Name as CategoryName, menu.SCSN as SCSN, " +
    "STCA.SCNA as SCNA, menu.Unit1 as Unit1, menu.Price1 as Price1, menu.Cost1 as Cost1, " +
    "menu.VPrice1 as VPrice1, menu.Unit2 as Unit2, menu.Price2 as Price2, menu.Cost2 as Cost2, " +
    "menu.VPrice2 as VPrice2, menu.Unit3 as Unit3, menu.Price3 as Price3, menu.Cost3 as Cost3, " +
    "menu.VPrice3 as VPrice3 from menu left join Category on menu.CategoryID = Category.ID " +
    "left join STCA on menu.SCSN = STCA.SCSN where menu.ID = :KeyID ";
const std::string kStoredTable =
    std::string(" select tables.Name as TableName, tables.Hallid as Hallid, ") +
    "Hall.Name as HallName from tables left join Hall on tables.Hallid = Hall.ID " +
    "where tables.ID = :KeyID ";

// How a column of a stored row is compared with the workbook's cell and what
// an update writes into it: text as it stands, prices by the rules of a new
// row, reference names as the identifier that the name looks up.
enum class CellKind { Text, FirstPrice, Price, MemberPrice, Category, Statistics, Hall };

struct UpdatableColumn {
    const char* staged;  // the staging column, and the name of the shown value
    const char* stored;  // the column written
    CellKind kind;
};

// The columns an update may write; the key and the station number are not
// among them.
const UpdatableColumn kDishColumns[] = {
    {"Name", "Name", CellKind::Text},
    {"FirstLetter", "FirstLetter", CellKind::Text},
    {"CategoryName", "CategoryID", CellKind::Category},
    {"SCNA", "SCSN", CellKind::Statistics},
    {"Unit1", "Unit1", CellKind::Text},
    {"Price1", "Price1", CellKind::FirstPrice},
    {"Cost1", "Cost1", CellKind::Price},
    {"VPrice1", "VPrice1", CellKind::MemberPrice},
    {"Unit2", "Unit2", CellKind::Text},
    {"Price2", "Price2", CellKind::Price},
    {"Cost2", "Cost2", CellKind::Price},
    {"VPrice2", "VPrice2", CellKind::Price},
    {"Unit3", "Unit3", CellKind::Text},
    {"Price3", "Price3", CellKind::Price},
    {"Cost3", "Cost3", CellKind::Price},
    {"VPrice3", "VPrice3", CellKind::Price},
};
const UpdatableColumn kTableColumns[] = {
    {"HallName", "Hallid", CellKind::Hall},
    {"TableName", "Name", CellKind::Text},
};

// The annotation type that always takes ID 0.
const std::string kGeneralAnnotateType = "总注";

constexpr int kMenuSpan = 25;
constexpr int kOtherSpan = 50;

// A staged value that the merge cannot use (a dish ID that is not a number).
class ConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string inQuotes(std::string_view text) {
    return "“" + std::string(text) + "”";
}

std::int32_t toInt32(const Value& value, const std::string& what) {
    if (value.isNull()) {
        throw ConversionError(what + "为空");
    }
    std::int64_t wide = 0;
    try {
        wide = value.toInteger();
    } catch (const std::exception&) {
        throw ConversionError(what + "不是数字");
    }
    if (wide < std::numeric_limits<std::int32_t>::min() ||
        wide > std::numeric_limits<std::int32_t>::max()) {
        throw ConversionError(what + "超出整数范围");
    }
    return static_cast<std::int32_t>(wide);
}

// The numeric value of a staged price for the comparisons of the dish rules.
// NULL and blank text count as 0.
double numericValue(const Value& value, const std::string& column) {
    switch (value.type()) {
        case ValueType::Null:
            return 0;
        case ValueType::Integer:
            return static_cast<double>(value.asInteger());
        case ValueType::Float:
            return value.asFloat();
        case ValueType::Boolean:
            return value.asBoolean() ? -1 : 0;
        case ValueType::Decimal:
        case ValueType::Text: {
            std::string t = trimmed(value.toText());
            if (t.empty()) {
                return 0;
            }
            char* end = nullptr;
            double d = std::strtod(t.c_str(), &end);
            if (end != nullptr && *end == '\0' && std::isfinite(d)) {
                return d;
            }
            break;
        }
        case ValueType::DateTime:
        case ValueType::Error:
            break;
    }
    throw ConversionError(column + "的值" + inQuotes(value.toText()) + "不是数字");
}

// Price1: NULL or blank text becomes 0; anything else stays, zero and
// negative values included.
Value firstPriceRule(const Value& value) {
    if (value.isNull() || isBlank(value.toText())) {
        return Value::integer(0);
    }
    return value;
}

// Every other price and cost: only a positive value stays.
Value otherPriceRule(const Value& value, const std::string& column) {
    if (numericValue(value, column) > 0) {
        return value;
    }
    return Value::integer(0);
}

bool isReference(CellKind kind) {
    return kind == CellKind::Category || kind == CellKind::Statistics || kind == CellKind::Hall;
}

// The lookup of a reference name, the column of its identifier and the
// column of its name as stored.
struct ReferenceLookup {
    const std::string& lookup;
    const char* idColumn;
    const char* nameColumn;
};

ReferenceLookup referenceLookup(CellKind kind) {
    switch (kind) {
        case CellKind::Statistics:
            return {kStcaLookup, "SCSN", "SCNA"};
        case CellKind::Hall:
            return {kHallLookup, "ID", "Name"};
        default:
            return {kCategoryLookup, "ID", "Name"};
    }
}

// Two names as the lookups compare them: trailing blanks and ASCII letter
// case aside.
bool sameName(std::string a, std::string b) {
    for (std::string* name : {&a, &b}) {
        while (!name->empty() && name->back() == ' ') {
            name->pop_back();
        }
    }
    return asciiLower(a) == asciiLower(b);
}

std::string datasetTitle(const std::string& key) {
    if (equalsIgnoreCase(key, "Menu")) {
        return "菜品信息";
    }
    if (equalsIgnoreCase(key, "HallTable")) {
        return "厅桌信息";
    }
    return "菜品注释";
}

// The user asked the merge to stop.
class StopRequested : public std::exception {};

// The gauge of the merge: each step sets it to the pass's base plus the
// share of the pass done, and the end of a pass makes that the next base.
class Progress {
public:
    Progress(int& base, TransferView& view) : m_base(base), m_view(view), m_position(base) {}

    void step(int ordinal, int rowCount, int span) {
        if (rowCount <= 0) {
            return;
        }
        double share = static_cast<double>(ordinal) / rowCount * span;
        m_position = m_base + static_cast<int>(std::trunc(share));
        m_view.setProgress(m_position);
    }
    void endPass() { m_base = m_position; }

private:
    int& m_base;
    TransferView& m_view;
    int m_position;
};

class Merger {
public:
    Merger(TransferQueries& queries, const TransferOptions& options, int& progressBase,
           TransferView& view, const std::vector<ImportedColumn>& columns)
        : m_q(queries),
          m_options(options),
          m_columns(columns),
          m_view(view),
          m_progress(progressBase, view),
          m_transaction(queries.connection),
          m_dataset(datasetTitle(options.datasetKey)) {
        // An annotation has no column beyond its key: nothing to update.
        m_report.updatesOffered = options.importChoices.updateExisting &&
                                  (equalsIgnoreCase(options.datasetKey, "Menu") ||
                                   equalsIgnoreCase(options.datasetKey, "HallTable"));
    }

    // Runs one dataset's passes; any failure outside the protected inserts
    // becomes MergeStopped, naming where it happened.
    void run(void (Merger::*passes)()) {
        try {
            (this->*passes)();
        } catch (const StopRequested&) {
            // The pass in progress is undone where the database allows it.
            const bool undone = m_transaction.rollBack();
            if (undone) {
                m_report = m_reportAtPassStart;
            }
            std::string text = "数据合并在" + m_dataset + "的" + inQuotes(m_step) + "一步停止：" +
                               kStoppedByUser + "。\n";
            text += undone ? "这一步写入的数据已撤销，此前各步的数据已写入数据库。"
                           : "在此之前的数据已写入数据库。";
            throw MergeStopped(text + "重新导入时，已写入的数据不会重复导入。", m_report);
        } catch (const std::exception& e) {
            // What the pass wrote before the stop is kept.
            std::string lost;
            if (m_transaction.open()) {
                try {
                    m_transaction.commit();
                } catch (const std::exception& commitError) {
                    lost = commitError.what();
                }
            } else if (!m_transaction.lost().empty()) {
                lost = m_transaction.lost();
            } else {
                lost = m_lostPass;
            }
            if (!lost.empty()) {
                m_report = m_reportAtPassStart;
            }
            throw MergeStopped(stopMessage(e.what(), lost), m_report);
        }
    }

    void mergeMenu() {
        walkPass("菜品类别", distinctPass("CategoryName", "TEMPMenu"), kMenuSpan, 1, [this] {
            std::string name = m_q.sqlQuery.fieldAsText("CategoryName");
            m_subject = "类别" + inQuotes(name);
            ensureReference(name, kCategoryLookup, [&] {
                Value id = nextId("ID", "Category");
                insertReference(kCategoryInsert, {{"Mid", id}, {"Name", Value::text(name)}});
                m_report.created.push_back({"菜品类别", name, id.asInteger()});
            });
        });
        walkPass("统计类别", distinctPass("SCNA", "TEMPMenu"), kMenuSpan, 1, [this] {
            std::string name = m_q.sqlQuery.fieldAsText("SCNA");
            m_subject = "统计类别" + inQuotes(name);
            ensureReference(name, kStcaLookup, [&] {
                // SCID and SCSN take one number, above every SCID and SCSN
                // stored, so that neither can collide.
                Value number = Value::integer(std::max(nextId("SCSN", "STCA").asInteger(),
                                                       nextId("SCID", "STCA").asInteger()));
                insertReference(kStcaInsert,
                                {{"Mid", number}, {"SCSN", number}, {"SCNA", Value::text(name)}});
                m_report.created.push_back({"统计类别", name, number.asInteger()});
            });
        });
        walkPass(
            "单位", kMenuPass, kMenuSpan, 1,
            [this] {
                for (const char* column : {"Unit1", "Unit2", "Unit3"}) {
                    std::string name = m_q.sqlQuery.fieldAsText(column);
                    m_subject = "单位" + inQuotes(name);
                    ensureReference(name, kUnitLookup, [&] {
                        Value id = nextId("ID", "Unit");
                        insertReference(kUnitInsert, {{"Mid", id}, {"Name", Value::text(name)}});
                        m_report.created.push_back({"单位", name, id.asInteger()});
                    });
                }
            },
            kMenuCount);
        walkPass(
            "菜品", kMenuPass, kMenuSpan, 1, [this] { mergeDish(); }, kMenuCount);
    }

    void mergeHallTable() {
        walkPass("大厅", distinctPass("HallName", "TEMPHallTable"), kOtherSpan, 0, [this] {
            std::string name = m_q.sqlQuery.fieldAsText("HallName");
            m_subject = "大厅" + inQuotes(name);
            ensureReference(name, kHallLookup, [&] {
                Value id = nextId("ID", "Hall");
                insertReference(
                    kHallInsert,
                    {{"Mid", id}, {"Name", Value::text(name)}, {"printId", Value::integer(0)}});
                m_report.created.push_back({"大厅", name, id.asInteger()});
            });
        });
        walkPass(
            "餐桌", kTablePass, kOtherSpan, 1, [this] { mergeTable(); }, kTableCount);
    }

    void mergeMenuAnnotate() {
        walkPass("注释类别", distinctPass("AnnotateTypeName", "TEMPMenuAnnotate"), kOtherSpan, 1,
                 [this] {
                     std::string name = m_q.sqlQuery.fieldAsText("AnnotateTypeName");
                     m_subject = "注释类别" + inQuotes(name);
                     ensureReference(name, kAnnotateTypeLookup, [&] {
                         Value id = trimmed(name) == kGeneralAnnotateType
                                        ? Value::integer(0)
                                        : nextId("ID", "AnnotateType");
                         insertReference(kAnnotateTypeInsert,
                                         {{"Mid", id}, {"Name", Value::text(name)}});
                         m_report.created.push_back({"注释类别", name, id.asInteger()});
                     });
                 });
        walkPass(
            "注释", kAnnotatePass, kOtherSpan, 1, [this] { mergeAnnotation(); }, kAnnotateCount);
    }

    const MergeReport& report() const { return m_report; }

private:
    void mergeDish() {
        db::Query& row = m_q.sqlQuery;
        std::string idText = row.fieldAsText("ID");
        std::string dishName = "菜品" + inQuotes(row.fieldAsText("Name"));
        m_subject =
            isBlank(idText) ? dishName : "菜品编码" + inQuotes(idText) + "（" + dishName + "）";
        std::int32_t id = toInt32(row.fieldValue("ID"), "菜品编码");
        if (exists(kDishExists, {{"ID", Value::integer(id)}})) {
            if (m_report.updatesOffered) {
                updateStoredRow(kDishColumns, "menu", kStoredDish, Value::integer(id),
                                std::to_string(id), "菜品编码");
            } else {
                ++m_report.alreadyExisting;
            }
            return;
        }
        Value categoryId =
            lookupValue(kDishCategoryLookup + quoted(row.fieldAsText("CategoryName")), "ID");

        Value price1 = firstPriceRule(row.fieldValue("Price1"));
        Value cost1 = otherPriceRule(row.fieldValue("Cost1"), "Cost1");
        Value vprice1 = otherPriceRule(row.fieldValue("VPrice1"), "VPrice1");
        Value price2 = otherPriceRule(row.fieldValue("Price2"), "Price2");
        Value cost2 = otherPriceRule(row.fieldValue("Cost2"), "Cost2");
        Value vprice2 = otherPriceRule(row.fieldValue("VPrice2"), "VPrice2");
        Value price3 = otherPriceRule(row.fieldValue("Price3"), "Price3");
        Value cost3 = otherPriceRule(row.fieldValue("Cost3"), "Cost3");
        Value vprice3 = otherPriceRule(row.fieldValue("VPrice3"), "VPrice3");
        // A dish without any member price is sold to members at its first
        // non-zero price.
        if (numericValue(vprice1, "VPrice1") == 0 && numericValue(vprice2, "VPrice2") == 0 &&
            numericValue(vprice3, "VPrice3") == 0) {
            for (const auto& [price, column] :
                 {std::pair{&price1, "Price1"}, std::pair{&price2, "Price2"},
                  std::pair{&price3, "Price3"}}) {
                if (numericValue(*price, column) != 0) {
                    vprice1 = *price;
                    break;
                }
            }
        }
        Value scsn = lookupValue(kDishStcaLookup + quoted(row.fieldAsText("SCNA")), "SCSN");

        const bool stored = insertRow(kDishInsert,
                                      {{"ID", Value::integer(id)},
                                       {"Name", row.fieldValue("Name")},
                                       {"FirstLetter", row.fieldValue("FirstLetter")},
                                       {"CategoryID", categoryId},
                                       {"Unit1", row.fieldValue("Unit1")},
                                       {"Price1", price1},
                                       {"Cost1", cost1},
                                       {"VPrice1", vprice1},
                                       {"Unit2", row.fieldValue("Unit2")},
                                       {"Price2", price2},
                                       {"Cost2", cost2},
                                       {"VPrice2", vprice2},
                                       {"Unit3", row.fieldValue("Unit3")},
                                       {"Price3", price3},
                                       {"Cost3", cost3},
                                       {"VPrice3", vprice3},
                                       {"stationId", Value::integer(m_options.stationNumber)},
                                       {"SCSN", scsn}},
                                      "菜品编码", std::to_string(id));
        if (stored && categoryId.isNull()) {
            m_report.withoutCategory.push_back(std::to_string(id));
        }
        if (stored && scsn.isNull()) {
            m_report.withoutStatistics.push_back(std::to_string(id));
        }
    }

    void mergeTable() {
        db::Query& row = m_q.sqlQuery;
        Value tableId = row.fieldValue("TableID");
        m_subject = "桌号" + inQuotes(tableId.toText());
        if (!tableId.isNull() && exists(kTableExists, {{"ID", tableId}})) {
            if (m_report.updatesOffered) {
                updateStoredRow(kTableColumns, "tables", kStoredTable, tableId, tableId.toText(),
                                "桌号");
            } else {
                ++m_report.alreadyExisting;
            }
            return;
        }
        Value tableName = row.fieldValue("TableName");
        Value hallId = lookupValue(kTableHallLookup + quoted(row.fieldAsText("HallName")), "ID");
        const bool stored =
            insertRow(kTableInsert,
                      {{"ID", tableId}, {"Code", tableId}, {"Name", tableName}, {"hallID", hallId}},
                      "桌号", tableId.toText());
        if (stored && hallId.isNull()) {
            m_report.withoutHall.push_back(tableId.toText());
        }
    }

    void mergeAnnotation() {
        db::Query& row = m_q.sqlQuery;
        Value name = row.fieldValue("Annotatename");
        std::string typeName = row.fieldAsText("AnnotateTypeName");
        m_subject = "注释" + inQuotes(name.toText()) + "（注释类别" + inQuotes(typeName) + "）";
        Value typeId = lookupValue(kAnnotateTypeIdLookup + quoted(typeName), "ID");
        if (typeId.isNull()) {
            throw ConversionError("找不到注释类别" + inQuotes(typeName));
        }
        std::int32_t typeNumber = toInt32(typeId, "注释类别编号");
        if (!name.isNull() && exists(kAnnotateExists + m_q.connection.dialect().nameCollation(),
                                     {{"AnnotateTypeID", typeId}, {"Name", name}})) {
            ++m_report.alreadyExisting;
            return;
        }
        Value id = nextId("ID", kAnnotateNumbering + std::to_string(typeNumber));
        if (!insertRow(kAnnotateInsert, {{"ID", id}, {"Name", name}, {"AnnotateTypeID", typeId}},
                       "注释", name.toText())) {
            m_report.refused.back().annotateType = typeName;
        }
    }

    // The heading of the worksheet column that fills staging column
    // `column`, or nullptr when the workbook does not hold it.
    const std::string* headingOf(const char* column) const {
        for (const ImportedColumn& imported : m_columns) {
            if (equalsIgnoreCase(imported.column, column)) {
                return &imported.heading;
            }
        }
        return nullptr;
    }

    // Updates the stored row with the staged row's key: each column the
    // workbook holds is compared with the stored row as an export shows it,
    // and only the columns that differ are written, with the value the rules
    // of a new row give them. A row without a difference is left untouched.
    void updateStoredRow(std::span<const UpdatableColumn> columns, const std::string& table,
                         const std::string& storedStatement, const Value& keyValue,
                         const std::string& key, const std::string& keyName) {
        const db::Query& row = m_q.sqlQuery;
        // The stored row: each column as shown, and the identifier behind a
        // reference name.
        std::vector<Value> shown(columns.size());
        std::vector<Value> storedIds(columns.size());
        {
            db::Query& q = m_q.tempQuery;
            q.close();
            q.clearLines();
            q.addLine(storedStatement);
            q.setParameter("KeyID", keyValue);
            q.open();
            if (q.eof()) {
                q.close();
                ++m_report.alreadyExisting;
                return;
            }
            for (std::size_t i = 0; i < columns.size(); ++i) {
                shown[i] = q.fieldValue(columns[i].staged);
                if (isReference(columns[i].kind)) {
                    storedIds[i] = q.fieldValue(columns[i].stored);
                }
            }
            q.close();
        }
        // A price of the row as it will be: the workbook's by the rules when
        // the workbook holds the column, else the stored one.
        const auto priceInRow = [&](const char* column) {
            for (std::size_t i = 0; i < columns.size(); ++i) {
                if (!equalsIgnoreCase(columns[i].staged, column)) {
                    continue;
                }
                if (headingOf(column) == nullptr) {
                    return shown[i];
                }
                const Value cell = row.fieldValue(column);
                return columns[i].kind == CellKind::FirstPrice ? firstPriceRule(cell)
                                                               : otherPriceRule(cell, column);
            }
            return Value();
        };

        struct Write {
            std::size_t index;
            const std::string* heading;
            Value value;
            std::string after;
        };
        // In worksheet order, as the user reads the row.
        std::vector<Write> writes;
        for (const ImportedColumn& imported : m_columns) {
            const auto at =
                std::find_if(columns.begin(), columns.end(), [&](const UpdatableColumn& c) {
                    return equalsIgnoreCase(c.staged, imported.column);
                });
            if (at == columns.end()) {
                continue;  // the key, or a column the dataset does not update
            }
            const auto i = static_cast<std::size_t>(at - columns.begin());
            const UpdatableColumn& column = *at;
            const std::string* heading = &imported.heading;
            const Value cell = row.fieldValue(column.staged);
            const std::string before = shown[i].toText();
            switch (column.kind) {
                case CellKind::Text:
                    if (cell.toText() != before) {
                        writes.push_back({i, heading, cell, cell.toText()});
                    }
                    break;
                case CellKind::FirstPrice:
                case CellKind::Price:
                case CellKind::MemberPrice: {
                    // A blank price is 0, as it is for a new row.
                    if (numericValue(cell, column.staged) ==
                        numericValue(Value::text(before), column.staged)) {
                        break;
                    }
                    Value price = priceInRow(column.staged);
                    if (column.kind == CellKind::MemberPrice &&
                        numericValue(price, "VPrice1") == 0 &&
                        numericValue(priceInRow("VPrice2"), "VPrice2") == 0 &&
                        numericValue(priceInRow("VPrice3"), "VPrice3") == 0) {
                        // Sold to members at its first non-zero price, as a
                        // new dish is.
                        for (const char* other : {"Price1", "Price2", "Price3"}) {
                            Value candidate = priceInRow(other);
                            if (numericValue(candidate, other) != 0) {
                                price = candidate;
                                break;
                            }
                        }
                    }
                    writes.push_back({i, heading, price, price.toText()});
                    break;
                }
                case CellKind::Category:
                case CellKind::Statistics:
                case CellKind::Hall: {
                    const std::string name = cell.toText();
                    if (sameName(name, before)) {
                        break;
                    }
                    // The name is looked up as for a new row; the reference
                    // passes have created it. A blank name refers to nothing.
                    Value id;
                    std::string after;
                    if (!isBlank(name)) {
                        const auto [lookup, idColumn, nameColumn] = referenceLookup(column.kind);
                        openStatement(m_q.tempQuery, lookup + quoted(name));
                        if (!m_q.tempQuery.eof()) {
                            id = m_q.tempQuery.fieldValue(idColumn);
                            after = m_q.tempQuery.fieldAsText(nameColumn);
                        }
                        m_q.tempQuery.close();
                    }
                    if (id.isNull() != storedIds[i].isNull() ||
                        id.toText() != storedIds[i].toText()) {
                        writes.push_back({i, heading, id, after});
                    }
                    break;
                }
            }
        }
        if (writes.empty()) {
            ++m_report.unchanged;
            return;
        }

        std::string statement = " update " + table + " set ";
        db::Parameters params;
        for (const Write& write : writes) {
            const std::string column = columns[write.index].stored;
            statement += (params.empty() ? "" : ", ") + column + " = :" + column;
            params.emplace_back(column, write.value);
        }
        statement += " where ID = :KeyID ";
        params.emplace_back("KeyID", keyValue);
        if (!writeRow(statement, params, keyName, key)) {
            return;
        }

        ++m_report.updated;
        for (const Write& write : writes) {
            auto counted =
                std::find_if(m_report.changedColumns.begin(), m_report.changedColumns.end(),
                             [&](const auto& entry) { return entry.first == *write.heading; });
            if (counted == m_report.changedColumns.end()) {
                m_report.changedColumns.emplace_back(*write.heading, 1);
            } else {
                ++counted->second;
            }
            if (m_report.changes.size() < kListedChanges) {
                m_report.changes.push_back(
                    {key, *write.heading, shown[write.index].toText(), write.after});
            }
            ++m_report.changeCount;
            if (write.value.isNull()) {
                switch (columns[write.index].kind) {
                    case CellKind::Category:
                        m_report.withoutCategory.push_back(key);
                        break;
                    case CellKind::Statistics:
                        m_report.withoutStatistics.push_back(key);
                        break;
                    case CellKind::Hall:
                        m_report.withoutHall.push_back(key);
                        break;
                    default:
                        break;
                }
            }
        }
    }

    // Opens a pass on the driving cursor and handles its rows one by one,
    // moving the gauge after each; `firstOrdinal` is the ordinal of the first
    // row in the progress arithmetic.
    void walkPass(const char* step, const std::string& statement, int span, int firstOrdinal,
                  const std::function<void()>& handleRow, const std::string& countStatement = {}) {
        m_step = step;
        m_subject.clear();
        db::Query& driver = m_q.sqlQuery;
        executePreamble(driver, m_options.database);
        // A pass over the whole staging table counts its rows apart and
        // holds one row at a time.
        driver.setForwardOnly(!countStatement.empty());
        struct BackToWhole {
            db::Query& query;
            ~BackToWhole() { query.setForwardOnly(false); }
        } backToWhole{driver};
        openStatement(driver, statement);
        m_reportAtPassStart = m_report;
        m_lostPass.clear();
        m_transaction.begin();
        driver.first();
        // The row count of the progress arithmetic; counting a pass over the
        // whole staging table apart keeps its rows from being read at once.
        int rowCount = -1;
        if (!countStatement.empty()) {
            openStatement(m_q.tempQuery, countStatement);
            rowCount = static_cast<int>(m_q.tempQuery.fieldValue("n").toInteger());
            m_q.tempQuery.close();
        }
        int ordinal = firstOrdinal;
        while (!driver.eof()) {
            if (m_view.stopRequested()) {
                throw StopRequested();
            }
            handleRow();
            m_progress.step(ordinal, rowCount >= 0 ? rowCount : driver.recordCount(), span);
            ++ordinal;
            driver.next();
        }
        m_subject.clear();
        try {
            m_transaction.commit();
        } catch (const std::exception& e) {
            m_lostPass = e.what();
            throw;
        }
        m_progress.endPass();
    }

    // A blank name needs no reference row; a name not yet stored gets one.
    void ensureReference(const std::string& name, const std::string& lookup,
                         const std::function<void()>& insert) {
        if (isBlank(name)) {
            return;
        }
        openStatement(m_q.tempQuery, lookup + quoted(name));
        if (m_q.tempQuery.eof()) {
            insert();
        }
    }

    // The first column value of a lookup, NULL when it finds no row.
    Value lookupValue(const std::string& statement, const std::string& column) {
        openStatement(m_q.tempQuery, statement);
        if (m_q.tempQuery.eof()) {
            return Value();
        }
        return m_q.tempQuery.fieldValue(column);
    }

    // Whether a row with the staged row's key is already stored. A key the
    // server cannot even compare (a table number "A01" against an integer ID
    // on SQL Server) counts as not stored: the insert that follows is then
    // refused and recorded with the database's reason, instead of stopping
    // the merge. Any other failure of the lookup stops the merge: it does not
    // tell whether the row is stored, and inserting it anyway could store it
    // twice (annotations have no unique key).
    bool exists(const std::string& statement, const db::Parameters& params) {
        db::Query& q = m_q.tempQuery;
        try {
            q.close();
            q.clearLines();
            q.addLine(statement);
            for (const auto& [name, value] : params) {
                q.setParameter(name, value);
            }
            q.open();
            return !q.eof();
        } catch (const db::DbError& e) {
            if (e.fault() == db::DbFault::TypeMismatch) {
                return false;
            }
            throw;
        }
    }

    Value nextId(const std::string& column, const std::string& source) {
        std::int64_t largest = queryMaxId(m_q.tempQuery2, m_options.database, column, source);
        if (largest == std::numeric_limits<std::int32_t>::max()) {
            throw ConversionError(source + "的" + column + "已达整数上限，无法编号");
        }
        return Value::integer(largest + 1);
    }

    // A reference row that the database refuses stops the merge: the rows
    // that refer to it could not be stored either.
    void insertReference(const std::string& statement, const db::Parameters& params) {
        m_transaction.runInsert(m_q.tempQuery2, statement, params, false);
    }

    bool insertRow(const std::string& statement, const db::Parameters& params,
                   const std::string& keyName, const std::string& key) {
        if (!writeRow(statement, params, keyName, key)) {
            return false;
        }
        ++m_report.inserted;
        return true;
    }

    // A last-pass row (an insert, or the update of a stored row) that the
    // database refuses is left out and recorded with its key and the
    // database's reason; the pass goes on.
    bool writeRow(const std::string& statement, const db::Parameters& params,
                  const std::string& keyName, const std::string& key) {
        try {
            m_transaction.runInsert(m_q.tempQuery2, statement, params, true);
            return true;
        } catch (const RowNotUndone&) {
            throw;
        } catch (const db::DbError& e) {
            // A busy, full or read-only database would refuse every further
            // row alike: the merge stops instead of blaming each row.
            if (db::isEnvironmentFault(e.fault())) {
                throw;
            }
            m_report.refused.push_back({keyName, key, e.what()});
            return false;
        } catch (const std::exception& e) {
            m_report.refused.push_back({keyName, key, e.what()});
            return false;
        }
    }

    // A name as a literal of a lookup, compared as the server compares
    // names: trailing blanks and ASCII letter case ignored.
    std::string quoted(const std::string& name) const {
        const db::Dialect& dialect = m_q.connection.dialect();
        return dialect.stringLiteral(name) + dialect.nameCollation();
    }

    // The distinct names of a staging column, equal names once.
    std::string distinctPass(const std::string& column, const std::string& table) const {
        const std::string collation = m_q.connection.dialect().nameCollation();
        if (collation.empty()) {
            return " select distinct(" + column + ") from " + table + "   ";
        }
        return " select distinct(" + column + collation + ") as " + column + " from " + table +
               "   ";
    }

    // `lost` is the database's reason when the rows of the stopped step
    // could not be kept.
    std::string stopMessage(const std::string& reason, const std::string& lost) const {
        std::string text = "数据合并在" + m_dataset + "的" + inQuotes(m_step) + "一步中止";
        if (!m_subject.empty()) {
            text += "，" + m_subject;
        }
        text += "：" + reason;
        if (lost.empty()) {
            text += "\n在此之前的数据已写入数据库。";
        } else {
            text += "\n这一步已写入的数据未能保存（" + lost + "），此前各步的数据已写入数据库。";
        }
        return text + "请改正后重新导入，已写入的数据不会重复导入。";
    }

    TransferQueries& m_q;
    const TransferOptions& m_options;
    const std::vector<ImportedColumn>& m_columns;
    TransferView& m_view;
    Progress m_progress;
    PassTransaction m_transaction;
    MergeReport m_report;
    MergeReport m_reportAtPassStart;
    std::string m_lostPass;  // why the last pass's rows could not be kept
    std::string m_dataset;
    std::string m_step;
    std::string m_subject;
};

}  // namespace

std::int32_t queryMaxId(db::Query& tempQuery2, const std::string& database,
                        const std::string& column, const std::string& source) {
    executePreamble(tempQuery2, database);
    openStatement(tempQuery2, "select * from " + source);
    if (tempQuery2.eof()) {
        return 0;
    }
    openStatement(tempQuery2, "select Max(" + column + ") as MaxId from " + source);
    Value largest = tempQuery2.fieldValue("MaxId");
    if (largest.isNull()) {
        return 0;
    }
    return toInt32(largest, source + "的最大" + column + inQuotes(largest.toText()));
}

MergeReport mergeStagedRows(TransferQueries& queries, const TransferOptions& options,
                            int& progressBase, TransferView& view,
                            const std::vector<ImportedColumn>& columns) {
    try {
        executePreamble(queries.sqlQuery, options.database);
    } catch (const std::exception&) {
        // Each pass sends the preamble again and stops on its failure.
    }
    Merger merger(queries, options, progressBase, view, columns);
    if (equalsIgnoreCase(options.datasetKey, "Menu")) {
        merger.run(&Merger::mergeMenu);
    }
    if (equalsIgnoreCase(options.datasetKey, "HallTable")) {
        merger.run(&Merger::mergeHallTable);
    }
    if (equalsIgnoreCase(options.datasetKey, "MenuAnnotate")) {
        merger.run(&Merger::mergeMenuAnnotate);
    }
    return merger.report();
}

std::string moreRowsNote(std::size_t total) {
    if (total <= kListedRows) {
        return {};
    }
    return "\n……另有" + std::to_string(total - kListedRows) + "行未列出";
}

std::string formatMergeSummary(const MergeReport& report) {
    std::string text = "已导入" + std::to_string(report.inserted) + "行";
    if (report.updatesOffered) {
        text += "；已更新" + std::to_string(report.updated) + "行";
        std::string columns;
        for (const auto& [heading, rows] : report.changedColumns) {
            columns += (columns.empty() ? "" : "、") + heading + " " + std::to_string(rows) + "行";
        }
        if (!columns.empty()) {
            text += "（" + columns + "）";
        }
        text += "；" + std::to_string(report.unchanged) + "行与数据库中相同，未改动";
    }
    if (report.alreadyExisting > 0) {
        text += "；" + std::to_string(report.alreadyExisting) + "行已存在，未重复导入";
    }
    if (report.refused.empty()) {
        return text + "。";
    }
    return text + "；" + formatRefusedRows(report);
}

std::string formatCellChanges(const MergeReport& report) {
    std::string text;
    for (const CellChange& change : report.changes) {
        text += (text.empty() ? "" : "\n") + std::string("ID ") + change.key + " " +
                change.heading + ": " + change.before + " → " + change.after;
    }
    if (report.changeCount > report.changes.size()) {
        text += "\n……另有" + std::to_string(report.changeCount - report.changes.size()) +
                "处改动未列出";
    }
    return text;
}

std::string formatRefusedRows(const MergeReport& report) {
    std::string text = std::to_string(report.refused.size()) + "行未能导入，请检查后手动添加：";
    for (std::size_t i = 0; i < report.refused.size() && i < kListedRows; ++i) {
        const RefusedRow& row = report.refused[i];
        text += "\n" + row.keyName + inQuotes(row.key) + "：" + row.reason;
    }
    return text + moreRowsNote(report.refused.size());
}

std::string formatMergeWarnings(const MergeReport& report) {
    std::string text;
    const auto warn = [&text](const std::vector<std::string>& keys, const char* what,
                              const char* keyName) {
        if (keys.empty()) {
            return;
        }
        std::string list;
        for (std::size_t i = 0; i < keys.size() && i < kListedRows; ++i) {
            list += (list.empty() ? "" : "、") + keys[i];
        }
        if (keys.size() > kListedRows) {
            list += "等";
        }
        text += std::string(text.empty() ? "" : "\n") + "注意：" + std::to_string(keys.size()) +
                what + "，导出时不会出现（" + keyName + "：" + list + "）。";
    };
    warn(report.withoutCategory, "个菜品没有类别", "菜品编码");
    warn(report.withoutStatistics, "个菜品没有统计类别", "菜品编码");
    warn(report.withoutHall, "张餐桌没有所属大厅", "桌号");
    return text;
}

}  // namespace pos::transfer
