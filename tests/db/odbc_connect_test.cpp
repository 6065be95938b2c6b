// Connecting to a SQL Server that is not there: the driver is found, the
// attempt ends with a DbError, and the error carries the driver's own words.
#include <gtest/gtest.h>

#include <string>

#include "db/ConnectionText.h"
#include "db/DbError.h"
#include "db/OdbcBackend.h"

namespace pos::db {
namespace {

std::string connectError(const std::string& text) {
    ConnectionSettings settings;
    settings.loginTimeoutSeconds = 5;
    try {
        connectOdbc(ConnectionText::parse(text), settings);
    } catch (const DbError& e) {
        return e.what();
    }
    return "connected";
}

TEST(odbcConnect, NothingListeningFailsWithTheDriversMessage) {
    // Port 1 on the loopback interface: nothing listens, the refusal is immediate.
    std::string message = connectError(
        "Provider=SQLOLEDB.1;Password=p;Persist Security Info=false;User ID=sa;Initial "
        "Catalog=master;Data Source=127.0.0.1,1");
    EXPECT_NE(message.find("无法连接到SQL Server“127.0.0.1,1”"), std::string::npos) << message;
    // The driver's record: SQLSTATE and FreeTDS's text.
    EXPECT_NE(message.find("[08001]"), std::string::npos) << message;
    EXPECT_NE(message.find("Unable to connect"), std::string::npos) << message;
    // The password never appears in the message.
    EXPECT_EQ(message.find("PWD"), std::string::npos) << message;
}

TEST(odbcConnect, IntegratedSecurityFailsTheSameWay) {
    std::string message =
        connectError("Integrated Security=SSPI;Initial Catalog=master;Data Source=127.0.0.1,1");
    EXPECT_NE(message.find("无法连接"), std::string::npos) << message;
    EXPECT_NE(message.find("FreeTDS"), std::string::npos) << message;
}

}  // namespace
}  // namespace pos::db
