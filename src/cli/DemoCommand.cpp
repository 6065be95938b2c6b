// "demo": a new database of the embedded store holding the point-of-sale
// schema and the demo data built into the program.
#include <CLI/CLI.hpp>
#include <iostream>
#include <stdexcept>

#include "cli/Command.h"
#include "common/Translations.h"
#include "db/SqliteBackend.h"
#include "transfer/Catalogue.h"

namespace pos::cli {

namespace {

class DemoCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub = app.add_subcommand(
            "demo", translated("Create database NAME in the embedded store with the demo data"));
        sub->add_option("NAME", m_name,
                        translated("Name of the new database; not master, tempdb, model, msdb or "
                                   "resource, which the program never lists"))
            ->type_name("")
            ->required();
        return sub;
    }

    int run(const GlobalOptions& global) override {
        if (!global.usesStore()) {
            throw UsageError(
                "演示数据库只建在内置数据库中：请去掉--data-source。要在SQL Server中建立，"
                "请在那里运行sql/schema_sqlserver.sql和sql/demo_data.sql。");
        }
        // A database under a system name would be made and then never
        // listed, by "databases" or by the window.
        if (transfer::isSystemDatabase(m_name)) {
            throw std::runtime_error("“" + m_name +
                                     "”是系统数据库的名称，程序不会列出它，请换一个名称。");
        }
        std::string dir = global.storeDir();
        db::createStoreDemoDatabase(dir, m_name);
        std::cout << "已在数据库文件夹" << dir << "中建立数据库" << m_name
                  << "，其中有演示数据。\n";
        return kExitSuccess;
    }

private:
    std::string m_name;
};

}  // namespace

std::unique_ptr<Command> makeDemoCommand() {
    return std::make_unique<DemoCommand>();
}

}  // namespace pos::cli
