// The merge of the dish annotations: the dataset's definition makes sure that
// their types exist; here each staged annotation is inserted under the next
// number of its type, unless its type already holds its name.
#include <string>

#include "transfer/MergeEngine.h"

namespace pos::transfer {
namespace {

// Statement texts. Names go into lookups as string literals of the dialect;
// every other value is a named parameter.
const std::string kAnnotateTypeIdLookup = " select ID from AnnotateType where name = ";
const std::string kAnnotateNumbering = "Annotate where AnnotateTypeID=";
const std::string kAnnotateInsert = std::string(" insert into Annotate ") +
                                    "(ID,Name,AnnotateTypeID,atype,aValue,PrintID)" +
                                    " values(:ID,:Name,:AnnotateTypeID,0,0,0) ";

// The key check that keeps a stored annotation from being offered again,
// followed by the dialect's name collation.
const std::string kAnnotateExists =
    " select ID from Annotate where AnnotateTypeID = :AnnotateTypeID and Name = :Name ";

void mergeAnnotation(MergeEngine& engine) {
    const StagedRow& row = engine.row();
    Value name = row.fieldValue("Annotatename");
    std::string typeName = row.fieldAsText("AnnotateTypeName");
    engine.setSubject("注释" + inQuotes(name.toText()) + "（注释类别" + inQuotes(typeName) + "）");
    Value typeId = engine.lookupValue(kAnnotateTypeIdLookup + engine.quoted(typeName), "ID");
    if (typeId.isNull()) {
        throw ConversionError("找不到注释类别" + inQuotes(typeName));
    }
    std::int32_t typeNumber = toInt32(typeId, "注释类别编号");
    if (!name.isNull() && engine.exists(kAnnotateExists + engine.dialect().nameCollation(),
                                        {{"AnnotateTypeID", typeId}, {"Name", name}})) {
        ++engine.report().alreadyExisting;
        return;
    }
    Value id = engine.nextId("ID", kAnnotateNumbering + std::to_string(typeNumber));
    if (!engine.insertRow(kAnnotateInsert, {{"ID", id}, {"Name", name}, {"AnnotateTypeID", typeId}},
                          name.toText())) {
        engine.report().refused.back().leadingKey = {typeName};
    }
}

}  // namespace

// An annotation has no column beyond its key: nothing to update.
constinit const DatasetMerge kMenuAnnotateMerge{
    .dataset = datasets::kMenuAnnotateDataset,
    .lastStep = "注释",
    .mergeRow = mergeAnnotation,
    .update = {.table = nullptr},
};

}  // namespace pos::transfer
