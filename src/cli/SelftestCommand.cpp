// "selftest": the whole tool proved on a scratch database of the server (or
// store) it is pointed at; the steps are the core's, this prints them.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "cli/Command.h"
#include "cli/CommandSupport.h"
#include "common/Text.h"
#include "common/Translations.h"
#include "transfer/SelfTest.h"

namespace pos::cli {

namespace {

class SelftestCommand : public Command {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub = app.add_subcommand(
            "selftest",
            translated("Prove export and import on a scratch database pos_transfer_selftest_*, "
                       "dropped at the end; run it first against a new server"));
        sub->add_option("--collation", m_collation,
                        translated("Collation of the scratch database on a SQL Server "
                                   "(default: %1)",
                                   {transfer::kSelfTestCollation}))
            ->type_name("NAME");
        return sub;
    }

    int run(const GlobalOptions& global) override {
        StopSignals stop;
        transfer::SelfTestOptions options;
        options.settings = global.connectionSettings();
        options.arguments = global.connectionArguments();
        if (!isBlank(m_collation)) {
            if (global.usesStore()) {
                throw UsageError(
                    "--collation只用于SQL Server：内置数据库按它自己的规则比较名称。"
                    "请去掉--collation，或用--data-source连接SQL Server。");
            }
            options.collation = trimmed(m_collation);
            if (!transfer::isValidCollationName(options.collation)) {
                throw UsageError("“" + m_collation +
                                 "”不是排序规则的名称：名称只能由字母、数字和“_”组成。"
                                 "请改正--collation的值后重试。");
            }
        }
        options.stop = &StopSignals::token();
        options.stepFinished = [](const transfer::SelfTestStep& step) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.2f", step.seconds);
            std::cout << (step.passed ? "[通过] " : "[失败] ") << step.title << "（" << seconds
                      << "秒）";
            if (!step.detail.empty()) {
                std::cout << (step.passed ? "：" : "\n") << step.detail;
            }
            std::cout << std::endl;
        };
        const transfer::SelfTestResult result = transfer::runSelfTest(options);
        if (result.stopped) {
            std::cerr << "自检被用户中断（Ctrl-C或终止信号），临时数据库已按上面所示清理。"
                      << std::endl;
        } else if (result.passed()) {
            std::cout << "自检通过：全部" << result.steps.size() << "个步骤都成功了。" << std::endl;
        } else {
            std::cerr << "自检失败：请看上面标为[失败]的步骤。" << std::endl;
        }
        return StopSignals::exitCode(result.passed() ? kExitSuccess : kExitFailed);
    }

private:
    std::string m_collation;
};

}  // namespace

std::unique_ptr<Command> makeSelftestCommand() {
    return std::make_unique<SelftestCommand>();
}

}  // namespace pos::cli
