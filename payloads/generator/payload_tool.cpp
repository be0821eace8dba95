// The build's payload tool.
//   corv_payload_tool generate DIR   writes every stand-in payload file into DIR
//                                    and checks each against the catalogue
//   corv_payload_tool check DIR      checks the payload files in DIR (a folder of
//                                    real payloads) and fails on any mismatch
// Exit status 0 when every file is sound, 1 otherwise, 2 on a usage error.
#include <cstdio>
#include <string>
#include <vector>

#include "payloads/generator/make_payloads.h"
#include "payloads/payload_check.h"

namespace {

using corv::FileLayout;
using corv::ImageLayout;

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  bool sound = !std::ferror(f);
  std::fclose(f);
  return sound;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool sound = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && sound;
}

// Prints the problem, if any; true when there was none.
bool Report(const std::string& folder, const std::string& problem) {
  if (problem.empty()) return true;
  std::fprintf(stderr, "payload check: %s/%s\n", folder.c_str(), problem.c_str());
  return false;
}

int Generate(const std::string& folder) {
  bool sound = true;
  auto put = [&](std::string_view file, const std::vector<uint8_t>& bytes, const std::string& problem) {
    sound = Report(folder, problem) && sound;
    std::string path = folder + "/" + std::string(file);
    if (!WriteFile(path, bytes)) {
      std::fprintf(stderr, "payload generator: cannot write %s\n", path.c_str());
      sound = false;
    }
  };
  for (const ImageLayout& entry : corv::kImageLayouts) {
    std::vector<uint8_t> bytes = corv::MakeImage(entry);
    std::string problem = corv::CheckImage(entry, bytes.data(), bytes.size());
    uint32_t crc = corv::ImageDataCrc(bytes.data(), bytes.size());
    if (problem.empty() && entry.crc != 0 && crc != entry.crc) problem = std::string(entry.file) + ": CRC-32 not forced";
    put(entry.file, bytes, problem);
  }
  auto file = [&](const FileLayout& entry, bool text) {
    std::vector<uint8_t> bytes = corv::MakeFile(entry, text);
    put(entry.file, bytes, corv::CheckFile(entry, bytes.data(), bytes.size()));
  };
  file(corv::kStringsFileLayout, true);
  file(corv::kImagesFileLayout, false);
  for (const FileLayout& entry : corv::kFontLayouts) file(entry, false);
  return sound ? 0 : 1;
}

int Check(const std::string& folder) {
  bool sound = true;
  std::vector<uint8_t> bytes;
  auto load = [&](std::string_view file) {
    if (ReadFile(folder + "/" + std::string(file), bytes)) return true;
    sound = Report(folder, std::string(file) + ": missing or unreadable") && sound;
    return false;
  };
  for (const ImageLayout& entry : corv::kImageLayouts)
    if (load(entry.file)) sound = Report(folder, corv::CheckImage(entry, bytes.data(), bytes.size())) && sound;
  auto file = [&](const FileLayout& entry) {
    if (load(entry.file)) sound = Report(folder, corv::CheckFile(entry, bytes.data(), bytes.size())) && sound;
  };
  file(corv::kStringsFileLayout);
  file(corv::kImagesFileLayout);
  for (const FileLayout& entry : corv::kFontLayouts) file(entry);
  if (!sound) std::fprintf(stderr, "payload check: %s does not match the payload catalogue; refusing to embed it\n", folder.c_str());
  return sound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "generate") return Generate(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "check") return Check(argv[2]);
  std::fprintf(stderr, "usage: corv_payload_tool generate|check DIR\n");
  return 2;
}
