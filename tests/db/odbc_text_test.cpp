// The SQL Server back end's texts: the ODBC connection string built from the
// connection text, and ":Name" parameters rewritten to positional markers.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "db/ConnectionText.h"
#include "db/OdbcBackend.h"

namespace pos::db {
namespace {

struct ConnectionCase {
    const char* name;
    const char* text;
    const char* expected;
    ConnectionSettings settings;  // the driver and encryption options
};

ConnectionSettings odbcChoice(std::string driver, OdbcEncryption encryption,
                              bool trustServerCertificate = false) {
    ConnectionSettings settings;
    settings.odbcDriver = std::move(driver);
    settings.encryption = encryption;
    settings.trustServerCertificate = trustServerCertificate;
    return settings;
}

constexpr const char* kVendorDriver = "ODBC Driver 18 for SQL Server";

TEST(odbcConnectionString, TranslatesEveryPiece) {
    const ConnectionCase cases[] = {
        {"start-up call on another server",
         "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=false;Initial "
         "Catalog=master;Data Source=pos-server",
         "DRIVER={FreeTDS};SERVER=pos-server;DATABASE=master;Trusted_Connection=Yes;"
         "TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"SQL login",
         "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=false;User ID=sa;Initial "
         "Catalog=pos;Data Source=10.0.0.5",
         "DRIVER={FreeTDS};SERVER=10.0.0.5;DATABASE=pos;UID=sa;PWD=secret;TDS_Version=7.4;"
         "ClientCharset=UTF-8",
         {}},
        {"host,port becomes SERVER and PORT",
         "Provider=SQLOLEDB.1;Persist Security Info=false;User ID=sa;Initial Catalog=master;"
         "Data Source=db.example , 14330",
         "DRIVER={FreeTDS};SERVER=db.example;PORT=14330;DATABASE=master;UID=sa;"
         "TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"host\\instance is kept whole",
         "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=false;Initial "
         "Catalog=master;Data Source=shop\\SQLEXPRESS",
         "DRIVER={FreeTDS};SERVER=shop\\SQLEXPRESS;DATABASE=master;Trusted_Connection=Yes;"
         "TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"integrated security hides user and password",
         "Integrated Security=yes;Password=pw;User ID=sa;Data Source=h",
         "DRIVER={FreeTDS};SERVER=h;Trusted_Connection=Yes;TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"blank integrated security is absent",
         "Integrated Security= \t;User ID=sa;Data Source=h",
         "DRIVER={FreeTDS};SERVER=h;UID=sa;TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"blank catalogue is left out",
         "Initial Catalog=  ;Data Source=h;User ID=u",
         "DRIVER={FreeTDS};SERVER=h;UID=u;TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"names match without regard to case",
         "data source=h;user id=u;PASSWORD=p",
         "DRIVER={FreeTDS};SERVER=h;UID=u;PWD=p;TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"a password cannot add keys",
         "Data Source=h;User ID=u;Password=a}b=c",
         "DRIVER={FreeTDS};SERVER=h;UID=u;PWD={a}}b=c};TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"surrounding blanks of a password are kept",
         "Data Source=h;User ID=u;Password= pw ",
         "DRIVER={FreeTDS};SERVER=h;UID=u;PWD={ pw };TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"a braced user name",
         "Data Source=h;User ID={admin}",
         "DRIVER={FreeTDS};SERVER=h;UID={{admin}}};TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"FreeTDS named in any case, encryption required", "Data Source=h;User ID=u",
         "DRIVER={freetds};SERVER=h;UID=u;Encryption=require;"
         "TDS_Version=7.4;ClientCharset=UTF-8",
         odbcChoice("freetds", OdbcEncryption::Yes)},
        {"FreeTDS without encryption", "Data Source=h;User ID=u",
         "DRIVER={FreeTDS};SERVER=h;UID=u;Encryption=off;TDS_Version=7.4;ClientCharset=UTF-8",
         odbcChoice("", OdbcEncryption::No)},
        {"FreeTDS has no keyword for trusting the certificate", "Data Source=h;User ID=u",
         "DRIVER={FreeTDS};SERVER=h;UID=u;Encryption=require;TDS_Version=7.4;"
         "ClientCharset=UTF-8",
         odbcChoice("FreeTDS", OdbcEncryption::Yes, true)},
        {"vendor driver without options",
         "Data Source=h,1433;Initial Catalog=pos;User ID=u;Password=p",
         "DRIVER={ODBC Driver 18 for SQL Server};SERVER=h;PORT=1433;DATABASE=pos;UID=u;PWD=p",
         odbcChoice(kVendorDriver, OdbcEncryption::DriverDefault)},
        {"vendor driver, encryption yes", "Data Source=h;Integrated Security=SSPI",
         "DRIVER={ODBC Driver 18 for SQL Server};SERVER=h;Trusted_Connection=Yes;Encrypt=yes",
         odbcChoice(kVendorDriver, OdbcEncryption::Yes)},
        {"vendor driver, no encryption, certificate trusted", "Data Source=h;User ID=u",
         "DRIVER={ODBC Driver 18 for SQL Server};SERVER=h;UID=u;Encrypt=no;"
         "TrustServerCertificate=yes",
         odbcChoice(kVendorDriver, OdbcEncryption::No, true)},
        {"vendor driver, strict encryption", "Data Source=h;User ID=u",
         "DRIVER={ODBC Driver 18 for SQL Server};SERVER=h;UID=u;Encrypt=strict",
         odbcChoice(kVendorDriver, OdbcEncryption::Strict)},
        {"a driver name with a brace is escaped", "Data Source=h;User ID=u",
         "DRIVER={My}}Driver};SERVER=h;UID=u",
         odbcChoice("My}Driver", OdbcEncryption::DriverDefault)},
        {"a data source of odbc.ini replaces DRIVER and SERVER",
         "Data Source=\"DSN=pos shop\";Initial Catalog=pos;User ID=u;Password=p",
         "DSN=pos shop;DATABASE=pos;UID=u;PWD=p;TDS_Version=7.4;ClientCharset=UTF-8",
         {}},
        {"a DSN with the vendor's keywords", "Data Source=\" DSN=pos;x \";User ID=u",
         "DSN={pos;x};UID=u;Encrypt=strict;TrustServerCertificate=yes",
         odbcChoice(kVendorDriver, OdbcEncryption::Strict, true)},
    };
    for (const ConnectionCase& c : cases) {
        EXPECT_EQ(odbcConnectionString(ConnectionText::parse(c.text), c.settings), c.expected)
            << c.name;
    }
    // FreeTDS documents no strict mode: refused in words, not weakened.
    const ConnectionSettings strict = odbcChoice("", OdbcEncryption::Strict);
    EXPECT_NE(odbcSettingsProblem(strict).find("strict"), std::string::npos);
    EXPECT_THROW(odbcConnectionString(ConnectionText::parse("Data Source=h"), strict), DbError);
    EXPECT_EQ(odbcSettingsProblem(odbcChoice(kVendorDriver, OdbcEncryption::Strict)), "");
}

struct RewriteCase {
    const char* name;
    const char* sql;
    const char* expected;
    std::vector<std::string> order;
};

TEST(odbcNamedParameters, RewritesOnlyOutsideQuotesAndComments) {
    const RewriteCase cases[] = {
        {"insert of the staging pass",
         " insert into TEMPHallTable (HallName,TableID,TableName)  values "
         "(:HallName,:TableID,:TableName) ",
         " insert into TEMPHallTable (HallName,TableID,TableName)  values (?,?,?) ",
         {"HallName", "TableID", "TableName"}},
        {"repeated name is bound once per occurrence",
         "select :a, :B, :a",
         "select ?, ?, ?",
         {"a", "B", "a"}},
        {"single quotes with a doubled quote", "select 'it'':x', :y", "select 'it'':x', ?", {"y"}},
        {"double-quoted identifier",
         "select \"col:x\" from t where a=:v",
         "select \"col:x\" from t where a=?",
         {"v"}},
        {"bracketed identifier with ]]",
         "select [a]]:b] from t where c=:c",
         "select [a]]:b] from t where c=?",
         {"c"}},
        {"line comment ends at the line break",
         "-- :no\r\nselect :yes",
         "-- :no\r\nselect ?",
         {"yes"}},
        {"nested block comment",
         "/* :a /* :b */ :c */ select :d",
         "/* :a /* :b */ :c */ select ?",
         {"d"}},
        {"scope qualifier",
         "grant select on schema::dbo to u where x=:p",
         "grant select on schema::dbo to u where x=?",
         {"p"}},
        {"colon not followed by a name",
         "select ': ' , a :1, b: , :",
         "select ': ' , a :1, b: , :",
         {}},
        {"name with digits and underscore ends at punctuation",
         "values(:Price_1,:Mid)",
         "values(?,?)",
         {"Price_1", "Mid"}},
        {"Chinese name", "values(:标识)", "values(?)", {"标识"}},
        {"unclosed quote keeps the rest", "select 'abc :x", "select 'abc :x", {}},
        {"N-prefixed literal", "select N'菜:x' + :y", "select N'菜:x' + ?", {"y"}},
    };
    for (const RewriteCase& c : cases) {
        std::vector<std::string> order{"stale"};
        EXPECT_EQ(rewriteNamedParameters(c.sql, order), c.expected) << c.name;
        EXPECT_EQ(order, c.order) << c.name;
    }
}

}  // namespace
}  // namespace pos::db
