#include <gtest/gtest.h>

#include "app/cli_output.h"

namespace qelvar::app {
namespace {

TEST(CliOutput, JsonCarriesTheCellsAsTheListShowsThem) {
  discovery::PortListModel list;
  list.SetCell(0, discovery::kColStatus, "Pass");
  list.SetCell(0, discovery::kColSerial, "QV01                ");
  list.SetCell(1, discovery::kColStatus, "DOWNLOAD MULTIPLE  FAIL");
  list.SetCell(2, discovery::kColModel, "say \"hi\"\\\x01");
  std::string json = FormatPortJson(list, 2, 1, 1);
  const std::string head =
      "{\"ports\":[{\"port\":0,\"status\":\"Pass\",\"model\":\"\",\"capacity\":\"\",\"serial\":"
      "\"QV01                \",\"fw\":\"\",\"progress\":\"\",\"rdt\":\"\",\"bin\":\"\"},{\"port\":1,";
  EXPECT_EQ(json.substr(0, head.size()), head);
  EXPECT_NE(json.find("\"model\":\"say \\\"hi\\\"\\\\\\u0001\""), std::string::npos) << json;
  EXPECT_NE(json.find("{\"port\":15,"), std::string::npos);
  EXPECT_EQ(json.substr(json.size() - 30), "}],\"sum\":2,\"pass\":1,\"fail\":1}\n");
}

TEST(CliOutput, TableDropsTheRdtColumnsWhenTheyAreRemoved) {
  discovery::PortListModel list;
  list.SetCell(4, discovery::kColBin, "Bin 2");
  std::string withRdt = FormatPortTable(list);
  EXPECT_NE(withRdt.find("RDT Result"), std::string::npos);
  EXPECT_NE(withRdt.find("Bin 2"), std::string::npos);
  list.SetRdtColumns(false);
  std::string without = FormatPortTable(list);
  EXPECT_EQ(without.find("RDT Result"), std::string::npos);
  EXPECT_EQ(without.rfind("Port  Status", 0), 0u) << without;
  // 16 rows and the header.
  EXPECT_EQ(std::count(without.begin(), without.end(), '\n'), 17);
}

}  // namespace
}  // namespace qelvar::app
