// The merge of the dishes: the dataset's definition makes sure that their
// categories, statistics categories and units exist; here each staged dish
// is inserted by the price rules, or updates the stored dish with its ID.
#include <array>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "common/Text.h"
#include "transfer/MergeEngine.h"

namespace pos::transfer {
namespace {

// Statement texts. Names go into lookups as string literals of the dialect;
// every other value is a named parameter.
const std::string kDishCategoryLookup = " select ID from Category where name = ";
const std::string kDishStcaLookup = " select SCSN from STCA where SCNA = ";

// The key check that keeps a stored dish from being offered again. A bound
// parameter, so that the statement text repeats and the key keeps its type.
const std::string kDishExists = " select ID from menu where ID = :ID ";

// A new dish's columns beyond the dataset's: its station, given per dish,
// then the values every new dish takes.
constexpr std::pair<const char*, const char*> kNewDishFixed[] = {
    {"StationID", nullptr}, {"CanModifyAmount", "0"}, {"Discount", "1"},  {"IsDisCount", "1"},
    {"Status", "1"},        {"Quantity", "-1"},       {"isSpecial", "0"}, {"EProfit1", "0"},
    {"EProfit2", "0"},      {"EProfit3", "0"},        {"NotDishTj", "0"}, {"isFee", "1"},
    {"flag", "0"},          {"isRate", "1"},
};

// The prices the member-price rule reads besides the first member price, in
// the order it reads them.
constexpr const char* kOtherPrices[] = {"VPrice2", "VPrice3", "Price1", "Price2", "Price3"};

// The staged prices the member-price rule reads: the member price, then
// kOtherPrices.
constexpr const char* kMemberPriceColumns[] = {"VPrice1", "VPrice2", "VPrice3",
                                               "Price1",  "Price2",  "Price3"};

// A dish without any member price is sold to members at its first non-zero
// price; `priceOf(i)` gives the i-th of kOtherPrices as its rule makes it.
template <typename PriceOf>
Value memberPriceOf(Value vprice1, const PriceOf& priceOf) {
    if (numericValue(vprice1, "VPrice1") == 0 && numericValue(priceOf(0), kOtherPrices[0]) == 0 &&
        numericValue(priceOf(1), kOtherPrices[1]) == 0) {
        for (std::size_t i = 2; i < std::size(kOtherPrices); ++i) {
            Value candidate = priceOf(i);
            if (numericValue(candidate, kOtherPrices[i]) != 0) {
                return candidate;
            }
        }
    }
    return vprice1;
}

// The dataset's columns of kMemberPriceColumns.
const std::array<const datasets::DatasetColumn*, std::size(kMemberPriceColumns)>&
memberPriceRuleColumns() {
    static const auto kColumns = [] {
        std::array<const datasets::DatasetColumn*, std::size(kMemberPriceColumns)> columns{};
        for (std::size_t i = 0; i < columns.size(); ++i) {
            columns[i] = datasets::findColumn(datasets::kMenuDataset, kMemberPriceColumns[i]);
        }
        return columns;
    }();
    return kColumns;
}

// A new dish's member price from its staged prices (kMemberPriceColumns),
// each made first by its column's rule.
Value dishMemberPrice(std::span<const Value> staged) {
    const auto& columns = memberPriceRuleColumns();
    std::array<Value, std::size(kMemberPriceColumns)> prices;
    for (std::size_t i = 0; i < prices.size(); ++i) {
        prices[i] = ruleValue(columns[i]->rule, staged[i], columns[i]->staged);
    }
    return memberPriceOf(prices[0], [&](std::size_t i) -> const Value& { return prices[i + 1]; });
}

// The same as SQL over the staged prices' expressions, each of which holds
// numbers and NULL only: memberPriceOf over the prices as ruleExpression
// makes them, none of them NULL.
std::string dishMemberPriceSql(std::span<const std::string> staged) {
    const auto& columns = memberPriceRuleColumns();
    std::array<std::string, std::size(kMemberPriceColumns)> price;
    for (std::size_t i = 0; i < price.size(); ++i) {
        price[i] = "(" + ruleExpression(columns[i]->rule, staged[i], "", true) + ")";
    }
    std::string sql = "case when " + price[0] + " <> 0 or " + price[1] + " <> 0 or " + price[2] +
                      " <> 0 then " + price[0];
    for (std::size_t i = 3; i < price.size(); ++i) {
        sql += " when " + price[i] + " <> 0 then " + price[i];
    }
    return sql + " else " + price[0] + " end";
}

constexpr NewRowsAtOnce kNewDishesAtOnce{.memberPriceColumns = kMemberPriceColumns,
                                         .memberPrice = dishMemberPrice,
                                         .memberPriceSql = dishMemberPriceSql};

// The dish as a stop names it.
std::string dishSubject(const StagedRow& row) {
    std::string idText = row.fieldAsText("ID");
    std::string dishName = "菜品" + inQuotes(row.fieldAsText("Name"));
    return isBlank(idText) ? dishName : "菜品编码" + inQuotes(idText) + "（" + dishName + "）";
}

// The dish's code as stored; the dish becomes the subject.
std::optional<std::int64_t> dishKey(MergeEngine& engine, const StagedRow& row) {
    engine.setSubjectOf(row, dishSubject);
    return toInt32(row.fieldValue("ID"), "菜品编码");
}

// A new dish's values, in the order of the insert's columns: each price and
// cost as the column table's rule for it makes it, the member-price rule,
// the identifiers behind the names, the station.
void newDish(MergeEngine& engine, const StagedRow& row, const NameIds& names,
             std::vector<Value>& values, std::vector<const char*>& without) {
    // The prices' rules, in the order a bad price stops the row.
    static const auto columnOf = [](const char* column) {
        return datasets::findColumn(datasets::kMenuDataset, column);
    };
    static const datasets::DatasetColumn* const kPrices[] = {
        columnOf("Price2"), columnOf("Price3"), columnOf("VPrice2"), columnOf("VPrice3")};
    const auto rule = [&row](const datasets::DatasetColumn& column) {
        return ruleValue(column.rule, row.value(column), column.staged);
    };
    for (const datasets::DatasetColumn* price : kPrices) {
        rule(*price);
    }
    for (const datasets::DatasetColumn& column : datasets::kMenuDataset.columns) {
        const char* staged = column.staged;
        if (column.key) {
            values.push_back(Value::integer(toInt32(row.value(column), column.heading)));
        } else if (column.kind == datasets::ColumnKind::ReferenceName) {
            values.push_back(names.find(staged, row.value(column).toText()).id);
            if (values.back().isNull()) {
                without.push_back(staged);
            }
        } else if (column.rule == datasets::ValueRule::AsGiven) {
            values.push_back(row.value(column));
        } else if (column.rule == datasets::ValueRule::MemberPrice) {
            std::array<Value, std::size(kMemberPriceColumns)> prices;
            for (std::size_t i = 0; i < prices.size(); ++i) {
                prices[i] = row.fieldValue(kMemberPriceColumns[i]);
            }
            values.push_back(dishMemberPrice(prices));
        } else {
            values.push_back(rule(column));
        }
    }
    values.push_back(Value::integer(engine.options().stationNumber));
}

void mergeDish(MergeEngine& engine) {
    const StagedRow& row = engine.row();
    const auto id = static_cast<std::int32_t>(*dishKey(engine, row));
    if (engine.exists(kDishExists, {{"ID", Value::integer(id)}})) {
        engine.updateStoredRow(Value::integer(id), std::to_string(id));
        return;
    }
    NameIds names;
    for (const auto& [staged, lookup, idColumn] :
         {std::tuple{"CategoryName", &kDishCategoryLookup, "ID"},
          std::tuple{"SCNA", &kDishStcaLookup, "SCSN"}}) {
        const std::string name = row.fieldAsText(staged);
        names.add(staged, name, {engine.lookupValue(*lookup + engine.quoted(name), idColumn), {}});
    }
    std::vector<Value> values;
    std::vector<const char*> without;
    newDish(engine, row, names, values, without);
    if (engine.insertRow(engine.newRowInsert(), engine.newRowParameters(values),
                         std::to_string(id))) {
        for (const char* staged : without) {
            engine.noteWithoutReference(staged, std::to_string(id));
        }
    }
}

}  // namespace

// Price1: NULL or blank text becomes 0; anything else stays, zero and
// negative values included. Every other price and cost: only a positive
// value stays.
Value ruleValue(datasets::ValueRule rule, const Value& value, std::string_view column) {
    switch (rule) {
        case datasets::ValueRule::AsGiven:
            return value;
        case datasets::ValueRule::FirstPrice:
            // Only a text can be blank: a number is not written out to ask.
            if (value.isNull() || (value.type() == ValueType::Text && isBlank(value.asText()))) {
                return Value::integer(0);
            }
            return value;
        case datasets::ValueRule::OtherPrice:
        case datasets::ValueRule::MemberPrice:
            if (numericValue(value, column) > 0) {
                return value;
            }
            return Value::integer(0);
    }
    return value;
}

// The rules above as an expression of the database. A NULL is 0 under each
// price rule; a column that holds numbers only (a strict table's REAL or
// INTEGER column) cannot hold a blank text, so the database applies the
// rule itself. Any other value goes to `otherwise`, which calls ruleValue.
std::string ruleExpression(datasets::ValueRule rule, const std::string& value,
                           const std::string& otherwise, bool numbersOnly) {
    switch (rule) {
        case datasets::ValueRule::AsGiven:
            return value;
        case datasets::ValueRule::FirstPrice:
            if (numbersOnly) {
                return "coalesce(" + value + ", 0)";
            }
            break;
        case datasets::ValueRule::OtherPrice:
        case datasets::ValueRule::MemberPrice:
            if (numbersOnly) {
                return "case when " + value + " > 0 then " + value + " else 0 end";
            }
            break;
    }
    return "case when " + value + " is null then 0 else " + otherwise + " end";
}

Value memberPrice(Value vprice1, const ValueInRow& valueInRow) {
    return memberPriceOf(std::move(vprice1),
                         [&](std::size_t i) { return valueInRow(kOtherPrices[i]); });
}

constinit const DatasetMerge kMenuMerge{
    .dataset = datasets::kMenuDataset,
    .lastStep = "菜品",
    .mergeRow = mergeDish,
    .update = {.table = "menu"},
    .batched = {.keyOf = dishKey, .newRow = newDish, .atOnce = &kNewDishesAtOnce},
    .newRowFixed = kNewDishFixed,
};

}  // namespace pos::transfer
