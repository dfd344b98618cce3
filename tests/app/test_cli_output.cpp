#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

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
      "{\"ports\":[{\"port\":1,\"status\":\"Pass\",\"model\":\"\",\"capacity\":\"\",\"serial\":"
      "\"QV01"  // the serial without the cell's padding
      "\",\"fw\":\"\",\"progress\":\"\",\"rdt\":\"\",\"bin\":\"\"},{\"port\":2,";
  EXPECT_EQ(json.substr(0, head.size()), head);
  EXPECT_NE(json.find("\"model\":\"say \\\"hi\\\"\\\\\\u0001\""), std::string::npos) << json;
  // Ports count from 1, as the table's Port column does.
  EXPECT_NE(json.find("{\"port\":16,"), std::string::npos);
  EXPECT_EQ(json.find("{\"port\":0,"), std::string::npos);
  EXPECT_EQ(json.substr(json.size() - 30), "}],\"sum\":2,\"pass\":1,\"fail\":1}\n");
}

TEST(CliOutput, JsonNamesTheHubPortOfEveryPortNumberHandedOut) {
  discovery::PortListModel list;
  discovery::PortState ports;
  std::strcpy(ports.gPortTable[0].hubInstanceId, "/sys/devices/pci0000:00/0000:00:05.0/usb1/1-1");
  ports.gPortTable[0].portIndex = 1;
  std::strcpy(ports.gPortTable[1].hubInstanceId, "/sys/devices/pci0000:00/0000:00:05.0/usb1");
  ports.gPortTable[1].portIndex = 2;
  ports.gPortsAssigned = 2;
  std::string json = FormatPortJson(list, 0, 0, 0, &ports);
  const std::string tail =
      "}],\"hubPorts\":["
      "{\"port\":1,\"hub\":\"/sys/devices/pci0000:00/0000:00:05.0/usb1/1-1\",\"index\":1},"
      "{\"port\":2,\"hub\":\"/sys/devices/pci0000:00/0000:00:05.0/usb1\",\"index\":2}],"
      "\"sum\":0,\"pass\":0,\"fail\":0}\n";
  ASSERT_GE(json.size(), tail.size());
  EXPECT_EQ(json.substr(json.size() - tail.size()), tail);
}

TEST(CliOutput, ExchangeLineShowsTheSenseOfARejectedCommand) {
  transport::ExchangeRecord r;
  r.path = "/dev/sdb";
  r.imageLength = 12;
  const uint8_t identify[12] = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00,
                                0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
  std::copy(identify, identify + 12, r.image.begin());
  r.direction = platform::DataDirection::In;
  r.length = 512;
  r.timeoutSeconds = 300;
  r.result = 1;
  r.scsiStatus = 0x02;
  r.driverStatus = 0x08;
  const uint8_t sense[14] = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0x00};
  std::copy(sense, sense + 14, r.sense.begin());
  r.senseLength = 14;
  r.elapsedMs = 3;
  EXPECT_EQ(
      FormatExchangeJson(r),
      "{\"path\":\"/dev/sdb\",\"path_kind\":\"sat\",\"cdb\":\"a1 08 0b 00 01 00 00 00 e0 ec 00 "
      "00\",\"direction\":\"in\",\"length\":512,\"timeout_s\":300,\"result\":1,\"error\":0,"
      "\"transferred\":0,\"status\":2,\"host_status\":0,\"driver_status\":8,\"sense\":\"70 00 "
      "05 00 00 00 00 0a 00 00 00 00 20 00\",\"bridge\":\"\",\"route\":\"12+16\",\"ms\":3}\n");
  r.route = transport::Route::k16Only;
  r.notSent = transport::kDoesNotFit12;
  const std::string named = FormatExchangeJson(r, "1209:0001");
  EXPECT_NE(named.find("\"bridge\":\"1209:0001\",\"route\":\"16\",\"not_sent\":\"the command does "
                       "not fit"),
            std::string::npos)
      << named;
}

TEST(CliOutput, AnAtaExchangeShowsItsTaskFilesPreviousThenCurrent) {
  transport::ExchangeRecord r;
  r.path = "/dev/sdb";
  r.ataPath = true;
  const uint8_t taskFiles[16] = {0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00,
                                 0xFC, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
  std::copy(taskFiles, taskFiles + 16, r.image.begin());
  r.imageLength = 16;
  r.direction = platform::DataDirection::Out;
  r.length = 512;
  r.timeoutSeconds = 30;
  r.result = 1;
  r.returned = {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0x50, 0x00};
  std::string json = FormatExchangeJson(r);
  EXPECT_NE(json.find("\"path_kind\":\"ata\",\"taskfile\":\"00 00 00 00 00 e0 ff 00 fc 01 00 00 "
                      "00 e0 ff 00\""),
            std::string::npos)
      << json;
  EXPECT_EQ(json.find("\"cdb\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"registers\":\"00 01 00 00 00 e0 50 00\""), std::string::npos) << json;
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

std::string FileText(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(LiveList, OnATerminalTheRowsRedrawThemselvesInPlace) {
  discovery::PortListModel model;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    LiveListSink list(model, out, /*terminal=*/true, std::chrono::milliseconds(20));
    list.SetLive(true);
    // No call from the caller: the main thread may sit in the Start
    // sequence's pauses all that time.
    list.SetCell(3, discovery::kColStatus, "Download Burner");
    list.SetCell(3, discovery::kColProgress, "5 %");
    list.SetFooter("Entering ROM mode: port 2 of 5");  // under the rows
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    list.SetLive(false);
    const std::string text = FileText(out);
    EXPECT_GE(Count(text, "\x1b[17A"), 3u) << "redrawn in place, again and again";
    EXPECT_NE(text.find("Port  4  Download Burner          5 %"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\x1b[2KEntering ROM mode: port 2 of 5\n"), std::string::npos);
    EXPECT_EQ(Count(text, "\x1b[17A") + 1, Count(text, "Port 16"))
        << "every frame after the first moves up over the last";
    // Off: nothing more is drawn.
    list.SetCell(3, discovery::kColStatus, "Pass");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FileText(out), text);
  }
  std::fclose(out);
}

TEST(LiveList, PipedOutputPrintsALinePerRealChangeEndingWithTheFinalOne) {
  discovery::PortListModel model;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    LiveListSink list(model, out, /*terminal=*/false, std::chrono::milliseconds(20));
    list.SetCell(0, discovery::kColStatus, "Ready");  // not live yet
    list.SetLive(true);
    // A rescan writes the status, then the row's other cells, the progress last.
    list.SetCell(0, discovery::kColStatus, "Ready");
    list.SetCell(0, discovery::kColProgress, "0");
    list.SetFooter("Waiting 8 s for the drives to come back");
    list.SetFooter({});
    list.SetCell(0, discovery::kColStatus, "Scanning");
    list.SetCell(0, discovery::kColSerial, "QV01                ");
    list.SetCell(0, discovery::kColProgress, "5 %");
    list.SetCell(0, discovery::kColProgress, "5 %");  // no change
    list.SetCell(0, discovery::kColProgress, "95 %");
    // The result: the status first, then the final progress.
    list.SetCell(0, discovery::kColStatus, "Pass");
    list.SetCell(0, discovery::kColProgress, "100 %");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    list.SetLive(false);
    const std::string text = FileText(out);
    EXPECT_EQ(text,
              "Port  1  Ready                    0\n"
              "Waiting 8 s for the drives to come back\n"
              "Port  1  Scanning                 0\n"
              "Port  1  Scanning                 5 %      QV01\n"
              "Port  1  Scanning                 95 %     QV01\n"
              "Port  1  Pass                     100 %    QV01\n");
  }
  std::fclose(out);
}

}  // namespace
}  // namespace qelvar::app
