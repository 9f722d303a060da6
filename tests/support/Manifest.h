// The manifests the image generators of tests/fixtures write beside their
// images (make_vmfs.py, make_refs.py): one entry a line, tab-separated
// fields, the last one the entry's path as hex of its bytes.
#pragma once
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct ManifestEntry {
  std::vector<std::string> fields;  // every field but the path
  std::string path;                 // the raw bytes, "/" between names
};

inline std::vector<ManifestEntry> ReadManifest(const std::string& file) {
  std::vector<ManifestEntry> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    ManifestEntry e;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, '\t')) e.fields.push_back(f);
    if (e.fields.empty()) continue;
    const std::string hex = e.fields.back();
    e.fields.pop_back();
    for (size_t i = 0; i + 1 < hex.size(); i += 2) e.path += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    out.push_back(std::move(e));
  }
  return out;
}
