// "import": the import worker run from a terminal, after the window's
// pre-checks (the file, the workbook, the station number, the dataset's
// tables) with their messages. Exit 0 only when every workbook row is in the
// database: inserted, updated, or left as it is because a row with its key is
// stored. --dry-run does it all and rolls it back, reporting what would
// happen; --rejects writes the rows not imported into a new workbook.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <vector>

#include "cli/TransferCommand.h"
#include "common/Files.h"
#include "common/Text.h"
#include "common/Translations.h"
#include "datasets/Datasets.h"
#include "transfer/Catalogue.h"
#include "transfer/ImThread.h"
#include "transfer/ImportPrecheck.h"
#include "workbook/WorkbookFormats.h"

namespace pos::cli {

namespace {

// Why the rejects workbook cannot go to `path`, or empty: it is a new file of
// a workbook format in a folder that exists, never a file already there (the
// input among them).
std::string rejectsPathRefusal(const std::string& path) {
    if (workbook::formatForPath(path) == nullptr) {
        return "不能把未导入的行写入" + path + "：文件名必须以" + workbook::extensionList() +
               "结尾。请修改 --rejects 的文件名。";
    }
    if (fileExists(path)) {
        return "文件已经存在：" + path +
               "\n未导入的行只写入新文件，请为 --rejects 换一个文件名，或先移走这个文件。";
    }
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !folderExists(parent.string())) {
        return "不能把未导入的行写入" + path + "：文件夹" + parent.string() +
               "不存在。请检查 --rejects 的路径。";
    }
    return {};
}

bool takesStation(const datasets::Dataset& dataset) {
    return dataset.newRowsTakeStation;
}

bool takesNoStation(const datasets::Dataset& dataset) {
    return !dataset.newRowsTakeStation;
}

class ImportCommand : public TransferCommand {
public:
    CLI::App* addTo(CLI::App& app) override {
        CLI::App* sub = app.add_subcommand(
            "import",
            translated("Read a workbook into a dataset of a database (staged, then merged)"));
        addDatabaseAndDataset(*sub, translated("The database to import into"));
        m_stationOption =
            sub->add_option("--station", m_station,
                            translated("The station number written into new dishes: 1 to 4 "
                                       "digits, as the window takes it; required for %1, not "
                                       "needed for %2",
                                       {datasets::datasetKeys(translated(", "), translated(" or "),
                                                              {}, takesStation),
                                        datasets::datasetKeys(translated(", "), translated(" and "),
                                                              {}, takesNoStation)}))
                ->type_name("N");
        const std::string formats = formatList();
        sub->add_option(
               "--input", m_input,
               translated("The workbook to read (%1); a .csv file is UTF-8 or GBK, "
                          "comma-separated (or by semicolons or tabs when the headings' line "
                          "has more of them), its headings on line 2 below an empty line, or "
                          "on line 1, and then rows are named one past their line",
                          {formats}))
            ->type_name("FILE")
            ->required();
        sub->add_flag("--update-existing", m_updateExisting,
                      translated("A row whose key is stored updates that row (dishes, dining "
                                 "tables): only the cells that differ from what an export shows "
                                 "are written; the key, the station number and columns the "
                                 "workbook lacks stay. Annotations have nothing beyond their key, "
                                 "so nothing changes for them"));
        sub->add_flag("--dry-run", m_dryRun,
                      translated("Run the whole import, then roll it all back: print the "
                                 "categories, statistics categories, units, halls and annotation "
                                 "types it would create with their IDs, the rows it would insert, "
                                 "find stored or repeated, and every row it would refuse; the "
                                 "exit code is the real import's. Other writers to the database "
                                 "wait until it ends"));
        sub->add_option("--rejects", m_rejects,
                        translated("Write the rows not imported into this new workbook (%1 by its "
                                   "extension), laid out as the input with their reason in a last "
                                   "column 未导入原因; fix them and import the file again. Nothing "
                                   "is written when every row arrives",
                                   {formats}))
            ->type_name("FILE");
        return sub;
    }

private:
    std::optional<std::string> workbookPath(const datasets::Dataset& dataset) override {
        m_stationText = stationText(dataset);
        if (!m_rejects.empty()) {
            const std::string refusal = rejectsPathRefusal(m_rejects);
            if (!refusal.empty()) {
                std::cerr << refusal << std::endl;
                return std::nullopt;
            }
        }
        return m_input;
    }

    bool checkDatabase(db::Query& connQuery, transfer::TransferOptions& options) override {
        const transfer::ImportPrecheck check =
            transfer::precheckImport(connQuery, options, m_stationText);
        if (check.status != transfer::ImportPrecheckStatus::Ready) {
            std::cerr << check.message << std::endl;
            return false;
        }
        options.stationNumber = check.stationNumber;
        options.checkedWorkbook = check.workbook;
        options.importChoices.updateExisting = m_updateExisting;
        options.importChoices.dryRun = m_dryRun;
        options.importChoices.rejectsPath = m_rejects;
        options.importChoices.datasetOption = "--dataset";
        return true;
    }

    bool runWorker(transfer::TransferSession session, const transfer::TransferOptions& options,
                   TerminalView& view) override {
        transfer::MyImThread worker(std::move(session), options, view);
        worker.start();
        worker.join();
        return worker.result().everyRowInDatabase();
    }

    // The station number as the window takes it (1 to 4 digits), which only
    // new dishes receive: required for them, checked wherever it is given,
    // and "0" for the pre-check of a dataset that has no use for it.
    std::string stationText(const datasets::Dataset& dataset) const {
        if (m_stationOption->count() == 0) {
            if (dataset.newRowsTakeStation) {
                throw UsageError(
                    std::string("导入") + dataset.displayText +
                    "时必须用--station给出站点号（1至4位数字），它会写入新导入的菜品。");
            }
            return "0";
        }
        if (isBlank(m_station)) {
            throw UsageError("必须输入站点号！--station后面应是1至4位数字，例如--station 1。");
        }
        if (!transfer::parseStationNumber(m_station)) {
            throw UsageError("站点号“" + m_station +
                             "”无效：站点号只能由数字0至9组成，最多4位（0至9999），与窗口中的"
                             "站点号相同。请改正--station的值后重试。");
        }
        return m_station;
    }

    CLI::Option* m_stationOption = nullptr;
    std::string m_station;
    std::string m_stationText;  // as the pre-check takes it
    std::string m_input;
    bool m_updateExisting = false;
    bool m_dryRun = false;
    std::string m_rejects;
};

}  // namespace

std::unique_ptr<Command> makeImportCommand() {
    return std::make_unique<ImportCommand>();
}

}  // namespace pos::cli
