// The merge of the dishes: the dataset's definition makes sure that their
// categories, statistics categories and units exist; here each staged dish
// is inserted by the price rules, or updates the stored dish with its ID.
#include <string>
#include <string_view>
#include <utility>

#include "common/Text.h"
#include "transfer/MergeEngine.h"

namespace pos::transfer {
namespace {

// Statement texts. Names go into lookups as string literals of the dialect;
// every other value is a named parameter.
const std::string kDishCategoryLookup = " select ID from Category where name = ";
const std::string kDishStcaLookup = " select SCSN from STCA where SCNA = ";
const std::string kDishInsert =
    std::string(" insert into menu ") +
    "(ID,Name,FirstLetter,CategoryID,Unit1,Price1,Cost1,VPrice1,Unit2,Price2,Cost2,VPrice2,Unit3,"
    "Price3,Cost3,VPrice3,CanModifyAmount,Discount,IsDisCount,Status,StationID,SCSN,Quantity,"
    "isSpecial,EProfit1,EProfit2,EProfit3,NotDishTj,isFee,flag,isRate)" +
    " values(:ID,:Name,:FirstLetter,:CategoryID,:Unit1,:Price1,:Cost1,:VPrice1,:Unit2,:Price2,"
    ":Cost2,:VPrice2,:Unit3,:Price3,:Cost3,:VPrice3,0,1,1,1,:stationId,:SCSN,-1,0,0,0,0,0,1,0,1) ";

// The key check that keeps a stored dish from being offered again. A bound
// parameter, so that the statement text repeats and the key keeps its type.
const std::string kDishExists = " select ID from menu where ID = :ID ";

// A stored dish as an export shows it, for the updates of stored rows: every
// column the workbook may hold under the staging column's name, and the
// identifiers behind the reference names. Left joins, so that a dish whose
// category or statistics category is missing shows it empty.
constexpr const char* kStoredDish =
    " select menu.Name as Name, menu.FirstLetter as FirstLetter, "
    "menu.CategoryID as CategoryID, Category.Name as CategoryName, menu.SCSN as SCSN, "
    "STCA.SCNA as SCNA, menu.Unit1 as Unit1, menu.Price1 as Price1, menu.Cost1 as Cost1, "
    "menu.VPrice1 as VPrice1, menu.Unit2 as Unit2, menu.Price2 as Price2, menu.Cost2 as Cost2, "
    "menu.VPrice2 as VPrice2, menu.Unit3 as Unit3, menu.Price3 as Price3, menu.Cost3 as Cost3, "
    "menu.VPrice3 as VPrice3 from menu left join Category on menu.CategoryID = Category.ID "
    "left join STCA on menu.SCSN = STCA.SCSN where menu.ID = :KeyID ";

void mergeDish(MergeEngine& engine) {
    const db::Query& row = engine.row();
    std::string idText = row.fieldAsText("ID");
    std::string dishName = "菜品" + inQuotes(row.fieldAsText("Name"));
    engine.setSubject(isBlank(idText) ? dishName
                                      : "菜品编码" + inQuotes(idText) + "（" + dishName + "）");
    std::int32_t id = toInt32(row.fieldValue("ID"), "菜品编码");
    if (engine.exists(kDishExists, {{"ID", Value::integer(id)}})) {
        engine.updateStoredRow(Value::integer(id), std::to_string(id));
        return;
    }
    Value categoryId = engine.lookupValue(
        kDishCategoryLookup + engine.quoted(row.fieldAsText("CategoryName")), "ID");

    // Each price and cost as the column table's rule for it makes it.
    const auto rule = [&row](const char* column) {
        return ruleValue(datasets::findColumn(datasets::kMenuDataset, column)->rule,
                         row.fieldValue(column), column);
    };
    Value price1 = rule("Price1");
    Value cost1 = rule("Cost1");
    Value vprice1 = rule("VPrice1");
    Value price2 = rule("Price2");
    Value cost2 = rule("Cost2");
    Value vprice2 = rule("VPrice2");
    Value price3 = rule("Price3");
    Value cost3 = rule("Cost3");
    Value vprice3 = rule("VPrice3");
    const std::pair<const char*, const Value*> prices[] = {{"Price1", &price1},
                                                           {"Price2", &price2},
                                                           {"Price3", &price3},
                                                           {"VPrice2", &vprice2},
                                                           {"VPrice3", &vprice3}};
    vprice1 = memberPrice(vprice1, [&prices](const char* column) {
        for (const auto& [name, value] : prices) {
            if (std::string_view(name) == column) {
                return *value;
            }
        }
        return Value();
    });
    Value scsn =
        engine.lookupValue(kDishStcaLookup + engine.quoted(row.fieldAsText("SCNA")), "SCSN");

    const bool stored =
        engine.insertRow(kDishInsert,
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
                          {"stationId", Value::integer(engine.options().stationNumber)},
                          {"SCSN", scsn}},
                         std::to_string(id));
    if (stored && categoryId.isNull()) {
        engine.noteWithoutReference("CategoryName", std::to_string(id));
    }
    if (stored && scsn.isNull()) {
        engine.noteWithoutReference("SCNA", std::to_string(id));
    }
}

}  // namespace

// Price1: NULL or blank text becomes 0; anything else stays, zero and
// negative values included. Every other price and cost: only a positive
// value stays.
Value ruleValue(datasets::ValueRule rule, const Value& value, const std::string& column) {
    switch (rule) {
        case datasets::ValueRule::AsGiven:
            return value;
        case datasets::ValueRule::FirstPrice:
            if (value.isNull() || isBlank(value.toText())) {
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

// A dish without any member price is sold to members at its first non-zero
// price.
Value memberPrice(Value vprice1, const ValueInRow& valueInRow) {
    if (numericValue(vprice1, "VPrice1") == 0 &&
        numericValue(valueInRow("VPrice2"), "VPrice2") == 0 &&
        numericValue(valueInRow("VPrice3"), "VPrice3") == 0) {
        for (const char* other : {"Price1", "Price2", "Price3"}) {
            Value candidate = valueInRow(other);
            if (numericValue(candidate, other) != 0) {
                return candidate;
            }
        }
    }
    return vprice1;
}

constinit const DatasetMerge kMenuMerge{
    .dataset = datasets::kMenuDataset,
    .lastStep = "菜品",
    .mergeRow = mergeDish,
    .update = {.table = "menu", .storedRow = kStoredDish},
};

}  // namespace pos::transfer
