// The server's staging statements: SELECT ... INTO copies the columns with
// their types and nullability, and the catalogue queries read syscolumns.
// The identity query leaves out the joins of sysproperties, a table that only
// the oldest servers have, and its literals are Unicode.
#include <string>
#include <vector>

#include "db/SqlServerDialect.h"

namespace pos::db {

std::vector<std::string> SqlServerDialect::stagingTableStatements(
    const std::vector<StagingTable>& tables, const RowReader&) const {
    std::vector<std::string> statements;
    for (const StagingTable& t : tables) {
        statements.push_back(t.selectList + "into " + t.table + " " + t.fromClause);
    }
    return statements;
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
