#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "engine/found_file_record.h"
#include "engine/scan_catalogue.h"
#include "fuzz_support.h"

namespace {

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

// A scan log reopened from disk after a crash or an edit: the record file, the relation text and
// the folder list, each as damaged as the input makes them. The first 8 bytes give the lengths of
// the relation and folder parts; the rest is the record file. Then the tree is browsed as the
// result view does, parent chains included.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint32_t relationBytes = 0, folderBytes = 0;
  std::memcpy(&relationBytes, data, 4);
  std::memcpy(&folderBytes, data + 4, 4);
  data += 8;
  size -= 8;
  relationBytes = static_cast<std::uint32_t>(relationBytes % (size + 1));
  folderBytes = static_cast<std::uint32_t>(folderBytes % (size - relationBytes + 1));

  rexmoor::fuzz::ScratchFolder folder;
  if (folder.path().empty()) return 0;
  const std::string main = folder.path() + "/Fast_0_20260101000000";
  WriteFile(main + "_Relation", data, relationBytes);
  WriteFile(main + "_DirInfo", data + relationBytes, folderBytes);
  WriteFile(main, data + relationBytes + folderBytes, size - relationBytes - folderBytes);

  rexmoor::ScanCatalogue catalogue;
  if (catalogue.OpenCatalogueIn(folder.path() + "/", "Fast_0_20260101000000") != rexmoor::kSuccess) return 0;
  std::size_t listed = 0;
  for (const auto& [key, children] : catalogue.Relations()) {
    if (++listed > 32) break;
    rexmoor::RecordList records;
    (void)catalogue.ListChildren(key, records);
    std::int32_t count = 0;
    (void)catalogue.CountFilesBelow(key, count);
    for (std::size_t i = 0; i < records.size() && i < 16; ++i) {
      rexmoor::RecordList ancestors;
      (void)catalogue.AncestorRecords(&records[i], ancestors);
      std::string path;
      (void)catalogue.FolderPathOf(&records[i], path);
    }
  }
  for (std::uint32_t id = 0; id <= catalogue.RecordCount() + 1 && id < 64; ++id) {
    rexmoor::FoundFileRecord record;
    (void)catalogue.ReadRecord(id, record);
  }
  rexmoor::RecordList filtered;
  (void)catalogue.FilterByExtensions(".jpg.txt.other", filtered);
  catalogue.Close();
  return 0;
}
