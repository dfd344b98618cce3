// The yield page as a browser shows it: headless Chromium takes a screenshot
// of the page qelvar-cli writes, and the charts' colours must be on it.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ledger/record_format.h"
#include "ledger/sqlite_ledger.h"
#include "ledger_fixture.h"

namespace qelvar::ledger {
namespace {

namespace fs = std::filesystem;
using testing::kDayMs;
using testing::kDecember1;
using testing::SampleRecord;
using testing::TempDir;

struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  size_t channels = 0;
  std::vector<uint8_t> pixels;  // rows of width * channels bytes
};

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Enough of PNG for a browser's screenshot: 8-bit RGB or RGBA, no interlace.
bool DecodePng(const std::string& bytes, Image* image) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < 8 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return false;
  std::vector<uint8_t> compressed;
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const uint32_t length = Be32(data + at);
    if (at + 12 + length > bytes.size()) return false;
    const std::string type = bytes.substr(at + 4, 4);
    const uint8_t* body = data + at + 8;
    if (type == "IHDR") {
      image->width = Be32(body);
      image->height = Be32(body + 4);
      if (body[8] != 8 || (body[9] != 2 && body[9] != 6) || body[12] != 0) return false;
      image->channels = body[9] == 6 ? 4 : 3;
    } else if (type == "IDAT") {
      compressed.insert(compressed.end(), body, body + length);
    }
    at += 12 + length;
  }
  if (image->width == 0 || image->width > 10000 || image->height > 10000) return false;
  const size_t stride = image->width * image->channels;
  std::vector<uint8_t> raw((stride + 1) * image->height);
  uLongf rawLength = raw.size();
  if (uncompress(raw.data(), &rawLength, compressed.data(), compressed.size()) != Z_OK ||
      rawLength != raw.size()) {
    return false;
  }
  image->pixels.assign(stride * image->height, 0);
  const size_t bpp = image->channels;
  for (size_t y = 0; y < image->height; ++y) {
    const uint8_t filter = raw[y * (stride + 1)];
    const uint8_t* in = &raw[y * (stride + 1) + 1];
    uint8_t* out = &image->pixels[y * stride];
    const uint8_t* up = y > 0 ? &image->pixels[(y - 1) * stride] : nullptr;
    for (size_t x = 0; x < stride; ++x) {
      const int a = x >= bpp ? out[x - bpp] : 0;
      const int b = up ? up[x] : 0;
      const int c = (up && x >= bpp) ? up[x - bpp] : 0;
      int predicted = 0;
      switch (filter) {
        case 0:
          predicted = 0;
          break;
        case 1:
          predicted = a;
          break;
        case 2:
          predicted = b;
          break;
        case 3:
          predicted = (a + b) / 2;
          break;
        case 4: {
          const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predicted = (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
          break;
        }
        default:
          return false;
      }
      out[x] = static_cast<uint8_t>(in[x] + predicted);
    }
  }
  return true;
}

size_t PixelsOf(const Image& image, uint8_t r, uint8_t g, uint8_t b) {
  size_t n = 0;
  for (size_t i = 0; i + 2 < image.pixels.size(); i += image.channels) {
    if (std::abs(image.pixels[i] - r) < 8 && std::abs(image.pixels[i + 1] - g) < 8 &&
        std::abs(image.pixels[i + 2] - b) < 8) {
      ++n;
    }
  }
  return n;
}

std::string FindChromium() {
  for (const char* name : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (fs::exists(name)) return name;
  }
  return {};
}

TEST(YieldPage, HeadlessChromiumShowsBothCharts) {
  const std::string chromium = FindChromium();
  if (chromium.empty()) {
    const char* ci = std::getenv("QELVAR_CI");
    if (ci && std::string(ci) == "1") FAIL() << "chromium is missing";
    GTEST_SKIP() << "chromium is missing: apt-get install chromium";
  }
  TempDir dir("yield-page");
  std::string error;
  auto store = SqliteLedger::Open(dir.str() + "/ledger.sqlite", &error);
  ASSERT_TRUE(store) << error;
  std::vector<Record> records;
  for (int day = 0; day < 5; ++day) {
    for (int i = 0; i < 20; ++i) {
      const int code = i < day ? 9 : (i == 19 ? 17 : 0);
      records.push_back(
          SampleRecord("S" + std::to_string(day * 100 + i), code, kDecember1 + day * kDayMs + i));
    }
  }
  ASSERT_TRUE(store->AppendMany(records, &error)) << error;
  YieldReport report;
  ASSERT_TRUE(store->Yield({}, &report, &error)) << error;
  const fs::path page = dir.path() / "yield.html";
  std::ofstream(page) << YieldHtml(report, YieldBy::kDay);

  const fs::path shot = dir.path() / "shot.png";
  const std::string command =
      chromium +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --user-data-dir=" +
      (dir.path() / "profile").string() + " --window-size=900,1000 --screenshot=" + shot.string() +
      " file://" + page.string() + " > " + (dir.path() / "chromium.log").string() + " 2>&1";
  ASSERT_EQ(std::system(("timeout 120 " + command).c_str()), 0) << command;
  std::ifstream in(shot, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  Image image;
  ASSERT_TRUE(DecodePng(bytes.str(), &image)) << "no readable screenshot";
  EXPECT_EQ(image.width, 900u);
  // The pass bars (green) and the fail bars of both charts (red).
  EXPECT_GT(PixelsOf(image, 0x2e, 0x9d, 0x4f), 2000u) << "the yield-per-day chart is not shown";
  EXPECT_GT(PixelsOf(image, 0xd2, 0x3c, 0x3c), 1000u) << "the fail bars are not shown";
  if (const char* keep = std::getenv("QELVAR_KEEP_SCREENSHOT")) fs::copy_file(shot, keep);
}

}  // namespace
}  // namespace qelvar::ledger
