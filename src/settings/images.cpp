#include "settings/images.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace qelvar::settings {
namespace {

template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::string RefusalText(const RefusedImage& refused) {
  char text[512];
  if (refused.reason == ImageRead::kTooLarge) {
    std::snprintf(text, sizeof text,
                  "Image file %s is %llu bytes, larger than its %u-byte buffer. It was not "
                  "loaded; the run cannot start.",
                  refused.path.c_str(), static_cast<unsigned long long>(refused.size),
                  refused.capacity);
  } else {
    std::snprintf(text, sizeof text,
                  "Image file %s could not be read to its end. It was not loaded; the run "
                  "cannot start.",
                  refused.path.c_str());
  }
  return text;
}

}  // namespace

ImageRead ReadImageFile(const std::string& path, std::span<uint8_t> buffer, uint32_t& length,
                        uint64_t* fileSize) {
  length = 0;
  if (fileSize) *fileSize = 0;
  std::error_code ec;
  // Only regular files: a folder or a device would open but never read as an
  // image (and a device might never end).
  if (!std::filesystem::is_regular_file(path, ec)) return ImageRead::kCannotOpen;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ImageRead::kCannotOpen;

  in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
  size_t got = static_cast<size_t>(in.gcount());
  bool longer = !in.bad() && got == buffer.size() && in.peek() != std::ifstream::traits_type::eof();
  ImageRead result = in.bad() ? ImageRead::kReadError
                     : longer ? ImageRead::kTooLarge
                              : ImageRead::kRead;
  if (result != ImageRead::kRead) {
    std::memset(buffer.data(), 0, got);
    if (fileSize) {
      uintmax_t size = std::filesystem::file_size(path, ec);
      *fileSize = ec ? static_cast<uint64_t>(got) + 1 : static_cast<uint64_t>(size);
    }
    return result;
  }
  length = static_cast<uint32_t>(got);
  if (fileSize) *fileSize = got;
  return ImageRead::kRead;
}

LoadedImages LoadImages(const MpSettings& settings, MessageSink& messages) {
  auto images = std::make_shared<Images>();
  LoadedImages loaded;

  auto load = [&](const std::string& path, std::span<uint8_t> buffer, uint32_t& length) {
    uint64_t size = 0;
    ImageRead result = ReadImageFile(path, buffer, length, &size);
    if (result == ImageRead::kTooLarge || result == ImageRead::kReadError) {
      RefusedImage refused{path, size, static_cast<uint32_t>(buffer.size()), result};
      messages.Show(RefusalText(refused),
                    result == ImageRead::kTooLarge ? "Image Too Large" : "Image Read Fail",
                    MessageIcon::kWarning);
      loaded.refused.push_back(std::move(refused));
    }
  };

  uint32_t burnerLength = 0;
  load(FieldText(settings.BurnerPath), images->gBurnerImage, burnerLength);
  load(FieldText(settings.RdtParamPath), images->gRdtParamImage, images->RdtParamLength);
  load(FieldText(settings.SysFwPath), images->gSysFwImage, images->SysFwLength);
  load(FieldText(settings.SpiPath), images->gSpiImage, images->SpiLength);

  loaded.images = std::move(images);
  return loaded;
}

}  // namespace qelvar::settings
