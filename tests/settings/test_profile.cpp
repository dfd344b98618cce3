#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>

#include "settings/profile.h"
#include "settings_fixtures.h"

namespace qelvar::settings {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr std::string_view kOperatorFile =
    "key0=outside any section\r\n"
    "[MPOption]\r\n"
    "DownloadBurner=1\r\n"
    "  nandErase  =  257  \r\n"
    "; NandCalibration=1\r\n"
    "[ identify ]\r\n"
    "ModelName = \"QV 512G \"\r\n"
    "FWVersion='AB'\r\n"
    "Quoted=\"x\r\n"
    "Empty=\r\n"
    "NoEquals\r\n"
    "Url=a=b\r\n"
    "[MPOPTION]\r\n"
    "DownloadBurner=0\r\n"
    "OP7=1\r\n"
    "[Debug]\r\n"
    "54TEM=1\r\n"
    "DownloadBurner = 9";

struct ReadCase {
  const char* section;
  const char* key;
  std::optional<std::string_view> value;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << "[" << c.section << "] " << c.key;
}

class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, FindsValuesByTheProfileRules) {
  const ReadCase& c = GetParam();
  EXPECT_EQ(FindProfileValue(kOperatorFile, c.section, c.key), c.value)
      << c.section << "/" << c.key;
}

INSTANTIATE_TEST_SUITE_P(
    OperatorFile, ProfileRead,
    ::testing::Values(
        ReadCase{"MPOption", "DownloadBurner", "1"},  // the first of two occurrences
        ReadCase{"mpoption", "NANDERASE", "257"},     // any case, blanks around both sides
        ReadCase{"MPOption", "NandCalibration", std::nullopt},  // commented out
        ReadCase{"Identify", "ModelName", "QV 512G "},          // quotes removed, inner blank kept
        ReadCase{"Identify", "FWVersion", "AB"},
        ReadCase{"Identify", "Quoted", "\"x"},  // an unpaired quote stays
        ReadCase{"Identify", "Empty", ""}, ReadCase{"Identify", "NoEquals", ""},
        ReadCase{"Identify", "Url", "a=b"},  // the first "=" ends the name
        // A later section of the same name is never read, as on Windows.
        ReadCase{"MPOption", "OP7", std::nullopt},
        ReadCase{"Debug", "DownloadBurner", "9"},  // last line without a line end
        ReadCase{"Debug", "54TEM", "1"}, ReadCase{"Identify", "DownloadBurner", std::nullopt},
        ReadCase{"", "key0", std::nullopt}, ReadCase{"MPOption", "Missing", std::nullopt},
        ReadCase{"Missing", "DownloadBurner", std::nullopt}),
    [](const auto& p) {
      return testing::CaseName(p.param.section) + "_" + testing::CaseName(p.param.key);
    });

TEST(ProfileRead, SkipsAByteOrderMarkBeforeTheFirstSection) {
  EXPECT_EQ(FindProfileValue("\xEF\xBB\xBF[MPOption]\r\nOP7=1\r\n", "MPOption", "OP7"), "1");
}

struct IntCase {
  const char* text;
  int32_t value;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const IntCase& c, std::ostream* os) {
  *os << "\"" << c.text << "\"";
}

class ProfileInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(ProfileInt, ReadsSignAndDigitsUpToTheFirstOtherCharacter) {
  EXPECT_EQ(ParseProfileInt(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Values, ProfileInt,
                         ::testing::Values(IntCase{"160", 160}, IntCase{"-1", -1}, IntCase{"+7", 7},
                                           IntCase{"12x", 12}, IntCase{"x12", 0}, IntCase{"-", 0},
                                           IntCase{"0x10", 0}, IntCase{"2147483647", 2147483647},
                                           IntCase{"3000000000", -1294967296},
                                           IntCase{"4294967297", 1}, IntCase{"1 2", 1}),
                         [](const auto& p) { return testing::CaseName(p.param.text); });

TEST(ProfileDefaults, MissingKeyOrEmptyValueGivesTheDefaultAndTextsAreCut) {
  Profile ini = Profile::FromText(
      "[RDTParam]\r\nErrBitSlc=\r\nPeCycSlc=abc\r\n[Identify]\r\n"
      "FWVersion=ABCDEFGHIJ\r\nModelName=\r\n");
  EXPECT_EQ(ini.GetInt("RDTParam", "ErrBitSlc", 60), 60);
  EXPECT_EQ(ini.GetInt("RDTParam", "PeCycSlc", 4), 0);
  EXPECT_EQ(ini.GetInt("RDTParam", "ErrBitTlc", 160), 160);
  char version[9];
  std::memset(version, '#', sizeof version);
  EXPECT_EQ(ini.GetString("Identify", "FWVersion", "", version, sizeof version), 8u);
  EXPECT_STREQ(version, "ABCDEFGH");
  EXPECT_EQ(ini.GetString("Identify", "ModelName", "none", 40), "none");
}

TEST(ProfileDefaults, AMissingFileReadsAsEmpty) {
  TempDir dir;
  EXPECT_FALSE(Profile::Read(dir / "none.ini").present());
  EXPECT_EQ(ReadProfileInt(dir / "none.ini", "RDTParam", "MaxLaterBadLun", 256), 256);
}

struct WriteCase {
  const char* name;
  std::string_view before;
  const char* section;
  const char* key;
  std::string_view value;
  std::string_view after;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.name;
}

class ProfileWriteText : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWriteText, ChangesOnlyTheKeysLine) {
  const WriteCase& c = GetParam();
  std::string text(c.before);
  ASSERT_TRUE(SetProfileValue(text, c.section, c.key, c.value));
  EXPECT_EQ(text, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileWriteText,
    ::testing::Values(
        WriteCase{"ExistingKeyKeepsEverythingElse",
                  "; station options\r\n[MPOption]\r\nDownloadBurner=0\r\nNandErase = 1 \r\n\r\n"
                  "[Custom]\r\nfoo=bar\r\n",
                  "MPOption", "NandErase", "0",
                  "; station options\r\n[MPOption]\r\nDownloadBurner=0\r\nNandErase = 0\r\n\r\n"
                  "[Custom]\r\nfoo=bar\r\n"},
        WriteCase{"NewKeyGoesAfterTheSectionsLastLine",
                  "[MPOption]\r\nDownloadBurner=0\r\n\r\n[Custom]\r\nfoo=bar\r\n", "mpoption",
                  "OP7", "1",
                  "[MPOption]\r\nDownloadBurner=0\r\nOP7=1\r\n\r\n[Custom]\r\nfoo=bar\r\n"},
        WriteCase{"NewKeyGoesIntoTheFirstOfTwoSections", "[A]\nx=1\n[B]\n[A]\ny=2\n", "A", "z", "3",
                  "[A]\nx=1\nz=3\n[B]\n[A]\ny=2\n"},
        WriteCase{"KeyOnlyInALaterSectionOfTheNameIsAddedToTheFirst", "[A]\nx=1\n[B]\n[A]\ny=2\n",
                  "A", "y", "3", "[A]\nx=1\ny=3\n[B]\n[A]\ny=2\n"},
        WriteCase{"NewSectionUsesTheFilesOwnLineEnds", "[A]\nx=1\n", "B", "y", "2",
                  "[A]\nx=1\n[B]\ny=2\n"},
        WriteCase{"NewKeyAfterAnUnterminatedLastLine", "[A]\nx=1", "A", "y", "2",
                  "[A]\nx=1\ny=2\n"},
        WriteCase{"NewSectionAfterAnUnterminatedLastLine", "[A]\r\nx=1", "B", "z", "3",
                  "[A]\r\nx=1\r\n[B]\r\nz=3\r\n"},
        WriteCase{"EmptyTextGetsCrLf", "", "RDTParam", "ErrBitSlc", "60",
                  "[RDTParam]\r\nErrBitSlc=60\r\n"},
        WriteCase{"KeyWithoutEqualsGetsItsValue", "[A]\r\n  flag  \r\nz=1\r\n", "A", "flag", "1",
                  "[A]\r\n  flag=1\r\nz=1\r\n"},
        WriteCase{"KeyFoundInAnyCaseKeepsItsSpelling", "[mpoption]\r\nnanderase=1\r\n", "MPOption",
                  "NandErase", "0", "[mpoption]\r\nnanderase=0\r\n"},
        WriteCase{"EmptyValueIsWritten", "[RDTParam]\r\nResv1=7\r\n", "RDTParam", "Resv1", "",
                  "[RDTParam]\r\nResv1=\r\n"},
        WriteCase{"ValueEndsAtItsFirstLineBreak", "[BarCode]\r\n", "BarCode", "Port1",
                  "SN001\r\n[X]", "[BarCode]\r\nPort1=SN001\r\n"}),
    [](const ::testing::TestParamInfo<WriteCase>& p) { return p.param.name; });

TEST(ProfileWriteText, RefusesNamesThatCannotBeALine) {
  std::string text = "[A]\r\nx=1\r\n";
  EXPECT_FALSE(SetProfileValue(text, "A]B", "x", "1"));
  EXPECT_FALSE(SetProfileValue(text, "A", "x=y", "1"));
  EXPECT_FALSE(SetProfileValue(text, "A", "[B]", "1"));
  EXPECT_FALSE(SetProfileValue(text, "A\nB", "x", "1"));
  EXPECT_EQ(text, "[A]\r\nx=1\r\n");
}

TEST(ProfileFile, WritingCreatesTheFileAndReadsBack) {
  TempDir dir;
  std::string path = dir / "speedQelvar.ini";
  ASSERT_TRUE(WriteProfileString(path, "Identify", "ModelName", "QV-512"));
  ASSERT_TRUE(WriteProfileInt(path, "FlashSelect", "FlashIndex", -1));
  EXPECT_EQ(ReadFile(path), "[Identify]\r\nModelName=QV-512\r\n[FlashSelect]\r\nFlashIndex=-1\r\n");
  char model[41];
  EXPECT_EQ(ReadProfileString(path, "identify", "modelname", "", model, sizeof model), 6u);
  EXPECT_STREQ(model, "QV-512");
  EXPECT_EQ(ReadProfileInt(path, "FlashSelect", "FlashIndex", 0), -1);
}

TEST(ProfileFile, ReplacementLeavesNoAsideFileAndKeepsPermissions) {
  TempDir dir;
  std::string path = dir / "speedQelvar.ini";
  WriteFile(path, "[A]\nx=1\n");
  namespace fs = std::filesystem;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(WriteProfileString(path, "A", "x", "2"));
  EXPECT_EQ(ReadFile(path), "[A]\nx=2\n");
#ifndef _WIN32  // Windows keeps attributes instead (test_win_system)
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.str())) ++files;
  EXPECT_EQ(files, 1u);
}

TEST(ProfileFile, AFailedWriteChangesNothing) {
  TempDir dir;
  EXPECT_FALSE(WriteProfileString(dir / "missing-folder/speedQelvar.ini", "A", "x", "1"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing-folder"));
  // A path that exists but cannot be read as a file is never replaced.
  std::filesystem::create_directory(dir / "speedQelvar.ini");
  EXPECT_FALSE(WriteProfileString(dir / "speedQelvar.ini", "A", "x", "1"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "speedQelvar.ini"));
  // A read-only file stays as it is, whoever runs the station.
  WriteFile(dir / "ro.ini", "[A]\nx=0\n");
  std::filesystem::permissions(dir / "ro.ini", std::filesystem::perms(0444));
  std::string why;
  EXPECT_FALSE(WriteProfileString(dir / "ro.ini", "A", "x", "1", &why));
  EXPECT_NE(why.find("read-only"), std::string::npos) << why;
  EXPECT_EQ(ReadFile(dir / "ro.ini"), "[A]\nx=0\n");
}

TEST(ProfileFile, SeveralWritesAtOnceGiveTheBytesOfSingleWrites) {
  TempDir dir;
  const std::string start = "# kept\n[Identify]\nSN=OLD\n\n[Extra]\nz=1\n";
  WriteFile(dir / "one.ini", start);
  WriteFile(dir / "all.ini", start);
  const std::vector<ProfileWrite> writes = {{"Identify", "SN", "A001"},
                                            {"Identify", "SNFix", "1"},
                                            {"DelayTime", "DelayBurner", "30"},
                                            {"Identify", "SN", "A002"}};
  for (const ProfileWrite& w : writes) {
    ASSERT_TRUE(WriteProfileString(dir / "one.ini", w.section, w.key, w.value));
  }
  ASSERT_TRUE(WriteProfileStrings(dir / "all.ini", writes));
  EXPECT_EQ(ReadFile(dir / "all.ini"), ReadFile(dir / "one.ini"));
  EXPECT_EQ(ReadFile(dir / "all.ini"),
            "# kept\n[Identify]\nSN=A002\nSNFix=1\n\n[Extra]\nz=1\n[DelayTime]\nDelayBurner=30\n");
}

}  // namespace
}  // namespace qelvar::settings
