// The views' and staging selects' statements that the column table builds:
// each as the server has always been sent it, byte for byte (letter case,
// the spaces where the statement's source lines were joined), and the
// columns each staging table takes its types from.
#include "datasets/Selects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pos::datasets {
namespace {

struct SelectCase {
    const Dataset& dataset;
    std::vector<std::string> views;
    // For each staging table: its name, its columns ("ALIAS=" where it
    // has one, then the source table and column), its select up to "from",
    // and its from clause.
    std::vector<std::vector<std::string>> staging;
};

std::string columnList(const StagingSelect& select) {
    std::string list;
    for (const StagedColumn& c : select.columns) {
        list += (list.empty() ? "" : ",") + std::string(c.alias != nullptr ? c.alias : "") +
                (c.alias != nullptr ? "=" : "") + c.sourceTable + "." + c.sourceColumn;
    }
    return list;
}

TEST(Selects, EveryStatementAsTheServerHasAlwaysBeenSentIt) {
    const SelectCase cases[] = {
        {kMenuDataset,
         {"create view VSmenu0 as "
          " select menu.ID,menu.Name,Menu.FirstLetter,Menu.CategoryID,STCA.SCNA,"
          " Menu.Unit1,Menu.Price1,Menu.Cost1,Menu.VPrice1,Menu.Unit2,Menu.Price2,"
          " Menu.Cost2,Menu.VPrice2,Menu.Unit3,Menu.Price3,Menu.Cost3,Menu.VPrice3 "
          " from menu,STCA  "
          " where menu.SCSN = STCA.SCSN ",
          "create view VSmenu as "
          " select VSmenu0.ID,VSmenu0.Name,VSmenu0.FirstLetter,Category.Name as "
          "CategoryName,"
          " VSmenu0.SCNA,VSmenu0.Unit1,VSmenu0.Price1,VSmenu0.Cost1,VSmenu0.VPrice1,"
          " VSmenu0.Unit2,VSmenu0.Price2,VSmenu0.Cost2,VSmenu0.VPrice2, "
          " VSmenu0.Unit3,VSmenu0.Price3,VSmenu0.Cost3,VSmenu0.VPrice3 "
          " from VSmenu0,Category  "
          " where VSmenu0.CategoryID =Category.ID  "},
         {{"TEMPmenu0",
           "menu.ID,menu.Name,menu.FirstLetter,menu.CategoryID,STCA.SCNA,menu.Unit1,menu.Price1,"
           "menu.Cost1,menu.VPrice1,menu.Unit2,menu.Price2,menu.Cost2,menu.VPrice2,menu.Unit3,"
           "menu.Price3,menu.Cost3,menu.VPrice3",
           " select menu.ID,menu.Name,Menu.FirstLetter,Menu.CategoryID,STCA.SCNA,"
           " Menu.Unit1,Menu.Price1,Menu.Cost1,Menu.VPrice1,Menu.Unit2,Menu.Price2,"
           " Menu.Cost2,Menu.VPrice2,Menu.Unit3,Menu.Price3,Menu.Cost3,Menu.VPrice3  ",
           "from menu,STCA  "
           " where menu.SCSN = STCA.SCSN "},
          {"TEMPMenu",
           "menu.ID,menu.Name,menu.FirstLetter,CategoryName=Category.Name,STCA.SCNA,menu.Unit1,"
           "menu.Price1,menu.Cost1,menu.VPrice1,menu.Unit2,menu.Price2,menu.Cost2,menu.VPrice2,"
           "menu.Unit3,menu.Price3,menu.Cost3,menu.VPrice3",
           " select TEMPmenu0.ID,TEMPmenu0.Name,TEMPmenu0.FirstLetter,"
           " Category.Name as  CategoryName,TEMPmenu0.SCNA,"
           " TEMPmenu0.Unit1,TEMPmenu0.Price1,TEMPmenu0.Cost1,TEMPmenu0.VPrice1, "
           " TEMPmenu0.Unit2,TEMPmenu0.Price2,TEMPmenu0.Cost2,TEMPmenu0.VPrice2,"
           " TEMPmenu0.Unit3,TEMPmenu0.Price3,TEMPmenu0.Cost3,TEMPmenu0.VPrice3   ",
           "from TEMPmenu0,Category where TEMPmenu0.CategoryID =Category.ID   "}}},
        {kHallTableDataset,
         {"create view VSHallTable as "
          " select Hall.Name as HallName,tables.Code as TableID,tables.Name as TableName  "
          "from tables,hall "
          " where tables.Hallid=hall.id "},
         {{"TEMPHallTable", "HallName=Hall.Name,TableID=tables.Code,TableName=tables.Name",
           " select Hall.Name as HallName,tables.Code as TableID,tables.Name as TableName     ",
           "from tables,hall where tables.Hallid=hall.id "}}},
        {kMenuAnnotateDataset,
         {"create view VSMenuAnnotate as  "
          " select AnnotateType.Name as AnnotateTypeName,Annotate.name as Annotatename "
          "from AnnotateType,Annotate "
          " where AnnotateType.ID = Annotate.AnnotateTypeID "},
         {{"TEMPMenuAnnotate", "AnnotateTypeName=AnnotateType.Name,Annotatename=Annotate.name",
           " select AnnotateType.Name as AnnotateTypeName,Annotate.name as Annotatename   ",
           "from AnnotateType,Annotate "
           " where AnnotateType.ID = Annotate.AnnotateTypeID "}}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(exportViewStatements(c.dataset), c.views) << c.dataset.key;
        std::vector<std::vector<std::string>> staging;
        for (const StagingSelect& s : stagingSelects(c.dataset)) {
            staging.push_back({s.table, columnList(s), s.selectList, s.fromClause});
        }
        EXPECT_EQ(staging, c.staging) << c.dataset.key;
    }
}

}  // namespace
}  // namespace pos::datasets
