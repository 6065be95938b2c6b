// The server's staging statements: SELECT ... INTO copies the columns with
// their types and nullability, and the catalogue queries read syscolumns.
// The identity query leaves out the joins of sysproperties, a table that only
// the oldest servers have, and its literals are Unicode.
#include <string>
#include <vector>

#include "common/Text.h"
#include "db/SqlServerDialect.h"

namespace pos::db {

std::vector<std::string> SqlServerDialect::stagingTableStatements(const std::string& datasetKey,
                                                                  const RowReader&) const {
    if (equalsIgnoreCase(datasetKey, "menu")) {
        return {
            std::string(" select menu.ID,menu.Name,Menu.FirstLetter,Menu.CategoryID,STCA.SCNA,") +
                " Menu.Unit1,Menu.Price1,Menu.Cost1,Menu.VPrice1,Menu.Unit2,Menu.Price2," +
                " Menu.Cost2,Menu.VPrice2,Menu.Unit3,Menu.Price3,Menu.Cost3,Menu.VPrice3 " +
                " into TEMPmenu0 from menu,STCA  " + " where menu.SCSN = STCA.SCSN ",
            std::string(" select TEMPmenu0.ID,TEMPmenu0.Name,TEMPmenu0.FirstLetter,") +
                " Category.Name as  CategoryName,TEMPmenu0.SCNA," +
                " TEMPmenu0.Unit1,TEMPmenu0.Price1,TEMPmenu0.Cost1,TEMPmenu0.VPrice1, " +
                " TEMPmenu0.Unit2,TEMPmenu0.Price2,TEMPmenu0.Cost2,TEMPmenu0.VPrice2," +
                " TEMPmenu0.Unit3,TEMPmenu0.Price3,TEMPmenu0.Cost3,TEMPmenu0.VPrice3  " +
                " into TEMPMenu from TEMPmenu0,Category where TEMPmenu0.CategoryID =Category.ID   ",
        };
    }
    if (equalsIgnoreCase(datasetKey, "HallTable")) {
        return {std::string(" select Hall.Name as HallName,tables.Code as TableID,tables.Name as "
                            "TableName   ") +
                "  into TEMPHallTable from tables,hall where tables.Hallid=hall.id "};
    }
    if (equalsIgnoreCase(datasetKey, "MenuAnnotate")) {
        return {std::string(" select AnnotateType.Name as AnnotateTypeName,Annotate.name as "
                            "Annotatename ") +
                "  into TEMPMenuAnnotate from AnnotateType,Annotate " +
                " where AnnotateType.ID = Annotate.AnnotateTypeID "};
    }
    return {};
}

std::string SqlServerDialect::tableColumnsLine(const std::string& table) const {
    return "Select name from syscolumns Where ID=OBJECT_ID('" + table + "') ";
}

std::vector<std::string> SqlServerDialect::identityColumnLines(const std::string& table) const {
    return {
        " select 字段名=a.name,",
        " 标识=case when COLUMNPROPERTY( a.id,a.name,'IsIdentity')=1 then N'是' else '' end ",
        " FROM syscolumns a ",
        " left join systypes b on a.xtype=b.xusertype ",
        " inner join sysobjects d on a.id=d.id and d.xtype='U' and d.name<>'dtproperties'",
        " left join syscomments e on a.cdefault=e.id",
        " where d.name=" + stringLiteral(table),
    };
}

}  // namespace pos::db
