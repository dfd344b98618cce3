#include "ledger/record_format.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

#include "text/json_string.h"

namespace qelvar::ledger {
namespace {

std::string Html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A field's camelCase name and its value: text, or a number.
struct Field {
  const char* name;
  std::string value;
  bool number;
};

std::vector<Field> FieldsOf(const Record& r) {
  auto n = [](int64_t v) { return std::to_string(v); };
  return {{"id", r.id, false},
          {"runId", r.runId, false},
          {"station", r.station, false},
          {"port", n(r.port + 1), true},  // 1-16, as the run's Port column counts
          {"hubInstance", r.hubInstance, false},
          {"hubPort", n(r.hubPort), true},
          {"startedAt", IsoTimeOf(r.startedAtMs), false},
          {"endedAt", IsoTimeOf(r.endedAtMs), false},
          {"model", r.model, false},
          {"serial", r.serial, false},
          {"fwVersion", r.fwVersion, false},
          {"capacityMb", n(r.capacityMb), true},
          {"bin", n(r.bin), true},
          {"rdtResult", r.rdtResult, false},
          {"failCode", n(r.failCode), true},
          {"status", r.status, false},
          {"fctBad", n(r.fctBad), true},
          {"dftBad", n(r.dftBad), true},
          {"rdtBad", n(r.rdtBad), true},
          {"runBad", n(r.runBad), true},
          {"flashPart", r.flashPart, false},
          {"flashId", r.flashId, false},
          {"burnerSha256", r.burnerSha256, false},
          {"rdtParamSha256", r.rdtParamSha256, false},
          {"sysFwSha256", r.sysFwSha256, false},
          {"spiSha256", r.spiSha256, false},
          {"settingsSha256", r.settingsSha256, false},
          {"mpVersion", r.mpVersion, false},
          {"programVersion", r.programVersion, false}};
}

// A text cell a spreadsheet would read as a formula (or whose leading tab
// or carriage return it would drop) gets a leading apostrophe, which the
// spreadsheet shows as text. Number cells are ours and stay numbers.
std::string CsvField(const std::string& value, bool number) {
  std::string text = value;
  if (!number && !text.empty() &&
      std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
    text.insert(0, 1, '\'');
  }
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// The length of the well-formed UTF-8 character at `text[i]` that a terminal
// shows as it is: 0 for a control character (C0, DEL, C1) or a byte that
// begins no well-formed character.
size_t ShownAsIs(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x20 || lead == 0x7F) return 0;
  if (lead < 0x80) return 1;
  if (lead == 0xC2 && i + 1 < text.size() && byte(i + 1) <= 0x9F) return 0;  // C1 controls
  return text::Utf8SequenceAt(text, i);
}

// Text for the terminal: control characters and stray bytes as \xHH (and a
// backslash doubled), so a record can never move the cursor or recolour it.
std::string Shown(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = ShownAsIs(text, i);
    if (n == 0) {
      const auto b = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
      ++i;
    } else if (text[i] == '\\') {
      out += "\\\\";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

const char* ByName(YieldBy by) {
  return by == YieldBy::kPart ? "part" : by == YieldBy::kStation ? "station" : "day";
}

std::string Percent(int64_t part, int64_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%",
                whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
  return text;
}

std::string GroupName(const std::string& key, YieldBy by) {
  if (!key.empty()) return key;
  return by == YieldBy::kPart ? "(unknown part)" : "(none)";
}

}  // namespace

namespace {

void AppendJsonObject(const Record& record, std::string* out) {
  *out += "{";
  bool first = true;
  for (const Field& f : FieldsOf(record)) {
    if (!first) *out += ",";
    first = false;
    *out += "\"";
    *out += f.name;
    *out += "\":";
    *out += f.number ? f.value : text::JsonQuoted(f.value);
  }
  *out += "}";
}

}  // namespace

void RecordsWriter::Begin(std::string* out) const {
  switch (format_) {
    case RecordsFormat::kTable: {
      char line[512];
      std::snprintf(line, sizeof line, "%-24s %-12s %4s  %-20s %-8s %5s %-4s  %s\n", "Ended (UTC)",
                    "Station", "Port", "Serial", "FW", "Bin", "Code", "Status");
      *out += line;
      break;
    }
    case RecordsFormat::kCsv: {
      bool first = true;
      for (const Field& f : FieldsOf(Record{})) {
        *out += first ? "" : ",";
        *out += f.name;
        first = false;
      }
      *out += "\n";
      break;
    }
    case RecordsFormat::kJson:
      *out += "{\"records\":[";
      break;
    case RecordsFormat::kJsonLines:
      break;
  }
}

void RecordsWriter::Add(const Record& r, std::string* out) {
  switch (format_) {
    case RecordsFormat::kTable: {
      char line[512];
      const std::string ended = IsoTimeOf(r.endedAtMs);
      const std::string bin = r.bin == kNoBinValue ? "-" : std::to_string(r.bin);
      std::snprintf(line, sizeof line, "%-24s %-12.12s %4d  %-20.20s %-8.8s %5s %-4d  %.60s\n",
                    ended.c_str(), Shown(r.station).c_str(), r.port + 1, Shown(r.serial).c_str(),
                    Shown(r.fwVersion).c_str(), bin.c_str(), r.failCode, Shown(r.status).c_str());
      *out += line;
      break;
    }
    case RecordsFormat::kCsv: {
      bool first = true;
      for (const Field& f : FieldsOf(r)) {
        *out += first ? "" : ",";
        *out += CsvField(f.value, f.number);
        first = false;
      }
      *out += "\n";
      break;
    }
    case RecordsFormat::kJson:
      *out += count_ ? ",\n" : "\n";
      AppendJsonObject(r, out);
      break;
    case RecordsFormat::kJsonLines:
      AppendJsonObject(r, out);
      *out += "\n";
      break;
  }
  ++count_;
}

void RecordsWriter::End(std::string* out) const {
  switch (format_) {
    case RecordsFormat::kTable:
      *out += std::to_string(count_) + (count_ == 1 ? " record\n" : " records\n");
      break;
    case RecordsFormat::kCsv:
    case RecordsFormat::kJsonLines:
      break;
    case RecordsFormat::kJson:
      *out += count_ == 0 ? "]}\n" : "\n]}\n";
      break;
  }
}

namespace {

std::string Written(RecordsFormat format, const std::vector<Record>& records) {
  RecordsWriter writer(format);
  std::string out;
  writer.Begin(&out);
  for (const Record& r : records) writer.Add(r, &out);
  writer.End(&out);
  return out;
}

}  // namespace

std::string RecordsJson(const std::vector<Record>& records) {
  return Written(RecordsFormat::kJson, records);
}

std::string RecordsCsv(const std::vector<Record>& records) {
  return Written(RecordsFormat::kCsv, records);
}

std::string RecordsTable(const std::vector<Record>& records) {
  return Written(RecordsFormat::kTable, records);
}

std::string RecordDetails(const Record& record) {
  std::string out;
  for (const Field& f : FieldsOf(record)) {
    out += f.name;
    out += ": ";
    out += f.value;
    out += "\n";
  }
  return out;
}

std::string YieldText(const YieldReport& report, YieldBy by) {
  std::string out;
  char line[256];
  const int64_t total = report.passed + report.failed;
  std::snprintf(line, sizeof line, "Total: %lld  Pass: %lld  Fail: %lld  Yield: %s\n\n",
                static_cast<long long>(total), static_cast<long long>(report.passed),
                static_cast<long long>(report.failed), Percent(report.passed, total).c_str());
  out += line;
  std::snprintf(line, sizeof line, "%-24s %10s %10s %8s\n", ByName(by), "pass", "fail", "yield");
  out += line;
  for (const YieldGroup& g : report.groups) {
    std::snprintf(line, sizeof line, "%-24.24s %10lld %10lld %8s\n", GroupName(g.key, by).c_str(),
                  static_cast<long long>(g.passed), static_cast<long long>(g.failed),
                  Percent(g.passed, g.passed + g.failed).c_str());
    out += line;
  }
  out += "\nBins of passed drives:\n";
  for (const CountOf& b : report.bins) {
    std::string name = b.value == kNoBinValue ? "none" : "Bin " + std::to_string(b.value);
    std::snprintf(line, sizeof line, "  %-10s %10lld\n", name.c_str(),
                  static_cast<long long>(b.count));
    out += line;
  }
  out += "\nFail codes, most frequent first:\n";
  for (const CountOf& c : report.failCodes) {
    std::snprintf(line, sizeof line, "  %3d %-40.40s %10lld %8s\n", c.value, c.text.c_str(),
                  static_cast<long long>(c.count), Percent(c.count, report.failed).c_str());
    out += line;
  }
  return out;
}

std::string YieldJson(const YieldReport& report, YieldBy by) {
  auto n = [](int64_t v) { return std::to_string(v); };
  std::string out = "{\"passed\":" + n(report.passed) + ",\"failed\":" + n(report.failed) +
                    ",\"by\":\"" + ByName(by) + "\",\"groups\":[";
  auto groups = [&](const std::vector<YieldGroup>& list) {
    for (size_t i = 0; i < list.size(); ++i) {
      out += (i ? "," : "") + std::string("{\"key\":") + text::JsonQuoted(list[i].key) +
             ",\"passed\":" + n(list[i].passed) + ",\"failed\":" + n(list[i].failed) + "}";
    }
  };
  groups(report.groups);
  out += "],\"days\":[";
  groups(report.days);
  out += "],\"bins\":[";
  for (size_t i = 0; i < report.bins.size(); ++i) {
    out += (i ? "," : "") + std::string("{\"bin\":") + n(report.bins[i].value) +
           ",\"count\":" + n(report.bins[i].count) + "}";
  }
  out += "],\"failCodes\":[";
  for (size_t i = 0; i < report.failCodes.size(); ++i) {
    const CountOf& c = report.failCodes[i];
    out += (i ? "," : "") + std::string("{\"failCode\":") + n(c.value) +
           ",\"status\":" + text::JsonQuoted(c.text) + ",\"count\":" + n(c.count) + "}";
  }
  out += "]}\n";
  return out;
}

namespace {

// Stacked bars of pass (green) and fail (red) per day.
std::string DayChart(const std::vector<YieldGroup>& days) {
  constexpr int kWidth = 720, kHeight = 260, kLeft = 50, kBottom = 40, kTop = 20;
  int64_t most = 1;
  for (const YieldGroup& d : days) most = std::max(most, d.passed + d.failed);
  const int plotHeight = kHeight - kBottom - kTop;
  const int count = std::max<int>(1, static_cast<int>(days.size()));
  const double slot = static_cast<double>(kWidth - kLeft - 10) / count;
  std::string svg = "<svg id=\"yield-per-day\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight) +
                    "\" role=\"img\"><title>Yield per day</title>";
  char part[512];
  std::snprintf(part, sizeof part,
                "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#444\"/>"
                "<text x=\"4\" y=\"%d\" font-size=\"11\">%lld</text>",
                kLeft, kHeight - kBottom, kWidth - 5, kHeight - kBottom, kTop + 4,
                static_cast<long long>(most));
  svg += part;
  for (size_t i = 0; i < days.size(); ++i) {
    const YieldGroup& d = days[i];
    const double x = kLeft + slot * static_cast<double>(i) + slot * 0.15;
    const double w = slot * 0.7;
    const double hp = plotHeight * static_cast<double>(d.passed) / static_cast<double>(most);
    const double hf = plotHeight * static_cast<double>(d.failed) / static_cast<double>(most);
    const double base = kHeight - kBottom;
    std::snprintf(part, sizeof part,
                  "<rect class=\"pass\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                  "fill=\"#2e9d4f\"><title>%s pass %lld</title></rect>"
                  "<rect class=\"fail\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                  "fill=\"#d23c3c\"><title>%s fail %lld</title></rect>"
                  "<text x=\"%.1f\" y=\"%d\" font-size=\"10\" text-anchor=\"middle\">%s</text>",
                  x, base - hp, w, hp, Html(d.key).c_str(), static_cast<long long>(d.passed), x,
                  base - hp - hf, w, hf, Html(d.key).c_str(), static_cast<long long>(d.failed),
                  x + w / 2, kHeight - kBottom + 14,
                  Html(d.key.size() > 5 ? d.key.substr(5) : d.key).c_str());
    svg += part;
  }
  return svg + "</svg>";
}

// Bars of each fail code, most frequent first, with the cumulative share.
std::string ParetoChart(const std::vector<CountOf>& codes, int64_t failed) {
  constexpr int kWidth = 720, kRow = 24, kLeft = 300;
  const int height = std::max(1, static_cast<int>(codes.size())) * kRow + 20;
  int64_t most = 1;
  for (const CountOf& c : codes) most = std::max(most, c.count);
  std::string svg = "<svg id=\"fail-pareto\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(kWidth) + "\" height=\"" + std::to_string(height) +
                    "\" role=\"img\"><title>Fail codes</title>";
  int64_t cumulative = 0;
  char part[768];
  for (size_t i = 0; i < codes.size(); ++i) {
    const CountOf& c = codes[i];
    cumulative += c.count;
    const double w =
        (kWidth - kLeft - 120) * static_cast<double>(c.count) / static_cast<double>(most);
    const int y = static_cast<int>(i) * kRow + 10;
    std::string label = std::to_string(c.value) + " " + c.text;
    std::snprintf(part, sizeof part,
                  "<text x=\"%d\" y=\"%d\" font-size=\"12\" text-anchor=\"end\">%s</text>"
                  "<rect class=\"code\" x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" "
                  "fill=\"#d23c3c\"/>"
                  "<text x=\"%.1f\" y=\"%d\" font-size=\"12\">%lld (%s cum.)</text>",
                  kLeft - 6, y + 15, Html(label).c_str(), kLeft, y + 2, w, kRow - 6, kLeft + w + 6,
                  y + 15, static_cast<long long>(c.count), Percent(cumulative, failed).c_str());
    svg += part;
  }
  return svg + "</svg>";
}

}  // namespace

std::string YieldHtml(const YieldReport& report, YieldBy by) {
  const int64_t total = report.passed + report.failed;
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>Yield</title><style>body{font-family:sans-serif;margin:24px}"
      "table{border-collapse:collapse}td,th{border:1px solid #bbb;padding:2px 8px;"
      "text-align:right}th{background:#eee}</style></head><body>\n<h1>Yield</h1>\n<p>Total " +
      std::to_string(total) + ", pass " + std::to_string(report.passed) + ", fail " +
      std::to_string(report.failed) + ", yield " + Percent(report.passed, total) + "</p>\n";
  out += "<h2>Yield per day</h2>\n" + DayChart(report.days) + "\n";
  out += "<h2>Fail codes</h2>\n" + ParetoChart(report.failCodes, report.failed) + "\n";
  out += std::string("<h2>By ") + ByName(by) + "</h2>\n<table><tr><th>" + ByName(by) +
         "</th><th>pass</th><th>fail</th><th>yield</th></tr>";
  for (const YieldGroup& g : report.groups) {
    out += "<tr><td>" + Html(GroupName(g.key, by)) + "</td><td>" + std::to_string(g.passed) +
           "</td><td>" + std::to_string(g.failed) + "</td><td>" +
           Percent(g.passed, g.passed + g.failed) + "</td></tr>";
  }
  out += "</table>\n<h2>Bins of passed drives</h2>\n<table><tr><th>bin</th><th>drives</th></tr>";
  for (const CountOf& b : report.bins) {
    out += "<tr><td>" + (b.value == kNoBinValue ? std::string("none") : std::to_string(b.value)) +
           "</td><td>" + std::to_string(b.count) + "</td></tr>";
  }
  out += "</table>\n</body></html>\n";
  return out;
}

}  // namespace qelvar::ledger
