#include "platform/sim/trace.h"

#include <span>

#include "digest/sha256.h"
#include "text/json_string.h"

namespace qelvar::platform::sim {
std::string TraceLine::Json() const {
  std::string out = "{\"t_ms\":" + std::to_string(tMs) + ",\"drive\":\"" +
                    text::JsonEscaped(drive) + "\",\"path\":\"" + text::JsonEscaped(path) +
                    "\",\"route\":\"" + (ata ? "ata" : "sat") + "\",";
  if (ata) {
    uint8_t both[16];
    for (size_t i = 0; i < 8; ++i) {
      both[i] = previous[i];
      both[8 + i] = current[i];
    }
    out += "\"taskfile\":\"" + digest::HexLower(both) + "\",";
  } else {
    out += "\"cdb\":\"" + digest::HexLower(cdb) + "\",";
  }
  const char* d = dir == DataDirection::In ? "in" : dir == DataDirection::Out ? "out" : "none";
  out += std::string("\"dir\":\"") + d + "\",\"len\":" + std::to_string(len);
  if (!sha256.empty()) {
    out += ",\"sha256\":\"" + sha256 + "\"";
  } else if (dir == DataDirection::Out) {
    out += ",\"data\":\"" + data + "\"";
  }
  out += std::string(",\"accepted\":") + (accepted ? "true" : "false") + "}";
  return out;
}

Tracer::~Tracer() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Tracer::SetFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "ab");
  return file_ != nullptr;
}

void Tracer::Capture(bool on) {
  std::lock_guard lock(mutex_);
  capture_ = on;
}

void Tracer::Record(const TraceLine& line) {
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) {
    std::string text = line.Json();
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fflush(file_);
  }
  if (capture_) lines_.push_back(line);
}

std::vector<TraceLine> Tracer::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void Tracer::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace qelvar::platform::sim
